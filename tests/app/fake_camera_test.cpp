// The window over the real session and capture layer, with the fake V4L2
// device standing in for cameras.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QRegularExpression>
#include <QToolButton>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "capture/fake_v4l2.h"
#include "form_fixture.h"

namespace vistrel::test {
namespace {

class FakeCameraTest : public FormTest {
protected:
    FakeCameraTest() : fake_(std::make_shared<FakeV4L2>()) {
        env_.getDeviceList = {};
        env_.startCapture = {};
        env_.stopCapture = {};
        env_.sessionOptions.io = fake_;
        env_.cameraKeeper.lookInterval = std::chrono::milliseconds(20);
    }

    void AddCameras(int count) {
        for (int i = 0; i < count; ++i) {
            FakeDeviceConfig config;
            config.card = "Fake Camera " + std::to_string(i + 1);
            config.format = format_;
            fake_->AddDevice(config);
        }
    }

    // Runs the event loop until done() holds; false when it never does
    // within a generous bound (a hang, not a slow machine).
    static bool RunUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            QApplication::processEvents(QEventLoop::AllEvents);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::shared_ptr<FakeV4L2> fake_;
    FakeFormat format_ = MakeFormat(V4L2_PIX_FMT_BGR24, 640, 480);
};

TEST_F(FakeCameraTest, FourthCameraRunsLogsFilesAndStops) {
    AddCameras(4);
    const QString out = TempPath("frames");
    QDir().mkpath(out);
    WriteSettings("[Settings]\nCam=3\nSkippedFrames=0\nDirectory=" + out + "\n");
    TMainForm& form = MakeForm();
    auto* list = Control<QComboBox>("CamLstCB");
    ASSERT_EQ(list->count(), 4);
    EXPECT_EQ(list->itemText(0), "Fake Camera 1");
    EXPECT_EQ(list->currentIndex(), 3);

    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(form.IsCapturing());
    EXPECT_TRUE(messages_.empty());
    EXPECT_TRUE(fake_->Streaming(3));
    EXPECT_FALSE(fake_->Streaming(0));

    for (std::uint8_t seed = 1; seed <= 3; ++seed) {
        ASSERT_TRUE(fake_->PushFrameWhenReady(3, MakeFrameBytes(format_, seed)));
        const std::uint64_t before = form.FrameLogger().FramesTaken();
        ASSERT_TRUE(RunUntil([&] { return form.FrameLogger().FramesTaken() > before; }));
    }
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "640 x 480");
    EXPECT_EQ(Control<QLabel>("ThumbI")->size(), QSize(128, 96));
    const QStringList files = QDir(out).entryList(QDir::Files);
    EXPECT_GE(files.size(), 1);  // equal time stamps replace each other
    for (const QString& file : files) {
        EXPECT_TRUE(QRegularExpression("^\\d{15}\\.jpg$").match(file).hasMatch());
    }

    Control<QToolButton>("StopSB")->click();
    EXPECT_FALSE(form.IsCapturing());
    EXPECT_FALSE(fake_->Streaming(3));
    EXPECT_EQ(fake_->OpenFds(), 0);
    EXPECT_EQ(list->currentIndex(), 3);
    EXPECT_TRUE(list->isEnabled());
}

TEST_F(FakeCameraTest, NoCameraOrNoSelectionFailsWithTheMessage) {
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Could not start grabbing!");
    EXPECT_FALSE(Form().IsCapturing());
    DestroyForm();

    AddCameras(2);
    WriteSettings("[Settings]\nCam=5\n");
    MakeForm();
    Control<QToolButton>("RunSB")->click();  // "#0" names no device
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_FALSE(Form().IsCapturing());
    EXPECT_EQ(fake_->OpenFds(), 0);
}

TEST_F(FakeCameraTest, UnpluggedCameraIsWaitedForAndResumesWithoutABox) {
    AddCameras(2);
    const QString out = TempPath("frames");
    QDir().mkpath(out);
    WriteSettings("[Settings]\nSkippedFrames=0\nDirectory=" + out + "\n");
    TMainForm& form = MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(form.IsCapturing());
    ASSERT_TRUE(fake_->WaitForQueued(0, 1));
    fake_->UnplugDevice(0);
    ASSERT_TRUE(RunUntil([&] { return form.IsWaitingForCamera(); }));
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "Waiting for camera");
    EXPECT_TRUE(Control<QToolButton>("StopSB")->isEnabled());
    EXPECT_FALSE(Control<QToolButton>("RunSB")->isEnabled());

    // Back at video4, after the second camera: the list shows it second.
    const int back = fake_->ReturnDevice(0, 4);
    ASSERT_TRUE(RunUntil([&] { return form.IsCapturing(); }));
    EXPECT_FALSE(form.IsWaitingForCamera());
    auto* list = Control<QComboBox>("CamLstCB");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->currentIndex(), 1);
    EXPECT_EQ(list->currentText(), "Fake Camera 1");
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "640 x 480");
    ASSERT_TRUE(fake_->PushFrameWhenReady(back, MakeFrameBytes(format_, 9)));
    ASSERT_TRUE(RunUntil([&] { return form.FrameLogger().FilesWritten() > 0; }));
    EXPECT_TRUE(messages_.empty());

    Control<QToolButton>("StopSB")->click();
    EXPECT_EQ(fake_->OpenFds(), 0);
    EXPECT_EQ(list->currentIndex(), 1);
}

TEST_F(FakeCameraTest, ExitWhileCapturingReleasesTheCameraAndSaves) {
    AddCameras(1);
    MakeForm().show();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(Form().IsCapturing());
    Control<QToolButton>("ExitSB")->click();
    EXPECT_FALSE(Form().isVisible());
    EXPECT_FALSE(fake_->Streaming(0));
    EXPECT_EQ(fake_->OpenFds(), 0);
    EXPECT_EQ(fake_->MappedBuffers(), 0);
    EXPECT_TRUE(ReadSettings().startsWith("[Settings]\nCam=0\n"));
}

}  // namespace
}  // namespace vistrel::test
