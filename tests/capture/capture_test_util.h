// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture/capture_time.h"
#include "capture/status.h"
#include "fake_v4l2.h"

namespace vistrel::test {

// Everything the code under test opened on the fake device is closed again,
// and every buffer it mapped is unmapped.
inline void ExpectDeviceReleased(const FakeV4L2& fake) {
    EXPECT_EQ(fake.OpenFds(), 0) << "descriptors left open on the fake device";
    EXPECT_EQ(fake.MappedBuffers(), 0) << "buffers left mapped";
}

// A fixture over the fake device that fails a test which leaves a descriptor
// open or a buffer mapped. The check runs in this destructor, so after the
// derived fixture's members (sessions, keepers, samples) are gone.
class FakeDeviceTest : public ::testing::Test {
protected:
    ~FakeDeviceTest() override { ExpectDeviceReleased(*fake_); }

    std::shared_ptr<FakeV4L2> fake_ = std::make_shared<FakeV4L2>();
};

// Collects the samples a capture graph delivers; its Routine is a
// TFrameRoutine with the sink as user data.
class FrameSink {
public:
    static void Routine(void* userData, const std::uint8_t* data, std::int32_t& length,
                        TCaptureTime captureTime) {
        auto* self = static_cast<FrameSink*>(userData);
        std::lock_guard lock(self->mutex_);
        self->frames_.emplace_back(data, data + length);
        self->captureTimes_.push_back(captureTime);
        self->changed_.notify_all();
    }

    bool WaitForFrames(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
    }

    std::vector<std::vector<std::uint8_t>> Frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    std::vector<TCaptureTime> CaptureTimes() const {
        std::lock_guard lock(mutex_);
        return captureTimes_;
    }
    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::uint8_t>> frames_;
    std::vector<TCaptureTime> captureTimes_;
};

// Records device-lost notifications.
class LostSink {
public:
    void operator()(TStatus reason) {
        std::lock_guard lock(mutex_);
        ++calls_;
        reason_ = reason;
        changed_.notify_all();
    }
    bool WaitForCall(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_ > 0; });
    }
    int Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    TStatus Reason() const {
        std::lock_guard lock(mutex_);
        return reason_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    TStatus reason_ = 0;
};

// Pushes one frame into a fake device every period on a thread of its own,
// as a camera delivers, until Stop or destruction (also when an assertion
// ends the test early).
class FrameFeeder {
public:
    FrameFeeder(FakeV4L2& fake, int device, std::vector<std::uint8_t> frame,
                std::chrono::milliseconds period)
        : thread_([this, &fake, device, frame = std::move(frame), period] {
              while (feeding_.load()) {
                  fake.PushFrame(device, frame);
                  std::this_thread::sleep_for(period);
              }
          }) {}
    ~FrameFeeder() { Stop(); }
    FrameFeeder(const FrameFeeder&) = delete;
    FrameFeeder& operator=(const FrameFeeder&) = delete;

    void Stop() {
        feeding_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    std::atomic<bool> feeding_{true};  // before thread_, which reads it
    std::thread thread_;
};

}  // namespace vistrel::test
