// SPDX-License-Identifier: MIT
#include "imaging/picture_stamp.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include "imaging/jpeg_test_util.h"

namespace vistrel {
namespace {

// Outside its box the stamp leaves every byte; inside it only writes white
// letters and black outlines, both of them present, at a height of about
// 1/30 of the picture's (10 pixels at least).
TEST(PictureStamp, ChangesOnlyItsCornerAtEverySize) {
    const std::string text = "Garden 2026-12-09 13:08:37.123";
    for (const QSize size : {QSize(320, 240), QSize(3840, 2160)}) {
        const QImage original = test::Gradient(size.width(), size.height());
        QImage stamped = original.copy();
        const TStampBox box = BurnStamp(stamped, text);
        const TStampBox expected = StampBoxFor(size.width(), size.height(), text);
        ASSERT_FALSE(box.IsEmpty());
        EXPECT_EQ(box.x, expected.x);
        EXPECT_EQ(box.y, expected.y);
        EXPECT_EQ(box.width, expected.width);
        EXPECT_EQ(box.height, expected.height);
        EXPECT_GE(box.height, 10);
        EXPECT_LE(box.height, size.height() / 20);
        EXPECT_LT(box.x, 20);
        EXPECT_GT(box.y + box.height, size.height() - 20) << "at the bottom";
        int white = 0, black = 0;
        for (int y = 0; y < size.height(); ++y) {
            const uchar* was = original.constScanLine(y);
            const uchar* now = stamped.constScanLine(y);
            for (int x = 0; x < size.width(); ++x) {
                const uchar* a = was + 3 * x;
                const uchar* b = now + 3 * x;
                if (a[0] == b[0] && a[1] == b[1] && a[2] == b[2]) {
                    continue;
                }
                ASSERT_TRUE(box.Contains(x, y)) << x << "," << y << " at " << size.width();
                const bool isWhite = b[0] == 255 && b[1] == 255 && b[2] == 255;
                const bool isBlack = b[0] == 0 && b[1] == 0 && b[2] == 0;
                ASSERT_TRUE(isWhite || isBlack);
                (isWhite ? white : black)++;
            }
        }
        EXPECT_GT(white, 0);
        EXPECT_GT(black, white / 4) << "an outline around the letters";
    }
    // Too narrow for the text: clipped, never written past the edge.
    QImage narrow = test::Filled(40, 12, 1, 2, 3);
    const TStampBox clipped = BurnStamp(narrow, text);
    EXPECT_LE(clipped.x + clipped.width, 40);
    EXPECT_LE(clipped.y + clipped.height, 12);
    QImage other(64, 48, QImage::Format_RGB32);
    EXPECT_TRUE(BurnStamp(other, text).IsEmpty()) << "only 24-bit pictures";
}

TEST(PictureStamp, TextAndFormats) {
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7, 42));
    const auto time =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(when.toMSecsSinceEpoch()));
    TStampOptions options;
    EXPECT_EQ(StampText(options, time), "") << "off by default";
    options.time = true;
    EXPECT_EQ(StampText(options, time), "2026-03-04 05:06:07");
    options.format = "%b %H:%M:%S.%f %%f";
    options.title = "Door";
    EXPECT_EQ(StampText(options, time), "Door Mar 05:06:07.042 %f");
    options.time = false;
    EXPECT_EQ(StampText(options, time), "Door");

    for (const char* good : {"%Y-%m-%d %H:%M:%S", "%c %f", "%Ey %OH %%", "no conversion"}) {
        EXPECT_EQ(StampFormatProblem(good), "") << good;
    }
    EXPECT_EQ(StampFormatProblem("%Q"), "has an unknown conversion %Q");
    EXPECT_EQ(StampFormatProblem("%Ez"), "has an unknown conversion %Ez");
    EXPECT_EQ(StampFormatProblem("%H %"), "ends in a lone %");
    EXPECT_EQ(StampFormatProblem(""), "is empty");
    EXPECT_EQ(StampFormatProblem("%H\n"), "holds a character other than printable ASCII");
    EXPECT_EQ(StampTitleProblem("K\xc3\xbc"
                                "che"),
              "holds a character other than printable ASCII");
    EXPECT_EQ(StampTitleProblem(std::string(201, 'x')), "is longer than 200 characters");
}

}  // namespace
}  // namespace vistrel
