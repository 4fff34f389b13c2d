// SPDX-License-Identifier: MIT
#include "imaging/jpeg_test_util.h"

#include <QFile>

#include <jpeglib.h>
#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace vistrel::test {

namespace {

constexpr std::array<int, 64> kZigzagToNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Encodes rows with libjpeg's stock memory destination.
Bytes EncodeRaw(int width, int height, int components, J_COLOR_SPACE space,
                const std::vector<JSAMPLE>& pixels, int quality, bool progressive = false) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive) {
        jpeg_simple_progression(&cinfo);
    }
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&pixels[cinfo.next_scanline * width * components]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes result(out, out + size);
    std::free(out);
    return result;
}

}  // namespace

Bytes ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error("cannot read " + path.toStdString());
    }
    const QByteArray data = file.readAll();
    return Bytes(data.begin(), data.end());
}

void WriteBytes(const QString& path, const Bytes& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw std::runtime_error("cannot write " + path.toStdString());
    }
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
}

std::vector<Segment> ParseSegments(const Bytes& s) {
    std::vector<Segment> segments;
    std::size_t i = 0;
    while (i + 1 < s.size()) {
        if (s[i] != 0xFF) {
            throw std::runtime_error("marker expected at " + std::to_string(i));
        }
        const std::uint8_t marker = s[i + 1];
        i += 2;
        if (marker == 0xD8 || marker == 0xD9) {  // SOI, EOI: no length
            segments.push_back({marker, {}});
            continue;
        }
        const std::size_t length = (s.at(i) << 8) | s.at(i + 1);
        segments.push_back({marker, Bytes(s.begin() + i + 2, s.begin() + i + length)});
        i += length;
        if (marker == 0xDA) {  // skip entropy-coded data up to the next real marker
            while (i + 1 < s.size() &&
                   !(s[i] == 0xFF && s[i + 1] != 0x00 && !(s[i + 1] >= 0xD0 && s[i + 1] <= 0xD7))) {
                ++i;
            }
        }
    }
    return segments;
}

Bytes WithoutSegments(const Bytes& stream, std::uint8_t marker) {
    Bytes out;
    std::size_t i = 0;
    while (i + 3 < stream.size()) {
        if (stream[i] == 0xFF && stream[i + 1] == marker) {
            const std::size_t length = (stream[i + 2] << 8) | stream[i + 3];
            i += 2 + length;
            continue;
        }
        if (stream[i] == 0xFF && stream[i + 1] == 0xDA) {
            break;  // the rest is the scan: copy it unchanged
        }
        out.push_back(stream[i++]);
    }
    out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(i), stream.end());
    return out;
}

std::vector<std::array<int, 64>> QuantTables(const Segment& dqt) {
    std::vector<std::array<int, 64>> tables;
    std::size_t i = 0;
    while (i < dqt.payload.size()) {
        const bool sixteenBit = (dqt.payload[i] >> 4) != 0;
        ++i;
        std::array<int, 64> table{};
        for (int k = 0; k < 64; ++k) {
            int value = dqt.payload.at(i++);
            if (sixteenBit) {
                value = (value << 8) | dqt.payload.at(i++);
            }
            table[kZigzagToNatural[k]] = value;
        }
        tables.push_back(table);
    }
    return tables;
}

Bytes EncodeGrey(int width, int height, int quality) {
    std::vector<JSAMPLE> pixels(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels[y * width + x] = static_cast<JSAMPLE>((x * 255) / std::max(1, width - 1));
        }
    }
    return EncodeRaw(width, height, 1, JCS_GRAYSCALE, pixels, quality);
}

Bytes EncodeProgressive(const QImage& image) {
    std::vector<JSAMPLE> pixels;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            pixels.insert(pixels.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
        }
    }
    return EncodeRaw(image.width(), image.height(), 3, JCS_RGB, pixels, 95, true);
}

Bytes EncodeCmyk(int width, int height) {
    std::vector<JSAMPLE> pixels(static_cast<std::size_t>(width) * height * 4, 128);
    return EncodeRaw(width, height, 4, JCS_CMYK, pixels, 90);
}

QImage Filled(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    QImage image(width, height, QImage::Format_BGR888);
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = b;
            row[3 * x + 1] = g;
            row[3 * x + 2] = r;
        }
    }
    return image;
}

QImage Gradient(int width, int height) {
    QImage image(width, height, QImage::Format_BGR888);
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uchar>(x * 255 / std::max(1, width - 1));
            row[3 * x + 1] = static_cast<uchar>(y * 255 / std::max(1, height - 1));
            row[3 * x + 2] = static_cast<uchar>(255 - x * 255 / std::max(1, width - 1));
        }
    }
    return image;
}

int MaxDifference(const QImage& a, const QImage& b) {
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar* ra = a.constScanLine(y);
        const uchar* rb = b.constScanLine(y);
        for (int x = 0; x < 3 * a.width(); ++x) {
            worst = std::max(worst, std::abs(int(ra[x]) - int(rb[x])));
        }
    }
    return worst;
}

}  // namespace vistrel::test
