// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "capture/status.h"
#include "capture/v4l2_io.h"

namespace vistrel {

// Lists the video-input devices by friendly name (the driver's card name,
// not trimmed), in the order the device walk visits them: /dev/video* nodes
// in numeric order that can capture video by streaming. Other nodes
// (metadata, output, codec, multi-planar-only) are skipped, and so are nodes
// that cannot be opened or queried (they take no position).
//
// The list is cleared first. Status:
//   0         the walk ran (the list may still be empty when no node could
//             be opened or queried)
//   1         no video-input device exists: the walk reached the end
//             without finding one
//   negative  the device nodes could not be listed (errno status)
//
// Position n (counted from 1) in the list is the device "#n" opens in
// TVideoSample::StartVideo: both use the same walk.
TStatus EnumCaptureDevices(std::vector<std::string>& list, V4L2Io& io = *SystemV4L2Io());

// What tells a camera from others across an unplug and its return: the
// driver's card name and bus info (VIDIOC_QUERYCAP), as reported. The bus
// info names the port, so it stays when the node number changes.
struct TCameraIdentity {
    std::string card;
    std::string busInfo;
    bool operator==(const TCameraIdentity&) const = default;
};

// One video-input node as the walk meets it.
struct TCaptureNode {
    int position = 0;  // the n of "#n"
    std::string path;  // "/dev/video2"
    TCameraIdentity identity;
};

// A node the walk passed over because it could not be opened or queried.
struct TUnopenedNode {
    std::string path;  // "/dev/video0"
    int errorNumber = 0;
};

// The same walk as EnumCaptureDevices, with position, node and identity of
// each device; the same statuses. unopened, when given, is set to the nodes
// that could not be opened or queried.
TStatus EnumCaptureNodes(std::vector<TCaptureNode>& nodes, V4L2Io& io = *SystemV4L2Io(),
                         std::vector<TUnopenedNode>* unopened = nullptr);

// The node that is the camera `wanted` names: the first with the same card
// name and bus info; failing that, the only one with the same card name.
// Null when there is none, when several share the card name and none the
// bus info, or when wanted has no card name (nothing was ever identified).
const TCaptureNode* FindSameCamera(const TCameraIdentity& wanted,
                                   const std::vector<TCaptureNode>& nodes);

// The device node an absolute path names: symbolic links are followed to
// the end, as udev's stable links (/dev/v4l/by-id/..., /dev/v4l/by-path/...)
// lead to /dev/videoN, a relative target taken from the link's folder. The
// end need not exist. Empty when path is not absolute.
std::string ResolveDevicePath(const std::string& path);

// The first link in directory, by name, that leads to node (a full path);
// empty when none does or the folder cannot be read.
std::string DeviceLinkTo(const std::string& node, const std::string& directory = "/dev/v4l/by-id");

}  // namespace vistrel
