// SPDX-License-Identifier: MIT
// A camera's controls: listing them, and applying NAME=VALUE settings in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/camera_controls.h"
#include "fake_v4l2.h"

namespace vistrel {
namespace {

using test::FakeDeviceConfig;
using test::FakeV4L2;
using test::VividLikeControls;

TEST(CameraControlsTest, KeysAreTheLowerCaseWordsJoinedByUnderscores) {
    EXPECT_EQ(ControlKey("Brightness"), "brightness");
    EXPECT_EQ(ControlKey("Focus, Automatic Continuous"), "focus_automatic_continuous");
    EXPECT_EQ(ControlKey("White Balance Temperature"), "white_balance_temperature");
    EXPECT_EQ(ControlKey("  Gain (dB) - 2x "), "gain_db_2x");
    EXPECT_EQ(ControlKey("--"), "");
}

// Both the extended calls and the plain ones of older drivers.
TEST(CameraControlsTest, ListsControlsWithMenusValuesAndFlags) {
    for (const bool extended : {true, false}) {
        SCOPED_TRACE(extended ? "extended" : "plain");
        FakeV4L2 fake;
        FakeDeviceConfig config;
        config.card = "Desk Cam";
        config.controls = VividLikeControls();
        config.extendedControls = extended;
        fake.AddDevice(config);

        std::vector<TCameraControl> controls;
        std::string name;
        ASSERT_EQ(QueryDeviceControls("desk cam", controls, name, fake), kStatusOk);
        EXPECT_EQ(fake.OpenFds(), 0);
        std::vector<std::string> keys;
        for (const TCameraControl& c : controls) {
            keys.push_back(c.key);
        }
        // No classes, no disabled gamma.
        EXPECT_EQ(keys, (std::vector<std::string>{
                            "brightness", "contrast", "saturation", "hue", "integer_menu",
                            "auto_exposure", "exposure_time_absolute", "focus_automatic_continuous",
                            "auto_focus_start"}));
        EXPECT_EQ(controls[3].minimum, -128);
        EXPECT_EQ(controls[3].value, 0);
        EXPECT_EQ(ControlTypeName(controls[4]), "intmenu");
        ASSERT_EQ(controls[4].menu.size(), 3u);
        EXPECT_EQ(controls[4].menu[2].value, 1000000000000);
        const TCameraControl& menu = controls[5];
        ASSERT_EQ(menu.menu.size(), 2u);  // indexes 0 and 2 are skipped
        EXPECT_EQ(menu.menu[1].index, 3u);
        EXPECT_EQ(menu.menu[1].name, "Aperture Priority Mode");
        EXPECT_EQ(menu.value, 3);
        EXPECT_EQ(ControlFlagNames(controls[6].flags), std::vector<std::string>{"inactive"});
        EXPECT_EQ(controls[7].type, TControlType::Boolean);
        EXPECT_EQ(controls[8].type, TControlType::Button);
        EXPECT_FALSE(controls[8].value.has_value());  // write-only
    }
    FakeV4L2 none;
    none.AddDevice({});
    std::vector<TCameraControl> controls;
    std::string name;
    EXPECT_EQ(QueryDeviceControls("#1", controls, name, none), kStatusOk);
    EXPECT_TRUE(controls.empty());
}

class ApplyControlsTest : public ::testing::Test {
protected:
    ApplyControlsTest() {
        FakeDeviceConfig config;
        config.controls = VividLikeControls();
        device_ = fake_.AddDevice(config);
        fd_ = fake_.Open(fake_.PathOf(device_), 0);
    }
    ~ApplyControlsTest() override { fake_.Close(fd_); }

    std::vector<std::string> Apply(const std::vector<TControlSetting>& settings) {
        return ApplyControlSettings(fake_, fd_, fake_.PathOf(device_), settings);
    }

    FakeV4L2 fake_;
    int device_ = 0;
    int fd_ = -1;
};

TEST_F(ApplyControlsTest, AppliesInOrderTakingMenuNamesAndBooleanWords) {
    // This camera calls the menu "Auto Exposure": "exposure_auto" is not its key.
    const std::vector<std::string> problems = Apply({{"exposure_auto", "1"},
                                                     {"auto_exposure", "manual_mode"},
                                                     {"exposure_time_absolute", "300"},
                                                     {"focus_automatic_continuous", "off"},
                                                     {"hue", "-5"},
                                                     {"auto_focus_start", "1"}});
    EXPECT_EQ(problems.size(), 1u);
    EXPECT_EQ(fake_.ControlWrites(device_), (std::vector<std::pair<std::uint32_t, std::int64_t>>{
                                                {V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
                                                {V4L2_CID_EXPOSURE_ABSOLUTE, 300},
                                                {V4L2_CID_FOCUS_AUTO, 0},
                                                {V4L2_CID_HUE, -5},
                                                {V4L2_CID_AUTO_FOCUS_START, 1}}));
}

TEST_F(ApplyControlsTest, EachBadSettingGivesOneProblemAndTheRestGoOn) {
    fake_.RefuseControl(device_, V4L2_CID_CONTRAST, EBUSY);
    const std::vector<std::string> problems = Apply({
        {"exposure_time_absolute", "300"},  // still locked by auto exposure
        {"brightness", "256"},
        {"contrast", "64"},
        {"gamma", "1"},          // disabled: not there
        {"auto_exposure", "2"},  // a skipped menu index
        {"focus_automatic_continuous", "maybe"},
        {"saturation", "10"},
    });
    ASSERT_EQ(problems.size(), 6u);
    EXPECT_EQ(problems[0],
              "camera control \"exposure_time_absolute=300\": refused: Permission denied (the "
              "control is inactive)");
    EXPECT_EQ(problems[1], "camera control \"brightness=256\": out of range 0..255");
    EXPECT_EQ(problems[2], "camera control \"contrast=64\": refused: Device or resource busy");
    EXPECT_EQ(problems[3], "camera control \"gamma=1\": the camera has no such control");
    EXPECT_NE(problems[4].find("not an item of the menu (1 Manual Mode, 3 Aperture Priority"),
              std::string::npos);
    EXPECT_NE(problems[5].find("not a boolean"), std::string::npos);
    EXPECT_EQ(fake_.ControlWrites(device_),
              (std::vector<std::pair<std::uint32_t, std::int64_t>>{{V4L2_CID_SATURATION, 10}}));
}

// Without VIDIOC_S_EXT_CTRLS the plain call sets the value.
TEST(CameraControlsSetTest, FallsBackToThePlainCallAndKeepsTheDriversErrno) {
    FakeV4L2 fake;
    FakeDeviceConfig config;
    config.controls = VividLikeControls();
    config.extendedControls = false;
    const int device = fake.AddDevice(config);
    const int fd = fake.Open(fake.PathOf(device), 0);
    EXPECT_TRUE(
        SetControl(fake, fd, "/dev/video0", V4L2_CID_BRIGHTNESS, TControlType::Integer, 200).Ok());
    EXPECT_EQ(fake.ControlValue(device, V4L2_CID_BRIGHTNESS), 200);
    const TControlSetResult refused =
        SetControl(fake, fd, "/dev/video0", V4L2_CID_GAMMA, TControlType::Integer, 1);
    EXPECT_EQ(refused.errorNumber, EINVAL);
    EXPECT_STREQ(refused.call, "VIDIOC_S_CTRL");
    fake.Close(fd);

    FakeV4L2 extended;
    config.extendedControls = true;
    extended.AddDevice(config);
    const int fd2 = extended.Open(extended.PathOf(0), 0);
    const TControlSetResult busy =
        SetControl(extended, fd2, "/dev/video0", V4L2_CID_GAMMA, TControlType::Integer, 1);
    EXPECT_EQ(busy.errorNumber, EINVAL);
    EXPECT_EQ(busy.errorIndex, 0u);
    extended.Close(fd2);
}

}  // namespace
}  // namespace vistrel
