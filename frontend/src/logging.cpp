// SPDX-License-Identifier: MIT
#include "logging.h"

namespace vistrel {

// Warnings show; info is off until asked for (QT_LOGGING_RULES, vistrel-cli -v).
Q_LOGGING_CATEGORY(lcFrontend, "vistrel.frontend", QtWarningMsg)

}  // namespace vistrel
