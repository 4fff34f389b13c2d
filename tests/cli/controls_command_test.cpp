// SPDX-License-Identifier: MIT
// "vistrel-cli controls" on the fake camera.
#include <QTextStream>

#include <gtest/gtest.h>

#include <memory>

#include "arguments.h"
#include "cli.h"
#include "fake_v4l2.h"

namespace vistrel::cli {
namespace {

TEST(ControlsCommand, ListsEachControlOnOneTabSeparatedLine) {
    auto fake = std::make_shared<test::FakeV4L2>();
    test::FakeDeviceConfig config;
    config.card = "Desk Cam";
    config.controls = test::VividLikeControls();
    fake->AddDevice(config);
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    ASSERT_EQ(
        RunCli({"vistrel-cli", "controls", "--device", "Desk Cam"}, outStream, errStream, fake),
        kExitSuccess)
        << err.toStdString();
    EXPECT_EQ(out,
              "brightness\tint\t0..255 step 1\tdefault 128\tvalue 128\tflags slider\n"
              "contrast\tint\t0..255 step 1\tdefault 128\tvalue 128\tflags slider\n"
              "saturation\tint\t0..255 step 1\tdefault 128\tvalue 128\tflags slider\n"
              "hue\tint\t-128..127 step 1\tdefault 0\tvalue 0\tflags slider\n"
              "integer_menu\tintmenu\t0..2\tdefault 1\tvalue 1\titems 0=1|1=100|2=1000000000000\n"
              "auto_exposure\tmenu\t0..3\tdefault 3\tvalue 3\t"
              "items 1=Manual Mode|3=Aperture Priority Mode\n"
              "exposure_time_absolute\tint\t3..2047 step 1\tdefault 250\tvalue 250\t"
              "flags inactive\n"
              "focus_automatic_continuous\tbool\t0..1\tdefault 1\tvalue 1\n"
              "auto_focus_start\tbutton\t-\tdefault -\tvalue -\t"
              "flags write-only,execute-on-write\n");
    EXPECT_EQ(err, "");

    out.clear();
    EXPECT_EQ(RunCli({"vistrel-cli", "controls", "--device", "#2"}, outStream, errStream, fake),
              kExitFailure);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(err.contains("no camera \"#2\"")) << err.toStdString();
}

}  // namespace
}  // namespace vistrel::cli
