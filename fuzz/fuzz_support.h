// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// The entry point every fuzz target defines; libFuzzer calls it, and so does
// the replay program of the normal build.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace vistrel::fuzz {

// Makes the one QGuiApplication (offscreen platform) that pictures and text
// need, on the first call; later calls do nothing.
void EnsureApplication();

// A failed property of a target: reported like a crash, so the input is kept.
[[noreturn]] void Fail(const char* what);

// Reads a target's input field by field; past the end it gives zeros.
class TInput {
public:
    TInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Low byte first; two statements, for an order every compiler keeps.
    std::uint16_t Word() {
        const std::uint8_t low = Byte();
        return static_cast<std::uint16_t>(low | Byte() << 8);
    }
    const std::uint8_t* Rest() const { return data_ + at_; }
    std::size_t RestSize() const { return size_ - at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace vistrel::fuzz
