// SPDX-License-Identifier: MIT
// The capture thread against the owner thread: stops while a sample is being
// delivered, routine replacement while samples flow, device loss during a
// delivery, and teardown from inside the capture thread's own calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/video_sample.h"
#include "capture_test_util.h"
#include "fake_v4l2.h"

namespace vistrel {
namespace {

using test::FakeDeviceConfig;
using test::FrameSink;
using test::LostSink;
using test::MakeFormat;
using test::MakeFrameBytes;
using namespace std::chrono_literals;

// A routine that holds the capture thread inside a delivery until released,
// and records when it returned.
class Gate {
public:
    static void Routine(void* userData, const std::uint8_t*, std::int32_t&, TCaptureTime) {
        auto* self = static_cast<Gate*>(userData);
        std::unique_lock lock(self->mutex_);
        ++self->entered_;
        self->changed_.notify_all();
        self->changed_.wait(lock, [&] { return self->open_; });
        self->returnedAt_ = self->clock_->fetch_add(1);
    }
    bool WaitEntered(int count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return entered_ >= count; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int Entered() const {
        std::lock_guard lock(mutex_);
        return entered_;
    }
    int ReturnedAt() const {
        std::lock_guard lock(mutex_);
        return returnedAt_;
    }
    explicit Gate(std::atomic<int>* clock) : clock_(clock) {}

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool open_ = false;
    int returnedAt_ = -1;
    std::atomic<int>* clock_;
};

class CaptureConcurrencyTest : public test::FakeDeviceTest {
protected:
    LostSink lost_;
    std::atomic<int> clock_{0};  // orders events across threads
    int cam_ = -1;
    const test::FakeFormat format_ = MakeFormat(V4L2_PIX_FMT_YUYV, 32, 16);

    void SetUp() override {
        FakeDeviceConfig config;
        config.format = format_;
        config.maxBuffers = 4;
        cam_ = fake_->AddDevice(config);
    }

    std::unique_ptr<TVideoSample> Start(TFrameRoutine routine, void* userData) {
        TStatus status;
        auto sample =
            std::make_unique<TVideoSample>([this](TStatus r) { lost_(r); }, status, fake_);
        std::string name;
        EXPECT_EQ(sample->StartVideo("#1", name), kStatusOk);
        std::int32_t w, h;
        std::uint32_t c;
        EXPECT_EQ(sample->GetStreamInfo(w, h, c), kStatusOk);
        sample->SetFrameCallback(routine, userData);
        return sample;
    }

    bool Push(std::uint8_t seed = 0) {
        return fake_->PushFrameWhenReady(cam_, MakeFrameBytes(format_, seed));
    }
};

TEST_F(CaptureConcurrencyTest, DestructionWaitsForTheDeliveryInProgress) {
    Gate gate(&clock_);
    auto sample = Start(&Gate::Routine, &gate);
    ASSERT_TRUE(Push());
    ASSERT_TRUE(gate.WaitEntered());

    std::atomic<int> destroyedAt{-1};
    std::thread owner([&] {
        sample.reset();
        destroyedAt = clock_.fetch_add(1);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(destroyedAt.load(), -1);  // still waiting for the routine
    gate.Open();
    owner.join();
    EXPECT_LT(gate.ReturnedAt(), destroyedAt.load());
    EXPECT_EQ(gate.Entered(), 1);
}

TEST_F(CaptureConcurrencyTest, FormatQueryPausesAfterTheDeliveryAndResumes) {
    Gate gate(&clock_);
    auto sample = Start(&Gate::Routine, &gate);
    ASSERT_TRUE(Push());
    ASSERT_TRUE(gate.WaitEntered());

    std::atomic<int> answeredAt{-1};
    std::thread owner([&] {
        std::int32_t w, h;
        std::uint32_t c;
        EXPECT_EQ(sample->GetStreamInfo(w, h, c), kStatusOk);
        answeredAt = clock_.fetch_add(1);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(answeredAt.load(), -1);
    gate.Open();
    owner.join();
    EXPECT_LT(gate.ReturnedAt(), answeredAt.load());
    // Streaming goes on after the query.
    ASSERT_TRUE(Push(1));
    EXPECT_TRUE(gate.WaitEntered(2));
}

TEST_F(CaptureConcurrencyTest, ReplacingTheRoutineWaitsForTheOldPairInFlight) {
    Gate gate(&clock_);
    FrameSink next;
    auto sample = Start(&Gate::Routine, &gate);
    ASSERT_TRUE(Push());
    ASSERT_TRUE(gate.WaitEntered());

    std::atomic<int> replacedAt{-1};
    std::thread owner([&] {
        sample->SetFrameCallback(&FrameSink::Routine, &next);
        replacedAt = clock_.fetch_add(1);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(replacedAt.load(), -1);
    gate.Open();
    owner.join();
    EXPECT_LT(gate.ReturnedAt(), replacedAt.load());
    ASSERT_TRUE(Push(2));
    ASSERT_TRUE(next.WaitForFrames(1));
    EXPECT_EQ(gate.Entered(), 1);
}

// Two routines that each check they got their own user data.
struct Tagged {
    char tag;
    std::atomic<int> calls{0};
    std::atomic<int> mismatches{0};
};
template <char Tag>
void TaggedRoutine(void* userData, const std::uint8_t*, std::int32_t& length, TCaptureTime) {
    auto* t = static_cast<Tagged*>(userData);
    if (t->tag != Tag || length <= 0) {
        t->mismatches.fetch_add(1);
    }
    t->calls.fetch_add(1);
}

TEST_F(CaptureConcurrencyTest, RoutineAndUserDataAlwaysArriveAsOnePair) {
    Tagged a{'A'}, b{'B'};
    auto sample = Start(&TaggedRoutine<'A'>, &a);
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        std::uint8_t seed = 0;
        while (!done.load()) {
            if (!fake_->PushFrame(cam_, MakeFrameBytes(format_, seed++))) {
                std::this_thread::yield();
            }
        }
    });
    // Flip the pair until both routines have been called many times.
    for (long i = 0; (a.calls.load() < 200 || b.calls.load() < 200) && i < 50'000'000; ++i) {
        if (i % 2 == 0) {
            sample->SetFrameCallback(&TaggedRoutine<'B'>, &b);
        } else {
            sample->SetFrameCallback(&TaggedRoutine<'A'>, &a);
        }
    }
    sample->SetFrameCallback(&TaggedRoutine<'B'>, &b);
    // Once the replacement returned, the old pair is never called again.
    const int aCalls = a.calls.load();
    const int bBefore = b.calls.load();
    while (b.calls.load() < bBefore + 20) {
        std::this_thread::yield();
    }
    done = true;
    pusher.join();
    EXPECT_EQ(a.calls.load(), aCalls);
    EXPECT_EQ(a.mismatches.load(), 0);
    EXPECT_EQ(b.mismatches.load(), 0);
    EXPECT_GE(a.calls.load(), 200);
}

TEST_F(CaptureConcurrencyTest, DeviceLostDuringADeliveryIsReportedOnceAfterIt) {
    Gate gate(&clock_);
    auto sample = Start(&Gate::Routine, &gate);
    ASSERT_TRUE(Push());
    ASSERT_TRUE(gate.WaitEntered());
    fake_->LoseDevice(cam_);
    gate.Open();
    ASSERT_TRUE(lost_.WaitForCall());
    EXPECT_EQ(lost_.Reason(), StatusFromErrno(ENODEV));
    sample.reset();
    EXPECT_EQ(lost_.Calls(), 1);
    EXPECT_EQ(gate.Entered(), 1);
}

TEST_F(CaptureConcurrencyTest, OwnerMayDestroyTheGraphFromTheDeviceLostHandler) {
    std::unique_ptr<TVideoSample> sample;
    std::promise<void> handled;
    TStatus status;
    sample = std::make_unique<TVideoSample>(
        [&](TStatus) {
            sample.reset();
            handled.set_value();
        },
        status, fake_);
    std::string name;
    ASSERT_EQ(sample->StartVideo("#1", name), kStatusOk);
    fake_->LoseDevice(cam_);
    ASSERT_EQ(handled.get_future().wait_for(10s), std::future_status::ready);
    // The engine ends with the capture thread, right after the handler.
    for (int i = 0; i < 1000 && fake_->OpenFds() != 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
}

struct SelfDestroying {
    std::unique_ptr<TVideoSample>* sample;
    std::atomic<int> calls{0};
    static void Routine(void* userData, const std::uint8_t*, std::int32_t&, TCaptureTime) {
        auto* self = static_cast<SelfDestroying*>(userData);
        self->calls.fetch_add(1);
        self->sample->reset();  // stop capture from inside a delivery
    }
};

TEST_F(CaptureConcurrencyTest, OwnerMayDestroyTheGraphFromInsideADelivery) {
    std::unique_ptr<TVideoSample> sample;
    SelfDestroying self{&sample};
    sample = Start(&SelfDestroying::Routine, &self);
    ASSERT_TRUE(Push());
    for (int i = 0; i < 1000 && fake_->OpenFds() != 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(self.calls.load(), 1);
    EXPECT_FALSE(fake_->PushFrame(cam_, MakeFrameBytes(format_, 1)));
}

TEST_F(CaptureConcurrencyTest, RepeatedStartAndStopWhileFramesFlow) {
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        while (!done.load()) {
            if (!fake_->PushFrame(cam_, MakeFrameBytes(format_, 5))) {
                std::this_thread::yield();
            }
        }
    });
    for (int i = 0; i < 40; ++i) {
        FrameSink sink;
        TStatus status;
        auto sample = std::make_unique<TVideoSample>(nullptr, status, fake_);
        std::string name;
        ASSERT_EQ(sample->StartVideo("#1", name), kStatusOk);
        // Before the routine: the fallback path must not hold up the pause.
        std::int32_t w, h;
        std::uint32_t c;
        ASSERT_EQ(sample->GetStreamInfo(w, h, c), kStatusOk);
        sample->SetFrameCallback(&FrameSink::Routine, &sink);
        if (i % 4 == 0) {
            ASSERT_TRUE(sink.WaitForFrames(1));
        }
        sample.reset();
        const std::size_t count = sink.Count();
        EXPECT_EQ(sink.Count(), count);  // nothing after destruction returned
    }
    done = true;
    pusher.join();
}

}  // namespace
}  // namespace vistrel
