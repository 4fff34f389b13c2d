// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace vistrel {

// A 32-bit result in the component-model convention the rest of Vistrel
// tests against: negative = failure, 0 = success, 1 = success with "false",
// other non-negative values success.
using TStatus = std::int32_t;

inline constexpr TStatus kStatusOk = 0;
inline constexpr TStatus kStatusFalse = 1;
// The one failure code the capture layer makes itself.
inline constexpr TStatus kStatusFail = static_cast<TStatus>(0x80004005u);

// A failed system call: 0x80070000 | errno, the same shape as the Win32
// error mapping, so an errno survives the trip up to the front ends.
constexpr TStatus StatusFromErrno(int errorNumber) {
    return static_cast<TStatus>(0x80070000u | (static_cast<std::uint32_t>(errorNumber) & 0xFFFFu));
}

constexpr bool Succeeded(TStatus status) {
    return status >= 0;
}
constexpr bool Failed(TStatus status) {
    return status < 0;
}

// The errno inside a StatusFromErrno code, else 0.
constexpr int ErrnoOfStatus(TStatus status) {
    const auto bits = static_cast<std::uint32_t>(status);
    return (bits & 0xFFFF0000u) == 0x80070000u ? static_cast<int>(bits & 0xFFFFu) : 0;
}

}  // namespace vistrel
