// SPDX-License-Identifier: MIT
#pragma once

#include <memory>

namespace vistrel {

// Notices that the set of video devices may have changed: Fd() turns
// readable while one is pending, and Drain() consumes them. The owner puts
// the descriptor on its event loop; the descriptor belongs to the source.
class TDeviceEvents {
public:
    virtual ~TDeviceEvents() = default;
    virtual int Fd() const = 0;
    // Reads every pending notice; true when any was about a video device.
    virtual bool Drain() = 0;
};

// udev's video4linux events (a node added, removed or changed), announced by
// udevd once it has made the node and set its permissions. Null when udev
// cannot be reached (no netlink socket, as in some containers; logged), so
// the caller falls back to looking again now and then. Where no udevd runs
// the monitor opens all the same and simply stays silent.
std::unique_ptr<TDeviceEvents> OpenVideoDeviceEvents();

}  // namespace vistrel
