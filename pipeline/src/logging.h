// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>
#include <QString>

#include "capture/status.h"

namespace vistrel {

// "vistrel.pipeline": the video session and the frame conversion. Warnings
// and worse are shown by default; QT_LOGGING_RULES turns on the rest.
Q_DECLARE_LOGGING_CATEGORY(lcPipeline)

// A status for the log in words: "No such device (errno 19)" for an errno
// status; the capture layer logged the details of any other failure.
QString StatusForLog(TStatus status);

}  // namespace vistrel
