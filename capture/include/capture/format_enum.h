// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/status.h"
#include "capture/v4l2_io.h"

namespace vistrel {

// A frame interval in seconds, numerator / denominator, as V4L2 gives it;
// the frame rate is its inverse. 0/0 means none: not known, or not asked for.
struct TFraction {
    std::uint32_t numerator = 0;
    std::uint32_t denominator = 0;

    bool IsSet() const { return numerator != 0 && denominator != 0; }
    // Frames per second; 0 when not set.
    double Rate() const { return IsSet() ? static_cast<double>(denominator) / numerator : 0.0; }
    friend bool operator==(const TFraction&, const TFraction&) = default;
};

// The format a started device delivers, as the driver reports it.
struct TStreamFormat {
    std::uint32_t pixelFormat = 0;  // V4L2 code
    std::uint32_t compression = 0;  // CompressionFromV4L2(pixelFormat)
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t bytesPerLine = 0;  // may exceed the packed row size
    std::uint32_t sizeImage = 0;     // the driver's largest frame size
    bool topDownRows = true;         // V4L2 stores every format top row first
    TFraction interval;              // VIDIOC_G_PARM's time per frame; unset when none
};

// What a capture start asks of the device before it streams (VIDIOC_S_FMT,
// VIDIOC_S_PARM). Every unset part keeps what the device has; an empty
// request changes nothing, so the device's current format is taken as it is.
struct TFormatRequest {
    std::uint32_t pixelFormat = 0;  // V4L2 code; 0: the current one
    std::uint32_t width = 0;        // width and height together; 0: the current size
    std::uint32_t height = 0;
    TFraction interval;  // unset: the frame rate is left to the driver

    bool Empty() const {
        return pixelFormat == 0 && width == 0 && height == 0 && !interval.IsSet();
    }
    friend bool operator==(const TFormatRequest&, const TFormatRequest&) = default;
};

// How a driver lists sizes or intervals: one value each, or a range.
enum class TChoiceKind { Discrete, Stepwise, Continuous };

// The frame intervals one format offers at one size
// (VIDIOC_ENUM_FRAMEINTERVALS). Empty when the driver lists none.
struct TIntervalChoice {
    TChoiceKind kind = TChoiceKind::Discrete;
    std::vector<TFraction> discrete;  // in the driver's order
    TFraction min;                    // ranges: the shortest interval (highest rate)
    TFraction max;                    // ranges: the longest interval (lowest rate)
    TFraction step;

    bool Empty() const { return kind == TChoiceKind::Discrete && discrete.empty(); }
};

// One entry of VIDIOC_ENUM_FRAMESIZES: a size, or a range of sizes.
struct TSizeChoice {
    TChoiceKind kind = TChoiceKind::Discrete;
    std::uint32_t width = 0;  // Discrete: the size; ranges: the largest size
    std::uint32_t height = 0;
    std::uint32_t minWidth = 0;  // ranges only
    std::uint32_t minHeight = 0;
    std::uint32_t stepWidth = 1;
    std::uint32_t stepHeight = 1;
    // The intervals at this size; for a range, at its largest size.
    TIntervalChoice intervals;

    bool Contains(std::uint32_t w, std::uint32_t h) const;
};

// One pixel format of VIDIOC_ENUM_FMT with its sizes.
struct TFormatOffer {
    std::uint32_t pixelFormat = 0;
    std::string description;  // the driver's text
    bool compressed = false;
    std::vector<TSizeChoice> sizes;  // empty when the driver lists none
};

// What a camera offers, in the driver's order, and what it is set to now.
struct TDeviceFormats {
    std::vector<TFormatOffer> formats;
    TStreamFormat current;
};

// Lists the formats, sizes and intervals of an open capture device, and its
// current format. A listing the driver does not support is empty; status is
// the errno status of the first call that failed otherwise (the device
// vanished, for example). path names the device in the log.
TStatus EnumFormats(V4L2Io& io, int fd, const std::string& path, TDeviceFormats& formats);

// The same for the device deviceName names, found as TVideoSample::StartVideo
// finds it ("#n" or a friendly name), opened for the listing and closed
// again. friendlyName receives the matched device's trimmed name. Status as
// StartVideo's search: E_FAIL when no device matches.
TStatus EnumDeviceFormats(const std::string& deviceName, TDeviceFormats& formats,
                          std::string& friendlyName, V4L2Io& io = *SystemV4L2Io());

}  // namespace vistrel
