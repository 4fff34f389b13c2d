#include "capture/fourcc.h"

#include <linux/videodev2.h>

namespace vistrel {

std::uint32_t CompressionFromV4L2(std::uint32_t pixelFormat) {
    switch (pixelFormat) {
        case V4L2_PIX_FMT_YUYV:
            return FourCCFromChars('Y', 'U', 'Y', 'V');
        case V4L2_PIX_FMT_YUV420:
            return FourCCFromChars('I', '4', '2', '0');
        case V4L2_PIX_FMT_YVU420:
            return FourCCFromChars('Y', 'V', '1', '2');
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
            return FourCCFromChars('M', 'J', 'P', 'G');
        case V4L2_PIX_FMT_BGR24:
            return 0;
        default:
            return pixelFormat;
    }
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
