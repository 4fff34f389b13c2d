#include <gtest/gtest.h>

#include <chrono>

#include "frontend/duration.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

TEST(Durations, TextRulesAndTheShortTextReadBack) {
    const std::pair<const char*, milliseconds> good[] = {
        {"500ms", 500ms},     {"10s", 10s},
        {"5min", 5min},       {"1h", 1h},
        {"1.5s", 1500ms},     {"2", 2s},
        {"0.1", 100ms},       {" 24h ", 24h},
        {"10 S", 10s},        {"1.25min", 75s},
        {"0.5h", 30min},      {"100ms", 100ms},
        {"2.000s", 2s},       {"00000000000010s", 10s},
        {"0.000250h", 900ms},
    };
    for (const auto& [text, want] : good) {
        const TParsed<milliseconds> parsed = ParseDuration(text);
        ASSERT_TRUE(parsed) << text << ": " << parsed.error.toStdString();
        EXPECT_EQ(*parsed.value, want) << text;
        EXPECT_EQ(ParseDuration(DurationText(want)).value, want)
            << DurationText(want).toStdString();
    }
    EXPECT_EQ(DurationText(1500ms), "1.5 s");
    EXPECT_EQ(DurationText(90min), "90 min");
    EXPECT_EQ(DurationText(500ms), "500 ms");
    for (const char* bad :
         {"", "s", "10sec", "-1s", "1e3", ".5s", "1.s", "99ms", "24.001h", "0", "0.0001s", "1,5s",
          "10 s s", "99999999999999999999h", "0.000000001h", "999999999.999999999h"}) {
        const TParsed<milliseconds> parsed = ParseDuration(bad);
        EXPECT_FALSE(parsed) << bad;
        EXPECT_FALSE(parsed.error.isEmpty()) << bad;
    }
    EXPECT_EQ(ParseDuration("0", ZeroDuration::MeansOff).value, 0ms);
    EXPECT_EQ(ParseDuration("0s", ZeroDuration::MeansOff).value, 0ms);
}

}  // namespace
}  // namespace vistrel
