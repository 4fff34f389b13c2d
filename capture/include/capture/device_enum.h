#pragma once

#include <string>
#include <vector>

#include "capture/status.h"
#include "capture/v4l2_io.h"

namespace vistrel {

// Lists the video-input devices by friendly name (the driver's card name,
// not trimmed), in the order the device walk visits them: /dev/video* nodes
// in numeric order that can capture video by streaming. Other nodes
// (metadata, output, codec, multi-planar-only) are skipped; a node that
// cannot be opened or queried ends the walk, earlier names stay listed.
//
// The list is cleared first. Status:
//   0         the walk ran (the list may still be empty when the very first
//             node could not be opened or queried)
//   1         no video-input device exists: the walk reached the end
//             without finding one
//   negative  the device nodes could not be listed (errno status)
//
// Position n (counted from 1) in the list is the device "#n" opens in
// TVideoSample::StartVideo: both use the same walk.
TStatus EnumCaptureDevices(std::vector<std::string>& list, V4L2Io& io = *SystemV4L2Io());

}  // namespace vistrel
