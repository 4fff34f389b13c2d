#pragma once

#include <QString>

#include <cstdint>

#include "capture/fourcc.h"

namespace vistrel {

namespace fourcc {
inline constexpr std::uint32_t kRGB = 0;  // uncompressed 24-bit, blue-green-red
inline constexpr std::uint32_t kI420 = FourCCFromChars('I', '4', '2', '0');
inline constexpr std::uint32_t kIYUV = FourCCFromChars('I', 'Y', 'U', 'V');
inline constexpr std::uint32_t kYV12 = FourCCFromChars('Y', 'V', '1', '2');
inline constexpr std::uint32_t kYUY2 = FourCCFromChars('Y', 'U', 'Y', '2');
inline constexpr std::uint32_t kYUNV = FourCCFromChars('Y', 'U', 'N', 'V');
inline constexpr std::uint32_t kYUYV = FourCCFromChars('Y', 'U', 'Y', 'V');
inline constexpr std::uint32_t kMJPG = FourCCFromChars('M', 'J', 'P', 'G');
}  // namespace fourcc

// How a frame of a given code is laid out.
enum class FrameLayout { Rgb, Planar420, Packed422, Jpeg, Unsupported };
FrameLayout LayoutOf(std::uint32_t compression);

// Whether frames of this code can be turned into a picture.
inline bool CanConvert(std::uint32_t compression) {
    return LayoutOf(compression) != FrameLayout::Unsupported;
}

// The exact byte length a frame of this layout and size must have; -1 for
// JPEG (any length) and for unsupported codes (no length fits).
std::int64_t RequiredFrameLength(FrameLayout layout, std::int32_t width, std::int32_t height);

// The bytes of one unpadded row: 3 x width (RGB), 2 x width (4:2:2), width
// (the luma rows of 4:2:0); -1 for JPEG and unsupported codes.
std::int64_t RowLength(FrameLayout layout, std::int32_t width);

// Rows `stride` bytes apart, stride beyond RowLength: the length a padded
// frame must have at least, the size V4L2 gives such a frame: stride x height
// (RGB, 4:2:2), or stride x height x 3 / 2 (4:2:0: chroma rows are stride / 2
// apart). -1 for JPEG and unsupported codes.
std::int64_t RequiredPaddedLength(FrameLayout layout, std::int64_t stride, std::int32_t height);

// The most bytes a frame of this layout and size can hold: the exact length
// of a raw layout; for JPEG and unsupported codes, which are compressed, the
// frame's size as 24-bit pixels plus kCompressedFrameSlack for the headers and
// tables of small pictures.
inline constexpr std::int64_t kCompressedFrameSlack = 64 * 1024;
std::int64_t MaxFrameLength(FrameLayout layout, std::int32_t width, std::int32_t height);

// The second line of the picture drawn for a frame that cannot be converted.
QString DiagnosticLine(std::int32_t length, std::uint32_t compression);

}  // namespace vistrel
