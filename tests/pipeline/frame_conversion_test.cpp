// SPDX-License-Identifier: MIT
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <tuple>

#include "imaging/jpeg_image.h"
#include "pipeline/frame_converter.h"
#include "pipeline/video_image.h"
#include "pipeline_test_util.h"

namespace vistrel {
namespace {

using test::Bgr;
using test::Bytes;
using test::PixelAt;

Bytes RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(byte(generator));
    }
    return bytes;
}

using test::Tables;

Bgr Yuv(std::uint8_t y, std::uint8_t u, std::uint8_t v) {
    Bgr out{};
    YuvToBgr(Tables(), y, u, v, out.data());
    return out;
}

// Reference models of the conversions, pixel by pixel, including the rule for
// a last odd column or row: it borrows the chroma of its neighbour, and a
// frame without any chroma sample is grey.
Bgr Planar420Pixel(const Bytes& f, int w, int h, bool cbFirst, int x, int y) {
    const int cw = w / 2;
    const int ch = h / 2;
    const std::uint8_t luma = f[static_cast<std::size_t>(y) * w + x];
    if (cw == 0 || ch == 0) {
        return Yuv(luma, 128, 128);
    }
    const std::size_t first = static_cast<std::size_t>(w) * h;
    const std::size_t second = first + first / 4;
    const std::size_t at =
        static_cast<std::size_t>(std::min(y / 2, ch - 1)) * cw + std::min(x / 2, cw - 1);
    const std::uint8_t a = f[first + at];
    const std::uint8_t b = f[second + at];
    return cbFirst ? Yuv(luma, a, b) : Yuv(luma, b, a);
}

Bgr Packed422Pixel(const Bytes& f, int w, int x, int y) {
    const std::size_t row = static_cast<std::size_t>(y) * w * 2;
    const int pairs = w / 2;
    if (x < 2 * pairs) {
        const std::size_t group = row + 4 * (x / 2);
        return Yuv(f[group + (x % 2) * 2], f[group + 1], f[group + 3]);
    }
    const std::uint8_t luma = f[row + 4 * pairs];
    if (pairs == 0) {
        return Yuv(luma, 128, 128);
    }
    const std::size_t last = row + 4 * (pairs - 1);
    return Yuv(luma, f[last + 1], f[last + 3]);
}

using Outcome = TConversionResult::Outcome;
using Reason = TConversionResult::Reason;

// A converter with a frame format and a black picture of that size, as the
// session's SetFormat makes it.
struct Conversion {
    Conversion(int w, int h, std::uint32_t code, bool topDown = false)
        : frame{.compression = code, .width = w, .height = h, .topDownRgb = topDown},
          picture(w > 0 && h > 0 ? test::Filled(w, h, {0, 0, 0}) : QImage()) {}
    const QImage& Convert(const Bytes& bytes) {
        frame.data = bytes.data();
        frame.length = static_cast<std::int32_t>(bytes.size());
        result = converter.Convert(frame, picture);
        return picture;
    }
    TFrameConverter converter;
    TRawFrame frame;
    QImage picture;
    TConversionResult result;
};

// A session with a format, converting frames directly.
struct Session {
    Session(int w, int h, std::uint32_t code, bool topDown = false) : image(test::QuietOptions()) {
        image.SetFormat(w, h, code, topDown);
    }
    const QImage& Convert(const Bytes& frame) {
        image.ConvertFrame(static_cast<std::int32_t>(frame.size()), frame.data());
        return image.VideoBitmap();
    }
    TVideoImage image;
};

TEST(FrameConversion, DiagnosticLineNamesLengthAndCode) {
    EXPECT_EQ(DiagnosticLine(1000, fourcc::kYUY2), QStringLiteral("DataSize: 1000  FourCC: YUY2"));
    EXPECT_EQ(DiagnosticLine(5, fourcc::kRGB), QStringLiteral("DataSize: 5  FourCC: RGB"));
    EXPECT_EQ(DiagnosticLine(7, 0x34363248), QStringLiteral("DataSize: 7  FourCC: H264"));
    // Any byte values are shown as they are, low byte first.
    EXPECT_EQ(DiagnosticLine(2, 0x00C90001),
              QStringLiteral("DataSize: 2  FourCC: ") + QString::fromLatin1("\x01\0\xC9\0", 4));
}

// Each format converts a frame of exactly its length and shows the
// diagnostic for one byte more or less.
TEST(FrameConversion, LengthRulesAreExact) {
    struct Case {
        std::uint32_t code;
        std::int32_t length;
    };
    const Case cases[] = {{fourcc::kYUY2, 614400}, {fourcc::kYUNV, 614400}, {fourcc::kYUYV, 614400},
                          {fourcc::kI420, 460800}, {fourcc::kIYUV, 460800}, {fourcc::kYV12, 460800},
                          {fourcc::kRGB, 921600}};
    for (const Case& c : cases) {
        SCOPED_TRACE(FourCCName(c.code));
        for (const int delta : {-1, 0, 1}) {
            Conversion s(640, 480, c.code);
            const Bytes frame(static_cast<std::size_t>(c.length + delta), 16);
            const QImage black = s.picture.copy();
            const QImage& out = s.Convert(frame);
            if (delta == 0) {
                EXPECT_EQ(s.result.outcome, Outcome::Converted);
                // Luma 16 with chroma 16 is not black; RGB bytes of 16 are grey.
                const Bgr expected = c.code == fourcc::kRGB ? Bgr{16, 16, 16} : Yuv(16, 16, 16);
                EXPECT_EQ(PixelAt(out, 0, 0), expected);
                EXPECT_EQ(PixelAt(out, 639, 479), expected);
            } else {
                EXPECT_EQ(s.result.outcome, Outcome::Diagnostic);
                EXPECT_EQ(s.result.reason, Reason::LengthMismatch);
                EXPECT_EQ(s.result.requiredLength, c.length);
                const QImage expected =
                    test::DiagnosticPicture(black, DiagnosticLine(c.length + delta, c.code));
                EXPECT_TRUE(test::SameRows(out, expected, 0, 480)) << "delta " << delta;
            }
        }
    }
}

// An unpadded frame's rows copied `stride` bytes apart (4:2:0 chroma rows
// stride / 2 apart), the padding filled with junk.
Bytes PadRows(const Bytes& frame, FrameLayout layout, int w, int h, int stride) {
    const auto row = static_cast<std::size_t>(RowLength(layout, w));
    Bytes padded(static_cast<std::size_t>(RequiredPaddedLength(layout, stride, h)), 0xEE);
    for (int y = 0; y < h; ++y) {
        std::copy_n(frame.begin() + y * row, row, padded.begin() + y * stride);
    }
    if (layout == FrameLayout::Planar420) {
        const std::size_t chroma = row / 2;
        for (int plane = 0; plane < 2; ++plane) {
            for (int y = 0; y < h / 2; ++y) {
                const std::size_t from = row * h + plane * chroma * (h / 2) + y * chroma;
                const std::size_t to =
                    std::size_t(stride) * h + plane * (stride / 2) * (h / 2) + y * (stride / 2);
                std::copy_n(frame.begin() + from, chroma, padded.begin() + to);
            }
        }
    }
    return padded;
}

// Rows a stride apart convert to the picture of the unpadded frame. Such a
// frame needs at least RequiredPaddedLength bytes (longer is fine); a stride
// no longer than a row keeps the exact-length rule.
TEST(FrameConversion, PaddedRowsConvertLikeUnpaddedOnes) {
    const int w = 10;
    const int h = 6;
    for (const std::uint32_t code : {fourcc::kYUY2, fourcc::kI420, fourcc::kYV12, fourcc::kRGB}) {
        SCOPED_TRACE(FourCCName(code));
        const FrameLayout layout = LayoutOf(code);
        const Bytes frame =
            RandomBytes(static_cast<std::size_t>(RequiredFrameLength(layout, w, h)), code);
        Conversion plain(w, h, code);
        const QImage expected = plain.Convert(frame).copy();
        ASSERT_EQ(plain.result.outcome, Outcome::Converted);

        const int stride = static_cast<int>(RowLength(layout, w)) + 6;
        Bytes padded = PadRows(frame, layout, w, h, stride);
        const std::int64_t required = RequiredPaddedLength(layout, stride, h);
        ASSERT_EQ(std::int64_t(padded.size()), required);
        for (const int extra : {0, 100, -1}) {
            Conversion s(w, h, code);
            s.frame.stride = stride;
            Bytes bytes = padded;
            bytes.resize(padded.size() + extra, 0xEE);
            const QImage& out = s.Convert(bytes);
            if (extra >= 0) {
                EXPECT_EQ(s.result.outcome, Outcome::Converted) << extra;
                EXPECT_TRUE(test::SameRows(out, expected, 0, h)) << extra;
            } else {
                EXPECT_EQ(s.result.reason, Reason::LengthMismatch);
                EXPECT_EQ(s.result.requiredLength, required);
            }
        }

        // A stride of exactly a row, or less, is no padding.
        for (const int unpadded : {static_cast<int>(RowLength(layout, w)), 1}) {
            Conversion s(w, h, code);
            s.frame.stride = unpadded;
            EXPECT_TRUE(test::SameRows(s.Convert(frame), expected, 0, h));
            Bytes longer = frame;
            longer.push_back(0);
            s.Convert(longer);
            EXPECT_EQ(s.result.reason, Reason::LengthMismatch);
        }
    }
}

TEST(FrameConversion, UnsupportedCodeShowsItsCharactersWhateverTheLength) {
    const std::uint32_t h264 = 0x34363248;
    for (const std::size_t length : {0u, 1u, 460800u}) {
        Conversion s(640, 480, h264);
        const QImage black = s.picture.copy();
        const Bytes frame(length + 1, 0);  // never empty: a null frame is no frame
        const QImage& out = s.Convert(frame);
        EXPECT_EQ(s.result.outcome, Outcome::Diagnostic);
        EXPECT_EQ(s.result.reason, Reason::UnsupportedCode);
        EXPECT_TRUE(test::SameRows(
            out, test::DiagnosticPicture(black, DiagnosticLine(int(length + 1), h264)), 0, 480));
    }
}

TEST(FrameConversion, RgbRowsBottomUpByDefaultAndTopDownOnRequest) {
    // Widths 1, 3 and 5 have rows whose length is not a multiple of 4, so
    // the picture's rows are padded and a single block copy would shear them.
    for (const int width : {1, 2, 3, 4, 5, 7}) {
        for (const bool topDown : {false, true}) {
            SCOPED_TRACE(testing::Message() << "width " << width << " top-down " << topDown);
            const int height = 3;
            const Bytes frame = RandomBytes(static_cast<std::size_t>(width) * height * 3, width);
            Conversion s(width, height, fourcc::kRGB, topDown);
            const QImage& out = s.Convert(frame);
            for (int row = 0; row < height; ++row) {
                const int display = topDown ? row : height - 1 - row;
                for (int x = 0; x < width; ++x) {
                    const std::uint8_t* p = frame.data() + (row * width + x) * 3;
                    ASSERT_EQ(PixelAt(out, x, display), (Bgr{p[0], p[1], p[2]}));
                }
            }
        }
    }
}

TEST(FrameConversion, Planar420UsesOneChromaRowPerTwoOutputRows) {
    // 4 x 4: luma, then 2 x 2 chroma planes; each chroma row differs.
    Bytes frame(24);
    for (int i = 0; i < 16; ++i) {
        frame[i] = static_cast<std::uint8_t>(60 + 10 * i);
    }
    const Bytes first = {90, 100, 200, 210};  // rows: {90, 100}, {200, 210}
    const Bytes second = {240, 230, 50, 40};
    std::copy(first.begin(), first.end(), frame.begin() + 16);
    std::copy(second.begin(), second.end(), frame.begin() + 20);

    Conversion i420(4, 4, fourcc::kI420);
    const QImage out = i420.Convert(frame).copy();
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            const int chroma = (y / 2) * 2 + x / 2;
            EXPECT_EQ(PixelAt(out, x, y), Yuv(frame[y * 4 + x], first[chroma], second[chroma]))
                << x << "," << y;
        }
    }

    // YV12 takes the first plane as Cr: the same bytes with the planes
    // exchanged give the I420 picture.
    Conversion yv12(4, 4, fourcc::kYV12);
    Bytes swapped = frame;
    std::copy(second.begin(), second.end(), swapped.begin() + 16);
    std::copy(first.begin(), first.end(), swapped.begin() + 20);
    EXPECT_TRUE(test::SameRows(yv12.Convert(swapped), out, 0, 4));
    Conversion iyuv(4, 4, fourcc::kIYUV);
    EXPECT_TRUE(test::SameRows(iyuv.Convert(frame), out, 0, 4));
}

TEST(FrameConversion, Packed422FirstSourceRowIsTheTopRow) {
    // 2 x 2: top row black (Y 16), bottom row white (Y 235), neutral chroma.
    const Bytes frame = {16, 128, 16, 128, 235, 128, 235, 128};
    for (const std::uint32_t code : {fourcc::kYUY2, fourcc::kYUNV, fourcc::kYUYV}) {
        Conversion s(2, 2, code);
        const QImage& out = s.Convert(frame);
        EXPECT_EQ(PixelAt(out, 1, 0), (Bgr{0, 0, 0}));
        EXPECT_EQ(PixelAt(out, 0, 1), (Bgr{255, 255, 255}));
    }
}

// Odd widths and heights: every pixel is converted by the documented rule and
// nothing outside the frame is read (the frames are allocated to their exact
// length, so the sanitizer builds catch any stray read).
TEST(FrameConversion, OddSizesConvertEveryPixelWithinBounds) {
    const std::pair<int, int> sizes[] = {{1, 1}, {1, 4}, {4, 1}, {3, 3}, {5, 2},
                                         {2, 3}, {5, 5}, {7, 1}, {1, 7}, {33, 17}};
    unsigned seed = 1;
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        for (const std::uint32_t code : {fourcc::kI420, fourcc::kYV12, fourcc::kYUY2}) {
            const bool planar = code != fourcc::kYUY2;
            const auto length = static_cast<std::size_t>(RequiredFrameLength(LayoutOf(code), w, h));
            const Bytes frame = RandomBytes(length, seed++);
            Conversion s(w, h, code);
            const QImage& out = s.Convert(frame);
            ASSERT_EQ(s.result.outcome, Outcome::Converted);
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const Bgr expected =
                        planar ? Planar420Pixel(frame, w, h, code != fourcc::kYV12, x, y)
                               : Packed422Pixel(frame, w, x, y);
                    ASSERT_EQ(PixelAt(out, x, y), expected)
                        << FourCCName(code) << " at " << x << "," << y;
                }
            }
        }
    }
}

// The SOF0 marker, and a height and width of 65500 as it stores them.
constexpr std::uint8_t kSof0[] = {0xFF, 0xC0};
constexpr std::uint8_t kHuge[] = {0xFF, 0xDC, 0xFF, 0xDC};

class MjpgConversion : public testing::Test {
protected:
    // A JPEG stream of a gradient, made by the codec.
    Bytes Encode(int width, int height, std::uint8_t red = 128) {
        QImage picture(width, height, QImage::Format_BGR888);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = picture.scanLine(y) + 3 * x;
                p[0] = static_cast<std::uint8_t>(4 * x);
                p[1] = static_cast<std::uint8_t>(4 * y);
                p[2] = red;
            }
        }
        TJPEGImage encoder;
        encoder.SetEncodingQuality(95);
        encoder.SetImage(picture);
        encoder.SaveFile(dir_.filePath(QStringLiteral("frame.jpg")));
        return *encoder.CompressedData();
    }

    QTemporaryDir dir_;
};

TEST_F(MjpgConversion, DecodesAndToleratesTrailingBytes) {
    const Bytes jpeg = Encode(48, 32);
    Conversion s(48, 32, fourcc::kMJPG);
    const QImage clean = s.Convert(jpeg).copy();
    EXPECT_EQ(s.result.outcome, Outcome::Converted);
    const Bgr corner = PixelAt(clean, 40, 24);
    EXPECT_NEAR(corner[0], 160, 6);
    EXPECT_NEAR(corner[1], 96, 6);
    EXPECT_NEAR(corner[2], 128, 6);

    Bytes padded = jpeg;
    padded.insert(padded.end(), 1000, 0xAB);
    Conversion t(48, 32, fourcc::kMJPG);
    EXPECT_TRUE(test::SameRows(t.Convert(padded), clean, 0, 32));
}

TEST_F(MjpgConversion, HeaderOfAnotherSizeIsABadFrameAndIsNotDecoded) {
    // Smaller, larger, and a 15 KB-class frame whose SOF claims 65500x65500:
    // none is decoded (the last would take gigabytes), each is a bad frame.
    Bytes lying = Encode(32, 24);
    const auto sof = std::search(lying.begin(), lying.end(), std::begin(kSof0), std::end(kSof0));
    ASSERT_NE(sof, lying.end());
    std::copy(std::begin(kHuge), std::end(kHuge), sof + 5);  // height, then width
    for (const auto& [frame, width, height] :
         {std::tuple{Encode(16, 16), 16, 16}, {Encode(64, 48), 64, 48}, {lying, 65500, 65500}}) {
        Conversion s(32, 24, fourcc::kMJPG);
        const QImage previous = s.Convert(Encode(32, 24)).copy();
        ASSERT_EQ(s.result.outcome, Outcome::Converted);
        const QImage& out = s.Convert(frame);
        EXPECT_EQ(s.result.outcome, Outcome::Diagnostic);
        EXPECT_EQ(s.result.reason, Reason::JpegSizeMismatch);
        EXPECT_EQ(s.result.jpegWidth, width);
        EXPECT_EQ(s.result.jpegHeight, height);
        const QString line = DiagnosticLine(static_cast<std::int32_t>(frame.size()), fourcc::kMJPG);
        EXPECT_TRUE(test::SameRows(out, test::DiagnosticPicture(previous, line), 0, 24));
    }
}

TEST_F(MjpgConversion, DecodeErrorDrawsDiagnosticOverThePreviousPicture) {
    Conversion s(320, 240, fourcc::kMJPG);
    const QImage previous = s.Convert(Encode(320, 240)).copy();

    const Bytes garbage = {0xFF, 0xD8, 0x12, 0x34, 0x56};
    const QImage& out = s.Convert(garbage);
    EXPECT_EQ(s.result.outcome, Outcome::Diagnostic);
    EXPECT_EQ(s.result.reason, Reason::UndecodableJpeg);
    EXPECT_TRUE(test::SameRows(
        out, test::DiagnosticPicture(previous, DiagnosticLine(5, fourcc::kMJPG)), 0, 240));

    // A stream that merely ends early decodes what it has and is no error.
    const Bytes jpeg = Encode(320, 240);
    const Bytes cut(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
    Conversion t(320, 240, fourcc::kMJPG);
    const QImage& partial = t.Convert(cut);
    EXPECT_EQ(t.result.outcome, Outcome::Converted);
    EXPECT_TRUE(test::SameRows(partial, previous, 0, 8));
}

// The picture's pixels may be shared, with the encoder holding the last
// logged frame: frame after frame, the new one lands whole in the picture
// and the other holder keeps the old pixels.
TEST_F(MjpgConversion, SharedPictureGetsTheWholeFrameAndTheOtherHolderKeepsItsPixels) {
    const Bytes jpegs[] = {Encode(48, 32), Encode(48, 32, 200)};
    const Bytes yuy2[] = {RandomBytes(48 * 32 * 2, 7), RandomBytes(48 * 32 * 2, 8)};
    for (const std::uint32_t code : {fourcc::kYUY2, fourcc::kMJPG}) {
        SCOPED_TRACE(FourCCName(code));
        const Bytes* frames = code == fourcc::kMJPG ? jpegs : yuy2;
        QImage expected[2];
        for (int i = 0; i < 2; ++i) {
            Conversion fresh(48, 32, code);
            expected[i] = fresh.Convert(frames[i]).copy();
        }
        Conversion s(48, 32, code);
        QImage before = s.picture.copy();
        for (int i = 0; i < 4; ++i) {
            const QImage held = s.picture;  // as the encoder holds it
            EXPECT_TRUE(test::SameRows(s.Convert(frames[i % 2]), expected[i % 2], 0, 32)) << i;
            EXPECT_TRUE(test::SameRows(held, before, 0, 32)) << i;
            before = expected[i % 2];
        }
    }
}

TEST(FrameConversion, NullFrameChangesNothing) {
    Session s(4, 2, fourcc::kYUY2);
    s.image.ConvertFrame(16, nullptr);
    EXPECT_FALSE(s.image.Converted());
    EXPECT_EQ(PixelAt(s.image.VideoBitmap(), 0, 0), (Bgr{0, 0, 0}));
}

TEST(FrameConversion, FailureThatEscapesLeavesConvertedClear) {
    Session s(4, 2, fourcc::kYUY2);
    // A picture that no longer matches the format: the rows must not be
    // written, and the frame must count as not converted.
    QImage& bitmap = TVideoImageTestAccess::Bitmap(s.image);
    bitmap = test::Filled(2, 2, {1, 2, 3});
    const Bytes frame(16, 16);
    s.Convert(frame);
    EXPECT_FALSE(s.image.Converted());
    EXPECT_EQ(bitmap.size(), QSize(2, 2));
    EXPECT_EQ(PixelAt(bitmap, 1, 1), (Bgr{1, 2, 3}));

    s.image.SetFormat(4, 2, fourcc::kYUY2);
    s.Convert(frame);
    EXPECT_TRUE(s.image.Converted());
}

TEST(FrameConversion, FormatWithoutPictureAndBadSizes) {
    Session none(0, 0, fourcc::kRGB);
    EXPECT_TRUE(none.Convert(Bytes(5, 1)).isNull());  // nothing to draw the text on
    EXPECT_TRUE(none.image.Converted());
    EXPECT_THROW(none.image.SetFormat(-1, 2, fourcc::kRGB), std::invalid_argument);
    // A picture too large to exist leaves the old format in place.
    EXPECT_THROW(none.image.SetFormat(100'000'000, 1, fourcc::kRGB), std::bad_alloc);
    EXPECT_EQ(none.image.Width(), 0);
}

}  // namespace
}  // namespace vistrel
