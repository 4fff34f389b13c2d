// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <chrono>
#include <cstdint>
#include <stdexcept>

#include "arguments.h"
#include "capture/pixel_format.h"  // kMaxFrameSide
#include "frontend/settings.h"     // kMinQuality, kMaxQuality
#include "imaging/picture_stamp.h"

namespace vistrel::cli {

enum class OutputKind { Jpeg, Bmp, Ppm };

struct ConvertOptions {
    std::uint32_t compression = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    int quality = 70;
    bool topDown = false;
    QString input;
    QString output;
    OutputKind outputKind = OutputKind::Jpeg;
    // --timestamp and --title; the time is the input's (FrameTime).
    TStampOptions stamp;
};

inline constexpr int kMaxSide = kMaxFrameSide;

// RGB (code 0), any four characters, or 0x and one to eight hex digits.
std::uint32_t ParseFourCC(const QString& text);

// The arguments that follow "convert". Throws UsageError.
ConvertOptions ParseConvertArguments(const QStringList& arguments);

// Converts the frame in options.input as the live view does and writes
// options.output. Returns a note for the user when the picture shows the
// diagnostic text instead of the frame, else an empty string. Throws on any
// failure, with a message for the user.
QString RunConvert(const ConvertOptions& options);

// The time a stamp shows for the frame in path: the capture time its name
// gives when it starts with one as the logger names files
// (yymmddhhnnsszzz, local time), else modified, its modification time.
std::chrono::system_clock::time_point FrameTime(const QString& path,
                                                std::chrono::system_clock::time_point modified);

QString ConvertHelpText();

// "vistrel-cli convert ARGUMENTS": returns the exit status.
int RunConvertCommand(const QStringList& arguments, QTextStream& out, QTextStream& err);

}  // namespace vistrel::cli
