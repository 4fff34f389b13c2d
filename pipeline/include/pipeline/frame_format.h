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

// The exact byte length a frame of this layout and size must have; -1 for
// JPEG (any length) and for unsupported codes (no length fits).
std::int64_t RequiredFrameLength(FrameLayout layout, std::int32_t width, std::int32_t height);

// The most bytes a frame of this layout and size can hold: the exact length
// of a raw layout; for JPEG and unsupported codes, which are compressed, the
// frame's size as 24-bit pixels plus kCompressedFrameSlack for the headers and
// tables of small pictures.
inline constexpr std::int64_t kCompressedFrameSlack = 64 * 1024;
std::int64_t MaxFrameLength(FrameLayout layout, std::int32_t width, std::int32_t height);

// The second line of the picture drawn for a frame that cannot be converted.
QString DiagnosticLine(std::int32_t length, std::uint32_t compression);

}  // namespace vistrel
