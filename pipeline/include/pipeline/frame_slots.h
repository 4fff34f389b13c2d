// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "capture/capture_time.h"

namespace vistrel {

// Three frame buffers that one writer thread (the capture thread) and one
// reader thread (the GUI thread) share without a lock.
//
// The writer copies each frame into a slot that is neither the newest nor
// claimed, then names it the newest. The reader claims the newest slot for
// as long as it reads it; the writer never writes a claimed slot nor the
// newest one, so a frame is never rewritten or freed while it is read. A
// Converted flag tells the reader whether it has already converted the
// newest frame; every new frame clears it.
//
// Every change of the shared state is an atomic read-modify-write with
// acquire-release order, which carries a slot's contents from the writer to
// the reader and the end of a read back to the next writer.
class TFrameSlots {
public:
    static constexpr int kSlotCount = 3;

    TFrameSlots() = default;
    TFrameSlots(const TFrameSlots&) = delete;
    TFrameSlots& operator=(const TFrameSlots&) = delete;

    // Writer: copies length bytes (length >= 0; data may be null only for 0)
    // and their capture time into a free slot, then names it the newest and
    // clears Converted in one step. false when the reader holds both other
    // slots; the frame is dropped then. Throws std::bad_alloc when the slot
    // cannot take the frame; nothing is published then.
    bool Write(const std::uint8_t* data, std::int32_t length, TCaptureTime captureTime);

    // Reader: holds the newest slot while it lives. Claims nest: a slot
    // claimed twice is free again after both claims have ended.
    class Claim {
    public:
        explicit Claim(TFrameSlots& owner) : slots_(owner), slot_(owner.ClaimNewest()) {}
        ~Claim() { slots_.ReleaseClaim(slot_); }
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

        int Slot() const { return slot_; }
        const std::uint8_t* Data() const { return slots_.SlotData(slot_); }
        std::int32_t Size() const { return slots_.SlotSize(slot_); }
        TCaptureTime CaptureTime() const { return slots_.SlotCaptureTime(slot_); }

    private:
        TFrameSlots& slots_;
        int slot_;
    };

    // The newest slot (0 before any frame).
    int CurrentSlot() const;
    bool Converted() const;
    // Reader: the newest frame is to be converted again.
    void ClearConverted();
    // Reader: the conversion of slot's frame has ended. Sets Converted only
    // while slot is still the newest: a frame that arrived meanwhile must be
    // converted in its turn.
    void MarkConverted(int slot);

    // A slot's frame, for the reader while it holds a claim on it, or for
    // anyone while no frame can arrive.
    std::int32_t SlotSize(int slot) const { return slots_.at(slot).size; }
    const std::uint8_t* SlotData(int slot) const { return slots_.at(slot).data.get(); }
    TCaptureTime SlotCaptureTime(int slot) const { return slots_.at(slot).captureTime; }

    // An acquire load of the shared state: orders what the writer did before
    // its last publication before what follows, for code that learns of the
    // publication another way (a queued message) the race detector cannot see.
    void Acquire() const { state_.load(std::memory_order_acquire); }

    // Frees the buffers (slot 2 first), leaving every slot empty. No writer
    // may run and no claim be held.
    void Release();

private:
    struct Slot {
        std::unique_ptr<std::uint8_t[]> data;
        std::int32_t size = 0;
        TCaptureTime captureTime{};
    };

    int ClaimNewest();
    void ReleaseClaim(int slot);
    void Fill(Slot& slot, const std::uint8_t* data, std::int32_t length);

    std::array<Slot, kSlotCount> slots_;
    // Bits 0-1 the newest slot, bits 2-4 the slots the reader has claimed,
    // bit 5 Converted.
    std::atomic<std::uint32_t> state_{0};
    std::array<int, kSlotCount> claimCount_{};  // reader only: nested claims per slot
};

}  // namespace vistrel
