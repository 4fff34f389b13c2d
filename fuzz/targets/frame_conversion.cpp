// SPDX-License-Identifier: MIT
// Frame conversion: a format, a size and the frame's bytes, MJPG included.
//
// Input: format index, flags (bit 0: top-down RGB, bit 1: cut or pad the
// bytes to the format's exact length), width and height (0..255 each), then
// the frame. Properties: the conversion never fails unexpectedly; an MJPG
// frame is decoded exactly when its header gives the frame's size, and then
// to the codec's own bytes; the capture thread's marker walk, where it finds
// a size, finds the one libjpeg reads.
#include <QImage>

#include <array>
#include <vector>

#include "fuzz_support.h"
#include "imaging/jpeg_decoder.h"
#include "imaging/jpeg_image.h"
#include "pipeline/frame_converter.h"

using namespace vistrel;

namespace {

constexpr std::array<std::uint32_t, 10> kCodes = {
    fourcc::kRGB,  fourcc::kI420, fourcc::kIYUV, fourcc::kYV12, fourcc::kYUY2,
    fourcc::kYUNV, fourcc::kYUYV, fourcc::kMJPG, fourcc::kMJPG, FourCCFromChars('H', '2', '6', '4'),
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::EnsureApplication();
    fuzz::TInput input(data, size);
    const std::uint32_t code = kCodes[input.Byte() % kCodes.size()];
    const std::uint8_t flags = input.Byte();
    const int width = input.Byte();
    const int height = input.Byte();

    std::vector<std::uint8_t> frame(input.Rest(), input.Rest() + input.RestSize());
    const std::int64_t required = RequiredFrameLength(LayoutOf(code), width, height);
    if ((flags & 2) != 0 && required >= 0) {
        frame.resize(static_cast<std::size_t>(required), 0x80);
    }
    if (frame.empty()) {
        frame.push_back(0);  // the session never converts a frame without data
    }

    QImage target;
    if (width > 0 && height > 0) {
        target = QImage(width, height, QImage::Format_BGR888);
        target.fill(Qt::black);
    }
    TFrameConverter converter;
    const TConversionResult result =
        converter.Convert({.data = frame.data(),
                           .length = static_cast<std::int32_t>(frame.size()),
                           .compression = code,
                           .width = width,
                           .height = height,
                           .topDownRgb = (flags & 1) != 0},
                          target);
    if (!result.Completed()) {
        fuzz::Fail("conversion failed unexpectedly");
    }
    if (target.isNull() != (width == 0 || height == 0) ||
        (!target.isNull() && (target.width() != width || target.height() != height))) {
        fuzz::Fail("the picture changed its size");
    }
    if (code == fourcc::kMJPG) {
        const auto header = TJPEGImage::ReadHeader(frame.data(), frame.size());
        const bool fits = header && header->width == width && header->height == height;
        if (result.reason == TConversionResult::Reason::JpegSizeMismatch && fits) {
            fuzz::Fail("a frame of the right size was called bad");
        }
        if (result.outcome == TConversionResult::Outcome::Converted && !fits) {
            fuzz::Fail("a frame of another size was decoded");
        }
        const auto scanned = ScanJpegSize(frame.data(), frame.size());
        if (scanned && header &&
            (scanned->width != header->width || scanned->height != header->height)) {
            fuzz::Fail("the marker walk and libjpeg read different sizes");
        }
        if (result.outcome == TConversionResult::Outcome::Converted) {
            TJPEGImage codec;
            codec.LoadData(frame.data(), frame.size());
            QImage expected(width, height, QImage::Format_BGR888);
            codec.DecodeInto(expected);
            if (expected != target) {
                fuzz::Fail("the frame decoder and the codec decode differently");
            }
        }
    }
    return 0;
}
