// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "pipeline/frame_slots.h"

namespace vistrel {
namespace {

constexpr std::int32_t kFrameLength = 4096;

std::uint8_t ValueOf(std::uint32_t sequence) {
    return static_cast<std::uint8_t>(sequence % 251 + 1);
}

TCaptureTime TimeOf(std::uint32_t sequence) {
    return TCaptureTime{std::chrono::milliseconds(sequence)};
}

// The frame a claim holds: 4 bytes length, 4 bytes sequence number, then one
// byte value throughout, with the capture time of its sequence number.
bool Whole(const TFrameSlots::Claim& claim, std::uint32_t& sequence) {
    std::uint32_t length = 0;
    std::memcpy(&length, claim.Data(), 4);
    std::memcpy(&sequence, claim.Data() + 4, 4);
    if (static_cast<std::int32_t>(length) != claim.Size() ||
        claim.CaptureTime() != TimeOf(sequence)) {
        return false;
    }
    for (std::uint32_t i = 8; i < length; ++i) {
        if (claim.Data()[i] != ValueOf(sequence)) {
            return false;
        }
    }
    return true;
}

// A writer at full speed with changing lengths against a reader that claims
// the newest frame, sometimes twice over, and holds it for a while as a
// conversion would: what it holds stays whole and unchanged, with its own
// capture time, and the frames move on.
TEST(SlotStress, WriterNeverTouchesTheFrameTheReaderHolds) {
    TFrameSlots slots;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::int32_t lengths[] = {kFrameLength, kFrameLength + 5, 100, 2 * kFrameLength};
        std::vector<std::uint8_t> frame(2 * kFrameLength);
        std::uint32_t sequence = 0;
        while (!stop.load()) {
            ++sequence;
            const std::int32_t length = lengths[sequence % std::size(lengths)];
            std::memcpy(frame.data(), &length, 4);
            std::memcpy(frame.data() + 4, &sequence, 4);
            std::memset(frame.data() + 8, ValueOf(sequence), static_cast<std::size_t>(length) - 8);
            slots.Write(frame.data(), length, TimeOf(sequence));
        }
    });
    // Read under a claim, as every reader does: the writer may be filling
    // any slot that is not claimed.
    while (TFrameSlots::Claim(slots).Size() == 0) {
        std::this_thread::yield();
    }

    int torn = 0;
    int changed = 0;
    std::set<std::uint32_t> sequences;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    for (int round = 0; std::chrono::steady_clock::now() < end; ++round) {
        const TFrameSlots::Claim claim(slots);
        std::uint32_t sequence = 0;
        if (!Whole(claim, sequence)) {
            ++torn;
            continue;
        }
        sequences.insert(sequence);
        if (round % 2 == 0) {
            const TFrameSlots::Claim nested(slots);  // the same slot or a newer one
            std::uint32_t newer = 0;
            torn += Whole(nested, newer) && newer >= sequence ? 0 : 1;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
        while (std::chrono::steady_clock::now() < until) {
        }
        std::uint32_t again = 0;
        if (!Whole(claim, again) || again != sequence) {
            ++changed;
        }
    }
    stop = true;
    writer.join();

    EXPECT_EQ(torn, 0);
    EXPECT_EQ(changed, 0);
    EXPECT_GT(sequences.size(), 10u) << "the frames read must move on";
}

}  // namespace
}  // namespace vistrel
