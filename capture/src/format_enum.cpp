// SPDX-License-Identifier: MIT
#include "capture/format_enum.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

#include "device_walk.h"
#include "format_setup.h"
#include "logging.h"

namespace vistrel {

namespace {

// Upper bounds for each listing, so a driver that never says "no more" does
// not keep us here.
constexpr std::uint32_t kMaxFormats = 256;
constexpr std::uint32_t kMaxSizes = 1024;
constexpr std::uint32_t kMaxIntervals = 256;

// One step of an index walk: 1 for an entry, 0 at the end of the list
// (EINVAL; ENOTTY from a driver without the call), or an errno status.
TStatus Enumerate(V4L2Io& io, int fd, const std::string& path, unsigned long request,
                  const char* call, void* arg) {
    const int r = Xioctl(io, fd, request, arg);
    if (r >= 0) {
        return 1;
    }
    if (r == -EINVAL || r == -ENOTTY) {
        return 0;
    }
    LogCallFailure(call, path, -r);
    return StatusFromErrno(-r);
}

TFraction FractionOf(const v4l2_fract& f) {
    return {f.numerator, f.denominator};
}

TStatus EnumIntervals(V4L2Io& io, int fd, const std::string& path, std::uint32_t pixelFormat,
                      std::uint32_t width, std::uint32_t height, TIntervalChoice& choice) {
    choice = {};
    for (std::uint32_t index = 0; index < kMaxIntervals; ++index) {
        v4l2_frmivalenum e{};
        e.index = index;
        e.pixel_format = pixelFormat;
        e.width = width;
        e.height = height;
        const TStatus s =
            Enumerate(io, fd, path, VIDIOC_ENUM_FRAMEINTERVALS, "VIDIOC_ENUM_FRAMEINTERVALS", &e);
        if (s <= 0) {
            return s < 0 ? s : kStatusOk;
        }
        if (e.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            choice.discrete.push_back(FractionOf(e.discrete));
            continue;
        }
        // A range is the driver's only entry.
        choice.kind =
            e.type == V4L2_FRMIVAL_TYPE_STEPWISE ? TChoiceKind::Stepwise : TChoiceKind::Continuous;
        choice.discrete.clear();
        choice.min = FractionOf(e.stepwise.min);
        choice.max = FractionOf(e.stepwise.max);
        choice.step = FractionOf(e.stepwise.step);
        return kStatusOk;
    }
    return kStatusOk;
}

TStatus EnumSizes(V4L2Io& io, int fd, const std::string& path, TFormatOffer& offer) {
    for (std::uint32_t index = 0; index < kMaxSizes; ++index) {
        v4l2_frmsizeenum e{};
        e.index = index;
        e.pixel_format = offer.pixelFormat;
        const TStatus s =
            Enumerate(io, fd, path, VIDIOC_ENUM_FRAMESIZES, "VIDIOC_ENUM_FRAMESIZES", &e);
        if (s <= 0) {
            return s < 0 ? s : kStatusOk;
        }
        TSizeChoice size;
        if (e.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            size.width = e.discrete.width;
            size.height = e.discrete.height;
        } else {
            const v4l2_frmsize_stepwise& r = e.stepwise;
            size.kind = e.type == V4L2_FRMSIZE_TYPE_STEPWISE ? TChoiceKind::Stepwise
                                                             : TChoiceKind::Continuous;
            size.width = r.max_width;
            size.height = r.max_height;
            size.minWidth = r.min_width;
            size.minHeight = r.min_height;
            size.stepWidth = size.kind == TChoiceKind::Continuous ? 1 : std::max(r.step_width, 1u);
            size.stepHeight =
                size.kind == TChoiceKind::Continuous ? 1 : std::max(r.step_height, 1u);
        }
        if (const TStatus i = EnumIntervals(io, fd, path, offer.pixelFormat, size.width,
                                            size.height, size.intervals);
            Failed(i)) {
            return i;
        }
        offer.sizes.push_back(std::move(size));
        if (e.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
            return kStatusOk;  // a range is the driver's only entry
        }
    }
    return kStatusOk;
}

}  // namespace

bool TSizeChoice::Contains(std::uint32_t w, std::uint32_t h) const {
    if (kind == TChoiceKind::Discrete) {
        return w == width && h == height;
    }
    return w >= minWidth && w <= width && h >= minHeight && h <= height &&
           (w - minWidth) % stepWidth == 0 && (h - minHeight) % stepHeight == 0;
}

TStatus EnumFormats(V4L2Io& io, int fd, const std::string& path, TDeviceFormats& formats) {
    formats = {};
    if (const TStatus s = QueryStreamFormat(io, fd, path, formats.current); Failed(s)) {
        return s;
    }
    for (std::uint32_t index = 0; index < kMaxFormats; ++index) {
        v4l2_fmtdesc d{};
        d.index = index;
        d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        const TStatus s = Enumerate(io, fd, path, VIDIOC_ENUM_FMT, "VIDIOC_ENUM_FMT", &d);
        if (s <= 0) {
            return s < 0 ? s : kStatusOk;
        }
        TFormatOffer offer;
        offer.pixelFormat = d.pixelformat;
        const auto* text = reinterpret_cast<const char*>(d.description);
        offer.description.assign(text, ::strnlen(text, sizeof d.description));
        offer.compressed = (d.flags & V4L2_FMT_FLAG_COMPRESSED) != 0;
        if (const TStatus sizes = EnumSizes(io, fd, path, offer); Failed(sizes)) {
            return sizes;
        }
        formats.formats.push_back(std::move(offer));
    }
    return kStatusOk;
}

TStatus EnumDeviceFormats(const std::string& deviceName, TDeviceFormats& formats,
                          std::string& friendlyName, V4L2Io& io) {
    formats = {};
    friendlyName.clear();
    FoundDevice found;
    if (const TStatus s = FindCaptureDevice(io, deviceName, found); Failed(s)) {
        return s;
    }
    friendlyName = found.friendlyName;
    return EnumFormats(io, found.fd.Get(), found.path, formats);
}

}  // namespace vistrel
