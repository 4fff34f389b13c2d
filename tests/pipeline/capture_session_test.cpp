// SPDX-License-Identifier: MIT
#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <time.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>

#include "capture/status.h"
#include "capture_test_util.h"
#include "fake_v4l2.h"
#include "pipeline/video_image.h"

namespace vistrel {
namespace {

using test::FakeDeviceConfig;
using test::MakeFormat;

// Runs the GUI thread's event loop until done() or ten seconds passed.
bool PumpUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 10000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class CaptureSessionTest : public test::FakeDeviceTest {
protected:
    CaptureSessionTest() {
        FakeDeviceConfig yuyv;
        yuyv.card = "Desk Cam";
        yuyv.format = MakeFormat(V4L2_PIX_FMT_YUYV, 64, 48);
        yuyvCam_ = fake_->AddDevice(yuyv);
        FakeDeviceConfig bgr;
        bgr.card = "Desk Cam";
        bgr.format = MakeFormat(V4L2_PIX_FMT_BGR24, 8, 4);
        bgrCam_ = fake_->AddDevice(bgr);
        // A clock that never runs keeps the GUI thread from counting as stalled.
        session_ = std::make_unique<TVideoImage>(TVideoImage::Options{
            .clock = [] { return std::uint32_t{0}; }, .installIdleHook = false, .io = fake_});
        session_->OnNewVideoFrame = [this](TVideoImage&, std::int32_t, std::int32_t,
                                           const std::uint8_t*) { ++frames_; };
        session_->OnDeviceLost = [this](TVideoImage&, TStatus reason) {
            ++lost_;
            lostReason_ = reason;
        };
    }
    int yuyvCam_ = 0;
    int bgrCam_ = 0;
    std::unique_ptr<TVideoImage> session_;
    int frames_ = 0;
    int lost_ = 0;
    TStatus lostReason_ = kStatusOk;
};

TEST_F(CaptureSessionTest, DeviceListAndFailedStartsLeaveNothingOpen) {
    QStringList list{"stale"};
    session_->GetDeviceList(list);
    EXPECT_EQ(list, (QStringList{"Desk Cam", "Desk Cam"}));

    session_->SetFormat(10, 6, fourcc::kI420);
    for (const char* name : {"#0", "#3", "No Such Cam", "#01"}) {
        EXPECT_EQ(session_->StartCapture(name), 1) << name;
        EXPECT_EQ(session_->LastStartFailure().status, kStatusFail) << name;
        EXPECT_EQ(session_->LastStartFailure().deviceName, name);
        EXPECT_EQ(session_->LastStartFailure().path, "");
        EXPECT_FALSE(session_->IsCapturing());
    }
    // The node that failed is named, and the log line tells the cause in words.
    fake_->FailIoctl(yuyvCam_, VIDIOC_S_FMT, EBUSY);
    TFormatRequest yuyv;
    yuyv.pixelFormat = V4L2_PIX_FMT_YUYV;
    EXPECT_EQ(session_->StartCapture("#1", yuyv), 1);
    EXPECT_EQ(session_->LastStartFailure().status, StatusFromErrno(EBUSY));
    EXPECT_EQ(session_->LastStartFailure().path, "/dev/video0");
    EXPECT_EQ(session_->LastStartFailure().text,
              "cannot start capturing from \"#1\" (/dev/video0): Device or resource busy "
              "(errno 16)");
    EXPECT_EQ(session_->Width(), 10);
    EXPECT_EQ(session_->Height(), 6);
    EXPECT_EQ(session_->Compression(), fourcc::kI420);
    EXPECT_EQ(session_->VideoBitmap().size(), QSize(10, 6));
    session_->StopCapture();  // not capturing: nothing happens
}

TEST_F(CaptureSessionTest, FramesFlowFromTheCameraToThePicture) {
    ASSERT_EQ(session_->StartCapture("#1"), 0);
    EXPECT_TRUE(session_->IsCapturing());
    EXPECT_EQ(session_->LastStartFailure().status, kStatusOk);
    EXPECT_EQ(session_->Width(), 64);
    EXPECT_EQ(session_->Height(), 48);
    EXPECT_EQ(session_->Compression(), fourcc::kYUYV);

    // A white frame: Y 235, U and V 128.
    std::vector<std::uint8_t> white(64 * 48 * 2);
    for (std::size_t i = 0; i < white.size(); i += 2) {
        white[i] = 235;
        white[i + 1] = 128;
    }
    // Captured two seconds ago by the driver's monotonic clock.
    timespec monotonic{};
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    fake_->SetFrameTimestamp(yuyvCam_, timeval{.tv_sec = monotonic.tv_sec - 2, .tv_usec = 0});
    const auto pushed = std::chrono::system_clock::now();
    ASSERT_TRUE(fake_->PushFrameWhenReady(yuyvCam_, white, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC));
    ASSERT_TRUE(PumpUntil([&] { return frames_ >= 1; }));
    QImage picture;
    TCaptureTime captured;
    session_->CopyFrameTo(picture, captured);
    EXPECT_EQ(picture.size(), QSize(64, 48));
    EXPECT_EQ(picture.pixelColor(31, 20), QColor(255, 255, 255));
    EXPECT_GT(captured, pushed - std::chrono::seconds(3));
    EXPECT_LT(captured, pushed - std::chrono::seconds(1));

    session_->StopCapture();
    EXPECT_FALSE(session_->IsCapturing());
    EXPECT_FALSE(fake_->Streaming(yuyvCam_));
    // The last frame stays until a new one replaces it.
    session_->CopyFrameTo(picture);
    EXPECT_EQ(picture.pixelColor(0, 0), QColor(255, 255, 255));
}

TEST_F(CaptureSessionTest, TopDownRgbCameraKeepsItsFirstRowOnTop) {
    ASSERT_EQ(session_->StartCapture("#2"), 0);
    EXPECT_EQ(session_->Compression(), fourcc::kRGB);
    EXPECT_TRUE(session_->TopDownRgb());
    std::vector<std::uint8_t> frame(8 * 4 * 3, 0);
    for (int x = 0; x < 8; ++x) {
        frame[3 * x + 2] = 255;  // first row red (bytes blue, green, red)
    }
    ASSERT_TRUE(fake_->PushFrameWhenReady(bgrCam_, frame));
    ASSERT_TRUE(PumpUntil([&] { return frames_ >= 1; }));
    QImage picture;
    session_->CopyFrameTo(picture);
    EXPECT_EQ(picture.pixelColor(3, 0), QColor(255, 0, 0));
    EXPECT_EQ(picture.pixelColor(3, 3), QColor(0, 0, 0));
}

TEST_F(CaptureSessionTest, RequestedFormatWithPaddedRowsReachesThePicture) {
    FakeDeviceConfig config;
    config.card = "Padded Cam";
    config.format = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    config.rowPadding = 16;
    config.offers = {test::FakeOffer{V4L2_PIX_FMT_YUYV, {{32, 16}, {64, 32}}, {}, {{1, 30}}}};
    const int cam = fake_->AddDevice(config);
    TDeviceFormats offered;
    ASSERT_EQ(session_->GetDeviceFormats("#3", offered), kStatusOk);
    ASSERT_EQ(offered.formats.size(), 1u);
    EXPECT_EQ(session_->CaptureFormats(offered), kStatusFail);  // not capturing

    ASSERT_EQ(session_->StartCapture("#3", TFormatRequest{V4L2_PIX_FMT_YUYV, 64, 32, {}}), 0);
    EXPECT_EQ(session_->Width(), 64);
    EXPECT_EQ(session_->Stride(), 64 * 2 + 16);
    EXPECT_EQ(session_->CaptureFormat().pixelFormat, V4L2_PIX_FMT_YUYV);
    ASSERT_EQ(session_->CaptureFormats(offered), kStatusOk);
    EXPECT_EQ(offered.current.width, 64);

    // White rows (Y 235, U and V 128) with black padding after each.
    std::vector<std::uint8_t> frame((64 * 2 + 16) * 32, 0);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64 * 2; x += 2) {
            frame[y * (64 * 2 + 16) + x] = 235;
            frame[y * (64 * 2 + 16) + x + 1] = 128;
        }
    }
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, frame));
    ASSERT_TRUE(PumpUntil([&] { return frames_ >= 1; }));
    QImage picture;
    session_->CopyFrameTo(picture);
    EXPECT_EQ(picture.size(), QSize(64, 32));
    EXPECT_EQ(picture.pixelColor(63, 31), QColor(255, 255, 255));
    EXPECT_EQ(picture.pixelColor(0, 16), QColor(255, 255, 255));
}

// A driver whose frames are shorter than its rows: 48 rows of 144 bytes need
// 6912, its buffers hold 6000, and it claims the whole 6912 were filled.
TEST_F(CaptureSessionTest, FramesShorterThanTheDriversRowsAreRefused) {
    FakeDeviceConfig config;
    config.card = "Short Cam";
    config.format = MakeFormat(V4L2_PIX_FMT_YUYV, 64, 48, 16);
    ASSERT_EQ(config.format.bytesPerLine * config.format.height, 6912u);
    config.format.sizeImage = 6000;
    const int cam = fake_->AddDevice(config);
    ASSERT_EQ(session_->StartCapture("#3"), 0);
    EXPECT_EQ(session_->Stride(), 144);

    const std::vector<std::uint8_t> white = [] {
        std::vector<std::uint8_t> bytes(6000);
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            bytes[i] = 235;
            bytes[i + 1] = 128;
        }
        return bytes;
    }();
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, white, 0, 6912));
    ASSERT_TRUE(PumpUntil([&] { return frames_ >= 1; }));
    QImage picture;
    session_->CopyFrameTo(picture);
    // Not converted: the last rows keep the black start picture.
    ASSERT_EQ(picture.size(), QSize(64, 48));
    EXPECT_EQ(picture.pixelColor(63, 47), QColor(0, 0, 0));
}

TEST_F(CaptureSessionTest, RestartAndLostCamera) {
    ASSERT_EQ(session_->StartCapture("desk cam"), 0);
    // Starting again replaces the running capture.
    ASSERT_EQ(session_->StartCapture("#2"), 0);
    EXPECT_EQ(fake_->OpenFds(), 1);

    ASSERT_TRUE(fake_->WaitForQueued(bgrCam_, 1));
    fake_->LoseDevice(bgrCam_);
    ASSERT_TRUE(PumpUntil([&] { return lost_ >= 1; }));
    EXPECT_FALSE(session_->IsCapturing());
    EXPECT_EQ(fake_->OpenFds(), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(lost_, 1) << "told once";
    EXPECT_EQ(lostReason_, StatusFromErrno(ENODEV));

    // The other camera still works.
    EXPECT_EQ(session_->StartCapture("#1"), 0);
}

TEST_F(CaptureSessionTest, DisposeWhileCapturingStopsFirst) {
    ASSERT_EQ(session_->StartCapture("#1"), 0);
    const std::vector<std::uint8_t> frame(64 * 48 * 2, 128);
    ASSERT_TRUE(fake_->PushFrameWhenReady(yuyvCam_, frame));
    session_->Dispose();
    EXPECT_FALSE(session_->IsCapturing());
    QCoreApplication::processEvents();  // queued frame events go with the window
    EXPECT_EQ(frames_, 0);
}

}  // namespace
}  // namespace vistrel
