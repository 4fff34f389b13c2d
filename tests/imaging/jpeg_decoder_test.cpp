// SPDX-License-Identifier: MIT
#include "imaging/jpeg_decoder.h"

#include <jerror.h>

#include <gtest/gtest.h>

#include "imaging/jpeg_image.h"
#include "imaging/jpeg_test_util.h"

namespace vistrel {
namespace {

using test::Bytes;

Bytes Encoded(const QImage& image) {
    TJPEGImage jpeg;
    jpeg.SetImage(image);
    return jpeg.Encoded();
}

// What TJPEGImage decodes the stream to.
QImage ImageDecode(const Bytes& stream) {
    TJPEGImage jpeg;
    jpeg.LoadData(stream.data(), stream.size());
    QImage target(jpeg.Width(), jpeg.Height(), QImage::Format_BGR888);
    jpeg.DecodeInto(target);
    return target;
}

QImage FrameDecode(TJpegDecoder& decoder, const Bytes& stream) {
    const TJpegDecoder::TSize size = decoder.ReadHeader(stream.data(), stream.size(), 4096, 4096);
    QImage target(size.width, size.height, QImage::Format_BGR888);
    decoder.Decode(target);
    return target;
}

// One context serves every stream, including those after a failed one, and
// decodes each to TJPEGImage's bytes: colour, grey and progressive streams,
// with and without palette output.
TEST(JpegDecoderTest, OneContextDecodesEveryStreamAsTheCodecDoes) {
    const Bytes colour = Encoded(test::Gradient(64, 48));
    const Bytes grey = test::EncodeGrey(40, 16, 90);
    const Bytes progressive = test::EncodeProgressive(test::Gradient(32, 24));
    Bytes cutInScan = colour;
    cutInScan.resize(colour.size() * 2 / 3);
    cutInScan.insert(cutInScan.end(), 200, 0xFF);  // garbage in the scan

    TJpegDecoder decoder;
    for (const bool palette : {false, true}) {
        TJPEGImage::SetPaletteOutput(palette);
        for (const Bytes* stream : {&colour, &grey, &progressive, &colour}) {
            EXPECT_TRUE(FrameDecode(decoder, *stream) == ImageDecode(*stream)) << palette;
        }
        // Refused headers and decodes leave the context usable.
        EXPECT_THROW(FrameDecode(decoder, Bytes(300, 0x42)), EJPEG);
        EXPECT_THROW(FrameDecode(decoder, test::EncodeCmyk(16, 8)), EJPEG);
        try {
            decoder.ReadHeader(colour.data(), colour.size(), 32, 32);
            QImage target(64, 48, QImage::Format_BGR888);
            decoder.Decode(target);
            ADD_FAILURE() << "a picture beyond the limit was decoded";
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Code(), JERR_IMAGE_TOO_BIG);
        }
        EXPECT_NO_THROW(FrameDecode(decoder, cutInScan));
        EXPECT_TRUE(FrameDecode(decoder, colour) == ImageDecode(colour)) << palette;
    }
    TJPEGImage::SetPaletteOutput(false);

    // An empty stream reads as 0x0 and fails at the decode; a header that
    // is not decoded is simply dropped by the next one.
    EXPECT_EQ(decoder.ReadHeader(nullptr, 0, 64, 64).width, 0);
    QImage none;
    try {
        decoder.Decode(none);
        ADD_FAILURE() << "an empty stream decoded";
    } catch (const EJPEG& e) {
        EXPECT_EQ(e.Code(), JERR_INPUT_EMPTY);
    }
    decoder.ReadHeader(grey.data(), grey.size(), 64, 64);
    QImage wrongSize(8, 8, QImage::Format_BGR888);
    EXPECT_THROW(decoder.Decode(wrongSize), std::logic_error);
    EXPECT_TRUE(FrameDecode(decoder, colour) == ImageDecode(colour));
}

// The marker walk finds the size libjpeg reads, past other segments, fill
// bytes and junk, and gives up where it cannot be sure.
TEST(JpegDecoderTest, MarkerScanFindsTheFrameHeadersSize) {
    const Bytes baseline = Encoded(test::Gradient(320, 200));
    const Bytes progressive = test::EncodeProgressive(test::Gradient(48, 16));
    Bytes padded(baseline.begin(), baseline.begin() + 2);
    const Bytes comment = {0xFF, 0xFE, 0x00, 0x06, 'F', 0xFF, 'x', 'y', 0x13, 0xFF, 0xFF, 0xFF};
    padded.insert(padded.end(), comment.begin(), comment.end());
    padded.insert(padded.end(), baseline.begin() + 2, baseline.end());

    const auto size = [](const Bytes& s) { return ScanJpegSize(s.data(), s.size()); };
    ASSERT_TRUE(size(baseline));
    EXPECT_EQ(size(baseline)->width, 320);
    EXPECT_EQ(size(baseline)->height, 200);
    ASSERT_TRUE(size(progressive));
    EXPECT_EQ(size(progressive)->width, 48);
    ASSERT_TRUE(size(padded));
    EXPECT_EQ(size(padded)->height, 200);
    EXPECT_EQ(size(test::EncodeGrey(24, 8, 80))->width, 24);

    const auto sof = [&] {
        for (const test::Segment& s : test::ParseSegments(baseline)) {
            if (s.marker == 0xC0) {
                return s.payload;
            }
        }
        return Bytes{};
    }();
    ASSERT_FALSE(sof.empty());
    Bytes lossless = {0xFF, 0xD8, 0xFF, 0xC3, 0x00, static_cast<std::uint8_t>(sof.size() + 2)};
    lossless.insert(lossless.end(), sof.begin(), sof.end());
    Bytes zeroWidth = lossless;
    zeroWidth[3] = 0xC0;
    zeroWidth[9] = zeroWidth[10] = 0;
    const Bytes sosFirst = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xC0};
    for (const Bytes& stream :
         {Bytes{}, Bytes{0xFF, 0xD8}, Bytes(baseline.begin() + 1, baseline.end()),
          Bytes(baseline.begin(), baseline.begin() + 30), lossless, zeroWidth, sosFirst}) {
        EXPECT_FALSE(size(stream)) << stream.size() << " bytes";
    }
    lossless[3] = 0xC1;  // extended: libjpeg reads it
    EXPECT_EQ(size(lossless)->width, 320);
}

}  // namespace
}  // namespace vistrel
