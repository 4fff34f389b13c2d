// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <memory>
#include <optional>

#include "capture/status.h"
#include "capture/v4l2_io.h"
#include "log_command.h"

namespace vistrel::cli {

QString FormatsHelpText();

// What "vistrel-cli formats" was asked for; no device: the settings' camera.
struct FormatsOptions {
    std::optional<QString> device;
};

// The arguments that follow "formats". Throws UsageError.
FormatsOptions ParseFormatsArguments(const QStringList& arguments);

// Lists what the camera offers on out, one line per format and size (see
// FormatListing). Returns the exit status: 1 when the camera cannot be
// opened or listed.
int RunFormats(const FormatsOptions& options, const LogSettings& settings,
               const std::shared_ptr<V4L2Io>& io, QTextStream& out, QTextStream& err);

// "vistrel-cli formats ARGUMENTS".
int RunFormatsCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                      QTextStream& out, QTextStream& err);

// Why a camera could not be listed, for the user: no camera of that name or
// position, or the system's reason.
QString CameraListingFailure(const QString& device, TStatus status);

}  // namespace vistrel::cli
