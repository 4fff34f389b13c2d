// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <cstdint>

#include "capture/pixel_format.h"  // the codes, layouts and frame lengths

namespace vistrel {

// How a frame of a given pipeline code is laid out.
inline FrameLayout LayoutOf(std::uint32_t compression) {
    return LayoutOfFrameCode(compression);
}

// Whether frames of this code can be turned into a picture.
inline bool CanConvert(std::uint32_t compression) {
    return LayoutOf(compression) != FrameLayout::Unsupported;
}

// The second line of the picture drawn for a frame that cannot be converted.
QString DiagnosticLine(std::int32_t length, std::uint32_t compression);

}  // namespace vistrel
