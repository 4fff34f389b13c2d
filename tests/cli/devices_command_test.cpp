#include <QLoggingCategory>
#include <QProcess>
#include <QTextStream>

#include <gtest/gtest.h>

#include <memory>

#include "arguments.h"
#include "cli.h"
#include "fake_v4l2.h"

namespace vistrel::cli {
namespace {

using test::FakeDeviceConfig;
using test::FakeV4L2;

class DevicesCommand : public ::testing::Test {
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

    std::shared_ptr<FakeV4L2> fake_ = std::make_shared<FakeV4L2>();
    QString out_;
    QString err_;
};

TEST_F(DevicesCommand, DevicesAreListedByPosition) {
    AddCamera("Shelf Cam");
    AddCamera("Door Cam");
    EXPECT_EQ(Run({"devices"}), kExitSuccess);
    EXPECT_EQ(out_, "1\tShelf Cam\n2\tDoor Cam\n");
    EXPECT_EQ(err_, "");
}

TEST_F(DevicesCommand, RunsThroughTheRunnerAndSaysWhenThereIsNoCamera) {
    EXPECT_EQ(Run({"devices", "--help"}), kExitSuccess);
    EXPECT_TRUE(out_.startsWith("Usage: vistrel-cli devices")) << out_.toStdString();
    EXPECT_EQ(Run({"devices", "extra"}), kExitUsage);
    EXPECT_EQ(err_, "vistrel-cli devices: takes no arguments (try 'vistrel-cli devices --help')\n");

    EXPECT_EQ(Run({"devices"}), kExitSuccess);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "vistrel-cli: no camera found\n");
}

TEST_F(DevicesCommand, VerboseStandsBeforeOrAfterTheCommandAndTurnsOnInfo) {
    EXPECT_EQ(Run({"-v", "devices", "--help"}), kExitSuccess);
    EXPECT_EQ(Run({"devices", "--verbose"}), kExitSuccess);
    EXPECT_EQ(Run({"-v"}), kExitUsage) << "still needs a command";
    const QLoggingCategory category("vistrel.capture");
    EXPECT_TRUE(category.isInfoEnabled());
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
