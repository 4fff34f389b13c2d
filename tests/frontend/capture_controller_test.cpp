// SPDX-License-Identifier: MIT
// The capture controller over a session on the fake device: which saved
// format choice reaches the camera, which received frames are written, and
// how a stalled camera is restarted.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "capture_test_util.h"
#include "fake_v4l2.h"
#include "frontend/capture_controller.h"
#include "frontend/control_panel.h"
#include "frontend/frame_logger.h"

namespace vistrel {
namespace {

using test::FakeDeviceConfig;

class CaptureControllerTest : public test::FakeDeviceTest {
protected:
    CaptureControllerTest() {
        FakeDeviceConfig config;
        config.card = "Desk Cam";
        config.format = test::MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24);
        config.offers = {
            test::FakeOffer{V4L2_PIX_FMT_YUYV, {{32, 24}, {64, 48}}, {}, {{1, 30}}},
            test::FakeOffer{V4L2_PIX_FMT_UYVY, {{32, 24}}, {}, {{1, 30}}},
        };
        config.controls = test::VividLikeControls();
        cam_ = fake_->AddDevice(config);
        session_ = std::make_unique<TVideoImage>(TVideoImage::Options{
            .clock = [] { return std::uint32_t{0}; }, .installIdleHook = false, .io = fake_});
        logger_.SetLogging(false);
        controller_ = std::make_unique<TCaptureController>(*session_, logger_);
        TCaptureEvents events;
        events.savedFormatSkipped = [this](const TSavedFormatSkip& skip) {
            skips_.push_back(skip);
        };
        events.started = [this](const TStartReport&) { ++starts_; };
        controller_->SetEvents(std::move(events));
    }
    ~CaptureControllerTest() override {
        controller_.reset();
        session_.reset();
    }

    int cam_ = 0;
    std::unique_ptr<TVideoImage> session_;
    TFrameLogger logger_{[this](QImage& image) { session_->CopyFrameTo(image); }};
    std::unique_ptr<TCaptureController> controller_;
    std::vector<TSavedFormatSkip> skips_;
    int starts_ = 0;
};

TEST_F(CaptureControllerTest, SavedFormatIsAppliedOnlyWhenOfferedAndConvertible) {
    using Reason = TSavedFormatSkip::Reason;
    struct Case {
        QString format, size;
        std::optional<Reason> skipped;
        int width;  // what the camera then sends
    };
    for (const Case& c : {Case{"MJPG", "1920x1080", Reason::NotOffered, 32},
                          // Taken, the camera would send pictures nobody can see.
                          Case{"UYVY", "32x24", Reason::Unconvertible, 32},
                          Case{"YUY2", "64x48", std::nullopt, 64}}) {
        SCOPED_TRACE(c.format.toStdString());
        skips_.clear();
        const std::uint64_t setFormats = fake_->IoctlCalls(cam_, VIDIOC_S_FMT);
        const TStartResult result =
            controller_->Run({.device = "#1", .savedFormat = c.format, .savedSize = c.size});
        ASSERT_TRUE(result.Started()) << result.message.toStdString();
        EXPECT_TRUE(controller_->Running());
        EXPECT_EQ(session_->Width(), c.width);
        EXPECT_EQ(fake_->IoctlCalls(cam_, VIDIOC_S_FMT) - setFormats, c.skipped ? 0u : 1u);
        ASSERT_EQ(skips_.size(), c.skipped ? 1u : 0u);
        if (c.skipped) {
            EXPECT_EQ(skips_[0].reason, *c.skipped);
            EXPECT_EQ(skips_[0].saved, c.format + " " + c.size);
        }
        controller_->Stop();
        EXPECT_FALSE(controller_->Running());
    }
    EXPECT_EQ(starts_, 3);
}

// The settings are set again, in their order, after every start; a problem
// that stays is told once, a new one when it comes.
TEST_F(CaptureControllerTest, ControlsAreSetInOrderAfterEveryStartAndEachProblemToldOnce) {
    std::vector<QString> told;
    TCaptureEvents events;
    events.controlProblem = [&](const QString& problem) { told.push_back(problem); };
    controller_->SetEvents(std::move(events));
    using Writes = std::vector<std::pair<std::uint32_t, std::int64_t>>;
    const Writes once = {{V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
                         {V4L2_CID_EXPOSURE_ABSOLUTE, 300},
                         {V4L2_CID_BRIGHTNESS, 200}};
    ASSERT_TRUE(controller_
                    ->Run({.device = "#1",
                           .controls = {{"auto_exposure", "manual_mode"},
                                        {"exposure_time_absolute", "300"},
                                        {"gamma", "1"},
                                        {"brightness", "200"}}})
                    .Started());
    EXPECT_EQ(fake_->ControlWrites(cam_), once);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].indexOf("gamma=1"), -1);

    const auto restart = [&] {
        ASSERT_TRUE(controller_->ChangeFormat({V4L2_PIX_FMT_YUYV, 64, 48, {}}).Started());
    };
    fake_->RefuseControl(cam_, V4L2_CID_BRIGHTNESS, EBUSY);
    restart();
    ASSERT_EQ(told.size(), 2u);  // the refusal is new, the missing gamma is not
    EXPECT_EQ(told[1], "camera control \"brightness=200\": refused: Device or resource busy");
    restart();
    EXPECT_EQ(told.size(), 2u);
    Writes thrice = once;
    thrice.insert(thrice.end(), once.begin(), once.end() - 1);  // the refused one is missing
    thrice.insert(thrice.end(), once.begin(), once.end());
    EXPECT_EQ(fake_->ControlWrites(cam_), thrice);
    controller_->Stop();
}

// The dialog's model: what it shows, what an auto mode locks, and which
// changes the list keeps, in which order.
TEST_F(CaptureControllerTest, ControlPanelKeepsChangedValuesInTheOrderMadeAndFollowsLocks) {
    ASSERT_EQ(session_->StartCapture("#1"), 0);
    TControlPanel panel(*session_, {{"zoom_absolute", "5"}});  // another camera's
    ASSERT_TRUE(Succeeded(panel.Refresh()));
    std::vector<std::string> keys;
    for (const TCameraControl& c : panel.Controls()) {
        keys.push_back(c.key);
    }
    EXPECT_EQ(keys,
              (std::vector<std::string>{"brightness", "contrast", "saturation", "hue",
                                        "integer_menu", "auto_exposure", "exposure_time_absolute",
                                        "focus_automatic_continuous", "auto_focus_start"}));
    const auto editable = [&](std::uint32_t id) {
        return TControlPanel::Editable(*panel.Find(id));
    };
    EXPECT_FALSE(editable(V4L2_CID_EXPOSURE_ABSOLUTE));
    EXPECT_TRUE(panel.Set(V4L2_CID_EXPOSURE_ABSOLUTE, 300));  // locked: refused, not kept

    EXPECT_FALSE(panel.Set(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL));
    EXPECT_TRUE(editable(V4L2_CID_EXPOSURE_ABSOLUTE));  // the flags were read again
    EXPECT_FALSE(panel.Set(V4L2_CID_EXPOSURE_ABSOLUTE, 300));
    EXPECT_FALSE(panel.Set(V4L2_CID_BRIGHTNESS, 200));
    EXPECT_FALSE(panel.Set(V4L2_CID_AUTO_FOCUS_START, 1));  // pressed, never kept
    EXPECT_FALSE(panel.Set(V4L2_CID_BRIGHTNESS, 128));      // the default again
    EXPECT_FALSE(panel.Set(V4L2_CID_EXPOSURE_AUTO, 1));     // keeps its first place
    EXPECT_EQ(panel.Find(V4L2_CID_EXPOSURE_ABSOLUTE)->value, 300);
    EXPECT_EQ(panel.Settings(), (std::vector<TControlSetting>{{"zoom_absolute", "5"},
                                                              {"auto_exposure", "1"},
                                                              {"exposure_time_absolute", "300"}}));

    // Back in the auto mode, the exposure time is locked: it leaves the list.
    EXPECT_FALSE(panel.Set(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_APERTURE_PRIORITY));
    EXPECT_EQ(panel.Settings(), (std::vector<TControlSetting>{{"zoom_absolute", "5"}}));

    // Defaults: the exposure time, locked once its auto mode is back, is set
    // before that.
    EXPECT_FALSE(panel.Set(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL));
    EXPECT_FALSE(panel.Set(V4L2_CID_HUE, -5));
    EXPECT_TRUE(panel.Defaults().empty());
    EXPECT_EQ(fake_->ControlValue(cam_, V4L2_CID_HUE), 0);
    EXPECT_EQ(fake_->ControlValue(cam_, V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_APERTURE_PRIORITY);
    EXPECT_EQ(fake_->ControlValue(cam_, V4L2_CID_EXPOSURE_ABSOLUTE), 250);
    EXPECT_EQ(panel.Settings(), (std::vector<TControlSetting>{{"zoom_absolute", "5"}}));
    session_->StopCapture();
    EXPECT_TRUE(panel.Set(V4L2_CID_HUE, 1));  // no camera: a problem, no crash
}

// Runs the event loop until done() holds; false after a bound only a hang
// reaches.
bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST_F(CaptureControllerTest, StalledCameraIsRestartedAsAskedOrWaitedForWhenItCannotStart) {
    controller_.reset();  // its handlers go before the next one sets its own
    controller_ = std::make_unique<TCaptureController>(
        *session_, logger_,
        TCaptureOptions{
            .cameraKeeper = {.lookInterval = std::chrono::milliseconds(20), .openDeviceEvents = {}},
            .stallTimeout = std::chrono::milliseconds(200)});
    int stalls = 0, backs = 0, losses = 0, returns = 0;
    std::atomic<int> frames{0};
    TCaptureEvents events;
    events.stalled = [&] { ++stalls; };
    events.stallRecovered = [&] { ++backs; };
    events.lost = [&](TStatus) { ++losses; };
    events.returned = [&](const TCaptureNode&) { ++returns; };
    events.frameHandled = [&](bool) { ++frames; };
    controller_->SetEvents(std::move(events));

    // Frames are dropped while the device is stalled.
    test::FrameFeeder feeder(*fake_, cam_, std::vector<std::uint8_t>(64 * 48 * 2, 128),
                             std::chrono::milliseconds(2));
    const auto framesFlow = [&] {
        const int before = frames;
        return RunUntil([&] { return frames > before + 3; });
    };
    const auto streamOns = [&] { return fake_->IoctlCalls(cam_, VIDIOC_STREAMON); };

    // Writing pauses (its directory is moved away) before the camera hangs:
    // frames still come, so that is no reason to stop watching them.
    QTemporaryDir dir;
    const QString out = dir.filePath("out");
    logger_.SetLogging(true);
    logger_.SetOutputDirectory(out);
    logger_.SetSessionReady(true);
    ASSERT_TRUE(
        controller_->Run({.device = "#1", .savedFormat = "YUY2", .savedSize = "64x48"}).Started());
    ASSERT_TRUE(RunUntil([&] { return logger_.FilesWritten() > 0; }));
    ASSERT_TRUE(QDir().rename(out, out + "-gone"));
    ASSERT_TRUE(RunUntil([&] { return logger_.Writer().IsPaused(); }));
    EXPECT_FALSE(controller_->Waiting());
    ASSERT_TRUE(framesFlow());
    EXPECT_EQ(stalls, 0);  // frames keep the timer from firing

    // Stalled: restarted, and again while it stays silent; said once.
    fake_->SetStalled(cam_, true);
    const std::uint64_t first = streamOns();
    ASSERT_TRUE(RunUntil([&] { return streamOns() >= first + 2; }));
    EXPECT_EQ(stalls, 1);
    EXPECT_EQ(controller_->Stalls(), 1u);
    EXPECT_TRUE(controller_->Running());
    EXPECT_TRUE(controller_->Waiting());  // knowingly without frames
    EXPECT_EQ(backs, 0);
    fake_->SetStalled(cam_, false);
    ASSERT_TRUE(framesFlow());
    EXPECT_EQ(backs, 1);
    EXPECT_FALSE(controller_->Waiting());
    EXPECT_EQ(session_->Width(), 64);  // the same request
    EXPECT_EQ(losses, 0);

    // A restart that fails leaves the camera to the keeper.
    fake_->SetStalled(cam_, true);
    fake_->FailIoctl(cam_, VIDIOC_STREAMON, EIO, 1'000'000);
    ASSERT_TRUE(RunUntil([&] { return losses == 1; }));
    EXPECT_TRUE(controller_->WaitingForCamera());
    EXPECT_TRUE(controller_->Waiting());
    EXPECT_FALSE(controller_->Running());
    EXPECT_EQ(stalls, 2);
    fake_->FailIoctl(cam_, VIDIOC_STREAMON, 0, 0);
    fake_->SetStalled(cam_, false);
    ASSERT_TRUE(RunUntil([&] { return returns == 1; }));
    ASSERT_TRUE(framesFlow());
    EXPECT_EQ(session_->Width(), 64);
    EXPECT_EQ(backs, 1);  // the return was said instead
    EXPECT_EQ(stalls, 2);

    feeder.Stop();
    controller_->Stop();
}

// Frames announced by hand, each with a capture time the test sets, into a
// logger that counts its fetches.
class TimeLapseTest : public CaptureControllerTest {
protected:
    TimeLapseTest() {
        timedLogger_.SetSessionReady(true);
        timedLogger_.SetOutputDirectory(dir_.path());
        // A view, as the window's: frames only to be shown are fetched too.
        timedLogger_.SetFrameShown([](const QString&, const QImage&) {});
        timed_ = std::make_unique<TCaptureController>(
            *session_, timedLogger_,
            TCaptureOptions{.newestCaptureTime = [this](TVideoImage&) { return captured_; }});
    }
    ~TimeLapseTest() override { timed_.reset(); }

    // A frame captured at this offset from the start of the current second.
    void Frame(std::chrono::milliseconds offset) {
        captured_ = base_ + offset;
        session_->OnNewVideoFrame(*session_, 0, 0, nullptr);
    }
    std::size_t Files() const { return QDir(dir_.path()).entryList(QDir::Files).size(); }

    QTemporaryDir dir_;
    int fetches_ = 0;
    TCaptureTime captured_{};
    TCaptureTime base_ = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    TFrameLogger timedLogger_{[this](QImage& image, TCaptureTime& captureTime) {
        ++fetches_;
        // The thumbnail's own size: showing it scales nothing, so no work
        // goes to Qt's pooled threads, which ThreadSanitizer cannot follow.
        image = QImage(128, 96, QImage::Format_BGR888);
        image.fill(Qt::gray);
        captureTime = captured_;
    }};
    std::unique_ptr<TCaptureController> timed_;
};

// One file per second from all frames at 10 a second, though only every 4th
// is shown; each frame fetched at most once.
TEST_F(TimeLapseTest, APeriodWritesTheFirstFrameOfEachBoundaryAmongAllFrames) {
    using std::chrono::milliseconds;
    ASSERT_TRUE(
        timed_->Run({.device = "#1", .frameDivisor = 4, .interval = milliseconds(1000)}).Started());
    for (int i = 0; i < 25; ++i) {
        Frame(milliseconds(50 + 100 * i));  // 0.05 s ... 2.45 s
    }
    // Written 0.05 s (the first), 1.05 s and 2.05 s: frames 0, 10 and 20, none
    // of them an N-th frame; shown besides are 3, 7, 11, 15, 19 and 23.
    EXPECT_EQ(Files(), 3u);
    EXPECT_EQ(fetches_, 9);
    EXPECT_EQ(timedLogger_.FramesTaken(), 9u);
    timed_->Stop();
}

// Frames captured within the warm-up after Run and after a new format are
// shown but not written; without a period every N-th frame counts as before.
TEST_F(TimeLapseTest, WarmUpHoldsBackFramesAfterEachStart) {
    using std::chrono::milliseconds;
    ASSERT_TRUE(
        timed_->Run({.device = "#1", .frameDivisor = 2, .warmUp = milliseconds(2000)}).Started());
    base_ = std::chrono::system_clock::now();
    for (const int ms : {0, 500, 1000, 1500, 3000, 3100}) {
        Frame(milliseconds(ms));
    }
    EXPECT_EQ(fetches_, 3);  // 500, 1500, 3100
    EXPECT_EQ(Files(), 1u);  // 3100
    ASSERT_TRUE(timed_->ChangeFormat({}).Started());
    base_ = std::chrono::system_clock::now();
    for (const int ms : {0, 500, 2500, 2600}) {
        Frame(milliseconds(ms));
    }
    EXPECT_EQ(fetches_, 5);
    EXPECT_EQ(Files(), 2u);  // 2600
    timed_->Stop();
}

// Outside the active hours nothing is written though every frame is shown,
// and each change is told once: resting with the next start, then active.
TEST_F(TimeLapseTest, FramesOutsideTheActiveHoursAreShownNotWrittenAndEachChangeToldOnce) {
    using std::chrono::milliseconds;
    std::vector<QDateTime> restingUntil;
    int actives = 0;
    TCaptureEvents events;
    events.resting = [&](const QDateTime& until) { restingUntil.push_back(until); };
    events.active = [&] { ++actives; };
    timed_->SetEvents(std::move(events));
    const QTimeZone utc = QTimeZone::utc();
    const QDateTime nine59(QDate(2026, 6, 1), QTime(9, 59, 58), utc);
    base_ = TCaptureTime(milliseconds(nine59.toMSecsSinceEpoch()));
    ASSERT_TRUE(timed_
                    ->Run({.device = "#1",
                           .activeTime = TActiveTime(TActiveHours::Parse("10:00-10:01").value,
                                                     std::nullopt, utc)})
                    .Started());
    for (const int ms : {0, 1000, 2000, 3000, 62'000, 63'000}) {
        Frame(milliseconds(ms));  // 09:59:58, :59, 10:00:00, :01, 10:01:00, :01
    }
    EXPECT_EQ(Files(), 2u);
    EXPECT_EQ(fetches_, 6);
    EXPECT_EQ(actives, 1);
    ASSERT_EQ(restingUntil.size(), 2u);
    EXPECT_EQ(restingUntil[0], QDateTime(QDate(2026, 6, 1), QTime(10, 0), utc));
    EXPECT_EQ(restingUntil[1], QDateTime(QDate(2026, 6, 2), QTime(10, 0), utc));
    EXPECT_TRUE(timed_->Resting());
    timed_->Stop();
}

}  // namespace
}  // namespace vistrel
