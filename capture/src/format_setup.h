// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "capture/format_enum.h"
#include "capture/status.h"
#include "capture/v4l2_io.h"

namespace vistrel {

// Reads the device's current format (VIDIOC_G_FMT) and frame interval
// (VIDIOC_G_PARM; left unset when the driver reports none). Status: 0, or
// the errno status of VIDIOC_G_FMT. path names the device in the log.
TStatus QueryStreamFormat(V4L2Io& io, int fd, const std::string& path, TStreamFormat& format);

// Sets what request asks for, before buffers are requested: the format and
// size through VIDIOC_S_FMT (starting from the current format, the line and
// image sizes left for the driver to choose), the interval through
// VIDIOC_S_PARM. An empty request makes no call. Status: 0, or the errno
// status of a failed VIDIOC_G_FMT or VIDIOC_S_FMT. A frame interval the
// driver cannot set is logged and left as it is: the rate is the driver's
// to keep, and the caller sees it in QueryStreamFormat.
TStatus ApplyFormatRequest(V4L2Io& io, int fd, const std::string& path,
                           const TFormatRequest& request);

}  // namespace vistrel
