// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

namespace vistrel {

// The storage log: failed file calls with their errno, paused writing,
// deleted pictures.
Q_DECLARE_LOGGING_CATEGORY(lcStorage)

}  // namespace vistrel
