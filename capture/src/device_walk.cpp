// SPDX-License-Identifier: MIT
#include "device_walk.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cstring>
#include <vector>

#include "logging.h"

namespace vistrel {
namespace {

bool IsStreamingCapture(const v4l2_capability& cap) {
    // device_caps describes this node; capabilities the whole device.
    const std::uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
    return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 && (caps & V4L2_CAP_STREAMING) != 0;
}

// QUERYCAP's text fields need not be NUL-terminated when the text fills them.
template <std::size_t N>
std::string FieldText(const std::uint8_t (&field)[N]) {
    const auto* text = reinterpret_cast<const char*>(field);
    return std::string(text, ::strnlen(text, N));
}

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// Only a to z change; every other byte (including non-ASCII) compares as is.
std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

}  // namespace

WalkResult WalkCaptureDevices(V4L2Io& io,
                              const std::function<bool(const WalkedDevice&, UniqueFd&)>& visit) {
    WalkResult result;
    std::vector<std::string> nodes;
    if (const int r = io.ListDeviceNodes(nodes); r < 0) {
        LogCallFailure("opendir", "/dev", -r);
        result.end = WalkEnd::ListFailed;
        result.status = StatusFromErrno(-r);
        return result;
    }
    SortDeviceNodes(nodes);

    for (const std::string& path : nodes) {
        const int fd = io.Open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            LogCallFailure("open", path, -fd);
            result.unopened.push_back({path, -fd});
            continue;
        }
        UniqueFd device(fd, io);
        v4l2_capability cap{};
        if (const int r = Xioctl(io, fd, VIDIOC_QUERYCAP, &cap); r < 0) {
            LogCallFailure("VIDIOC_QUERYCAP", path, -r);
            result.unopened.push_back({path, -r});
            continue;
        }
        if (!IsStreamingCapture(cap)) {
            continue;
        }
        WalkedDevice walked{++result.devices, path, FieldText(cap.card), FieldText(cap.bus_info)};
        if (visit(walked, device)) {
            result.end = WalkEnd::Stopped;
            return result;
        }
    }
    result.end = WalkEnd::Exhausted;
    return result;
}

TStatus FindCaptureDevice(V4L2Io& io, const std::string& deviceName, FoundDevice& found) {
    std::string wanted = Trim(deviceName);
    if (wanted.empty()) {
        wanted = "#1";
    }
    const std::string wantedUpper = UpperAscii(wanted);
    // A path names its node, also through links such as /dev/v4l/by-id/...
    const std::string node = ResolveDevicePath(wanted);
    if (!node.empty() && node != wanted) {
        qCInfo(lcCapture, "%s leads to %s", wanted.c_str(), node.c_str());
    }
    const WalkResult walk = WalkCaptureDevices(io, [&](const WalkedDevice& d, UniqueFd& fd) {
        const std::string name = Trim(d.card);
        if (UpperAscii(name) != wantedUpper && wanted != "#" + std::to_string(d.position) &&
            (node.empty() || d.path != node)) {
            return false;
        }
        found.friendlyName = name;
        found.path = d.path;
        found.identity = {d.card, d.busInfo};
        found.fd = std::move(fd);
        return true;
    });
    switch (walk.end) {
        case WalkEnd::Stopped:
            return kStatusOk;
        case WalkEnd::Exhausted:
            break;
        case WalkEnd::ListFailed:
            return walk.status;
    }
    qCInfo(lcCapture, "no capture device matches \"%s\" (%d found, %zu could not be opened)",
           wanted.c_str(), walk.devices, walk.unopened.size());
    if (walk.unopened.empty()) {
        return kStatusFail;
    }
    // The camera asked for may be the node that could not be opened.
    found.path = walk.unopened.front().path;
    return StatusFromErrno(walk.unopened.front().errorNumber);
}

}  // namespace vistrel
