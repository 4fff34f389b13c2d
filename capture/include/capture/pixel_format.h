// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "capture/fourcc.h"

namespace vistrel {

// The codes frames carry through the pipeline (TStreamFormat::compression,
// the converter's input): 0 is uncompressed 24-bit RGB, blue-green-red.
namespace fourcc {
inline constexpr std::uint32_t kRGB = 0;
inline constexpr std::uint32_t kI420 = FourCCFromChars('I', '4', '2', '0');
inline constexpr std::uint32_t kIYUV = FourCCFromChars('I', 'Y', 'U', 'V');
inline constexpr std::uint32_t kYV12 = FourCCFromChars('Y', 'V', '1', '2');
inline constexpr std::uint32_t kYUY2 = FourCCFromChars('Y', 'U', 'Y', '2');
inline constexpr std::uint32_t kYUNV = FourCCFromChars('Y', 'U', 'N', 'V');
inline constexpr std::uint32_t kYUYV = FourCCFromChars('Y', 'U', 'Y', 'V');
inline constexpr std::uint32_t kMJPG = FourCCFromChars('M', 'J', 'P', 'G');
}  // namespace fourcc

// How a frame is laid out in memory.
enum class FrameLayout { Rgb, Planar420, Packed422, Jpeg, Unsupported };

// A pixel format Vistrel converts.
struct TPixelFormat {
    std::string_view name;                    // Vistrel's name: listings, settings, notes
    std::array<std::string_view, 2> aliases;  // other names a user may give it; empty: none
    std::array<std::uint32_t, 2> v4l2Codes;   // first: the one a driver is asked for; 0: none
    std::uint32_t compression;                // the code its V4L2 frames carry
    std::array<std::uint32_t, 2> otherCodes;  // further codes the converter takes; 0: none
    FrameLayout layout;
    bool crFirst = false;  // planar 4:2:0 whose first chroma plane is Cr

    constexpr bool Converts() const { return layout != FrameLayout::Unsupported; }
    constexpr bool HasV4L2Code(std::uint32_t code) const {
        return code != 0 && (v4l2Codes[0] == code || v4l2Codes[1] == code);
    }
    constexpr bool TakesCode(std::uint32_t code) const {
        return compression == code ||
               (code != 0 && (otherCodes[0] == code || otherCodes[1] == code));
    }
};

// V4L2's codes (linux/videodev2.h spells them the same way: v4l2_fourcc).
namespace v4l2 {
inline constexpr std::uint32_t kYUYV = FourCCFromChars('Y', 'U', 'Y', 'V');
inline constexpr std::uint32_t kYU12 = FourCCFromChars('Y', 'U', '1', '2');
inline constexpr std::uint32_t kYV12 = FourCCFromChars('Y', 'V', '1', '2');
inline constexpr std::uint32_t kMJPG = FourCCFromChars('M', 'J', 'P', 'G');
inline constexpr std::uint32_t kJPEG = FourCCFromChars('J', 'P', 'E', 'G');
inline constexpr std::uint32_t kBGR3 = FourCCFromChars('B', 'G', 'R', '3');
}  // namespace v4l2

// Every format Vistrel converts. BGR3 rows are stored top row first, unlike
// the bottom-up RGB the code 0 traditionally means; the frame conversion
// learns that from TStreamFormat::topDownRows. Every member is written out:
// g++ 12 cannot evaluate the table at compile time when an element is left
// to its default.
// clang-format off
inline constexpr std::array<TPixelFormat, 5> kPixelFormats{{
    // name   aliases            V4L2 codes                   compression
    //        other codes                      layout                   Cr first
    {"YUY2", {"YUYV", "YUNV"},  {v4l2::kYUYV, 0},            fourcc::kYUYV,
             {fourcc::kYUY2, fourcc::kYUNV},  FrameLayout::Packed422,  false},
    {"I420", {"IYUV", "YU12"},  {v4l2::kYU12, 0},            fourcc::kI420,
             {fourcc::kIYUV, 0},              FrameLayout::Planar420,  false},
    {"YV12", {"", ""},          {v4l2::kYV12, 0},            fourcc::kYV12,
             {0, 0},                          FrameLayout::Planar420,  true},
    {"MJPG", {"JPEG", ""},      {v4l2::kMJPG, v4l2::kJPEG},  fourcc::kMJPG,
             {0, 0},                          FrameLayout::Jpeg,       false},
    {"RGB",  {"BGR3", ""},      {v4l2::kBGR3, 0},            fourcc::kRGB,
             {0, 0},                          FrameLayout::Rgb,        false},
}};
// clang-format on

// ---- Lookups ---------------------------------------------------------------

// The format of a V4L2 code; nullptr for one Vistrel does not convert.
constexpr const TPixelFormat* FindV4L2Format(std::uint32_t v4l2Code) {
    for (const TPixelFormat& format : kPixelFormats) {
        if (format.HasV4L2Code(v4l2Code)) {
            return &format;
        }
    }
    return nullptr;
}

// The format a frame of this pipeline code holds; nullptr when unsupported.
constexpr const TPixelFormat* FindFrameFormat(std::uint32_t compression) {
    for (const TPixelFormat& format : kPixelFormats) {
        if (format.TakesCode(compression)) {
            return &format;
        }
    }
    return nullptr;
}

constexpr bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

// The format a name or alias stands for, ASCII case ignored; nullptr for
// any other text.
constexpr const TPixelFormat* FindNamedFormat(std::string_view text) {
    for (const TPixelFormat& format : kPixelFormats) {
        if (SameNameIgnoringCase(format.name, text)) {
            return &format;
        }
        for (const std::string_view alias : format.aliases) {
            if (!alias.empty() && SameNameIgnoringCase(alias, text)) {
                return &format;
            }
        }
    }
    return nullptr;
}

constexpr FrameLayout LayoutOfFrameCode(std::uint32_t compression) {
    const TPixelFormat* format = FindFrameFormat(compression);
    return format != nullptr ? format->layout : FrameLayout::Unsupported;
}

// ---- Lengths -----------------------------------------------------------------

// The largest frame side Vistrel accepts from a user, in pixels: every
// camera size with room to spare, within the JPEG encoder's 65500, and a
// 24-bit picture of at most 3 GiB.
inline constexpr std::int32_t kMaxFrameSide = 32768;

// The bytes of one unpadded row: 3 x width (RGB), 2 x width (4:2:2), width
// (the luma rows of 4:2:0); -1 for JPEG and unsupported codes.
constexpr std::int64_t RowLength(FrameLayout layout, std::int32_t width) {
    switch (layout) {
        case FrameLayout::Rgb:
            return std::int64_t{3} * width;
        case FrameLayout::Packed422:
            return std::int64_t{2} * width;
        case FrameLayout::Planar420:
            return width;
        case FrameLayout::Jpeg:
        case FrameLayout::Unsupported:
            break;
    }
    return -1;
}

// Planar 4:2:0 with luma rows `stride` bytes apart: the luma plane is
// stride x height bytes, each chroma plane a quarter of that, rows stride / 2
// apart. 0 for the other layouts, which have one plane.
constexpr std::int64_t ChromaPlaneLength(FrameLayout layout, std::int64_t stride,
                                         std::int32_t height) {
    return layout == FrameLayout::Planar420 ? stride * height / 4 : 0;
}

// Rows `stride` bytes apart, stride beyond RowLength: the length a padded
// frame must have at least, the size V4L2 gives such a frame: stride x height
// (RGB, 4:2:2), or stride x height x 3 / 2 (4:2:0). -1 for JPEG and
// unsupported codes.
constexpr std::int64_t RequiredPaddedLength(FrameLayout layout, std::int64_t stride,
                                            std::int32_t height) {
    switch (layout) {
        case FrameLayout::Rgb:
        case FrameLayout::Packed422:
            return stride * height;
        case FrameLayout::Planar420:
            return stride * height * 3 / 2;
        case FrameLayout::Jpeg:
        case FrameLayout::Unsupported:
            break;
    }
    return -1;
}

// The exact byte length an unpadded frame of this layout and size must have:
// the padded length with rows a row apart. -1 for JPEG (any length) and for
// unsupported codes (no length fits).
constexpr std::int64_t RequiredFrameLength(FrameLayout layout, std::int32_t width,
                                           std::int32_t height) {
    const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
    switch (layout) {
        case FrameLayout::Rgb:
            return pixels * 3;
        case FrameLayout::Planar420:
            return pixels * 3 / 2;
        case FrameLayout::Packed422:
            return pixels * 2;
        case FrameLayout::Jpeg:
        case FrameLayout::Unsupported:
            break;
    }
    return -1;
}

// The most bytes a frame of this layout and size can hold: the exact length
// of a raw layout; for JPEG and unsupported codes, which are compressed, the
// frame's size as 24-bit pixels plus kCompressedFrameSlack for the headers and
// tables of small pictures.
inline constexpr std::int64_t kCompressedFrameSlack = 64 * 1024;
constexpr std::int64_t MaxFrameLength(FrameLayout layout, std::int32_t width, std::int32_t height) {
    if (layout == FrameLayout::Jpeg || layout == FrameLayout::Unsupported) {
        return RequiredFrameLength(FrameLayout::Rgb, width, height) + kCompressedFrameSlack;
    }
    return RequiredFrameLength(layout, width, height);
}

}  // namespace vistrel
