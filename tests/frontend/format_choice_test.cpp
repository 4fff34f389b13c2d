// SPDX-License-Identifier: MIT
// Names, listing and checking of camera formats, sizes and rates.
#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include "frontend/format_choice.h"

namespace vistrel {
namespace {

TSizeChoice Discrete(std::uint32_t w, std::uint32_t h, std::vector<TFraction> intervals = {}) {
    TSizeChoice size;
    size.width = w;
    size.height = h;
    size.intervals.discrete = std::move(intervals);
    return size;
}

// A webcam: YUYV in three sizes, MJPG over a range, UYVY; now YUYV 640x480.
TDeviceFormats Webcam() {
    TDeviceFormats formats;
    formats.current.pixelFormat = V4L2_PIX_FMT_YUYV;
    formats.current.width = 640;
    formats.current.height = 480;
    formats.current.interval = {1, 30};
    TFormatOffer yuyv{V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", false, {}};
    yuyv.sizes = {Discrete(640, 480, {{1, 30}, {1, 15}}), Discrete(1280, 720, {{1, 10}}),
                  Discrete(320, 180, {{1, 30}, {1001, 30000}})};
    TSizeChoice range;
    range.kind = TChoiceKind::Stepwise;
    range.minWidth = 16;
    range.minHeight = 16;
    range.width = 1920;
    range.height = 1080;
    range.stepWidth = 8;
    range.stepHeight = 8;
    range.intervals.kind = TChoiceKind::Continuous;
    range.intervals.min = {1, 60};
    range.intervals.max = {1, 1};
    TFormatOffer mjpg{V4L2_PIX_FMT_MJPEG, "Motion-JPEG", true, {range}};
    TFormatOffer uyvy{V4L2_PIX_FMT_UYVY, "UYVY 4:2:2", false, {Discrete(640, 480, {{1, 30}})}};
    formats.formats = {yuyv, mjpg, uyvy};
    return formats;
}

TEST(FormatNames, VistrelNamesFourCCsAndTheListing) {
    EXPECT_EQ(FormatLabel(V4L2_PIX_FMT_NV12), "NV12 (not convertible)");
    EXPECT_EQ(FormatName(V4L2_PIX_FMT_Y16), "Y16");  // "Y16 " without its blank
    EXPECT_EQ(RateText(30000.0 / 1001), "29.97");
    EXPECT_EQ(RateText(7.5), "7.5");

    TDeviceFormats formats = Webcam();
    EXPECT_EQ(FormatListing(formats),
              (QStringList{"* YUY2\t640x480\t30 15 fps", "  YUY2\t1280x720\t10 fps",
                           "  YUY2\t320x180\t30 29.97 fps",
                           "  MJPG\t16x16 to 1920x1080, steps of 8x8\t1 to 60 fps",
                           "  UYVY (not convertible)\t640x480\t30 fps"}));
    EXPECT_EQ(ConvertibleFormats(formats), (QStringList{"YUY2", "MJPG"}));

    formats.current.pixelFormat = V4L2_PIX_FMT_MJPEG;
    EXPECT_EQ(FormatListing(formats)[3],
              "* MJPG\t16x16 to 1920x1080, steps of 8x8 (now 640x480)\t1 to 60 fps");
    formats.formats.clear();  // a driver that lists nothing
    EXPECT_EQ(FormatListing(formats), (QStringList{"* MJPG\t640x480\t30 fps"}));
}

TEST(FormatChoice, OfferedChoicesBecomeRequestsOthersListWhatIsOffered) {
    const TDeviceFormats webcam = Webcam();
    TFormatRequest request;
    QString why;
    const auto resolve = [&](TFormatChoice choice) {
        return ResolveFormatChoice(webcam, choice, request, why);
    };

    // Names and V4L2 codes in any case; a size of the current format.
    ASSERT_TRUE(resolve({"yuyv", 1280, 720, 10}));
    EXPECT_EQ(request, (TFormatRequest{V4L2_PIX_FMT_YUYV, 1280, 720, {1, 10}}));
    ASSERT_TRUE(resolve({"", 320, 180, 29.97}));
    EXPECT_EQ(request, (TFormatRequest{0, 320, 180, {1001, 30000}}));  // the driver's fraction
    // A new format keeps the current size, which a range may hold.
    ASSERT_TRUE(resolve({"Mjpg", 0, 0, 0}));
    EXPECT_EQ(request, (TFormatRequest{V4L2_PIX_FMT_MJPEG, 640, 480, {}}));
    ASSERT_TRUE(resolve({"jpeg", 1000, 1000, 7.5}));
    EXPECT_EQ(request, (TFormatRequest{V4L2_PIX_FMT_MJPEG, 1000, 1000, {2, 15}}));
    ASSERT_TRUE(resolve({"UYVY", 0, 0, 0}));  // offered, if not convertible
    ASSERT_TRUE(resolve({}));
    EXPECT_TRUE(request.Empty());

    // What is not offered, with what is, nearest first.
    EXPECT_FALSE(resolve({"", 1000, 1000, 0}));
    EXPECT_EQ(why,
              "the camera does not offer 1000x1000 in YUY2; its YUY2 sizes, nearest first: "
              "1280x720, 640x480, 320x180");
    EXPECT_FALSE(resolve({"I420", 0, 0, 0}));
    EXPECT_EQ(why,
              "the camera offers no format \"I420\"; it offers YUY2, MJPG, "
              "UYVY (not convertible)");
    EXPECT_FALSE(resolve({"UYVY", 1280, 720, 0}));
    EXPECT_EQ(why,
              "the camera does not offer 1280x720 in UYVY; its UYVY sizes, nearest first: "
              "640x480");
    EXPECT_FALSE(resolve({"mjpg", 1001, 720, 0}));  // off the range's steps
    EXPECT_FALSE(resolve({"", 0, 0, 25}));
    EXPECT_EQ(why,
              "the camera does not offer 25 fps at 640x480 in YUY2; its rates there, "
              "nearest first: 30, 15 fps");
    EXPECT_FALSE(resolve({"", 0, 0, 30.5}));  // not quite 30
    EXPECT_FALSE(resolve({"MJPG", 640, 480, 61}));

    // A driver that lists nothing cannot be checked: asked as it is.
    TDeviceFormats unlisted;
    unlisted.current = webcam.current;
    ASSERT_TRUE(ResolveFormatChoice(unlisted, {"i420", 800, 600, 25}, request, why));
    EXPECT_EQ(request, (TFormatRequest{V4L2_PIX_FMT_YUV420, 800, 600, {1, 25}}));
    // A format's V4L2 code, not the letters in the case they were typed.
    ASSERT_TRUE(ResolveFormatChoice(unlisted, {"jpeg", 0, 0, 0}, request, why));
    EXPECT_EQ(request.pixelFormat, V4L2_PIX_FMT_JPEG);
}

TEST(FormatChoice, ParsingSavedChoicesAndAdjustments) {
    std::uint32_t w = 0, h = 0;
    EXPECT_TRUE(ParseSize("1280X720", w, h));
    EXPECT_EQ(w, 1280u);
    EXPECT_TRUE(ParseSize("32768x32768", w, h));
    for (const char* bad : {"1280", "0x720", "1280x", "x720", "+1x2", "1280x720x1", "32769x1"}) {
        EXPECT_FALSE(ParseSize(bad, w, h)) << bad;
    }
    double fps = 0;
    EXPECT_TRUE(ParseRate("29.97", fps));
    for (const char* bad : {"0", "-5", "1e2", "inf", "nan", "30fps", "", "1001"}) {
        EXPECT_FALSE(ParseRate(bad, fps)) << bad;
    }
    EXPECT_TRUE(IsFormatCode("Y16"));
    EXPECT_FALSE(IsFormatCode("YUYV2"));
    EXPECT_FALSE(IsFormatCode("YU V"));

    TFormatChoice choice;
    EXPECT_TRUE(ChoiceFromSettings("MJPG", "1280x720", choice));
    EXPECT_EQ(choice.code, "MJPG");
    EXPECT_EQ(choice.height, 720u);
    EXPECT_TRUE(ChoiceFromSettings("", "", choice));
    EXPECT_TRUE(choice.Empty());
    EXPECT_FALSE(ChoiceFromSettings("MJPG", "big", choice));

    TStreamFormat got;
    got.pixelFormat = V4L2_PIX_FMT_YUYV;
    got.width = 1280;
    got.height = 720;
    got.interval = {1, 25};
    EXPECT_EQ(AdjustmentNote({V4L2_PIX_FMT_YUYV, 1280, 720, {}}, got), "");
    EXPECT_EQ(AdjustmentNote({0, 0, 0, {1, 30}}, got), "at 30 fps became at 25 fps");
    EXPECT_EQ(AdjustmentNote({V4L2_PIX_FMT_MJPEG, 1000, 1000, {}}, got),
              "1000x1000 MJPG became 1280x720 YUY2");
    got.interval = {};
    EXPECT_EQ(AdjustmentNote({0, 0, 0, {1, 30}}, got), "at 30 fps became at an unknown rate");
}

}  // namespace
}  // namespace vistrel
