#include "capture/device_enum.h"

#include "device_walk.h"

namespace vistrel {

TStatus EnumCaptureDevices(std::vector<std::string>& list, V4L2Io& io) {
    list.clear();
    std::vector<std::string> names;
    const WalkResult walk = WalkCaptureDevices(io, [&](const WalkedDevice& device, UniqueFd&) {
        names.push_back(device.card);
        return false;
    });
    switch (walk.end) {
        case WalkEnd::ListFailed:
            return walk.status;
        case WalkEnd::Exhausted:
            list = std::move(names);
            return list.empty() ? kStatusFalse : kStatusOk;
        case WalkEnd::Unreadable:
        case WalkEnd::Stopped:
            break;
    }
    // An unreadable node ends the list but not the success: earlier devices
    // are still there, and "#n" stops at the same node.
    list = std::move(names);
    return kStatusOk;
}

}  // namespace vistrel
