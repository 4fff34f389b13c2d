// SPDX-License-Identifier: MIT
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTimeZone>

#include <optional>
#include <vector>

#include "frontend/duration.h"

namespace vistrel {

// Times of day at which a time-lapse writes: "06:00-22:00" or several ranges joined by
// commas, "HH:MM-HH:MM,HH:MM-HH:MM". A range starts at its first time and ends before its
// second; one whose end comes before its start wraps past midnight ("22:00-06:00"), and
// "24:00" ends a range at midnight. The times are the local clock's, in the given zone.
class TActiveHours {
public:
    static TParsed<TActiveHours> Parse(const QString& text);

    bool IsActive(const QDateTime& time, const QTimeZone& zone) const;
    // The first moment at or after time that is active.
    QDateTime NextActive(const QDateTime& time, const QTimeZone& zone) const;
    // "06:00-22:00,23:00-01:00".
    QString Text() const;

private:
    struct TRange {
        int begin;  // minutes after midnight, 0..1439
        int end;    // 1..1440, before begin when the range wraps
    };
    bool IsActiveAt(int msecsOfDay) const;

    std::vector<TRange> ranges_;
};

// When the sun is up on one date at one place, by the NOAA solar-position method: sunrise
// and sunset are the moments the centre of the sun is 0.833 degrees below the horizon.
struct TSunTimes {
    enum class Kind { RiseAndSet, PolarDay, PolarNight };
    Kind kind = Kind::PolarNight;
    QDateTime rise;  // in UTC, for RiseAndSet only
    QDateTime set;
};
// The date is the calendar date at the place (by its mean solar time); latitude north and
// longitude east in degrees.
TSunTimes SunTimesOn(QDate date, double latitude, double longitude);

// Daylight at a place, "LAT,LON[,MINUTES]" (degrees north and east, decimals allowed):
// from sunrise to sunset, widened by MINUTES at both ends (narrowed when negative). A day
// the sun does not set is active all day, one it does not rise not at all.
class TDaylight {
public:
    static TParsed<TDaylight> Parse(const QString& text);

    bool IsActive(const QDateTime& time) const;
    // The first moment at or after time that is active; none within a year (the pole in
    // its winter) gives an invalid QDateTime.
    QDateTime NextActive(const QDateTime& time) const;
    QString Text() const;

    double Latitude() const { return latitude_; }
    double Longitude() const { return longitude_; }
    int Minutes() const { return minutes_; }

private:
    struct TSpan {
        qint64 begin;  // milliseconds since the epoch
        qint64 end;
    };
    // The local mean solar date at the place at this moment.
    QDate SolarDate(qint64 ms) const;
    // The active span of one solar date, nullopt on a polar night or when narrowed away.
    std::optional<TSpan> SpanOn(QDate date) const;

    double latitude_ = 0;
    double longitude_ = 0;
    int minutes_ = 0;
};

// The hours and the daylight together: a frame must be within both that are set; with
// neither set every moment is active.
class TActiveTime {
public:
    TActiveTime() = default;
    TActiveTime(std::optional<TActiveHours> hours, std::optional<TDaylight> daylightRule,
                QTimeZone zone = QTimeZone::systemTimeZone());

    bool IsAlways() const { return !hours_ && !daylight_; }
    bool IsActive(const QDateTime& time) const;
    // The first moment at or after time that is active ("Resting until 06:12"); invalid
    // when there is none within a year.
    QDateTime NextActive(const QDateTime& time) const;

    const std::optional<TActiveHours>& Hours() const { return hours_; }
    const std::optional<TDaylight>& Daylight() const { return daylight_; }

private:
    std::optional<TActiveHours> hours_;
    std::optional<TDaylight> daylight_;
    QTimeZone zone_ = QTimeZone::systemTimeZone();
};

// The settings file's Hours and Daylight (key names it for the log): empty is unset, and a
// value that is not one is logged and ignored, so that it restricts nothing.
std::optional<TActiveHours> HoursSetting(const QString& key, const QString& text);
std::optional<TDaylight> DaylightSetting(const QString& key, const QString& text);

// "Resting until 06:12" in local time, with the date in front when the moment is more than
// a day after now ("Resting until 2026-12-24 06:12"); "Resting" when there is none.
QString RestingText(const QDateTime& until, const QDateTime& now);

}  // namespace vistrel
