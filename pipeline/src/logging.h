#pragma once

#include <QLoggingCategory>

namespace vistrel {

// "vistrel.pipeline": the video session and the frame conversion. Warnings
// and worse are shown by default; QT_LOGGING_RULES turns on the rest.
Q_DECLARE_LOGGING_CATEGORY(lcPipeline)

}  // namespace vistrel
