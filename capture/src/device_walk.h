// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "capture/device_enum.h"
#include "capture/status.h"
#include "capture/v4l2_io.h"

namespace vistrel {

// One video-input device met by the walk.
struct WalkedDevice {
    int position = 0;  // 1-based, counting video-input devices only
    std::string path;
    std::string card;     // the driver's card name, as reported
    std::string busInfo;  // the driver's bus info, as reported
};

enum class WalkEnd {
    Exhausted,   // every node was visited
    Stopped,     // the visitor took a device
    ListFailed,  // the node list could not be read; status says why
};

struct WalkResult {
    WalkEnd end = WalkEnd::Exhausted;
    TStatus status = kStatusOk;
    int devices = 0;                      // video-input devices visited
    std::vector<TUnopenedNode> unopened;  // nodes passed over, in walk order
};

// The one device walk behind both the enumeration and the device search, so
// that position n means the same device in both. Visits the nodes in numeric
// order; skips nodes that cannot capture video by streaming, and nodes that
// cannot be opened or queried (they take no position, and the walk goes on:
// one unreadable node must not hide the cameras after it). visit returns
// true to take the device: it may move the open descriptor out and the walk
// stops.
WalkResult WalkCaptureDevices(V4L2Io& io,
                              const std::function<bool(const WalkedDevice&, UniqueFd&)>& visit);

// The device a name or "#n" opens, found by the walk above.
struct FoundDevice {
    UniqueFd fd;
    std::string path;
    std::string friendlyName;  // the trimmed card name
    TCameraIdentity identity;  // card and bus info as the driver gives them
};

// Finds the device deviceName names: trimmed of characters 0 to 32 at both
// ends, empty meaning "#1", it matches a device whose trimmed friendly name
// equals it with the letters a-z taken as A-Z, or it is "#" + the device's
// 1-based position in decimal without leading zeros, or it is an absolute
// path that leads to the device's node (ResolveDevicePath). The first device of the
// walk that matches wins. Status: 0 with found filled; when no device
// matches, the errno status of the first node that could not be opened or
// queried (found.path names it), else E_FAIL; the errno status of a failed
// listing.
TStatus FindCaptureDevice(V4L2Io& io, const std::string& deviceName, FoundDevice& found);

}  // namespace vistrel
