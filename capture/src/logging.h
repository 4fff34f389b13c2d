// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

#include <string>

namespace vistrel {

// The capture layer's log: each failed call on a device, with its errno.
Q_DECLARE_LOGGING_CATEGORY(lcCapture)

// Logs "<call> on <path>: <system text> (errno N)" at info level; errorNumber
// is an errno value.
void LogCallFailure(const char* call, const std::string& path, int errorNumber);

}  // namespace vistrel
