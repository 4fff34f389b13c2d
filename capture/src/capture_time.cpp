// SPDX-License-Identifier: MIT
#include "capture/capture_time.h"

#include <linux/videodev2.h>
#include <sys/time.h>
#include <time.h>

namespace vistrel {

namespace {

std::chrono::nanoseconds MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

TCaptureTime CaptureTimeOf(const timeval& timestamp, std::uint32_t flags,
                           std::chrono::nanoseconds monotonicNow, TCaptureTime realtimeNow) {
    const bool monotonic =
        (flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (!monotonic || (timestamp.tv_sec == 0 && timestamp.tv_usec == 0)) {
        return realtimeNow;
    }
    const auto taken =
        std::chrono::seconds(timestamp.tv_sec) + std::chrono::microseconds(timestamp.tv_usec);
    const auto age = monotonicNow - taken;
    if (age > kMaxTimestampAge || age < -kMaxTimestampLead) {
        return realtimeNow;
    }
    return realtimeNow - std::chrono::duration_cast<TCaptureTime::duration>(age);
}

TCaptureTime CaptureTimeOf(const timeval& timestamp, std::uint32_t flags) {
    // Read back to back, so that the offset between the clocks is that of
    // this moment.
    const std::chrono::nanoseconds monotonicNow = MonotonicNow();
    const TCaptureTime realtimeNow = std::chrono::system_clock::now();
    return CaptureTimeOf(timestamp, flags, monotonicNow, realtimeNow);
}

}  // namespace vistrel
