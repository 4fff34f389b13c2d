// SPDX-License-Identifier: MIT
#include "frontend/failure_text.h"

#include <cerrno>

#include "base/errors.h"

namespace vistrel {

QString DeviceFailureText(const QString& device, int errorNumber) {
    switch (errorNumber) {
        case EBUSY:
            return QStringLiteral("%1 is busy: another program is using the camera").arg(device);
        case EACCES:
        case EPERM:
            return QStringLiteral(
                       "%1 cannot be opened: permission denied; add your user to the video group")
                .arg(device);
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return QStringLiteral("%1 is not there: the camera was unplugged or switched off")
                .arg(device);
        case EINVAL:
        case ENOTSUP:
        case ENOTTY:
            return QStringLiteral("%1 does not support the requested format or way of capturing")
                .arg(device);
        default:
            return QStringLiteral("%1: %2").arg(
                device, QString::fromStdString(SystemErrorText(errorNumber)));
    }
}

QString StartFailureMessage(const TVideoImage::StartFailure& failure) {
    const QString first = QStringLiteral("Could not start grabbing!");
    if (Succeeded(failure.status)) {
        return first;
    }
    const QString device = failure.path.isEmpty()
                               ? QStringLiteral("Camera \"%1\"").arg(failure.deviceName)
                               : failure.path;
    if (const int errorNumber = ErrnoOfStatus(failure.status); errorNumber != 0) {
        return first + QLatin1Char(' ') + DeviceFailureText(device, errorNumber) + QLatin1Char('.');
    }
    if (failure.path.isEmpty()) {
        // "#0" is what an empty choice of camera turns into: no position is 0.
        if (failure.deviceName == QLatin1String("#0")) {
            return first + QStringLiteral(" No camera is chosen.");
        }
        return first + QStringLiteral(" No camera \"%1\" was found.").arg(failure.deviceName);
    }
    return first + QStringLiteral(" %1 could not be set up for capturing.").arg(device);
}

}  // namespace vistrel
