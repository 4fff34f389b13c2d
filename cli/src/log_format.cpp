// SPDX-License-Identifier: MIT
#include "log_format.h"

#include "arguments.h"
#include "logging.h"

namespace vistrel::cli {

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

void NoteSavedFormatSkip(const TSavedFormatSkip& skip, QTextStream& err) {
    if (skip.reason == TSavedFormatSkip::Reason::Unconvertible) {
        err << kProgram << ": the saved format " << skip.saved
            << " is one Vistrel cannot convert; taking the camera's current format\n";
    } else {
        err << kProgram << ": the camera does not offer the saved format " << skip.saved
            << "; taking its current format\n";
    }
    err.flush();
    qCInfo(lcCli, "saved format %s not taken: %s", qUtf8Printable(skip.saved),
           qUtf8Printable(skip.why));
}

void NoteStartReport(const TStartReport& report, QTextStream& err) {
    if (report.passthroughIgnored) {
        err << kProgram << ": passthrough applies to MJPG cameras only; the camera sends "
            << FormatName(report.pixelFormat) << ", so its frames are encoded\n";
    }
    if (!report.adjustment.isEmpty()) {
        err << kProgram << ": the camera adjusted the request: " << report.adjustment << '\n';
    } else if (report.unconvertible) {
        err << kProgram << ": the camera sends " << FormatName(report.pixelFormat)
            << ", which Vistrel cannot convert: each frame shows the \"Unknown compression\" "
               "picture. ";
        if (report.convertible.isEmpty()) {
            err << "It offers no format Vistrel converts.\n";
        } else {
            err << "It also offers " << report.convertible.join(QStringLiteral(", "))
                << "; pick one with --format, e.g. --format " << report.convertible.front() << '\n';
        }
    }
    err.flush();
}

}  // namespace vistrel::cli
