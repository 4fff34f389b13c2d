// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/capture_time.h"
#include "capture/status.h"

namespace vistrel {

// The owner's per-sample routine: routine(user data, sample bytes, length,
// capture time). Called on the capture thread; length is greater than 0; the
// capture time is wall-clock time (see CaptureTimeOf); the bytes are
// valid only during the call (they are the driver's buffer, which goes back
// to the driver right after), so the routine copies what it needs and
// returns quickly. Nothing reads length back after the call. The routine
// should not throw (an exception is caught and the sample lost).
using TFrameRoutine = void (*)(void* userData, const std::uint8_t* data, std::int32_t& length,
                               TCaptureTime captureTime);

// One captured sample as the capture thread hands it over: the filled part
// of a driver buffer, and when the camera captured it (the epoch when not
// known: the time of delivery is taken then).
struct TMediaSample {
    const std::uint8_t* data = nullptr;
    std::int32_t size = 0;
    TCaptureTime captureTime{};
};

// Routes samples to the owner's routine. The routine and its user data are
// published together, under a mutex that is held only to read or replace
// the pair, never while the routine runs: the capture thread sees either no
// routine or a complete pair, never a routine with another routine's user
// data, and a replacement never waits on the routine while holding the lock.
//
// Samples come from one thread at a time (the capture thread), so at most
// one delivery runs at any moment.
class TSampleGrabberCBImpl {
public:
    TSampleGrabberCBImpl() = default;
    TSampleGrabberCBImpl(const TSampleGrabberCBImpl&) = delete;
    TSampleGrabberCBImpl& operator=(const TSampleGrabberCBImpl&) = delete;

    // Replaces the pair (a null routine removes it). Returns only once no
    // sample is being delivered with an earlier pair, so the caller may free
    // the old user data afterwards. Called from inside a delivery (the
    // routine replacing itself) it cannot wait for itself: the new pair then
    // takes effect from the next sample.
    void SetFrameCallback(TFrameRoutine routine, void* userData);

    // Delivers one sample: skipped when its length is 0 or less or it has no
    // bytes; otherwise handed to the routine, or counted and dropped while no
    // routine is set. Dropping (rather than waiting for anybody to look at
    // it) keeps a stop from ever waiting on a sample nobody takes.
    // Always returns 0. sampleTime (seconds) is not used: the sample's
    // capture time travels with it instead; BufferCB's buffers take the time
    // of delivery.
    TStatus SampleCB(double sampleTime, const TMediaSample& sample);
    TStatus BufferCB(double sampleTime, const std::uint8_t* buffer, std::int32_t length);

    // Samples dropped because no routine was set.
    std::uint64_t UnroutedSamples() const { return unrouted_.load(std::memory_order_relaxed); }
    // Samples lost because the routine raised an exception.
    std::uint64_t RaisingSamples() const { return raised_.load(std::memory_order_relaxed); }

private:
    void Deliver(const std::uint8_t* data, std::int32_t length, TCaptureTime captureTime);

    std::mutex mutex_;
    std::condition_variable deliveryEnded_;
    // Guarded by mutex_: the pair, the thread inside the routine (none while
    // no delivery runs) and how many deliveries have ended.
    TFrameRoutine routine_ = nullptr;
    void* userData_ = nullptr;
    std::thread::id deliveringThread_;
    std::uint64_t deliveriesEnded_ = 0;
    std::atomic<std::uint64_t> unrouted_{0};
    std::atomic<std::uint64_t> raised_{0};
};

// The callback object the capture graph hands samples to. Reference counted
// through std::shared_ptr: the graph holds one reference for its lifetime and
// its capture engine (the grabber) another while it can deliver; the object
// and its TSampleGrabberCBImpl end with the last one.
class TSampleGrabberCB {
public:
    static std::shared_ptr<TSampleGrabberCB> Create();

    TSampleGrabberCB(const TSampleGrabberCB&) = delete;
    TSampleGrabberCB& operator=(const TSampleGrabberCB&) = delete;

    TStatus SampleCB(double sampleTime, const TMediaSample& sample) {
        return impl_.SampleCB(sampleTime, sample);
    }
    TStatus BufferCB(double sampleTime, const std::uint8_t* buffer, std::int32_t length) {
        return impl_.BufferCB(sampleTime, buffer, length);
    }

    TSampleGrabberCBImpl& Impl() { return impl_; }
    const TSampleGrabberCBImpl& Impl() const { return impl_; }

private:
    struct Token {
        explicit Token() = default;
    };

public:
    explicit TSampleGrabberCB(Token) {}

private:
    TSampleGrabberCBImpl impl_;
};

}  // namespace vistrel
