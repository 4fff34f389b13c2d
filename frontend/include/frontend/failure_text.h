// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include "pipeline/video_image.h"

namespace vistrel {

// Why a device node could not be used, in the user's words and with the
// usual fix where there is one: "/dev/video0 is busy: another program is
// using the camera". No final period, so that it reads inside a sentence.
QString DeviceFailureText(const QString& device, int errorNumber);

// The message for a failed start: the first sentence is always "Could not
// start grabbing!"; the cause follows as a second sentence when the failure
// tells one (a start that was never tried tells none).
QString StartFailureMessage(const TVideoImage::StartFailure& failure);

}  // namespace vistrel
