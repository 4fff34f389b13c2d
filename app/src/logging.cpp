// SPDX-License-Identifier: MIT
#include "logging.h"

namespace vistrel {

// Warnings show; info is off until asked for (QT_LOGGING_RULES).
Q_LOGGING_CATEGORY(lcApp, "vistrel.app", QtWarningMsg)

}  // namespace vistrel
