// SPDX-License-Identifier: MIT
#include "logging.h"

#include "base/errors.h"

namespace vistrel {

// Warnings show; info is off until asked for (QT_LOGGING_RULES, vistrel-cli -v).
Q_LOGGING_CATEGORY(lcCapture, "vistrel.capture", QtWarningMsg)

void LogCallFailure(const char* call, const std::string& path, int errorNumber) {
    qCInfo(lcCapture, "%s on %s: %s", call, path.c_str(), ErrnoText(errorNumber).c_str());
}

}  // namespace vistrel
