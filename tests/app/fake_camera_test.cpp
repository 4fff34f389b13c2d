// SPDX-License-Identifier: MIT
// The window over the real session and capture layer, with the fake V4L2
// device standing in for cameras.
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "capture/capture_test_util.h"
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
    // A window that neither captures nor waits for its camera holds nothing
    // of the device, and once it is gone nothing at all is left.
    void TearDown() override {
        if (HasForm() && !Form().IsCapturing() && !Form().IsWaitingForCamera()) {
            ExpectDeviceReleased(*fake_);
        }
    }
    ~FakeCameraTest() override {
        DestroyForm();
        ExpectDeviceReleased(*fake_);
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

    // A camera that lists YUYV 32x24 and 64x48, MJPG 64x48 and UYVY 32x24.
    int AddListingCamera(FakeFormat format) {
        FakeDeviceConfig config;
        config.card = "Desk Cam";
        config.format = format;
        config.offers = {
            FakeOffer{V4L2_PIX_FMT_YUYV, {{32, 24}, {64, 48}}, {}, {{1, 30}}},
            FakeOffer{V4L2_PIX_FMT_MJPEG, {{64, 48}}, {}, {{1, 30}}},
            FakeOffer{V4L2_PIX_FMT_UYVY, {{32, 24}}, {}, {{1, 30}}},
        };
        config.controls = test::VividLikeControls();
        return fake_->AddDevice(config);
    }

    // Right-clicks the thumbnail; the menu goes to onMenu_.
    void RightClickThumbnail() {
        auto* thumbnail = Control<QLabel>("ThumbI");
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                                thumbnail->mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(thumbnail, &event);
    }

    // Pushes one frame and waits until the window has taken it.
    void ShowFrame(int camera, const FakeFormat& format) {
        TMainForm& form = Form();
        const std::uint64_t before = form.FrameLogger().FramesTaken();
        ASSERT_TRUE(fake_->PushFrameWhenReady(camera, MakeFrameBytes(format, 1)));
        ASSERT_TRUE(RunUntil([&] { return form.FrameLogger().FramesTaken() > before; }));
        form.FrameLogger().FinishWriting();  // its file, if any, is written and told
    }

    std::shared_ptr<FakeV4L2> fake_;
    FakeFormat format_ = MakeFormat(V4L2_PIX_FMT_BGR24, 640, 480);
};

// A submenu's entries: its title, then each entry's text, "*" for a checked one.
QStringList Entries(QMenu& menu) {
    QStringList entries;
    for (QAction* action : menu.actions()) {
        if (QMenu* sub = action->menu()) {
            entries << sub->title() + (sub->isEnabled() ? "" : " [off]");
            for (QAction* size : sub->actions()) {
                entries << "  " + size->text() + (size->isChecked() ? " *" : "");
            }
        }
    }
    return entries;
}

QAction* FindEntry(QMenu& menu, const QString& format, const QString& size) {
    for (QAction* action : menu.actions()) {
        if (action->menu() != nullptr && action->menu()->title() == format) {
            for (QAction* entry : action->menu()->actions()) {
                if (entry->text() == size) {
                    return entry;
                }
            }
        }
    }
    return nullptr;
}

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
        form.FrameLogger().FinishWriting();  // its file, if any, is written and told
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
    EXPECT_EQ(list->currentIndex(), 3);
    EXPECT_TRUE(list->isEnabled());
}

TEST_F(FakeCameraTest, NoCameraOrNoSelectionFailsWithTheMessage) {
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Could not start grabbing! No camera \"#1\" was found.");
    EXPECT_FALSE(Form().IsCapturing());
    DestroyForm();

    AddCameras(2);
    WriteSettings("[Settings]\nCam=5\n");
    MakeForm();
    Control<QToolButton>("RunSB")->click();  // "#0" names no device
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[1].text, "Could not start grabbing! No camera is chosen.");
    EXPECT_FALSE(Form().IsCapturing());
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
    EXPECT_EQ(list->currentIndex(), 1);
}

TEST_F(FakeCameraTest, StalledCameraIsRestartedAndTheLabelSaysSo) {
    env_.stallTimeout = std::chrono::milliseconds(300);
    AddCameras(1);
    WriteSettings("[Settings]\nSkippedFrames=0\n");
    TMainForm& form = MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(form.IsCapturing());
    // Frames are dropped while the device is stalled.
    test::FrameFeeder feeder(*fake_, 0, MakeFrameBytes(format_, 3), std::chrono::milliseconds(5));
    auto* label = Control<QLabel>("SourceXYL");
    EXPECT_TRUE(RunUntil([&] { return label->text() == "640 x 480"; }));
    const std::uint64_t starts = fake_->IoctlCalls(0, VIDIOC_STREAMON);
    fake_->SetStalled(0, true);
    EXPECT_TRUE(RunUntil([&] { return fake_->IoctlCalls(0, VIDIOC_STREAMON) > starts; }));
    EXPECT_EQ(label->text(), "Camera stalled; restarting");
    fake_->SetStalled(0, false);
    EXPECT_TRUE(RunUntil([&] { return label->text() == "Camera back"; }));
    EXPECT_TRUE(RunUntil([&] { return label->text() == "640 x 480"; }));
    feeder.Stop();
    EXPECT_TRUE(form.IsCapturing());
    EXPECT_TRUE(messages_.empty());
    Control<QToolButton>("StopSB")->click();
}

TEST_F(FakeCameraTest, ExitWhileCapturingReleasesTheCameraAndSaves) {
    AddCameras(1);
    MakeForm().show();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(Form().IsCapturing());
    Control<QToolButton>("ExitSB")->click();
    EXPECT_FALSE(Form().isVisible());
    EXPECT_FALSE(fake_->Streaming(0));
    EXPECT_TRUE(ReadSettings().startsWith("[Settings]\nCam=0\n"));
}

TEST_F(FakeCameraTest, ThumbnailMenuPickRestartsCaptureAndIsSaved) {
    const int cam = AddListingCamera(MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24));
    const QString out = TempPath("frames");
    QDir().mkpath(out);
    WriteSettings("[Settings]\nSkippedFrames=0\nDirectory=" + out + "\n");
    MakeForm().show();
    RightClickThumbnail();  // not capturing: a menu that says so
    EXPECT_EQ(menusShown_, 1);

    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(Form().IsCapturing());
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_S_FMT), 0u);  // no choice yet: as it is
    QStringList shown;
    onMenu_ = [&](QMenu& menu) {
        shown = Entries(menu);
        QAction* entry = FindEntry(menu, "YUY2", "64x48");
        ASSERT_NE(entry, nullptr);
        entry->trigger();
    };
    RightClickThumbnail();
    const QStringList timeLapse = {"Interval", "  Every taken frame *",
                                   "  1 s",    "  2 s",
                                   "  5 s",    "  10 s",
                                   "  30 s",   "  1 min",
                                   "  5 min",  "  10 min",
                                   "  15 min", "  30 min",
                                   "  1 h",    "Warm-up",
                                   "  Off *",  "  1 s",
                                   "  2 s",    "  5 s"};
    EXPECT_EQ(shown, (QStringList{"YUY2", "  32x24 *", "  64x48", "MJPG", "  64x48",
                                  "UYVY (not convertible) [off]", "  32x24"} +
                      timeLapse));
    ASSERT_TRUE(Form().IsCapturing());
    EXPECT_TRUE(messages_.empty());
    const FakeFormat bigger = MakeFormat(V4L2_PIX_FMT_YUYV, 64, 48);
    ShowFrame(cam, bigger);
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "64 x 48");
    EXPECT_EQ(Form().Session()->Width(), 64);

    Control<QToolButton>("ExitSB")->click();
    EXPECT_TRUE(ReadSettings().endsWith("Logging=1\nFormat=YUY2\nSize=64x48\n"))
        << ReadSettings().toStdString();

    // The next run asks for the saved choice.
    DestroyForm();
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(Form().IsCapturing());
    EXPECT_EQ(Form().Session()->Width(), 64);
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_S_FMT), 2u);
}

// A saved period that the menu does not offer is shown checked; a pick
// applies to the running capture at once and is saved. So do the saved
// camera controls, and the dialog's Defaults.
TEST_F(FakeCameraTest, IntervalPickedInTheMenuAppliesAtOnceAndIsSaved) {
    const int cam = AddListingCamera(MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24));
    const QString out = TempPath("frames");
    QDir().mkpath(out);
    WriteSettings("[Settings]\nSkippedFrames=0\nDirectory=" + out +
                  "\nInterval=90s\nControls=brightness=10\n");
    MakeForm().show();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(Form().IsCapturing());
    EXPECT_EQ(fake_->ControlValue(cam, V4L2_CID_BRIGHTNESS), 10);
    onMenu_ = [](QMenu& menu) {
        QAction* open = menu.findChild<QAction*>("CameraControlsAction");
        ASSERT_TRUE(open != nullptr && open->isEnabled());
        open->trigger();
    };
    RightClickThumbnail();
    ASSERT_NE(Form().ControlsDialog(), nullptr);
    auto* defaults = Form().ControlsDialog()->findChild<QPushButton*>("ControlsDefaults");
    ASSERT_NE(defaults, nullptr);
    defaults->click();
    EXPECT_EQ(fake_->ControlValue(cam, V4L2_CID_BRIGHTNESS), 128);
    EXPECT_TRUE(Form().CameraControls().empty());
    QStringList shown;
    onMenu_ = [&](QMenu& menu) {
        shown = Entries(menu);
        QAction* entry = FindEntry(menu, "Interval", "1 h");
        ASSERT_NE(entry, nullptr);
        entry->trigger();
    };
    RightClickThumbnail();
    const qsizetype at = shown.indexOf("  90 s *");
    ASSERT_GT(at, 0) << shown.join('|').toStdString();
    EXPECT_EQ(shown[at - 1], "  1 min");
    EXPECT_EQ(shown[at + 1], "  5 min");

    // The first frame after the pick is written, the next ones only shown.
    const FakeFormat format = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24);
    for (int i = 0; i < 3; ++i) {
        ShowFrame(cam, format);
    }
    EXPECT_EQ(Form().FrameLogger().FilesWritten(), 1u);
    Control<QToolButton>("ExitSB")->click();
    EXPECT_TRUE(ReadSettings().contains("\nInterval=1 h\n")) << ReadSettings().toStdString();
    EXPECT_TRUE(ReadSettings().contains("\nControls=\n")) << ReadSettings().toStdString();
}

TEST_F(FakeCameraTest, UnconvertibleCameraAndUnofferedSavedChoiceAreNamed) {
    const int cam = AddListingCamera(MakeFormat(V4L2_PIX_FMT_UYVY, 32, 24));
    WriteSettings("[Settings]\nSkippedFrames=0\nFormat=MJPG\nSize=1920x1080\n");
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& m) {
            if (QLatin1String(context.category) == "vistrel.app") {
                warnings << m;
            }
        });
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    qInstallMessageHandler(previous);
    ASSERT_TRUE(Form().IsCapturing());
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_S_FMT), 0u);
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].startsWith("the camera does not offer the saved format MJPG 1920x1080"))
        << warnings[0].toStdString();

    ShowFrame(cam, MakeFormat(V4L2_PIX_FMT_UYVY, 32, 24));
    auto* label = Control<QLabel>("SourceXYL");
    EXPECT_EQ(label->text(), "UYVY unsupported");
    EXPECT_LE(label->geometry().right(), Control<QToolButton>("SaveSetSB")->x());
    EXPECT_TRUE(label->toolTip().contains("choose YUY2, MJPG")) << label->toolTip().toStdString();
}

}  // namespace
}  // namespace vistrel::test
