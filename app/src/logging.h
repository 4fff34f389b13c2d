// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

namespace vistrel {

// The window's log: the instance lock, the power watcher, messages no box
// could show.
Q_DECLARE_LOGGING_CATEGORY(lcApp)

}  // namespace vistrel
