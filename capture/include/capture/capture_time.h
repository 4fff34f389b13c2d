// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>

struct timeval;

namespace vistrel {

// When a frame was captured, as wall-clock time. The epoch (a zero count)
// stands for "not known".
using TCaptureTime = std::chrono::system_clock::time_point;

// The wall-clock time of a driver's buffer timestamp. A monotonic timestamp
// (V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC) is moved onto the realtime clock by the
// offset between the two clocks at delivery (monotonicNow, realtimeNow).
// A timestamp of zero, of another clock (unknown or copied from the
// application), or implausibly far from monotonicNow (more than
// kMaxTimestampAge before it or kMaxTimestampLead after it) is not usable:
// the delivery time realtimeNow stands in for it.
inline constexpr std::chrono::seconds kMaxTimestampAge{10};
inline constexpr std::chrono::seconds kMaxTimestampLead{1};
TCaptureTime CaptureTimeOf(const timeval& timestamp, std::uint32_t flags,
                           std::chrono::nanoseconds monotonicNow, TCaptureTime realtimeNow);
// The same with both clocks read now.
TCaptureTime CaptureTimeOf(const timeval& timestamp, std::uint32_t flags);

}  // namespace vistrel
