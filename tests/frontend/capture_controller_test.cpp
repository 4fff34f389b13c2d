// SPDX-License-Identifier: MIT
// The capture controller over a session on the fake device: which saved
// format choice reaches the camera.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "capture_test_util.h"
#include "fake_v4l2.h"
#include "frontend/capture_controller.h"
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

}  // namespace
}  // namespace vistrel
