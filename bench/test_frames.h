// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>

#include <cstdint>
#include <string>
#include <vector>

namespace vistrel::bench {

using Bytes = std::vector<std::uint8_t>;

struct Size {
    int width;
    int height;
    std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};

// The benchmark's own test picture (Format_BGR888): smooth gradients under a
// fine grain and a coarse checker pattern, so that JPEG has work to do.
QImage TestPicture(const Size& size);

// The picture as a camera would send it: packed 4:2:2 (Y0 U Y1 V) and planar
// 4:2:0 (Y, then U, then V), with BT.601 limited-range coefficients.
Bytes ToYuy2(const QImage& picture);
Bytes ToI420(const QImage& picture);

}  // namespace vistrel::bench
