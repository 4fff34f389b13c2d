// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace vistrel {

// A value read from text, or why the text is not one.
template <typename T>
struct TParsed {
    std::optional<T> value;
    QString error;  // set when value is empty

    explicit operator bool() const { return value.has_value(); }
};

// Whether "0" is a duration: a warm-up of 0 is off, an interval of 0 is not an interval.
enum class ZeroDuration { Refused, MeansOff };

// The shortest and longest duration a time-lapse takes.
inline constexpr std::chrono::milliseconds kShortestDuration{100};
inline constexpr std::chrono::milliseconds kLongestDuration = std::chrono::hours(24);

// "500ms", "10s", "1.5s", "5min", "1h" or a bare number of seconds ("2", "0.5"); the unit
// in any case, a space before it allowed. Whole milliseconds from 100 ms to 24 h, or 0
// when zero means off.
TParsed<std::chrono::milliseconds> ParseDuration(const QString& text,
                                                 ZeroDuration zero = ZeroDuration::Refused);

// The short text ParseDuration reads back: "500 ms", "1.5 s", "10 s", "5 min", "90 min",
// "1 h": the largest unit that shows the value in whole numbers, else seconds with decimals
// (milliseconds below a second).
QString DurationText(std::chrono::milliseconds duration);

// A duration from the settings file (key names it for the log): a value that is not one is
// logged and reads as 0, off.
std::chrono::milliseconds DurationSetting(const QString& key, const QString& text,
                                          ZeroDuration zero = ZeroDuration::Refused);

}  // namespace vistrel
