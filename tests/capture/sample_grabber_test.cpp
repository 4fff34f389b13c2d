// SPDX-License-Identifier: MIT
// The callback object on its own: which samples reach the routine and how
// the routine is replaced.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include <cstdint>
#include <vector>

#include "capture/sample_grabber.h"

namespace vistrel {
namespace {

struct Receiver {
    std::vector<std::int32_t> lengths;
    std::vector<const std::uint8_t*> pointers;
    std::vector<TCaptureTime> captureTimes;

    static void Routine(void* userData, const std::uint8_t* data, std::int32_t& length,
                        TCaptureTime captureTime) {
        auto* self = static_cast<Receiver*>(userData);
        self->lengths.push_back(length);
        self->pointers.push_back(data);
        self->captureTimes.push_back(captureTime);
    }
};

TEST(SampleGrabberTest, SkipsEmptyAndNegativeSamplesAndAlwaysSucceeds) {
    auto cb = TSampleGrabberCB::Create();
    Receiver receiver;
    cb->Impl().SetFrameCallback(&Receiver::Routine, &receiver);
    const std::uint8_t bytes[4] = {1, 2, 3, 4};

    EXPECT_EQ(cb->SampleCB(0.0, TMediaSample{bytes, 0}), kStatusOk);
    EXPECT_EQ(cb->SampleCB(0.0, TMediaSample{bytes, -5}), kStatusOk);
    EXPECT_EQ(cb->SampleCB(0.0, TMediaSample{nullptr, 4}), kStatusOk);
    EXPECT_EQ(cb->BufferCB(0.0, bytes, 0), kStatusOk);
    EXPECT_TRUE(receiver.lengths.empty());

    const TCaptureTime captured{std::chrono::seconds(1'700'000'000)};
    const auto before = std::chrono::system_clock::now();
    EXPECT_EQ(cb->SampleCB(1.5, TMediaSample{bytes, 4, captured}), kStatusOk);
    EXPECT_EQ(cb->BufferCB(2.0, bytes + 1, 3), kStatusOk);
    EXPECT_EQ(cb->SampleCB(2.5, TMediaSample{bytes, 2}), kStatusOk);
    EXPECT_EQ(receiver.lengths, (std::vector<std::int32_t>{4, 3, 2}));
    // The routine gets the capture buffer itself, not a copy.
    EXPECT_EQ(receiver.pointers, (std::vector<const std::uint8_t*>{bytes, bytes + 1, bytes}));
    // The sample's capture time, else the time of delivery.
    EXPECT_EQ(receiver.captureTimes[0], captured);
    EXPECT_GE(receiver.captureTimes[1], before);
    EXPECT_GE(receiver.captureTimes[2], before);
    EXPECT_EQ(cb->Impl().UnroutedSamples(), 0u);
}

TEST(SampleGrabberTest, SamplesWithoutRoutineOrRaisingInItAreDroppedAndCounted) {
    auto cb = TSampleGrabberCB::Create();
    const std::uint8_t bytes[2] = {9, 9};
    EXPECT_EQ(cb->SampleCB(0.0, TMediaSample{bytes, 2}), kStatusOk);
    EXPECT_EQ(cb->SampleCB(0.0, TMediaSample{bytes, 0}), kStatusOk);  // empty: not even counted
    EXPECT_EQ(cb->Impl().UnroutedSamples(), 1u);

    Receiver receiver;
    cb->Impl().SetFrameCallback(&Receiver::Routine, &receiver);
    cb->SampleCB(0.0, TMediaSample{bytes, 2});
    cb->Impl().SetFrameCallback(nullptr, &receiver);  // removing the routine
    cb->SampleCB(0.0, TMediaSample{bytes, 2});
    EXPECT_EQ(receiver.lengths.size(), 1u);
    EXPECT_EQ(cb->Impl().UnroutedSamples(), 2u);

    // A routine that raises loses its sample, counted, and delivery goes on.
    cb->Impl().SetFrameCallback([](void*, const std::uint8_t*, std::int32_t&,
                                   TCaptureTime) { throw std::runtime_error("full"); },
                                nullptr);
    EXPECT_EQ(cb->SampleCB(0.0, TMediaSample{bytes, 2}), kStatusOk);
    EXPECT_EQ(cb->SampleCB(0.0, TMediaSample{bytes, 2}), kStatusOk);
    EXPECT_EQ(cb->Impl().RaisingSamples(), 2u);
}

TEST(SampleGrabberTest, RoutineMayReplaceItselfFromInsideADelivery) {
    struct SelfReplacing {
        TSampleGrabberCB* cb;
        Receiver next;
        int calls = 0;
        static void Routine(void* userData, const std::uint8_t*, std::int32_t&, TCaptureTime) {
            auto* self = static_cast<SelfReplacing*>(userData);
            ++self->calls;
            // Must not wait for its own delivery to end.
            self->cb->Impl().SetFrameCallback(&Receiver::Routine, &self->next);
        }
    };
    auto cb = TSampleGrabberCB::Create();
    SelfReplacing first{cb.get(), {}, 0};
    cb->Impl().SetFrameCallback(&SelfReplacing::Routine, &first);
    const std::uint8_t bytes[1] = {0};
    cb->SampleCB(0.0, TMediaSample{bytes, 1});
    cb->SampleCB(0.0, TMediaSample{bytes, 1});
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(first.next.lengths.size(), 1u);
}

}  // namespace
}  // namespace vistrel
