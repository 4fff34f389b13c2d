// SPDX-License-Identifier: MIT
#pragma once

namespace vistrel {

// Keeps Qt's notice "QStandardPaths: XDG_RUNTIME_DIR not set" off the
// terminal. Every Qt program prints it when started without that variable
// (under a service manager, over ssh), and Vistrel does not need the runtime
// directory. The notice goes to the vistrel.base log at info level; every
// other message passes unchanged to the handler installed before. Call it
// before the application object is made: that is when Qt prints it.
void RouteQtEnvironmentNotices();

}  // namespace vistrel
