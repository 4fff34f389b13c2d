// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <memory>

#include "capture/v4l2_io.h"

namespace vistrel::cli {

QString DevicesHelpText();

// "vistrel-cli devices": one line per camera, its position, a tab and its
// name; each node that could not be opened is named on err with the reason.
// Without a camera the list is empty and a note says so on err; the status
// is still 0 unless nodes could not be opened or listed (then 1). Returns
// the exit status.
int RunDevicesCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                      QTextStream& out, QTextStream& err);

}  // namespace vistrel::cli
