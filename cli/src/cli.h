// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>
#include <QTextStream>

#include <memory>

#include "capture/v4l2_io.h"

namespace vistrel::cli {

QString UsageText();

// The whole front end: arguments[0] is the program; io reaches the cameras.
// Returns the exit status.
int RunCli(const QStringList& arguments, QTextStream& out, QTextStream& err,
           const std::shared_ptr<V4L2Io>& io = SystemV4L2Io());

}  // namespace vistrel::cli
