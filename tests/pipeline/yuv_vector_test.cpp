// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame_conversion.h"
#include "pipeline_test_util.h"
#include "yuv_vector.h"

// The vector conversion against the table code, on every instruction set
// that this build has code for and this processor runs.

namespace vistrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::Tables;

// Converts on one instruction set while it lives.
class TargetScope {
public:
    explicit TargetScope(std::int64_t target) { yuv_vector::RestrictToTarget(target); }
    ~TargetScope() { yuv_vector::RestrictToTarget(0); }
    TargetScope(const TargetScope&) = delete;
    TargetScope& operator=(const TargetScope&) = delete;
};

// Offset of the first byte that differs, or -1.
std::int64_t FirstDifference(const Bytes& a, const Bytes& b) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return ia == a.end() && ib == b.end() ? -1 : ia - a.begin();
}

// Every (Y, U, V) with V in [v0, v0 + count), each once, as 4:2:2 rows of
// 256 pixels; chroma changes from pair to pair. Row 256 j + i holds Y 0..255,
// pair k with U = (i + k) % 256 and V = v0 + (j + k) % count.
Bytes AllTriplesPacked(int v0, int count) {
    Bytes frame(static_cast<std::size_t>(count) * 256 * 512);
    std::uint8_t* g = frame.data();
    for (int j = 0; j < count; ++j) {
        for (int i = 0; i < 256; ++i) {
            for (int k = 0; k < 128; ++k, g += 4) {
                g[0] = static_cast<std::uint8_t>(2 * k);
                g[1] = static_cast<std::uint8_t>((i + k) % 256);
                g[2] = static_cast<std::uint8_t>(2 * k + 1);
                g[3] = static_cast<std::uint8_t>(v0 + (j + k) % count);
            }
        }
    }
    return frame;
}

// The same triples as a 4:2:0 frame 512 pixels wide: chroma sample k of
// chroma row 64 m + b has U = k and V = v0 + (m + k) % count, and its 2 x 2
// block of luma the four values from 4 b.
Bytes AllTriplesPlanar(int v0, int count) {
    const int width = 512;
    const int chromaRows = count * 64;
    const std::size_t lumaSize = static_cast<std::size_t>(width) * chromaRows * 2;
    Bytes frame(lumaSize * 3 / 2);
    std::uint8_t* cb = frame.data() + lumaSize;
    std::uint8_t* cr = cb + lumaSize / 4;
    for (int j = 0; j < chromaRows; ++j) {
        for (int k = 0; k < width / 2; ++k) {
            const int y = 4 * (j % 64);
            std::uint8_t* top = frame.data() + static_cast<std::size_t>(2 * j) * width + 2 * k;
            top[0] = static_cast<std::uint8_t>(y);
            top[1] = static_cast<std::uint8_t>(y + 1);
            top[width] = static_cast<std::uint8_t>(y + 2);
            top[width + 1] = static_cast<std::uint8_t>(y + 3);
            const std::size_t at = static_cast<std::size_t>(j) * (width / 2) + k;
            cb[at] = static_cast<std::uint8_t>(k);
            cr[at] = static_cast<std::uint8_t>(v0 + (j / 64 + k) % count);
        }
    }
    return frame;
}

TEST(YuvVector, EveryTripleOnEveryInstructionSetMatchesTheTables) {
    // All 2^24 triples, in slices of 16 values of V. Unoptimised builds
    // (the sanitizer build) take two slices of the sixteen to stay quick.
#ifdef NDEBUG
    constexpr int kSliceStep = 16;
#else
    constexpr int kSliceStep = 128;
#endif
    const std::vector<std::int64_t> targets = yuv_vector::AvailableTargets();
    ASSERT_FALSE(targets.empty());
    std::string names;
    for (const std::int64_t target : targets) {
        names += " " + yuv_vector::TargetName(target);
    }
    std::printf("instruction sets:%s\n", names.c_str());
    for (int v0 = 0; v0 < 256; v0 += kSliceStep) {
        const Bytes packed = AllTriplesPacked(v0, 16);
        const Bytes planar = AllTriplesPlanar(v0, 16);
        const int packedHeight = 16 * 256;
        const int planarHeight = 16 * 128;
        Bytes packedExpected(packed.size() / 2 * 3);
        Bytes planarExpected(planar.size() / 3 * 2 * 3);
        ConvertPacked422RowsReference(Tables(), packed.data(), 256, packedHeight,
                                      packedExpected.data(), 256 * 3);
        ConvertPlanar420RowsReference(Tables(), planar.data(), 512, planarHeight, true,
                                      planarExpected.data(), 512 * 3);
        for (const std::int64_t target : targets) {
            SCOPED_TRACE(yuv_vector::TargetName(target) + ", V from " + std::to_string(v0));
            const TargetScope scope(target);
            Bytes out(packedExpected.size());
            ConvertPacked422Rows(Tables(), packed.data(), 256, packedHeight, out.data(), 256 * 3);
            ASSERT_EQ(FirstDifference(out, packedExpected), -1) << "4:2:2";
            out.assign(planarExpected.size(), 0);
            ConvertPlanar420Rows(Tables(), planar.data(), 512, planarHeight, true, out.data(),
                                 512 * 3);
            ASSERT_EQ(FirstDifference(out, planarExpected), -1) << "4:2:0";
        }
    }
}

enum class Format { Packed, I420, YV12 };

struct Layout {
    int width;
    int height;
    Format format;
    std::int64_t sourceStride;  // 0: unpadded
};

// The bytes a frame of this layout is read from, and no more: the end of the
// last row that is read.
std::size_t FrameLength(const Layout& l) {
    const std::int64_t w = l.width;
    const std::int64_t h = l.height;
    if (l.format == Format::Packed) {
        const std::int64_t s = l.sourceStride != 0 ? l.sourceStride : 2 * w;
        return static_cast<std::size_t>((h - 1) * s + 2 * w);
    }
    const std::int64_t s = l.sourceStride != 0 ? l.sourceStride : w;
    if (w / 2 == 0 || h / 2 == 0) {
        return static_cast<std::size_t>((h - 1) * s + w);
    }
    const std::int64_t second = s * h + s * h / 4;
    return static_cast<std::size_t>(second + (h / 2 - 1) * (s / 2) + w / 2);
}

void Convert(const Layout& l, const Bytes& frame, std::uint8_t* target, std::int64_t stride,
             bool reference) {
    const auto& t = Tables();
    if (l.format == Format::Packed) {
        (reference ? ConvertPacked422RowsReference : ConvertPacked422Rows)(
            t, frame.data(), l.width, l.height, target, stride, l.sourceStride);
    } else {
        (reference ? ConvertPlanar420RowsReference : ConvertPlanar420Rows)(
            t, frame.data(), l.width, l.height, l.format == Format::I420, target, stride,
            l.sourceStride);
    }
}

// Odd and even sizes around the vector steps, unpadded and padded source
// rows, top-down and bottom-up pictures, on every instruction set: the bytes
// of the tables. Frames and pictures are allocated to their exact length, so
// the sanitizer build catches a read past the frame or a write past the
// picture; the guard bytes in the row padding catch a write past a row.
TEST(YuvVector, AnySizeStrideAndRowOrderMatchesTheTables) {
    const int widths[] = {1, 2, 3, 7, 8, 62, 63, 64, 65, 129, 130, 200};
    const int heights[] = {1, 2, 3, 4};
    std::mt19937 random(9);
    for (const std::int64_t target : yuv_vector::AvailableTargets()) {
        const TargetScope scope(target);
        for (const int w : widths) {
            for (const int h : heights) {
                for (const Format format : {Format::Packed, Format::I420, Format::YV12}) {
                    for (const int padding : {0, 6}) {
                        const std::int64_t rowBytes = format == Format::Packed ? 2 * w : w;
                        const Layout layout{w, h, format, padding == 0 ? 0 : rowBytes + padding};
                        Bytes frame(FrameLength(layout));
                        std::generate(frame.begin(), frame.end(), [&] { return random() & 0xFF; });
                        for (const bool bottomUp : {false, true}) {
                            SCOPED_TRACE(testing::Message()
                                         << yuv_vector::TargetName(target) << " " << w << "x" << h
                                         << " format " << static_cast<int>(format) << " padding "
                                         << padding << " bottom-up " << bottomUp);
                            const std::int64_t stride = 3 * w + 5;
                            const auto length = static_cast<std::size_t>((h - 1) * stride + 3 * w);
                            Bytes expected(length, 0xA5);
                            Bytes out(length, 0xA5);
                            const std::int64_t first = bottomUp ? (h - 1) * stride : 0;
                            Convert(layout, frame, expected.data() + first,
                                    bottomUp ? -stride : stride, true);
                            Convert(layout, frame, out.data() + first, bottomUp ? -stride : stride,
                                    false);
                            ASSERT_EQ(FirstDifference(out, expected), -1);
                        }
                    }
                }
            }
        }
    }
}

TEST(YuvVector, SourceRowsShorterThanThePictureAreRefused) {
    Bytes frame(64);
    Bytes out(64);
    EXPECT_THROW(ConvertPacked422Rows(Tables(), frame.data(), 4, 2, out.data(), 12, 7),
                 std::invalid_argument);
    EXPECT_THROW(ConvertPlanar420Rows(Tables(), frame.data(), 4, 2, true, out.data(), 12, 3),
                 std::invalid_argument);
}

}  // namespace
}  // namespace vistrel
