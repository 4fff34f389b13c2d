#include "capture/device_enum.h"

#include "device_walk.h"

namespace vistrel {

TStatus EnumCaptureDevices(std::vector<std::string>& list, V4L2Io& io) {
    list.clear();
    std::vector<TCaptureNode> nodes;
    const TStatus status = EnumCaptureNodes(nodes, io);
    for (TCaptureNode& node : nodes) {
        list.push_back(std::move(node.identity.card));
    }
    return status;
}

TStatus EnumCaptureNodes(std::vector<TCaptureNode>& nodes, V4L2Io& io) {
    nodes.clear();
    std::vector<TCaptureNode> found;
    const WalkResult walk = WalkCaptureDevices(io, [&](const WalkedDevice& device, UniqueFd&) {
        found.push_back({device.position, device.path, {device.card, device.busInfo}});
        return false;
    });
    switch (walk.end) {
        case WalkEnd::ListFailed:
            return walk.status;
        case WalkEnd::Exhausted:
            nodes = std::move(found);
            return nodes.empty() ? kStatusFalse : kStatusOk;
        case WalkEnd::Unreadable:
        case WalkEnd::Stopped:
            break;
    }
    // An unreadable node ends the list but not the success: earlier devices
    // are still there, and "#n" stops at the same node.
    nodes = std::move(found);
    return kStatusOk;
}

const TCaptureNode* FindSameCamera(const TCameraIdentity& wanted,
                                   const std::vector<TCaptureNode>& nodes) {
    if (wanted.card.empty()) {
        return nullptr;
    }
    const TCaptureNode* sameCard = nullptr;
    int cardMatches = 0;
    for (const TCaptureNode& node : nodes) {
        if (node.identity == wanted) {
            return &node;
        }
        if (node.identity.card == wanted.card) {
            sameCard = &node;
            ++cardMatches;
        }
    }
    return cardMatches == 1 ? sameCard : nullptr;
}

}  // namespace vistrel
