// SPDX-License-Identifier: MIT
#include <QLoggingCategory>
#include <QProcess>
#include <QTextStream>

#include <gtest/gtest.h>

#include <memory>

#include "arguments.h"
#include "capture_test_util.h"
#include "cli.h"
#include "fake_v4l2.h"

namespace vistrel::cli {
namespace {

using test::FakeDeviceConfig;

class DevicesCommand : public test::FakeDeviceTest {
protected:
    ~DevicesCommand() override { QLoggingCategory::setFilterRules(QString()); }

    int Run(const QStringList& arguments) {
        out_.clear();
        err_.clear();
        QTextStream out(&out_);
        QTextStream err(&err_);
        return RunCli(QStringList{"vistrel-cli"} + arguments, out, err, fake_);
    }
    void AddCamera(const char* card) {
        FakeDeviceConfig config;
        config.card = card;
        config.format = test::MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24);
        fake_->AddDevice(config);
    }

    QString out_;
    QString err_;
};

TEST_F(DevicesCommand, DevicesAreListedByPosition) {
    AddCamera("Shelf Cam");
    AddCamera("Door Cam");
    EXPECT_EQ(Run({"devices"}), kExitSuccess);
    EXPECT_EQ(out_, "1\tShelf Cam\n2\tDoor Cam\n");
    EXPECT_EQ(err_, "");
    // Numbers no real node has, so that no stable link of the machine leads to them.
    fake_->UnplugDevice(0);
    fake_->UnplugDevice(1);
    FakeDeviceConfig config;
    config.card = "Shelf Cam";
    config.number = 90;
    config.busInfo = "usb-0000:00:14.0-1";
    fake_->AddDevice(config);
    EXPECT_EQ(Run({"devices", "--long"}), kExitSuccess);
    EXPECT_EQ(out_, "1\tShelf Cam\t/dev/video90\tusb-0000:00:14.0-1\t-\n");
}

TEST_F(DevicesCommand, RunsThroughTheRunnerAndSaysWhenThereIsNoCamera) {
    EXPECT_EQ(Run({"devices", "--help"}), kExitSuccess);
    EXPECT_TRUE(out_.startsWith("Usage: vistrel-cli devices")) << out_.toStdString();
    EXPECT_EQ(Run({"devices", "extra"}), kExitUsage);
    EXPECT_EQ(err_,
              "vistrel-cli devices: takes no arguments but --long (try 'vistrel-cli devices "
              "--help')\n");

    EXPECT_EQ(Run({"devices"}), kExitSuccess);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "vistrel-cli: no camera found\n");
}

TEST_F(DevicesCommand, NodesThatCannotBeOpenedAreNamedWithTheFix) {
    FakeDeviceConfig locked;
    locked.card = "Locked Cam";
    locked.openError = EACCES;
    fake_->AddDevice(locked);
    const QString note =
        "vistrel-cli: /dev/video0 cannot be opened: permission denied; add your user to the "
        "video group\n";
    EXPECT_EQ(Run({"devices"}), kExitFailure);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, note + "vistrel-cli: no camera found\n");

    AddCamera("Door Cam");  // behind the unreadable node, and still listed
    EXPECT_EQ(Run({"devices"}), kExitSuccess);
    EXPECT_EQ(out_, "1\tDoor Cam\n");
    EXPECT_EQ(err_, note);
    EXPECT_EQ(Run({"formats", "--device", "#1"}), kExitSuccess) << err_.toStdString();

    fake_->SetListError(EACCES);
    EXPECT_EQ(Run({"devices"}), kExitFailure);
    EXPECT_EQ(err_, "vistrel-cli: cannot list the cameras: Permission denied\n");
}

TEST_F(DevicesCommand, VerboseStandsBeforeOrAfterTheCommandAndTurnsOnInfo) {
    EXPECT_EQ(Run({"-v", "devices", "--help"}), kExitSuccess);
    EXPECT_EQ(Run({"devices", "--verbose"}), kExitSuccess);
    EXPECT_EQ(Run({"-v"}), kExitUsage) << "still needs a command";
    const QLoggingCategory category("vistrel.capture");
    EXPECT_TRUE(category.isInfoEnabled());
}

TEST_F(DevicesCommand, FormatsListsWhatTheCameraOffers) {
    AddCamera("Shelf Cam");
    FakeDeviceConfig config;
    config.card = "Door Cam";
    config.format = test::MakeFormat(V4L2_PIX_FMT_MJPEG, 640, 480);
    config.offers = {
        test::FakeOffer{V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 720}}, {}, {{1, 30}, {1, 10}}},
        test::FakeOffer{
            V4L2_PIX_FMT_MJPEG, {}, v4l2_frmsize_stepwise{16, 1920, 8, 16, 1080, 8}, {{1, 30}}},
        test::FakeOffer{V4L2_PIX_FMT_NV12, {{640, 480}}, {}, {{1, 30}}},
    };
    fake_->AddDevice(config);
    EXPECT_EQ(Run({"formats", "--device", "door cam"}), kExitSuccess) << err_.toStdString();
    EXPECT_EQ(out_,
              "  YUY2\t640x480\t30 10 fps\n"
              "  YUY2\t1280x720\t30 10 fps\n"
              "* MJPG\t16x16 to 1920x1080, steps of 8x8 (now 640x480)\t30 fps\n"
              "  NV12 (not convertible)\t640x480\t30 fps\n");
    EXPECT_EQ(err_, "");

    EXPECT_EQ(Run({"formats", "--device=#1"}), kExitSuccess);  // lists nothing: the current one
    EXPECT_EQ(out_, "* YUY2\t32x24\t30 fps\n");
    EXPECT_EQ(Run({"formats", "--device", "#3"}), kExitFailure);
    EXPECT_EQ(err_, "vistrel-cli: no camera \"#3\" (see 'vistrel-cli devices')\n");
    EXPECT_EQ(Run({"formats", "--size", "1x1"}), kExitUsage);
}

// The real program, as under a service manager: no runtime directory and no
// display. Nothing but the program's own lines reaches stderr.
TEST(DevicesBinary, HelpExitsWithZeroAndQtSaysNothing) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        environment.remove(QString::fromLatin1(name));
    }
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VISTREL_CLI_PATH), {"devices", "--help"});
    ASSERT_TRUE(process.waitForFinished(120000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardError().toStdString(), "");
}

}  // namespace
}  // namespace vistrel::cli
