// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

namespace vistrel {

// The command-line front end's log (the messages to the user stay on err).
Q_DECLARE_LOGGING_CATEGORY(lcCli)

}  // namespace vistrel
