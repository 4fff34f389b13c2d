#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include "capture/format_enum.h"
#include "frontend/format_choice.h"
#include "frontend/settings.h"

namespace vistrel {
class TVideoImage;
}

namespace vistrel::cli {

// Takes --format CODE, --size WxH or --fps N at arguments[i] into choice
// (also as NAME=VALUE); false when arguments[i] is none of them. Throws
// UsageError for a value not of its form.
bool ParseFormatArgument(const QStringList& arguments, qsizetype& i, TFormatChoice& choice);

// The format a log run asks the camera for. The choice on the command line
// (--format, --size, --fps) must be offered by the camera, else a UsageError
// says what it offers. Without --format and --size the window's saved choice
// (Format and Size) is taken, with --fps on top; a saved choice the camera
// does not offer gives one line on err and the camera's current format.
// Without any choice the request is empty and the camera is not even listed:
// its current format is taken as it is.
TFormatRequest ChooseLogFormat(const TFormatChoice& asked, const TSettings& settings,
                               TVideoImage& session, const QString& device, QTextStream& err);

// After a successful start: one line on err when the driver adjusted the
// request, or, when no format was chosen, when the camera sends a format
// Vistrel cannot convert (naming those it could, and how to pick one).
void NoteLogFormat(const TFormatRequest& request, TVideoImage& session, QTextStream& err);

}  // namespace vistrel::cli
