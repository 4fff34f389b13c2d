// SPDX-License-Identifier: MIT
#include "pipeline/frame_slots.h"

#include <cstring>

namespace vistrel {

namespace {

// Layout of TFrameSlots::state_.
constexpr std::uint32_t kSlotMask = 0x3;
constexpr int kClaimShift = 2;
constexpr std::uint32_t kClaimMask = 0x7u << kClaimShift;
constexpr std::uint32_t kConvertedBit = 1u << 5;

constexpr std::uint32_t ClaimBit(int slot) {
    return 1u << (kClaimShift + slot);
}

}  // namespace

// Only the writer changes the newest slot, and only the reader claims slots,
// always the newest one. A slot the writer has picked is therefore neither
// newest nor claimed, and cannot become claimed before the writer names it
// newest: the two threads never touch one slot at the same time.

int TFrameSlots::CurrentSlot() const {
    return static_cast<int>(state_.load(std::memory_order_acquire) & kSlotMask);
}

bool TFrameSlots::Converted() const {
    return (state_.load(std::memory_order_acquire) & kConvertedBit) != 0;
}

int TFrameSlots::ClaimNewest() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    int slot = 0;
    do {
        slot = static_cast<int>(s & kSlotMask);
    } while (!state_.compare_exchange_weak(s, s | ClaimBit(slot), std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    ++claimCount_[slot];
    return slot;
}

void TFrameSlots::ReleaseClaim(int slot) {
    if (--claimCount_[slot] == 0) {
        state_.fetch_and(~ClaimBit(slot), std::memory_order_acq_rel);
    }
}

void TFrameSlots::ClearConverted() {
    state_.fetch_and(~kConvertedBit, std::memory_order_acq_rel);
}

void TFrameSlots::MarkConverted(int slot) {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (static_cast<int>(s & kSlotMask) == slot &&
           !state_.compare_exchange_weak(s, s | kConvertedBit, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
    }
}

bool TFrameSlots::Write(const std::uint8_t* data, std::int32_t length, TCaptureTime captureTime) {
    const std::uint32_t seen = state_.load(std::memory_order_acquire);
    const int newest = static_cast<int>(seen & kSlotMask);
    int target = (newest + 1) % kSlotCount;
    if ((seen & ClaimBit(target)) != 0) {
        target = (newest + 2) % kSlotCount;
        if ((seen & ClaimBit(target)) != 0) {
            return false;  // the reader holds both other slots
        }
    }
    Slot& slot = slots_[target];
    Fill(slot, data, length);
    slot.captureTime = captureTime;

    // Publish: name the slot newest and clear Converted in one step.
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(s, (s & kClaimMask) | static_cast<std::uint32_t>(target),
                                         std::memory_order_acq_rel, std::memory_order_relaxed)) {
    }
    return true;
}

void TFrameSlots::Fill(Slot& slot, const std::uint8_t* data, std::int32_t length) {
    if (slot.size != length) {
        slot.data.reset();
        slot.size = 0;
        if (length > 0) {
            slot.data = std::make_unique_for_overwrite<std::uint8_t[]>(length);
        }
        slot.size = length;
    }
    if (length > 0) {
        std::memcpy(slot.data.get(), data, static_cast<std::size_t>(length));
    }
}

void TFrameSlots::Release() {
    for (int slot = kSlotCount - 1; slot >= 0; --slot) {
        slots_[slot].data.reset();
        slots_[slot].size = 0;
        slots_[slot].captureTime = {};
    }
}

}  // namespace vistrel
