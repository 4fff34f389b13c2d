// SPDX-License-Identifier: MIT
#include "test_frames.h"

namespace vistrel::bench {

namespace {

struct Yuv {
    std::uint8_t y, u, v;
};

Yuv ToYuv(const std::uint8_t* bgr) {
    const int b = bgr[0], g = bgr[1], r = bgr[2];
    return {static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16),
            static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128),
            static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128)};
}

}  // namespace

QImage TestPicture(const Size& size) {
    QImage picture(size.width, size.height, QImage::Format_BGR888);
    std::uint32_t noise = 12345;
    for (int y = 0; y < size.height; ++y) {
        std::uint8_t* p = picture.scanLine(y);
        for (int x = 0; x < size.width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = static_cast<int>(noise >> 28);
            p[3 * x] = static_cast<std::uint8_t>((x * 255 / size.width + grain) & 0xFF);
            p[3 * x + 1] = static_cast<std::uint8_t>((y * 255 / size.height + grain) & 0xFF);
            p[3 * x + 2] = static_cast<std::uint8_t>(((x + y) / 8 % 2 ? 200 : 60) + grain);
        }
    }
    return picture;
}

Bytes ToYuy2(const QImage& picture) {
    const int w = picture.width();
    Bytes frame(static_cast<std::size_t>(w) * picture.height() * 2);
    std::uint8_t* out = frame.data();
    for (int y = 0; y < picture.height(); ++y) {
        const std::uint8_t* row = picture.constScanLine(y);
        for (int x = 0; x + 1 < w; x += 2) {
            const Yuv a = ToYuv(row + 3 * x);
            const Yuv b = ToYuv(row + 3 * x + 3);
            *out++ = a.y;
            *out++ = a.u;
            *out++ = b.y;
            *out++ = a.v;
        }
    }
    return frame;
}

Bytes ToI420(const QImage& picture) {
    const int w = picture.width();
    const int h = picture.height();
    Bytes frame(static_cast<std::size_t>(w) * h * 3 / 2);
    std::uint8_t* luma = frame.data();
    std::uint8_t* cb = luma + static_cast<std::size_t>(w) * h;
    std::uint8_t* cr = cb + static_cast<std::size_t>(w) * h / 4;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = picture.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            const Yuv p = ToYuv(row + 3 * x);
            luma[static_cast<std::size_t>(y) * w + x] = p.y;
            if (y % 2 == 0 && x % 2 == 0) {
                cb[static_cast<std::size_t>(y / 2) * (w / 2) + x / 2] = p.u;
                cr[static_cast<std::size_t>(y / 2) * (w / 2) + x / 2] = p.v;
            }
        }
    }
    return frame;
}

}  // namespace vistrel::bench
