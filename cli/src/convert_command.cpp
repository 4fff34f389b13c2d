// SPDX-License-Identifier: MIT
#include "convert_command.h"

#include <QBuffer>
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "base/errors.h"
#include "base/file_name.h"
#include "base/unique_fd.h"
#include "frontend/format_choice.h"
#include "imaging/jpeg_image.h"
#include "logging.h"
#include "pipeline/frame_converter.h"
#include "stamp_arguments.h"
#include "storage/output_file.h"

namespace vistrel::cli {

namespace {

void ParseFrameSize(const QString& text, ConvertOptions& options) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (!ParseSize(text, width, height)) {
        Usage(QStringLiteral("--size takes WIDTHxHEIGHT, each from 1 to %1, not \"%2\"")
                  .arg(kMaxSide)
                  .arg(text));
    }
    options.width = static_cast<std::int32_t>(width);
    options.height = static_cast<std::int32_t>(height);
}

OutputKind OutputKindOf(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == u"jpg" || suffix == u"jpeg") {
        return OutputKind::Jpeg;
    }
    if (suffix == u"bmp") {
        return OutputKind::Bmp;
    }
    if (suffix == u"ppm") {
        return OutputKind::Ppm;
    }
    Usage(QStringLiteral("OUTPUT must end in .jpg, .jpeg, .bmp or .ppm: \"%1\"").arg(path));
}

// One frame's bytes, read from the input.
struct FrameBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::int64_t size = 0;
    std::chrono::system_clock::time_point modified{};
};

[[noreturn]] void FailOn(const char* what, const QString& path, int error) {
    qCInfo(lcCli, "%s %s: %s", what, qUtf8Printable(path), ErrnoText(error).c_str());
    throw std::runtime_error(
        QStringLiteral("Cannot %1 \"%2\". %3")
            .arg(QString::fromLatin1(what), path, QString::fromStdString(SystemErrorText(error)))
            .toStdString());
}

[[noreturn]] void TooLong(const QString& path, const ConvertOptions& options,
                          std::int64_t maxLength) {
    throw std::runtime_error(QStringLiteral("\"%1\" holds more than a %2x%3 %4 frame can (%5 "
                                            "bytes): it is not one frame")
                                 .arg(path)
                                 .arg(options.width)
                                 .arg(options.height)
                                 .arg(QString::fromLatin1(FourCCName(options.compression)))
                                 .arg(maxLength)
                                 .toStdString());
}

// Reads at most maxLength bytes: a longer input (a pipe that never ends,
// /dev/zero, a file of something else) is refused once one more byte
// arrives, and a regular file that is too long before anything is read.
FrameBytes ReadFrame(const QString& path, std::int64_t maxLength, const ConvertOptions& options) {
    const QByteArray name = EncodeFileName(path);
    const UniqueFd fd(::open(name.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        FailOn("open", path, errno);
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        FailOn("read", path, errno);
    }
    std::int64_t capacity = maxLength + 1;
    if (S_ISREG(info.st_mode)) {
        if (info.st_size > maxLength) {
            TooLong(path, options, maxLength);
        }
        capacity = info.st_size + 1;  // one more shows a file that grew meanwhile
    }
    // Pages not read into are never touched, so a large capacity costs
    // address space only.
    FrameBytes frame{
        std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(capacity)), 0,
        std::chrono::system_clock::time_point(std::chrono::seconds(info.st_mtim.tv_sec) +
                                              std::chrono::nanoseconds(info.st_mtim.tv_nsec))};
    while (frame.size < capacity) {
        const auto chunk =
            static_cast<std::size_t>(std::min<std::int64_t>(capacity - frame.size, 1 << 24));
        const ssize_t got = ::read(fd.Get(), frame.data.get() + frame.size, chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            FailOn("read", path, errno);
        }
        if (got == 0) {
            break;
        }
        frame.size += got;
    }
    if (frame.size > maxLength) {
        TooLong(path, options, maxLength);
    }
    return frame;
}

void WriteLossless(const QImage& picture, const QString& path, const char* format) {
    QByteArray encoded;
    QBuffer buffer(&encoded);
    if (!buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, format)) {
        throw std::runtime_error(QStringLiteral("Cannot write \"%1\". The %2 encoder failed")
                                     .arg(path, QLatin1String(format))
                                     .toStdString());
    }
    // Written aside and renamed into place, so a failure leaves no partial
    // file; the name's bytes are the ones given on the command line.
    ReplaceFile(EncodeFileName(path).toStdString(),
                std::span(reinterpret_cast<const std::uint8_t*>(encoded.constData()),
                          static_cast<std::size_t>(encoded.size())));
}

void WritePicture(QImage&& picture, const ConvertOptions& options) {
    switch (options.outputKind) {
        case OutputKind::Jpeg: {
            TJPEGImage encoder;
            encoder.SetEncodingQuality(options.quality);
            encoder.SetImage(std::move(picture));  // handed over: no second picture
            encoder.SaveFile(options.output);
            break;
        }
        case OutputKind::Bmp:
            WriteLossless(picture, options.output, "BMP");
            break;
        case OutputKind::Ppm:
            WriteLossless(picture, options.output, "PPM");
            break;
    }
}

// Why the picture shows the diagnostic text, for the user.
QString NoteFor(const TConversionResult& result, const ConvertOptions& options,
                std::int64_t length) {
    const QString name = QString::fromLatin1(FourCCName(options.compression));
    switch (result.reason) {
        case TConversionResult::Reason::UnsupportedCode:
            return QStringLiteral(
                       "format %1 is not supported; the picture shows the diagnostic text")
                .arg(name);
        case TConversionResult::Reason::LengthMismatch:
            return QStringLiteral(
                       "the frame has %1 bytes, a %2x%3 %4 frame has %5; the picture shows the "
                       "diagnostic text")
                .arg(length)
                .arg(options.width)
                .arg(options.height)
                .arg(name)
                .arg(result.requiredLength);
        case TConversionResult::Reason::JpegSizeMismatch:
            return QStringLiteral(
                       "the JPEG header says %1x%2, the frame is %3x%4: a bad frame, not "
                       "decoded; the picture shows the diagnostic text")
                .arg(result.jpegWidth)
                .arg(result.jpegHeight)
                .arg(options.width)
                .arg(options.height);
        case TConversionResult::Reason::UndecodableJpeg:
            // The decoder's complaint goes to the log (vistrel.pipeline, info).
        case TConversionResult::Reason::None:
            break;
    }
    return {};
}

}  // namespace

std::uint32_t ParseFourCC(const QString& text) {
    if (text.compare(u"RGB", Qt::CaseInsensitive) == 0) {
        return fourcc::kRGB;
    }
    if (text.size() > 2 && text.startsWith(u"0x", Qt::CaseInsensitive)) {
        const QString digits = text.mid(2);
        bool ok = digits.size() <= 8;
        for (const QChar c : digits) {
            const char16_t u = c.unicode();
            ok = ok &&
                 ((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F'));
        }
        const std::uint32_t value = ok ? digits.toUInt(&ok, 16) : 0;
        if (!ok) {
            Usage(
                QStringLiteral("--format 0x takes one to eight hex digits, not \"%1\"").arg(text));
        }
        return value;
    }
    if (text.size() == 4) {
        bool printable = true;
        for (const QChar c : text) {
            printable = printable && c.unicode() >= 0x20 && c.unicode() < 0x7F;
        }
        if (printable) {
            const QByteArray bytes = text.toLatin1();
            return FourCCFromChars(bytes[0], bytes[1], bytes[2], bytes[3]);
        }
    }
    Usage(
        QStringLiteral(
            "--format takes RGB, four printable ASCII characters or 0x and hex digits, not \"%1\"")
            .arg(text));
}

ConvertOptions ParseConvertArguments(const QStringList& arguments) {
    ConvertOptions options;
    StampArguments stamp;
    bool haveFormat = false;
    bool haveSize = false;
    bool optionsEnded = false;
    QStringList files;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(u'-') || argument == u"-") {
            files.append(argument);
        } else if (argument == u"--") {
            optionsEnded = true;
        } else if (argument == u"--top-down") {
            options.topDown = true;
        } else if (const auto format = TakeValue(arguments, i, QStringLiteral("--format"))) {
            options.compression = ParseFourCC(*format);
            haveFormat = true;
        } else if (const auto size = TakeValue(arguments, i, QStringLiteral("--size"))) {
            ParseFrameSize(*size, options);
            haveSize = true;
        } else if (const auto quality = TakeValue(arguments, i, QStringLiteral("--quality"))) {
            options.quality =
                ParseNumber(*quality, QStringLiteral("--quality"), kMinQuality, kMaxQuality);
        } else if (ParseStampArgument(arguments, i, stamp)) {
            // taken
        } else {
            Usage(QStringLiteral("unknown option \"%1\"").arg(argument));
        }
    }
    if (!haveFormat) {
        Usage(QStringLiteral("--format is required"));
    }
    if (!haveSize) {
        Usage(QStringLiteral("--size is required"));
    }
    if (files.size() != 2) {
        Usage(QStringLiteral("expected INPUT and OUTPUT, got %1 file name(s)").arg(files.size()));
    }
    options.input = files[0];
    options.output = files[1];
    options.outputKind = OutputKindOf(options.output);
    options.stamp.time = stamp.format.has_value();
    options.stamp.format = stamp.format.value_or(std::string(TStampOptions::kDefaultFormat));
    options.stamp.title = stamp.title.value_or(std::string());
    return options;
}

QString RunConvert(const ConvertOptions& options) {
    // No frame of the format can be longer; the converter takes 32-bit lengths.
    const std::int64_t maxLength = std::min<std::int64_t>(
        MaxFrameLength(LayoutOf(options.compression), options.width, options.height),
        std::numeric_limits<std::int32_t>::max());
    FrameBytes frame = ReadFrame(options.input, maxLength, options);
    if (frame.size == 0) {
        // The session treats a sample without bytes as no frame at all and
        // would write a plain black picture; say so instead.
        throw std::runtime_error(QStringLiteral("\"%1\" is empty: there is no frame to convert")
                                     .arg(options.input)
                                     .toStdString());
    }

    // The live view's road: a black picture of the format's size, then the
    // frame converted onto it.
    QImage picture(options.width, options.height, QImage::Format_BGR888);
    if (picture.isNull()) {
        throw std::bad_alloc();
    }
    picture.fill(Qt::black);
    TConversionResult result;
    {
        TFrameConverter converter;
        result = converter.Convert({.data = frame.data.get(),
                                    .length = static_cast<std::int32_t>(frame.size),
                                    .compression = options.compression,
                                    .width = options.width,
                                    .height = options.height,
                                    .topDownRgb = options.topDown},
                                   picture);
    }
    if (!result.Completed()) {
        throw std::runtime_error("The frame could not be converted");
    }
    // Only the picture is held while it is written.
    const std::int64_t length = frame.size;
    const auto modified = frame.modified;
    frame = {};
    if (options.stamp.Enabled()) {
        BurnStamp(picture, StampText(options.stamp, FrameTime(options.input, modified)));
    }
    WritePicture(std::move(picture), options);
    return NoteFor(result, options, length);
}

std::chrono::system_clock::time_point FrameTime(const QString& path,
                                                std::chrono::system_clock::time_point modified) {
    const QString name = QFileInfo(path).fileName();
    const auto digit = [&](int at, int count) { return name.mid(at, count).toInt(); };
    bool digits = name.size() >= 15;
    for (int i = 0; digits && i < 15; ++i) {
        digits = name[i].isDigit() && name[i].unicode() < 0x80;
    }
    if (digits) {
        const QDateTime time(QDate(2000 + digit(0, 2), digit(2, 2), digit(4, 2)),
                             QTime(digit(6, 2), digit(8, 2), digit(10, 2), digit(12, 3)));
        if (time.isValid()) {
            return std::chrono::system_clock::time_point(
                std::chrono::milliseconds(time.toMSecsSinceEpoch()));
        }
    }
    return modified;
}

QString ConvertHelpText() {
    return QStringLiteral(
        "Usage: vistrel-cli convert --format FOURCC --size WIDTHxHEIGHT [--quality Q]\n"
        "                           [--top-down] [--timestamp[=FORMAT]] [--title TEXT]\n"
        "                           INPUT OUTPUT\n"
        "\n"
        "Reads one raw frame from INPUT and writes it as a picture to OUTPUT, converted\n"
        "exactly as the live view converts camera frames.\n"
        "\n"
        "  --format FOURCC      pixel format of the frame: RGB (24-bit blue-green-red,\n"
        "                       bottom row first), I420, IYUV, YV12 (planar 4:2:0),\n"
        "                       YUY2, YUNV, YUYV (packed 4:2:2), MJPG (one JPEG picture),\n"
        "                       any other four characters, or 0x followed by up to eight\n"
        "                       hex digits (the code's first character in the low byte)\n"
        "  --size WIDTHxHEIGHT  frame size in pixels, each from 1 to 32768\n"
        "  --quality Q          JPEG quality from 50 to 100 (default 70); for .jpg only\n"
        "  --top-down           RGB frames hold their top row first (as V4L2 BGR24 does)\n"
        "  --timestamp[=FORMAT] burn a time into the bottom-left corner, as 'log' does:\n"
        "                       strftime's FORMAT (only after '='; %f the milliseconds,\n"
        "                       default %Y-%m-%d %H:%M:%S). The time is the one INPUT's\n"
        "                       name gives when it starts with yymmddhhnnsszzz (local\n"
        "                       time, as 'log' names files), else INPUT's modification\n"
        "                       time\n"
        "  --title TEXT         a caption before the time (or alone), printable ASCII\n"
        "  -h, --help           show this help\n"
        "\n"
        "OUTPUT ending in .jpg or .jpeg is written as JPEG; .bmp and .ppm are lossless.\n"
        "A frame whose length does not fit its format, an unknown format, undecodable\n"
        "JPEG data or a JPEG header of another size gives a picture with a diagnostic\n"
        "text, as the live view shows it. INPUT may not hold more than a frame can: the\n"
        "exact length of a raw format, or WIDTHxHEIGHTx3 bytes and 64 KiB for MJPG and\n"
        "other compressed formats.\n"
        "\n"
        "Example: a frame saved as 261209130837123.yuv, stamped with that time\n"
        "  vistrel-cli convert --format YUY2 --size 640x480 --timestamp \\\n"
        "      261209130837123.yuv frame.jpg\n"
        "\n"
        "Exit status: 0 on success, 1 when reading, converting or writing fails,\n"
        "2 for a wrong command line.\n");
}

int RunConvertCommand(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    return RunCommand(QStringLiteral("convert"), arguments, ConvertHelpText(), out, err, [&] {
        const QString note = RunConvert(ParseConvertArguments(arguments));
        if (!note.isEmpty()) {
            err << kProgram << ": note: " << note << '\n';
        }
        return kExitSuccess;
    });
}

}  // namespace vistrel::cli
