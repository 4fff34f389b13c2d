// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fake_notify_socket.h"
#include "service_notifier.h"

namespace vistrel::cli {
namespace {

using namespace std::chrono_literals;

bool Has(const std::string& message, const std::string& line) {
    return ("\n" + message + "\n").find("\n" + line + "\n") != std::string::npos;
}

class ServiceNotifierTest : public ::testing::Test {
protected:
    ServiceNotifierTest() {
        ::setenv("WATCHDOG_USEC", "20000", 1);  // a ping every 10 ms
        ::unsetenv("WATCHDOG_PID");
    }
    ~ServiceNotifierTest() override { ::unsetenv("WATCHDOG_USEC"); }

    // The clock the notifier judges health by; real time only drives its timer.
    ServiceNotifier::Clock Clock() {
        return [this] { return now_; };
    }
    // The next message sent after everything already queued.
    std::string NextAfterQueued() {
        socket_.Drain();
        return socket_.Next().value_or("(none)");
    }

    std::chrono::steady_clock::time_point now_{};
    test::FakeNotifySocket socket_;
};

TEST_F(ServiceNotifierTest, ReadyOncePingsWhileFramesFlowOrWhileWaitingOrRestingNoneWhenStalled) {
    ServiceNotifier notifier(QStringLiteral("#2"), Clock());
    ASSERT_TRUE(notifier.InService());
    EXPECT_EQ(notifier.PingInterval(), std::chrono::microseconds(10'000));

    notifier.Ready();
    const std::string first = socket_.Next().value_or("(none)");
    EXPECT_TRUE(Has(first, "READY=1")) << first;
    EXPECT_TRUE(Has(first, "STATUS=Camera #2: 0 frames taken, 0 files written, 0 stalls")) << first;
    notifier.Ready();

    // Frames flow: every tick pings, and none of them says READY again.
    for (int i = 1; i <= 3; ++i) {
        now_ += 5ms;
        notifier.FrameArrived(i, i - 1);
        const std::string tick = NextAfterQueued();
        EXPECT_TRUE(Has(tick, "WATCHDOG=1")) << tick;
        EXPECT_FALSE(Has(tick, "READY=1")) << tick;
        EXPECT_NE(tick.find(std::to_string(i) + " frames taken, " + std::to_string(i - 1) +
                            " files written"),
                  std::string::npos)
            << tick;
    }

    // The capture stops delivering without an error: the pings stop after one
    // ping interval, not a whole watchdog interval.
    now_ += 11ms;
    for (int i = 0; i < 3; ++i) {
        const std::string tick = NextAfterQueued();
        EXPECT_FALSE(Has(tick, "WATCHDOG=1")) << tick;
    }

    // Knowingly without frames (a lost camera, a stall being recovered) is
    // healthy however long.
    notifier.SetStalls(1);
    notifier.SetWaiting(true);
    now_ += 1h;
    std::string tick = NextAfterQueued();
    EXPECT_TRUE(Has(tick, "WATCHDOG=1")) << tick;
    EXPECT_TRUE(Has(
        tick, "STATUS=Camera #2: 3 frames taken, 2 files written, 1 stall, waiting for the camera"))
        << tick;

    // After the wait the camera has one ping interval to deliver again.
    notifier.SetWaiting(false);
    tick = NextAfterQueued();
    EXPECT_TRUE(Has(tick, "WATCHDOG=1")) << tick;
    now_ += 11ms;
    tick = NextAfterQueued();
    EXPECT_FALSE(Has(tick, "WATCHDOG=1")) << tick;

    // Resting outside the active time is knowingly idle too, and says so.
    notifier.SetResting(QStringLiteral("Resting until 06:12"));
    now_ += 1h;
    tick = NextAfterQueued();
    EXPECT_TRUE(Has(tick, "WATCHDOG=1")) << tick;
    EXPECT_TRUE(Has(tick,
                    "STATUS=Camera #2: 3 frames taken, 2 files written, 1 stall, resting until "
                    "06:12"))
        << tick;
    notifier.SetResting(std::nullopt);
    now_ += 11ms;
    tick = NextAfterQueued();
    EXPECT_FALSE(Has(tick, "WATCHDOG=1")) << tick;
    EXPECT_EQ(tick.find("READY=1"), std::string::npos);
}

}  // namespace
}  // namespace vistrel::cli
