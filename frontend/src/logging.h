// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

namespace vistrel {

// The shared front-end code's log: why the settings file could not be written.
Q_DECLARE_LOGGING_CATEGORY(lcFrontend)

}  // namespace vistrel
