// SPDX-License-Identifier: MIT
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

TStatus EnumCaptureNodes(std::vector<TCaptureNode>& nodes, V4L2Io& io,
                         std::vector<TUnopenedNode>* unopened) {
    nodes.clear();
    WalkResult walk = WalkCaptureDevices(io, [&](const WalkedDevice& device, UniqueFd&) {
        nodes.push_back({device.position, device.path, {device.card, device.busInfo}});
        return false;
    });
    if (unopened != nullptr) {
        *unopened = std::move(walk.unopened);
    }
    if (walk.end == WalkEnd::ListFailed) {
        return walk.status;
    }
    // Nodes that could not be opened may be cameras: not "none exists" then.
    const bool noneSkipped = unopened != nullptr ? unopened->empty() : walk.unopened.empty();
    return nodes.empty() && noneSkipped ? kStatusFalse : kStatusOk;
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
