#include "log_format.h"

#include "arguments.h"
#include "logging.h"
#include "pipeline/video_image.h"

namespace vistrel::cli {

namespace {

// The saved pair, when the camera offers it; else one line on err and none.
void TakeSavedChoice(const TSettings& settings, const TDeviceFormats& offered,
                     TFormatChoice& choice, QTextStream& err) {
    TFormatChoice saved;
    TFormatRequest request;
    QString why = QStringLiteral("not a format and size");
    if (ChoiceFromSettings(settings.Format, settings.Size, saved) &&
        ResolveFormatChoice(offered, saved, request, why)) {
        choice.code = saved.code;
        choice.width = saved.width;
        choice.height = saved.height;
        return;
    }
    const QString text = (settings.Format + u' ' + settings.Size).trimmed();
    err << kProgram << ": the camera does not offer the saved format " << text
        << "; taking its current format\n";
    err.flush();
    qCInfo(lcCli, "saved format %s not taken: %s", qUtf8Printable(text), qUtf8Printable(why));
}

}  // namespace

bool ParseFormatArgument(const QStringList& arguments, qsizetype& i, TFormatChoice& choice) {
    if (const auto code = TakeValue(arguments, i, QStringLiteral("--format"))) {
        if (!IsFormatCode(*code)) {
            Usage(QStringLiteral("--format takes a code such as YUY2, MJPG or a V4L2 code of up to "
                                 "four characters, not \"%1\"")
                      .arg(*code));
        }
        choice.code = *code;
    } else if (const auto size = TakeValue(arguments, i, QStringLiteral("--size"))) {
        if (!ParseSize(*size, choice.width, choice.height)) {
            Usage(QStringLiteral("--size takes WIDTHxHEIGHT, not \"%1\"").arg(*size));
        }
    } else if (const auto fps = TakeValue(arguments, i, QStringLiteral("--fps"))) {
        if (!ParseRate(*fps, choice.fps)) {
            Usage(QStringLiteral("--fps takes frames per second above 0 and up to 1000, not \"%1\"")
                      .arg(*fps));
        }
    } else {
        return false;
    }
    return true;
}

TFormatRequest ChooseLogFormat(const TFormatChoice& asked, const TSettings& settings,
                               TVideoImage& session, const QString& device, QTextStream& err) {
    const bool useSaved = asked.code.isEmpty() && asked.width == 0 &&
                          (!settings.Format.isEmpty() || !settings.Size.isEmpty());
    if (asked.Empty() && !useSaved) {
        return {};
    }
    TDeviceFormats offered;
    if (const TStatus status = session.GetDeviceFormats(device, offered); Failed(status)) {
        // Nothing to check against; a camera that cannot be opened fails to
        // start right after, as it would without a choice.
        qCInfo(lcCli, "formats of %s not listed: status 0x%08x", qUtf8Printable(device),
               static_cast<unsigned>(status));
        if (asked.Empty()) {
            return {};
        }
        offered = {};
    }
    TFormatChoice choice = asked;
    if (useSaved) {
        TakeSavedChoice(settings, offered, choice, err);
    }
    TFormatRequest request;
    QString why;
    if (!choice.Empty() && !ResolveFormatChoice(offered, choice, request, why)) {
        Usage(why);
    }
    return request;
}

void NoteLogFormat(const TFormatRequest& request, TVideoImage& session, QTextStream& err) {
    const TStreamFormat& got = session.CaptureFormat();
    if (const QString note = AdjustmentNote(request, got); !note.isEmpty()) {
        err << kProgram << ": the camera adjusted the request: " << note << '\n';
    } else if (request.pixelFormat == 0 && !IsConvertible(got.pixelFormat)) {
        TDeviceFormats offered;
        session.CaptureFormats(offered);
        const QStringList names = ConvertibleFormats(offered);
        err << kProgram << ": the camera sends " << FormatName(got.pixelFormat)
            << ", which Vistrel cannot convert: each frame shows the \"Unknown compression\" "
               "picture. ";
        if (names.isEmpty()) {
            err << "It offers no format Vistrel converts.\n";
        } else {
            err << "It also offers " << names.join(QStringLiteral(", "))
                << "; pick one with --format, e.g. --format " << names.front() << '\n';
        }
    }
    err.flush();
}

}  // namespace vistrel::cli
