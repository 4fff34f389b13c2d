#include "logging.h"

namespace vistrel {

Q_LOGGING_CATEGORY(lcPipeline, "vistrel.pipeline", QtWarningMsg)

}  // namespace vistrel
