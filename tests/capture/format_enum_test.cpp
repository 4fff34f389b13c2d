// SPDX-License-Identifier: MIT
// What a camera offers: formats, sizes and frame intervals as the driver
// lists them, and its current format.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "capture/format_enum.h"
#include "fake_v4l2.h"

namespace vistrel {
namespace {

using test::FakeDeviceConfig;
using test::FakeOffer;
using test::FakeV4L2;
using test::MakeFormat;

TEST(FormatEnumTest, ListsFormatsSizesRatesAndTheCurrentFormat) {
    FakeV4L2 fake;
    FakeDeviceConfig plain;  // lists nothing
    plain.card = "Plain";
    fake.AddDevice(plain);
    FakeDeviceConfig config;
    config.card = " Desk Cam ";
    config.format = MakeFormat(V4L2_PIX_FMT_YUYV, 640, 480, 32);
    config.interval = {1, 15};
    config.offers = {
        FakeOffer{V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 720}}, {}, {{1, 30}, {1, 15}}},
        FakeOffer{V4L2_PIX_FMT_MJPEG,
                  {},
                  v4l2_frmsize_stepwise{16, 1920, 8, 16, 1080, 4},
                  {{1001, 30000}}},
    };
    fake.AddDevice(config);

    TDeviceFormats formats;
    std::string name;
    ASSERT_EQ(EnumDeviceFormats("desk cam", formats, name, fake), kStatusOk);
    EXPECT_EQ(name, "Desk Cam");
    EXPECT_EQ(formats.current.pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(formats.current.width, 640);
    EXPECT_EQ(formats.current.bytesPerLine, 640u * 2 + 32);
    EXPECT_EQ(formats.current.interval, (TFraction{1, 15}));
    ASSERT_EQ(formats.formats.size(), 2u);

    const TFormatOffer& yuyv = formats.formats[0];
    EXPECT_EQ(yuyv.pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_FALSE(yuyv.compressed);
    ASSERT_EQ(yuyv.sizes.size(), 2u);
    EXPECT_EQ(yuyv.sizes[1].kind, TChoiceKind::Discrete);
    EXPECT_EQ(yuyv.sizes[1].width, 1280u);
    EXPECT_EQ(yuyv.sizes[1].intervals.discrete, (std::vector<TFraction>{{1, 30}, {1, 15}}));
    EXPECT_DOUBLE_EQ(yuyv.sizes[1].intervals.discrete[1].Rate(), 15.0);

    const TFormatOffer& mjpg = formats.formats[1];
    EXPECT_TRUE(mjpg.compressed);
    ASSERT_EQ(mjpg.sizes.size(), 1u);
    const TSizeChoice& range = mjpg.sizes[0];
    EXPECT_EQ(range.kind, TChoiceKind::Stepwise);
    EXPECT_EQ(range.width, 1920u);  // the largest size
    EXPECT_EQ(range.minHeight, 16u);
    EXPECT_TRUE(range.Contains(1920, 1080));
    EXPECT_TRUE(range.Contains(24, 20));
    EXPECT_FALSE(range.Contains(25, 20));    // off the width steps
    EXPECT_FALSE(range.Contains(1928, 20));  // beyond the range
    // Rates of a range are those at its largest size.
    EXPECT_EQ(range.intervals.discrete, (std::vector<TFraction>{{1001, 30000}}));

    // A driver without the listing calls offers nothing, and is no failure.
    ASSERT_EQ(EnumDeviceFormats("#1", formats, name, fake), kStatusOk);
    EXPECT_TRUE(formats.formats.empty());
    EXPECT_EQ(formats.current.width, 640);
    EXPECT_EQ(EnumDeviceFormats("#3", formats, name, fake), kStatusFail);
    EXPECT_EQ(fake.OpenFds(), 0);
}

}  // namespace
}  // namespace vistrel
