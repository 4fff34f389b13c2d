// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <memory>
#include <optional>
#include <vector>

#include "capture/camera_controls.h"
#include "capture/v4l2_io.h"
#include "log_command.h"

namespace vistrel::cli {

QString ControlsHelpText();

// What "vistrel-cli controls" was asked for; no device: the settings' camera.
struct ControlsOptions {
    std::optional<QString> device;
};

// The arguments that follow "controls". Throws UsageError.
ControlsOptions ParseControlsArguments(const QStringList& arguments);

// One tab-separated line per control, in the driver's order (see the help).
QStringList ControlListing(const std::vector<TCameraControl>& controls);

// Lists the camera's controls on out. Returns the exit status: 1 when the
// camera cannot be opened or its controls read.
int RunControls(const ControlsOptions& options, const LogSettings& settings,
                const std::shared_ptr<V4L2Io>& io, QTextStream& out, QTextStream& err);

// "vistrel-cli controls ARGUMENTS".
int RunControlsCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                       QTextStream& out, QTextStream& err);

}  // namespace vistrel::cli
