// SPDX-License-Identifier: MIT
#include "capture/pixel_format.h"

#include <linux/videodev2.h>

// The table is checked where it is compiled: a row added or edited so that
// two formats claim one code or name, or so that capture and conversion
// disagree about a format, does not build.

namespace vistrel {
namespace {

static_assert(v4l2::kYUYV == V4L2_PIX_FMT_YUYV && v4l2::kYU12 == V4L2_PIX_FMT_YUV420 &&
              v4l2::kYV12 == V4L2_PIX_FMT_YVU420 && v4l2::kMJPG == V4L2_PIX_FMT_MJPEG &&
              v4l2::kJPEG == V4L2_PIX_FMT_JPEG && v4l2::kBGR3 == V4L2_PIX_FMT_BGR24);

// Each V4L2 code, pipeline code and name belongs to one format, found by
// the lookups as that format's.
consteval bool EachCodeAndNameFindsItsFormat() {
    for (const TPixelFormat& format : kPixelFormats) {
        if (format.v4l2Codes[0] == 0 || !format.Converts()) {
            return false;
        }
        for (const std::uint32_t code : format.v4l2Codes) {
            if (code != 0 && FindV4L2Format(code) != &format) {
                return false;
            }
        }
        for (const std::uint32_t code : format.otherCodes) {
            if (code != 0 && FindFrameFormat(code) != &format) {
                return false;
            }
        }
        if (FindFrameFormat(format.compression) != &format ||
            FindNamedFormat(format.name) != &format) {
            return false;
        }
        for (const std::string_view alias : format.aliases) {
            if (!alias.empty() && FindNamedFormat(alias) != &format) {
                return false;
            }
        }
    }
    return true;
}
static_assert(EachCodeAndNameFindsItsFormat());

// A name that reads as a pipeline code (four characters) is one the
// converter takes for that format, or no format's at all, so that a code
// typed by a user never means two different formats.
consteval bool NamesAreNotOtherFormatsCodes() {
    for (const TPixelFormat& format : kPixelFormats) {
        for (const TPixelFormat& other : kPixelFormats) {
            for (std::string_view name : {format.name, format.aliases[0], format.aliases[1]}) {
                if (name.size() != 4 || &other == &format) {
                    continue;
                }
                if (other.TakesCode(FourCCFromChars(name[0], name[1], name[2], name[3]))) {
                    return false;
                }
            }
        }
    }
    return true;
}
static_assert(NamesAreNotOtherFormatsCodes());

// Chroma order matters only for planar 4:2:0.
consteval bool ChromaOrderOnlyForPlanes() {
    for (const TPixelFormat& format : kPixelFormats) {
        if (format.crFirst && format.layout != FrameLayout::Planar420) {
            return false;
        }
    }
    return true;
}
static_assert(ChromaOrderOnlyForPlanes());

// An unpadded frame holds exactly its rows, and 4:2:0 its three planes.
static_assert(RequiredFrameLength(FrameLayout::Packed422, 640, 480) ==
              RequiredPaddedLength(FrameLayout::Packed422, RowLength(FrameLayout::Packed422, 640),
                                   480));
static_assert(RequiredFrameLength(FrameLayout::Planar420, 640, 480) ==
              640 * 480 + 2 * ChromaPlaneLength(FrameLayout::Planar420, 640, 480));

}  // namespace
}  // namespace vistrel
