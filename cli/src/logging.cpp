// SPDX-License-Identifier: MIT
#include "logging.h"

namespace vistrel {

// Warnings show; info is off until asked for (QT_LOGGING_RULES, -v).
Q_LOGGING_CATEGORY(lcCli, "vistrel.cli", QtWarningMsg)

}  // namespace vistrel
