// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include "frontend/capture_controller.h"
#include "frontend/format_choice.h"

namespace vistrel::cli {

// Takes --format CODE, --size WxH or --fps N at arguments[i] into choice
// (also as NAME=VALUE); false when arguments[i] is none of them. Throws
// UsageError for a value not of its form.
bool ParseFormatArgument(const QStringList& arguments, qsizetype& i, TFormatChoice& choice);

// One line on err for a saved choice the camera does not take.
void NoteSavedFormatSkip(const TSavedFormatSkip& skip, QTextStream& err);

// After a successful start: one line on err when the driver adjusted the
// request, or, when no format was chosen, when the camera sends a format
// Vistrel cannot convert (naming those it could, and how to pick one).
// Before that, one line when passthrough was asked of a camera that sends
// no MJPG.
void NoteStartReport(const TStartReport& report, QTextStream& err);

}  // namespace vistrel::cli
