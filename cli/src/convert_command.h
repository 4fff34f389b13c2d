#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <cstdint>
#include <stdexcept>

namespace vistrel::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// A command line that cannot be run; what() is the one-line reason.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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
};

inline constexpr int kMinQuality = 50;
inline constexpr int kMaxQuality = 100;
inline constexpr int kMaxSide = 32768;

// RGB (code 0), any four characters, or 0x and one to eight hex digits.
std::uint32_t ParseFourCC(const QString& text);

// The arguments that follow "convert". Throws UsageError.
ConvertOptions ParseConvertArguments(const QStringList& arguments);

// Converts the frame in options.input as the video session does and writes
// options.output. Returns a note for the user when the picture shows the
// diagnostic text instead of the frame, else an empty string. Throws on any
// failure, with a message for the user.
QString RunConvert(const ConvertOptions& options);

QString UsageText();
QString ConvertHelpText();

// The whole front end: arguments[0] is the program. Returns the exit status.
int RunCli(const QStringList& arguments, QTextStream& out, QTextStream& err);

}  // namespace vistrel::cli
