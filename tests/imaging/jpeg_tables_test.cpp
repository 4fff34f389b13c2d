// SPDX-License-Identifier: MIT
#include "imaging/jpeg_tables.h"

#include <gtest/gtest.h>

#include "imaging/jpeg_image.h"
#include "imaging/jpeg_test_util.h"

namespace vistrel {
namespace {

constexpr std::uint8_t kDHT = 0xC4;

// libjpeg writes the standard tables into a stream without optimised
// coding; without its DHT segments it is a camera's MJPG frame. Put back,
// the tables make it that stream again, byte for byte; a stream that has
// them is left as it is, and one that is not whole is refused.
TEST(JpegTables, StandardTablesGoBackBeforeTheScan) {
    TJPEGImage encoder;
    encoder.SetImage(test::Gradient(64, 48));
    const test::Bytes whole = encoder.Encoded();
    test::Bytes tableless = test::WithoutSegments(whole, kDHT);
    ASSERT_LT(tableless.size(), whole.size());

    EXPECT_EQ(CompleteHuffmanTables(tableless), TJpegTables::Added);
    EXPECT_EQ(tableless, whole);
    test::Bytes complete = whole;
    EXPECT_EQ(CompleteHuffmanTables(complete), TJpegTables::Complete);
    EXPECT_EQ(complete, whole);

    test::Bytes cut(whole.begin(), whole.begin() + 40);  // ends inside a segment
    EXPECT_EQ(CompleteHuffmanTables(cut), TJpegTables::Malformed);
    test::Bytes notJpeg(100, 0x55);
    EXPECT_EQ(CompleteHuffmanTables(notJpeg), TJpegTables::Malformed);
    EXPECT_EQ(notJpeg, test::Bytes(100, 0x55));
}

}  // namespace
}  // namespace vistrel
