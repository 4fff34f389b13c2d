// SPDX-License-Identifier: MIT
// A lost camera coming back: the keeper over a session on the fake device,
// with the capture thread running.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "capture/device_events.h"
#include "capture_test_util.h"
#include "fake_v4l2.h"
#include "frontend/camera_keeper.h"
#include "pipeline/video_image.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using test::FakeDeviceConfig;

// Runs the event loop until done() holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Device events from an eventfd the test writes to; *fd tells it which.
class TestEvents : public TDeviceEvents {
public:
    TestEvents(int* fd, int* drains)
        : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), drains_(drains) {
        *fd = fd_.Get();
    }
    int Fd() const override { return fd_.Get(); }
    bool Drain() override {
        ++*drains_;
        std::uint64_t count = 0;
        return ::read(fd_.Get(), &count, sizeof count) > 0;
    }

private:
    UniqueFd fd_;
    int* drains_;
};

class CameraKeeperTest : public test::FakeDeviceTest {
protected:
    CameraKeeperTest() {
        FakeDeviceConfig desk;
        desk.card = "Desk Cam";
        desk.busInfo = "usb-1";
        desk.format = test::MakeFormat(V4L2_PIX_FMT_YUYV, 16, 8);
        desk_ = fake_->AddDevice(desk);
        session_ = std::make_unique<TVideoImage>(TVideoImage::Options{
            .clock = [] { return std::uint32_t{0}; }, .installIdleHook = false, .io = fake_});
        session_->OnNewVideoFrame = [this](TVideoImage&, std::int32_t, std::int32_t,
                                           const std::uint8_t*) { ++frames_; };
        session_->OnDeviceLost = [this](TVideoImage&, TStatus) { keeper_->Wait(); };
    }
    ~CameraKeeperTest() override {
        keeper_.reset();
        session_.reset();
    }

    void MakeKeeper(TCameraKeeper::Options options = {.lookInterval = 20ms,
                                                      .openDeviceEvents = {}}) {
        keeper_ = std::make_unique<TCameraKeeper>(
            *session_,
            [this](const QString& name) {
                starts_.push_back(name);
                if (beforeStart_) {
                    std::exchange(beforeStart_, {})();
                }
                return session_->StartCapture(name);
            },
            std::move(options));
        keeper_->OnReturned = [this](const TCaptureNode& node) {
            returnedAt_.push_back(node.path);
        };
    }
    // Starts on "#n" and unplugs the camera once it streams; true once the
    // keeper waits.
    bool StartAndUnplug(const QString& name, int device) {
        starts_.clear();
        if (session_->StartCapture(name) != 0 || !fake_->WaitForQueued(device, 1)) {
            return false;
        }
        fake_->UnplugDevice(device);
        return PumpUntil([&] { return keeper_->Waiting(); });
    }
    bool FrameFlowsFrom(int device) {
        const int before = frames_;
        const std::vector<std::uint8_t> frame(16 * 8 * 2, 100);
        return fake_->PushFrameWhenReady(device, frame) &&
               PumpUntil([&] { return frames_ > before; });
    }

    int desk_ = 0;
    std::unique_ptr<TVideoImage> session_;
    std::unique_ptr<TCameraKeeper> keeper_;
    std::vector<QString> starts_;
    std::vector<std::string> returnedAt_;
    // Runs once, between the keeper's look and its next start.
    std::function<void()> beforeStart_;
    int frames_ = 0;
};

TEST_F(CameraKeeperTest, ReturnOnTheSameNodeOrAnotherResumesTheCapture) {
    FakeDeviceConfig door;
    door.card = "Door Cam";
    door.number = 3;
    fake_->AddDevice(door);
    MakeKeeper();

    ASSERT_TRUE(StartAndUnplug("#1", desk_));
    EXPECT_FALSE(session_->IsCapturing());
    int back = fake_->ReturnDevice(desk_);
    ASSERT_TRUE(PumpUntil([&] { return !keeper_->Waiting(); }));
    EXPECT_TRUE(session_->IsCapturing());
    EXPECT_EQ(starts_, (std::vector<QString>{"#1"}));
    EXPECT_EQ(returnedAt_, (std::vector<std::string>{"/dev/video0"}));
    EXPECT_TRUE(FrameFlowsFrom(back));

    // Back at video5, behind the door camera: now it is "#2".
    ASSERT_TRUE(StartAndUnplug("#1", back));
    back = fake_->ReturnDevice(back, 5);
    ASSERT_TRUE(PumpUntil([&] { return !keeper_->Waiting(); }));
    EXPECT_EQ(starts_, (std::vector<QString>{"#2"}));
    EXPECT_EQ(returnedAt_.back(), "/dev/video5");
    EXPECT_EQ(session_->CameraIdentity(), (TCameraIdentity{"Desk Cam", "usb-1"}));
    EXPECT_TRUE(FrameFlowsFrom(back));
}

TEST_F(CameraKeeperTest, AnotherCameraThatTookTheNumberIsStoppedAndTheWaitGoesOn) {
    MakeKeeper();
    ASSERT_TRUE(StartAndUnplug("#1", desk_));
    // Between the look that finds the desk camera as "#1" and the start,
    // another camera is plugged in ahead of it and becomes "#1".
    int door = -1;
    beforeStart_ = [&] {
        FakeDeviceConfig config;
        config.card = "Door Cam";
        config.busInfo = "usb-2";
        config.number = 0;
        config.format = test::MakeFormat(V4L2_PIX_FMT_YUYV, 16, 8);
        door = fake_->AddDevice(config);
    };
    const int back = fake_->ReturnDevice(desk_, 5);
    ASSERT_TRUE(PumpUntil([&] { return !keeper_->Waiting(); }));
    EXPECT_EQ(starts_, (std::vector<QString>{"#1", "#2"}));
    EXPECT_EQ(fake_->IoctlCalls(door, VIDIOC_STREAMON), 1u);  // started, then stopped
    EXPECT_FALSE(fake_->Streaming(door));
    EXPECT_EQ(returnedAt_, (std::vector<std::string>{"/dev/video5"}));
    EXPECT_EQ(session_->CameraIdentity(), (TCameraIdentity{"Desk Cam", "usb-1"}));
    EXPECT_TRUE(FrameFlowsFrom(back));
}

TEST_F(CameraKeeperTest, CameraThatNeverReturnsKeepsItWaitingUntilCancelled) {
    MakeKeeper();
    ASSERT_TRUE(StartAndUnplug("#1", desk_));
    // Two look-alikes on other ports: which one it would be is unknown.
    for (int n : {1, 2}) {
        FakeDeviceConfig twin;
        twin.card = "Desk Cam";
        twin.busInfo = "usb-" + std::to_string(n + 1);
        twin.number = n;
        fake_->AddDevice(twin);
    }
    PumpUntil([] { return false; }, 200ms);  // ten looks
    EXPECT_TRUE(keeper_->Waiting());
    EXPECT_TRUE(starts_.empty());
    EXPECT_FALSE(session_->IsCapturing());

    keeper_->Cancel();
    fake_->ReturnDevice(desk_);
    PumpUntil([] { return false; }, 100ms);
    EXPECT_FALSE(keeper_->Waiting());
    EXPECT_TRUE(starts_.empty());
    EXPECT_TRUE(returnedAt_.empty());
}

TEST_F(CameraKeeperTest, LookAlikeIsNotTakenWhileANodeCannotBeOpened) {
    MakeKeeper();
    ASSERT_TRUE(StartAndUnplug("#1", desk_));
    FakeDeviceConfig twin;
    twin.card = "Desk Cam";
    twin.busInfo = "usb-9";
    twin.number = 1;
    fake_->AddDevice(twin);
    // Maybe the desk camera, back with a mode nobody may open.
    FakeDeviceConfig unreadable;
    unreadable.number = 4;
    unreadable.openError = EACCES;
    fake_->AddDevice(unreadable);
    PumpUntil([] { return false; }, 200ms);  // ten looks
    EXPECT_TRUE(keeper_->Waiting());
    EXPECT_TRUE(starts_.empty());
    keeper_->Cancel();
}

TEST_F(CameraKeeperTest, DeviceEventLooksBeforeTheInterval) {
    int opened = 0;
    int drains = 0;
    int eventFd = -1;
    MakeKeeper({.lookInterval = std::chrono::hours(1),
                .openDeviceEvents = [&]() -> std::unique_ptr<TDeviceEvents> {
                    ++opened;
                    return std::make_unique<TestEvents>(&eventFd, &drains);
                }});
    ASSERT_TRUE(StartAndUnplug("#1", desk_));
    EXPECT_EQ(opened, 1);
    PumpUntil([] { return false; }, 50ms);  // the first look finds nothing
    fake_->ReturnDevice(desk_);
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(eventFd, &one, sizeof one), 8);
    ASSERT_TRUE(PumpUntil([&] { return !keeper_->Waiting(); }, 5s));
    EXPECT_GE(drains, 1);
    EXPECT_TRUE(session_->IsCapturing());
}

}  // namespace
}  // namespace vistrel
