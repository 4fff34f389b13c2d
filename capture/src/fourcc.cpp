// SPDX-License-Identifier: MIT
#include "capture/fourcc.h"

#include "capture/pixel_format.h"

namespace vistrel {

std::uint32_t CompressionFromV4L2(std::uint32_t pixelFormat) {
    const TPixelFormat* format = FindV4L2Format(pixelFormat);
    return format != nullptr ? format->compression : pixelFormat;
}

std::string FourCCName(std::uint32_t code) {
    if (code == 0) {
        return "RGB";
    }
    std::string name(4, '\0');
    for (int i = 0; i < 4; ++i) {
        name[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    }
    return name;
}

}  // namespace vistrel
