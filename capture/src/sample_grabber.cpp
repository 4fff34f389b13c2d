// SPDX-License-Identifier: MIT
#include "capture/sample_grabber.h"

#include <bit>
#include <exception>

#include "logging.h"

namespace vistrel {

namespace {

// Logged at the first and then at every power-of-two count, so that a
// routine that fails on every frame does not flood the log.
void CountRaisedSample(std::atomic<std::uint64_t>& count, const char* what) noexcept {
    const std::uint64_t n = count.fetch_add(1, std::memory_order_relaxed) + 1;
    if (std::has_single_bit(n)) {
        qCWarning(lcCapture, "the frame routine raised %s; %llu samples lost so far", what,
                  static_cast<unsigned long long>(n));
    }
}

}  // namespace

void TSampleGrabberCBImpl::SetFrameCallback(TFrameRoutine routine, void* userData) {
    std::unique_lock lock(mutex_);
    routine_ = routine;
    userData_ = userData;
    // Wait out the delivery that may still use the old pair, unless it runs
    // on this very thread: that is the routine replacing itself, and it can
    // only finish after we return. Deliveries that start from now on take
    // the new pair.
    const std::thread::id delivering = deliveringThread_;
    if (delivering == std::thread::id() || delivering == std::this_thread::get_id()) {
        return;
    }
    const std::uint64_t ended = deliveriesEnded_;
    deliveryEnded_.wait(lock, [&] { return deliveriesEnded_ != ended; });
}

void TSampleGrabberCBImpl::Deliver(const std::uint8_t* data, std::int32_t length,
                                   TCaptureTime captureTime) {
    if (length <= 0 || data == nullptr) {
        return;
    }
    TFrameRoutine routine;
    void* userData;
    {
        std::lock_guard lock(mutex_);
        routine = routine_;
        userData = userData_;
        if (routine == nullptr) {
            unrouted_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        deliveringThread_ = std::this_thread::get_id();
    }
    // The lock is not held here: the routine may take its own locks, replace
    // the pair, or run while the owner waits in SetFrameCallback.
    // A throwing routine loses this sample; the capture thread goes on.
    try {
        routine(userData, data, length, captureTime);
    } catch (const std::exception& e) {
        CountRaisedSample(raised_, e.what());
    } catch (...) {
        CountRaisedSample(raised_, "an unknown error");
    }
    {
        std::lock_guard lock(mutex_);
        deliveringThread_ = std::thread::id();
        ++deliveriesEnded_;
    }
    deliveryEnded_.notify_all();
}

TStatus TSampleGrabberCBImpl::SampleCB(double /*sampleTime*/, const TMediaSample& sample) {
    const TCaptureTime known = sample.captureTime;
    Deliver(sample.data, sample.size,
            known != TCaptureTime{} ? known : std::chrono::system_clock::now());
    return kStatusOk;
}

TStatus TSampleGrabberCBImpl::BufferCB(double /*sampleTime*/, const std::uint8_t* buffer,
                                       std::int32_t length) {
    Deliver(buffer, length, std::chrono::system_clock::now());
    return kStatusOk;
}

std::shared_ptr<TSampleGrabberCB> TSampleGrabberCB::Create() {
    return std::make_shared<TSampleGrabberCB>(Token{});
}

}  // namespace vistrel
