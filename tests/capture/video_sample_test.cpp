// SPDX-License-Identifier: MIT
// Streaming from the fake device: formats, what a sample holds, driver
// faults, and that destruction leaves nothing behind.
#include <gtest/gtest.h>

#include <time.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_time.h"
#include "capture/fourcc.h"
#include "capture/video_sample.h"
#include "capture_test_util.h"
#include "fake_v4l2.h"

namespace vistrel {
namespace {

using test::FakeDeviceConfig;
using test::FakeFormat;
using test::FakeV4L2;
using test::FrameSink;
using test::LostSink;
using test::MakeFormat;
using test::MakeFrameBytes;
using Bytes = std::vector<std::uint8_t>;

class VideoSampleTest : public test::FakeDeviceTest {
protected:
    FrameSink sink_;
    LostSink lost_;

    int AddCamera(FakeFormat format = MakeFormat(V4L2_PIX_FMT_YUYV, 640, 480),
                  std::uint32_t maxBuffers = 4) {
        FakeDeviceConfig config;
        config.card = "Cam";
        config.format = format;
        config.maxBuffers = maxBuffers;
        return fake_->AddDevice(config);
    }

    std::unique_ptr<TVideoSample> MakeSample() {
        TStatus status;
        auto sample =
            std::make_unique<TVideoSample>([this](TStatus r) { lost_(r); }, status, fake_);
        EXPECT_EQ(status, kStatusOk);
        return sample;
    }

    // Constructs, starts "#1", reads the format and installs the sink, as
    // the video session does.
    std::unique_ptr<TVideoSample> StartStreaming() {
        auto sample = MakeSample();
        std::string name;
        EXPECT_EQ(sample->StartVideo("#1", name), kStatusOk);
        std::int32_t w, h;
        std::uint32_t c = 0;
        EXPECT_EQ(sample->GetStreamInfo(w, h, c), kStatusOk);
        sample->SetFrameCallback(&FrameSink::Routine, &sink_);
        return sample;
    }
};

TEST_F(VideoSampleTest, ReportsSizeAndCompressionOfEachFormat) {
    struct Case {
        std::uint32_t pixelFormat;
        std::uint32_t width, height;
        std::uint32_t compression;
    };
    const Case cases[] = {
        {V4L2_PIX_FMT_YUYV, 640, 480, FourCCFromChars('Y', 'U', 'Y', 'V')},
        {V4L2_PIX_FMT_YUV420, 320, 240, FourCCFromChars('I', '4', '2', '0')},
        {V4L2_PIX_FMT_YVU420, 352, 288, FourCCFromChars('Y', 'V', '1', '2')},
        {V4L2_PIX_FMT_MJPEG, 1280, 720, FourCCFromChars('M', 'J', 'P', 'G')},
        {V4L2_PIX_FMT_JPEG, 320, 240, FourCCFromChars('M', 'J', 'P', 'G')},
        {V4L2_PIX_FMT_BGR24, 640, 360, 0},
        {V4L2_PIX_FMT_UYVY, 160, 120, V4L2_PIX_FMT_UYVY},  // unsupported: passed through
    };
    for (const Case& c : cases) {
        FakeDeviceConfig config;
        config.format = MakeFormat(c.pixelFormat, c.width, c.height);
        const int id = fake_->AddDevice(config);
        auto sample = MakeSample();
        std::string name;
        ASSERT_EQ(sample->StartVideo("#" + std::to_string(id + 1), name), kStatusOk);
        std::int32_t w = -1, h = -1;
        std::uint32_t compression = 0xDEADBEEF;
        EXPECT_EQ(sample->GetStreamInfo(w, h, compression), kStatusOk);
        EXPECT_EQ(w, static_cast<std::int32_t>(c.width));
        EXPECT_EQ(h, static_cast<std::int32_t>(c.height));
        EXPECT_EQ(compression, c.compression) << FourCCName(compression);
        TStreamFormat format;
        ASSERT_TRUE(sample->StreamFormat(format));
        EXPECT_EQ(format.pixelFormat, c.pixelFormat);
        EXPECT_EQ(format.sizeImage, config.format.sizeImage);
        EXPECT_EQ(format.bytesPerLine, config.format.bytesPerLine);
        EXPECT_TRUE(format.topDownRows);
    }
}

TEST_F(VideoSampleTest, DeliversTheDriverBytesOfEachFrame) {
    const int cam = AddCamera(MakeFormat(V4L2_PIX_FMT_YUV420, 64, 48));
    auto sample = StartStreaming();
    std::vector<Bytes> pushed;
    // More frames than buffers: each buffer must go back to the driver.
    for (int i = 0; i < 10; ++i) {
        pushed.push_back(MakeFrameBytes(MakeFormat(V4L2_PIX_FMT_YUV420, 64, 48), std::uint8_t(i)));
        ASSERT_TRUE(fake_->PushFrameWhenReady(cam, pushed.back()));
        ASSERT_TRUE(sink_.WaitForFrames(i + 1));
    }
    EXPECT_EQ(sink_.Frames(), pushed);
    EXPECT_EQ(sample->Stats().delivered, 10u);
    sample.reset();
    EXPECT_EQ(lost_.Calls(), 0);
}

// The driver's monotonic buffer timestamp becomes the wall-clock time of the
// capture; a frame without a usable one takes the time of its delivery.
TEST_F(VideoSampleTest, SampleCarriesTheBufferTimestampAsWallClockTime) {
    const FakeFormat format = MakeFormat(V4L2_PIX_FMT_YUYV, 64, 48);
    const int cam = AddCamera(format);
    auto sample = StartStreaming();
    timespec monotonic{};
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    fake_->SetFrameTimestamp(cam, timeval{.tv_sec = monotonic.tv_sec - 3, .tv_usec = 0});
    const auto before = std::chrono::system_clock::now();
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(format, 1),
                                          V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC));
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(format, 2)));  // no clock named
    ASSERT_TRUE(sink_.WaitForFrames(2));
    const auto after = std::chrono::system_clock::now();
    const std::vector<TCaptureTime> times = sink_.CaptureTimes();
    EXPECT_GT(times[0], before - std::chrono::seconds(4));
    EXPECT_LT(times[0], after - std::chrono::seconds(2));
    EXPECT_GE(times[1], before);
    EXPECT_LE(times[1], after);
}

TEST(CaptureTime, UnusableTimestampsTakeTheDeliveryTime) {
    using std::chrono::seconds;
    const auto monotonicNow = std::chrono::nanoseconds(seconds(1000));
    const TCaptureTime realNow{seconds(1'700'000'000)};
    constexpr std::uint32_t kMonotonic = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    const auto at = [](long sec, long usec = 0) { return timeval{.tv_sec = sec, .tv_usec = usec}; };
    EXPECT_EQ(CaptureTimeOf(at(999, 250000), kMonotonic, monotonicNow, realNow),
              realNow - std::chrono::milliseconds(750));
    EXPECT_EQ(CaptureTimeOf(at(0), kMonotonic, monotonicNow, realNow), realNow);
    EXPECT_EQ(CaptureTimeOf(at(999), 0, monotonicNow, realNow), realNow);  // unknown clock
    EXPECT_EQ(CaptureTimeOf(at(999), V4L2_BUF_FLAG_TIMESTAMP_COPY, monotonicNow, realNow), realNow);
    EXPECT_EQ(CaptureTimeOf(at(900), kMonotonic, monotonicNow, realNow), realNow);   // too old
    EXPECT_EQ(CaptureTimeOf(at(1005), kMonotonic, monotonicNow, realNow), realNow);  // future
}

TEST_F(VideoSampleTest, CompressedSampleIsTheFilledPartOfTheBuffer) {
    const FakeFormat mjpg = MakeFormat(V4L2_PIX_FMT_MJPEG, 640, 480);
    const int cam = AddCamera(mjpg);
    auto sample = StartStreaming();
    const Bytes frame = MakeFrameBytes(mjpg, 7);
    ASSERT_LT(frame.size(), mjpg.sizeImage);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, frame));
    ASSERT_TRUE(sink_.WaitForFrames(1));
    EXPECT_EQ(sink_.Frames()[0], frame);
    EXPECT_EQ(fake_->BufferLength(cam), mjpg.sizeImage);
}

TEST_F(VideoSampleTest, DropsErrorFlaggedAndEmptyBuffersAndCutsOversizedOnes) {
    const FakeFormat yuyv = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    const int cam = AddCamera(yuyv);
    auto sample = StartStreaming();
    const Bytes good = MakeFrameBytes(yuyv, 1);
    const Bytes damaged = MakeFrameBytes(yuyv, 2);
    // Ten damaged and ten empty buffers: all must be requeued, or the four
    // buffers would run out.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(fake_->PushFrameWhenReady(cam, damaged, V4L2_BUF_FLAG_ERROR));
        ASSERT_TRUE(fake_->PushFrameWhenReady(cam, good, 0, 0u));
    }
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, good));
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, good, 0, yuyv.sizeImage + 4096));
    ASSERT_TRUE(sink_.WaitForFrames(2));
    EXPECT_EQ(sink_.Frames(), (std::vector<Bytes>{good, good}));
    const TCaptureStats stats = sample->Stats();
    EXPECT_EQ(stats.errorBuffers, 10u);
    EXPECT_EQ(stats.emptyBuffers, 10u);
    EXPECT_EQ(stats.delivered, 2u);
}

TEST_F(VideoSampleTest, SamplesBeforeTheRoutineAreDroppedWithoutBlocking) {
    const FakeFormat yuyv = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    const int cam = AddCamera(yuyv);
    auto sample = MakeSample();
    std::string name;
    ASSERT_EQ(sample->StartVideo("", name), kStatusOk);
    EXPECT_EQ(name, "Cam");
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 1)));
    }
    // All four buffers back with the driver means every frame went through.
    ASSERT_TRUE(fake_->WaitForQueued(cam, 4));
    EXPECT_EQ(sample->CallbackObject()->Impl().UnroutedSamples(), 6u);
    std::int32_t w, h;
    std::uint32_t c;
    ASSERT_EQ(sample->GetStreamInfo(w, h, c), kStatusOk);
    sample->SetFrameCallback(&FrameSink::Routine, &sink_);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 2)));
    ASSERT_TRUE(sink_.WaitForFrames(1));
    EXPECT_EQ(sink_.Count(), 1u);
}

TEST_F(VideoSampleTest, NoBuffersFailsWithoutLeavingAnythingOpen) {
    AddCamera(MakeFormat(V4L2_PIX_FMT_YUYV, 640, 480), 0);
    auto sample = MakeSample();
    std::string name;
    EXPECT_EQ(sample->StartVideo("#1", name), kStatusFail);
    std::int32_t w = 5, h = 5;
    std::uint32_t c = 77;
    EXPECT_EQ(sample->GetStreamInfo(w, h, c), kStatusFail);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(c, 77u);
}

TEST_F(VideoSampleTest, SetUpFailuresReturnTheDriverErrorAndCleanUp) {
    const unsigned long requests[] = {VIDIOC_G_FMT, VIDIOC_REQBUFS, VIDIOC_QUERYBUF, VIDIOC_QBUF,
                                      VIDIOC_STREAMON};
    for (const unsigned long request : requests) {
        fake_ = std::make_shared<FakeV4L2>();
        const int cam = AddCamera();
        fake_->FailIoctl(cam, request, EINVAL);
        auto sample = MakeSample();
        std::string name;
        EXPECT_EQ(sample->StartVideo("#1", name), StatusFromErrno(EINVAL)) << request;
        EXPECT_EQ(name, "Cam");
        sample.reset();
        test::ExpectDeviceReleased(*fake_);  // the fixture sees only the last device
        EXPECT_FALSE(fake_->Streaming(cam));
    }
}

TEST_F(VideoSampleTest, DestructionStopsStreamingAndReleasesEverything) {
    const int cam = AddCamera();
    auto sample = StartStreaming();
    ASSERT_TRUE(
        fake_->PushFrameWhenReady(cam, MakeFrameBytes(MakeFormat(V4L2_PIX_FMT_YUYV, 640, 480), 3)));
    ASSERT_TRUE(sink_.WaitForFrames(1));
    std::weak_ptr<TSampleGrabberCB> callback = sample->CallbackObject();
    sample.reset();
    EXPECT_TRUE(callback.expired());
    EXPECT_FALSE(fake_->Streaming(cam));
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_STREAMOFF), 1u);
    EXPECT_EQ(fake_->BufferCount(cam), 0);  // buffers given back
    // Nothing is delivered once destruction has returned.
    EXPECT_FALSE(fake_->PushFrame(cam, Bytes(16, 1)));
    EXPECT_EQ(sink_.Count(), 1u);
}

TEST_F(VideoSampleTest, StartingAgainReleasesThePreviousDevice) {
    const int first = AddCamera();
    const int second = AddCamera();
    auto sample = MakeSample();
    std::string name;
    ASSERT_EQ(sample->StartVideo("#1", name), kStatusOk);
    ASSERT_EQ(sample->StartVideo("#2", name), kStatusOk);
    EXPECT_FALSE(fake_->Streaming(first));
    EXPECT_TRUE(fake_->Streaming(second));
    EXPECT_EQ(fake_->OpenFds(), 1);
    ASSERT_EQ(sample->StartVideo("#9", name), kStatusFail);
    EXPECT_EQ(fake_->OpenFds(), 0);
}

TEST_F(VideoSampleTest, RequestIsSetBeforeStreamingAndTheDriverHasTheLastWord) {
    FakeDeviceConfig config;
    config.format = MakeFormat(V4L2_PIX_FMT_YUYV, 640, 480);
    config.rowPadding = 64;
    config.offers = {
        test::FakeOffer{V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 720}}, {}, {{1, 30}, {1, 15}}}};
    const int cam = fake_->AddDevice(config);

    // No request: the device is taken as it is.
    auto sample = MakeSample();
    std::string name;
    ASSERT_EQ(sample->StartVideo("#1", name), kStatusOk);
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_S_FMT), 0u);
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_S_PARM), 0u);
    sample.reset();

    // Size and rate as asked; the padded rows the driver chose are reported.
    sample = MakeSample();
    ASSERT_EQ(sample->StartVideo("#1", name,
                                 TFormatRequest{V4L2_PIX_FMT_YUYV, 1280, 720, TFraction{1, 15}}),
              kStatusOk);
    TStreamFormat format;
    ASSERT_TRUE(sample->StreamFormat(format));
    EXPECT_EQ(format.width, 1280);
    EXPECT_EQ(format.height, 720);
    EXPECT_EQ(format.bytesPerLine, 1280u * 2 + 64);
    EXPECT_EQ(format.sizeImage, (1280u * 2 + 64) * 720);
    EXPECT_EQ(format.interval, (TFraction{1, 15}));
    sample->SetFrameCallback(&FrameSink::Routine, &sink_);
    const Bytes padded = MakeFrameBytes(MakeFormat(V4L2_PIX_FMT_YUYV, 1280, 720, 64), 5);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, padded));
    ASSERT_TRUE(sink_.WaitForFrames(1));
    EXPECT_EQ(sink_.Frames()[0], padded);
    sample.reset();

    // What the driver adjusts stands, and the format says so.
    fake_ = std::make_shared<FakeV4L2>();
    config.adjustInterval = [](v4l2_fract& t) { t = {1, 10}; };
    fake_->AddDevice(config);
    sample = MakeSample();
    ASSERT_EQ(sample->StartVideo("#1", name,
                                 TFormatRequest{V4L2_PIX_FMT_UYVY, 1000, 1000, TFraction{1, 30}}),
              kStatusOk);
    ASSERT_TRUE(sample->StreamFormat(format));
    EXPECT_EQ(format.pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(format.width, 1280);
    EXPECT_EQ(format.interval, (TFraction{1, 10}));

    // A driver busy with another program refuses the format: no start.
    fake_->FailIoctl(0, VIDIOC_S_FMT, EBUSY);
    EXPECT_EQ(sample->StartVideo("#1", name, TFormatRequest{V4L2_PIX_FMT_YUYV, 640, 480, {}}),
              StatusFromErrno(EBUSY));
}

TEST_F(VideoSampleTest, FailedFormatQueryLeavesCompressionAndKeepsStreaming) {
    const FakeFormat yuyv = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    const int cam = AddCamera(yuyv);
    auto sample = StartStreaming();
    fake_->FailIoctl(cam, VIDIOC_G_FMT, EIO);
    std::int32_t w = 9, h = 9;
    std::uint32_t c = 1234;
    EXPECT_EQ(sample->GetStreamInfo(w, h, c), StatusFromErrno(EIO));
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(c, 1234u);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 4)));
    EXPECT_TRUE(sink_.WaitForFrames(1));
}

TEST_F(VideoSampleTest, LostDeviceEndsCaptureAndTellsTheOwnerOnce) {
    const FakeFormat yuyv = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    const int cam = AddCamera(yuyv);
    auto sample = StartStreaming();
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 1)));
    ASSERT_TRUE(sink_.WaitForFrames(1));

    fake_->LoseDevice(cam);
    ASSERT_TRUE(lost_.WaitForCall());
    EXPECT_EQ(lost_.Reason(), StatusFromErrno(ENODEV));
    EXPECT_TRUE(sample->DeviceLost());
    const std::uint64_t polls = fake_->PollCalls();

    // The thread is gone: no more polling, and the format query reports the loss.
    std::int32_t w, h;
    std::uint32_t c = 0;
    EXPECT_EQ(sample->GetStreamInfo(w, h, c), StatusFromErrno(ENODEV));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fake_->PollCalls(), polls);
    sample.reset();
    EXPECT_EQ(lost_.Calls(), 1);
    EXPECT_EQ(sink_.Count(), 1u);
}

TEST_F(VideoSampleTest, VanishedDeviceCannotBeStarted) {
    const int cam = AddCamera();
    fake_->LoseDevice(cam);
    auto sample = MakeSample();
    std::string name;
    EXPECT_EQ(sample->StartVideo("#1", name), StatusFromErrno(ENODEV));
}

TEST_F(VideoSampleTest, PermanentStreamErrorEndsCaptureLikeALoss) {
    const int cam = AddCamera();
    auto sample = StartStreaming();
    fake_->SetFatalStreamError(cam);
    ASSERT_TRUE(lost_.WaitForCall());
    EXPECT_EQ(lost_.Reason(), StatusFromErrno(EIO));
    sample.reset();
    EXPECT_EQ(lost_.Calls(), 1);
}

TEST_F(VideoSampleTest, StalledStreamSleepsAndStillStops) {
    const int cam = AddCamera();
    auto sample = StartStreaming();
    fake_->SetStalled(cam, true);
    EXPECT_FALSE(fake_->PushFrame(cam, Bytes(16, 0)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // One wait in poll (two if the pause in GetStreamInfo restarted it): no spinning.
    EXPECT_LE(fake_->PollCalls(), 3u);
    sample.reset();
    EXPECT_EQ(sink_.Count(), 0u);
    EXPECT_EQ(lost_.Calls(), 0);
}

TEST_F(VideoSampleTest, InterruptedAndSpuriousWakeupsAreRetried) {
    const FakeFormat yuyv = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    const int cam = AddCamera(yuyv);
    fake_->FailPoll(EINTR, 3);
    auto sample = StartStreaming();
    fake_->FailIoctl(cam, VIDIOC_DQBUF, EINTR, 3);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 1)));
    ASSERT_TRUE(sink_.WaitForFrames(1));
    fake_->FailIoctl(cam, VIDIOC_DQBUF, EAGAIN, 2);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 2)));
    ASSERT_TRUE(sink_.WaitForFrames(2));
    fake_->FailIoctl(cam, VIDIOC_QBUF, EINTR, 2);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 3)));
    ASSERT_TRUE(sink_.WaitForFrames(3));
    EXPECT_EQ(sample->Stats().requeueFailures, 0u);
    EXPECT_EQ(lost_.Calls(), 0);
}

TEST_F(VideoSampleTest, OccasionalDriverErrorsAreRiddenOutPersistentOnesEndCapture) {
    const FakeFormat yuyv = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    const int cam = AddCamera(yuyv);
    auto sample = StartStreaming();

    // A refused requeue takes one buffer out of rotation; the rest go on.
    fake_->FailIoctl(cam, VIDIOC_QBUF, EINVAL, 1);
    fake_->FailIoctl(cam, VIDIOC_DQBUF, EIO, 2);
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, std::uint8_t(i))));
        ASSERT_TRUE(sink_.WaitForFrames(i + 1));
    }
    EXPECT_EQ(sample->Stats().requeueFailures, 1u);
    EXPECT_EQ(lost_.Calls(), 0);

    fake_->FailIoctl(cam, VIDIOC_DQBUF, EIO, 1000);
    ASSERT_TRUE(fake_->PushFrameWhenReady(cam, MakeFrameBytes(yuyv, 9)));
    ASSERT_TRUE(lost_.WaitForCall());
    EXPECT_EQ(lost_.Reason(), StatusFromErrno(EIO));
    EXPECT_LT(fake_->IoctlCalls(cam, VIDIOC_DQBUF), 40u);  // gave up, did not spin
}

TEST_F(VideoSampleTest, StreamEndsWhenTheDriverRefusesEveryBufferBack) {
    const FakeFormat yuyv = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);
    const int cam = AddCamera(yuyv, 2);
    auto sample = StartStreaming();
    fake_->FailIoctl(cam, VIDIOC_QBUF, EINVAL, 1000);
    ASSERT_TRUE(fake_->WaitForQueued(cam, 2));
    ASSERT_TRUE(fake_->PushFrame(cam, MakeFrameBytes(yuyv, 1)));
    ASSERT_TRUE(fake_->PushFrame(cam, MakeFrameBytes(yuyv, 2)));
    ASSERT_TRUE(lost_.WaitForCall());
    EXPECT_EQ(lost_.Reason(), StatusFromErrno(EINVAL));
    EXPECT_EQ(sample->Stats().requeueFailures, 2u);
}

}  // namespace
}  // namespace vistrel
