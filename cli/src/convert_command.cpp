#include "convert_command.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>

#include <exception>
#include <limits>
#include <new>
#include <optional>

#include "imaging/jpeg_image.h"
#include "pipeline/frame_converter.h"

namespace vistrel::cli {

namespace {

void ParseSize(const QString& text, ConvertOptions& options) {
    const QStringList parts = text.split(u'x', Qt::KeepEmptyParts, Qt::CaseInsensitive);
    if (parts.size() != 2) {
        Usage(QStringLiteral("--size takes WIDTHxHEIGHT, not \"%1\"").arg(text));
    }
    options.width = ParseNumber(parts[0], QStringLiteral("the width"), 1, kMaxSide);
    options.height = ParseNumber(parts[1], QStringLiteral("the height"), 1, kMaxSide);
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

QByteArray ReadFrame(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(
            QStringLiteral("Cannot open \"%1\". %2").arg(path, file.errorString()).toStdString());
    }
    if (file.size() > std::numeric_limits<std::int32_t>::max()) {
        throw std::runtime_error(
            QStringLiteral("\"%1\" is too large to be one frame").arg(path).toStdString());
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw std::runtime_error(
            QStringLiteral("Cannot read \"%1\". %2").arg(path, file.errorString()).toStdString());
    }
    return bytes;
}

void WriteLossless(const QImage& picture, const QString& path, const char* format) {
    // Written aside and renamed into place, so a failure leaves no partial file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, format) || !file.commit()) {
        throw std::runtime_error(
            QStringLiteral("Cannot write \"%1\". %2").arg(path, file.errorString()).toStdString());
    }
}

void WritePicture(const QImage& picture, const ConvertOptions& options) {
    switch (options.outputKind) {
        case OutputKind::Jpeg: {
            TJPEGImage encoder;
            encoder.SetEncodingQuality(options.quality);
            encoder.SetImage(picture);
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
QString NoteFor(const TConversionResult& result, const ConvertOptions& options, qsizetype length) {
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
            ParseSize(*size, options);
            haveSize = true;
        } else if (const auto quality = TakeValue(arguments, i, QStringLiteral("--quality"))) {
            options.quality =
                ParseNumber(*quality, QStringLiteral("--quality"), kMinQuality, kMaxQuality);
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
    return options;
}

QString RunConvert(const ConvertOptions& options) {
    const QByteArray frame = ReadFrame(options.input);
    if (frame.isEmpty()) {
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
    TFrameConverter converter;
    const TConversionResult result =
        converter.Convert({.data = reinterpret_cast<const std::uint8_t*>(frame.constData()),
                           .length = static_cast<std::int32_t>(frame.size()),
                           .compression = options.compression,
                           .width = options.width,
                           .height = options.height,
                           .topDownRgb = options.topDown},
                          picture);
    if (!result.Completed()) {
        throw std::runtime_error("The frame could not be converted");
    }
    WritePicture(picture, options);
    return NoteFor(result, options, frame.size());
}

QString ConvertHelpText() {
    return QStringLiteral(
        "Usage: vistrel-cli convert --format FOURCC --size WIDTHxHEIGHT [--quality Q]\n"
        "                           [--top-down] INPUT OUTPUT\n"
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
        "  -h, --help           show this help\n"
        "\n"
        "OUTPUT ending in .jpg or .jpeg is written as JPEG; .bmp and .ppm are lossless.\n"
        "A frame whose length does not fit its format, an unknown format or undecodable\n"
        "JPEG data gives a picture with a diagnostic text, as the live view shows it.\n"
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
