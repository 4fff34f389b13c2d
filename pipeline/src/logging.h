#pragma once

#include <QLoggingCategory>
#include <QString>

#include "capture/status.h"

namespace vistrel {

// "vistrel.pipeline": the video session and the frame conversion. Warnings
// and worse are shown by default; QT_LOGGING_RULES turns on the rest.
Q_DECLARE_LOGGING_CATEGORY(lcPipeline)

// A status for the log: "status 0x80070013 (No such device)", the errno's
// text only for an errno status.
QString StatusForLog(TStatus status);

}  // namespace vistrel
