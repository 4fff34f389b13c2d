// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

namespace vistrel {

// The base library's log: the default error report and Qt's own notices.
Q_DECLARE_LOGGING_CATEGORY(lcBase)

}  // namespace vistrel
