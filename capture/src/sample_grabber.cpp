#include "capture/sample_grabber.h"

namespace vistrel {

void TSampleGrabberCBImpl::SetFrameCallback(TFrameRoutine routine, void* userData) {
    std::unique_lock lock(mutex_);
    routine_ = routine;
    userData_ = userData;
    const std::uint64_t generation = ++generation_;
    // Wait out deliveries that still use an older pair, except one running on
    // this very thread: that is the routine replacing itself, and it can only
    // finish after we return.
    deliveryEnded_.wait(lock, [&] { return !OlderDeliveryInFlight(generation); });
}

bool TSampleGrabberCBImpl::OlderDeliveryInFlight(std::uint64_t generation) const {
    const auto self = std::this_thread::get_id();
    for (const Delivery* d = inFlight_; d != nullptr; d = d->next) {
        if (d->generation < generation && d->thread != self) {
            return true;
        }
    }
    return false;
}

void TSampleGrabberCBImpl::Deliver(const std::uint8_t* data, std::int32_t length) {
    if (length <= 0 || data == nullptr) {
        return;
    }
    Delivery delivery{};
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
        delivery = Delivery{generation_, std::this_thread::get_id(), inFlight_};
        inFlight_ = &delivery;
    }
    // The lock is not held here: the routine may take its own locks, replace
    // the pair, or run while the owner waits in SetFrameCallback.
    try {
        routine(userData, data, length);
    } catch (...) {
        // A throwing routine loses this sample; the capture thread goes on.
    }
    {
        std::lock_guard lock(mutex_);
        for (Delivery** link = &inFlight_; *link != nullptr; link = &(*link)->next) {
            if (*link == &delivery) {
                *link = delivery.next;
                break;
            }
        }
    }
    deliveryEnded_.notify_all();
}

TStatus TSampleGrabberCBImpl::SampleCB(double /*sampleTime*/, const TMediaSample& sample) {
    Deliver(sample.data, sample.size);
    return kStatusOk;
}

TStatus TSampleGrabberCBImpl::BufferCB(double /*sampleTime*/, const std::uint8_t* buffer,
                                       std::int32_t length) {
    Deliver(buffer, length);
    return kStatusOk;
}

std::shared_ptr<TSampleGrabberCB> TSampleGrabberCB::Create() {
    return std::make_shared<TSampleGrabberCB>(Token{});
}

}  // namespace vistrel
