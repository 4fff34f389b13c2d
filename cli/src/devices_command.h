#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <memory>

#include "capture/v4l2_io.h"

namespace vistrel::cli {

QString DevicesHelpText();

// "vistrel-cli devices": one line per camera, its position, a tab and its
// name. Without a camera the list is empty, a note says so on err and the
// status is still 0. Returns the exit status.
int RunDevicesCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                      QTextStream& out, QTextStream& err);

}  // namespace vistrel::cli
