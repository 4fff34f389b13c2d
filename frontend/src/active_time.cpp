// SPDX-License-Identifier: MIT
#include "frontend/active_time.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <utility>

#include "logging.h"

namespace vistrel {

namespace {

constexpr qint64 kMinuteMs = 60'000;
constexpr qint64 kDayMs = 24 * 60 * kMinuteMs;
// How far ahead a next active moment is looked for: a polar night lasts half a year.
constexpr int kSearchDays = 400;

QString ClockText(int minutes) {
    return QStringLiteral("%1:%2")
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

qint64 UtcMidnightMs(QDate date) {
    return QDateTime(date, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
}

// The moment as a date-time in the same zone as another one.
QDateTime LikeTime(const QDateTime& model, qint64 ms) {
    return model.addMSecs(ms - model.toMSecsSinceEpoch());
}

}  // namespace

TParsed<TActiveHours> TActiveHours::Parse(const QString& text) {
    static const QRegularExpression range(
        QStringLiteral("^([0-9]{1,2}):([0-9]{2})-([0-9]{1,2}):([0-9]{2})$"));
    const QString example = QStringLiteral(
        "give HH:MM-HH:MM ranges joined by commas, such as "
        "06:00-22:00 or 22:00-02:00,05:00-07:00");
    TActiveHours hours;
    for (const QString& part : text.split(u',')) {
        const QString item = part.trimmed().remove(u' ');
        const QRegularExpressionMatch match = range.match(item);
        if (!match.hasMatch()) {
            return {std::nullopt,
                    QStringLiteral("\"%1\" is not a time range: %2").arg(part.trimmed(), example)};
        }
        const int beginHour = match.captured(1).toInt();
        const int beginMinute = match.captured(2).toInt();
        const int endHour = match.captured(3).toInt();
        const int endMinute = match.captured(4).toInt();
        const bool endIsMidnight = endHour == 24 && endMinute == 0;
        if (beginHour > 23 || beginMinute > 59 || (endHour > 23 && !endIsMidnight) ||
            endMinute > 59) {
            return {std::nullopt,
                    QStringLiteral("\"%1\" has a time outside 00:00 to 24:00").arg(item)};
        }
        const TRange hoursRange{beginHour * 60 + beginMinute, endHour * 60 + endMinute};
        if (hoursRange.begin == hoursRange.end) {
            return {
                std::nullopt,
                QStringLiteral("\"%1\" ends where it starts; 00:00-24:00 is all day").arg(item)};
        }
        hours.ranges_.push_back(hoursRange);
    }
    return {std::move(hours), {}};
}

bool TActiveHours::IsActiveAt(int msecsOfDay) const {
    return std::any_of(ranges_.begin(), ranges_.end(), [msecsOfDay](const TRange& range) {
        const qint64 begin = range.begin * kMinuteMs;
        const qint64 end = range.end * kMinuteMs;
        return begin < end ? (msecsOfDay >= begin && msecsOfDay < end)
                           : (msecsOfDay >= begin || msecsOfDay < end);
    });
}

bool TActiveHours::IsActive(const QDateTime& time, const QTimeZone& zone) const {
    return IsActiveAt(time.toTimeZone(zone).time().msecsSinceStartOfDay());
}

QDateTime TActiveHours::NextActive(const QDateTime& time, const QTimeZone& zone) const {
    if (IsActive(time, zone)) {
        return time;
    }
    // Activity begins where the local clock reaches a range's start, under either offset
    // of a day that changes it, or where the clock jumps into a range (summer time).
    const qint64 now = time.toMSecsSinceEpoch();
    std::vector<qint64> candidates;
    const QDate today = time.toTimeZone(zone).date();
    for (QDate date = today.addDays(-1); date <= today.addDays(2); date = date.addDays(1)) {
        for (const QDateTime& edge : {date.startOfDay(zone), date.endOfDay(zone)}) {
            const qint64 offsetMs = zone.offsetFromUtc(edge) * qint64{1000};
            for (const TRange& range : ranges_) {
                candidates.push_back(UtcMidnightMs(date) + range.begin * kMinuteMs - offsetMs);
            }
        }
    }
    for (const QTimeZone::OffsetData& change : zone.transitions(time, time.addDays(3))) {
        candidates.push_back(change.atUtc.toMSecsSinceEpoch());
    }
    std::optional<qint64> first;
    for (const qint64 candidate : candidates) {
        if (candidate > now && (!first || candidate < *first) &&
            IsActive(QDateTime::fromMSecsSinceEpoch(candidate, zone), zone)) {
            first = candidate;
        }
    }
    return first ? LikeTime(time, *first) : QDateTime();
}

QString TActiveHours::Text() const {
    QStringList parts;
    for (const TRange& range : ranges_) {
        parts << ClockText(range.begin) + u'-' + ClockText(range.end);
    }
    return parts.join(u',');
}

TParsed<TDaylight> TDaylight::Parse(const QString& text) {
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]+)?$"));
    static const QRegularExpression whole(QStringLiteral("^[+-]?[0-9]{1,4}$"));
    const QStringList parts = QString(text).remove(u' ').split(u',');
    const bool shaped = (parts.size() == 2 || parts.size() == 3) &&
                        number.match(parts[0]).hasMatch() && number.match(parts[1]).hasMatch() &&
                        (parts.size() == 2 || whole.match(parts[2]).hasMatch());
    if (!shaped) {
        return {std::nullopt, QStringLiteral("\"%1\" is not a place: give LAT,LON[,MINUTES] "
                                             "in degrees north and east, such as 52.52,13.40 "
                                             "or -33.87,151.21,30")
                                  .arg(text.trimmed())};
    }
    TDaylight rule;
    rule.latitude_ = parts[0].toDouble();
    rule.longitude_ = parts[1].toDouble();
    rule.minutes_ = parts.size() == 3 ? parts[2].toInt() : 0;
    if (std::abs(rule.latitude_) > 90) {
        return {std::nullopt, QStringLiteral("latitude %1 is not from -90 to 90").arg(parts[0])};
    }
    if (std::abs(rule.longitude_) > 180) {
        return {std::nullopt, QStringLiteral("longitude %1 is not from -180 to 180").arg(parts[1])};
    }
    if (std::abs(rule.minutes_) > 720) {
        return {std::nullopt, QStringLiteral("%1 minutes is not from -720 to 720").arg(parts[2])};
    }
    return {rule, {}};
}

QDate TDaylight::SolarDate(qint64 ms) const {
    const qint64 solarMs = ms + std::llround(longitude_ * 4 * kMinuteMs);  // 4 min a degree
    return QDateTime::fromMSecsSinceEpoch(solarMs, Qt::UTC).date();
}

std::optional<TDaylight::TSpan> TDaylight::SpanOn(QDate date) const {
    const TSunTimes sun = SunTimesOn(date, latitude_, longitude_);
    switch (sun.kind) {
        case TSunTimes::Kind::PolarNight:
            return std::nullopt;
        case TSunTimes::Kind::PolarDay: {
            // The whole mean solar day, so that days of midnight sun join without a seam.
            const qint64 begin = UtcMidnightMs(date) - std::llround(longitude_ * 4 * kMinuteMs);
            return TSpan{begin, begin + kDayMs};
        }
        case TSunTimes::Kind::RiseAndSet:
            break;
    }
    const qint64 widen = minutes_ * kMinuteMs;
    const TSpan span{sun.rise.toMSecsSinceEpoch() - widen, sun.set.toMSecsSinceEpoch() + widen};
    if (span.begin >= span.end) {
        return std::nullopt;
    }
    return span;
}

bool TDaylight::IsActive(const QDateTime& time) const {
    // A widened span can reach into the solar days either side.
    const qint64 ms = time.toMSecsSinceEpoch();
    const QDate date = SolarDate(ms);
    for (int day = -1; day <= 1; ++day) {
        const std::optional<TSpan> span = SpanOn(date.addDays(day));
        if (span && ms >= span->begin && ms < span->end) {
            return true;
        }
    }
    return false;
}

QDateTime TDaylight::NextActive(const QDateTime& time) const {
    if (IsActive(time)) {
        return time;
    }
    const qint64 ms = time.toMSecsSinceEpoch();
    const QDate date = SolarDate(ms);
    // Spans begin about a day apart, so the day after the first one found ends the search.
    std::optional<qint64> first;
    int firstDay = kSearchDays;
    for (int day = -1; day <= std::min(kSearchDays, firstDay + 1); ++day) {
        const std::optional<TSpan> span = SpanOn(date.addDays(day));
        if (span && span->begin > ms && (!first || span->begin < *first)) {
            first = span->begin;
            firstDay = std::min(firstDay, day);
        }
    }
    return first ? LikeTime(time, *first) : QDateTime();
}

QString TDaylight::Text() const {
    QString text =
        QString::number(latitude_, 'g', 10) + u',' + QString::number(longitude_, 'g', 10);
    if (minutes_ != 0) {
        text += u',' + QString::number(minutes_);
    }
    return text;
}

TActiveTime::TActiveTime(std::optional<TActiveHours> hours, std::optional<TDaylight> daylightRule,
                         QTimeZone zone)
    : hours_(std::move(hours)), daylight_(std::move(daylightRule)), zone_(std::move(zone)) {}

bool TActiveTime::IsActive(const QDateTime& time) const {
    return (!hours_ || hours_->IsActive(time, zone_)) && (!daylight_ || daylight_->IsActive(time));
}

QDateTime TActiveTime::NextActive(const QDateTime& time) const {
    // Moves to the next start of whichever is not active until both are.
    const QDateTime horizon = time.addDays(kSearchDays);
    QDateTime candidate = time;
    while (candidate.isValid() && candidate <= horizon) {
        const QDateTime byHours = hours_ ? hours_->NextActive(candidate, zone_) : candidate;
        const QDateTime byDaylight = daylight_ ? daylight_->NextActive(candidate) : candidate;
        if (!byHours.isValid() || !byDaylight.isValid()) {
            return {};
        }
        if (byHours == byDaylight) {
            return byHours;
        }
        candidate = std::max(byHours, byDaylight);
    }
    return {};
}

namespace {

template <typename T>
std::optional<T> ActiveSetting(const QString& key, const QString& text) {
    if (text.trimmed().isEmpty()) {
        return std::nullopt;
    }
    TParsed<T> parsed = T::Parse(text);
    if (!parsed) {
        qCWarning(lcFrontend, "setting %s=%s ignored: %s", qUtf8Printable(key),
                  qUtf8Printable(text), qUtf8Printable(parsed.error));
    }
    return std::move(parsed.value);
}

}  // namespace

std::optional<TActiveHours> HoursSetting(const QString& key, const QString& text) {
    return ActiveSetting<TActiveHours>(key, text);
}

std::optional<TDaylight> DaylightSetting(const QString& key, const QString& text) {
    return ActiveSetting<TDaylight>(key, text);
}

QString RestingText(const QDateTime& until, const QDateTime& now) {
    if (!until.isValid()) {
        return QStringLiteral("Resting");
    }
    const QDateTime local = until.toLocalTime();
    const bool withinADay = until.toMSecsSinceEpoch() - now.toMSecsSinceEpoch() <= kDayMs;
    return QStringLiteral("Resting until ") +
           local.toString(withinADay ? QStringLiteral("HH:mm")
                                     : QStringLiteral("yyyy-MM-dd HH:mm"));
}

}  // namespace vistrel
