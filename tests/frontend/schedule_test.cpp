// SPDX-License-Identifier: MIT
#include <QTimeZone>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "frontend/active_time.h"
#include "frontend/duration.h"
#include "frontend/frame_gate.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

const QTimeZone kBerlin("Europe/Berlin");

QDateTime Berlin(int year, int month, int day, int hour, int minute, int second = 0, int msec = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, msec), kBerlin);
}

// The local clock times ("HH:mm:ss.zzz") of the frames a gate writes, of frames captured
// every step from first to last (both included).
QStringList Written(TIntervalGate& gate, const QDateTime& first, const QDateTime& last,
                    milliseconds step) {
    QStringList written;
    for (QDateTime t = first; t <= last; t = t.addMSecs(step.count())) {
        if (gate.Admit(t)) {
            written << t.toTimeZone(kBerlin).toString(QStringLiteral("HH:mm:ss.zzz"));
        }
    }
    return written;
}

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

TEST(IntervalGate, FirstFrameOfEachPeriodFromLocalMidnight) {
    // 10 frames a second: the first at or after each 2-second boundary.
    TIntervalGate fast(2s, kBerlin);
    EXPECT_FALSE(fast.NextBoundary());
    EXPECT_EQ(
        Written(fast, Berlin(2026, 5, 4, 12, 0, 0, 950), Berlin(2026, 5, 4, 12, 0, 6, 950), 100ms),
        QStringList({"12:00:00.950", "12:00:02.050", "12:00:04.050", "12:00:06.050"}));
    EXPECT_EQ(fast.NextBoundary(), Berlin(2026, 5, 4, 12, 0, 8));

    // A slow camera that also pauses: a period without a frame is skipped, not caught up.
    TIntervalGate slow(2s, kBerlin);
    std::vector<bool> admitted;
    for (const int msec : {500, 3700, 4100, 4500, 9900}) {
        admitted.push_back(slow.Admit(Berlin(2026, 5, 4, 12, 0, 0).addMSecs(msec)));
    }
    EXPECT_EQ(admitted, std::vector<bool>({true, true, true, false, true}));

    // A period that does not divide the day: midnight is a boundary all the same.
    TIntervalGate seven(7h, kBerlin);
    EXPECT_EQ(Written(seven, Berlin(2026, 5, 4, 20, 0), Berlin(2026, 5, 5, 8, 0), 10min),
              QStringList({"20:00:00.000", "21:00:00.000", "00:00:00.000", "07:00:00.000"}));
}

TEST(IntervalGate, ClockStepsGiveOneFrameAndNoLongGap) {
    // Forward an hour: the first frame after the step, then boundaries from the new time.
    TIntervalGate forward(10s, kBerlin);
    EXPECT_TRUE(forward.Admit(Berlin(2026, 5, 4, 12, 0, 0, 100)));
    EXPECT_FALSE(forward.Admit(Berlin(2026, 5, 4, 12, 0, 5)));
    EXPECT_EQ(Written(forward, Berlin(2026, 5, 4, 13, 0, 7), Berlin(2026, 5, 4, 13, 0, 30), 1s),
              QStringList({"13:00:07.000", "13:00:10.000", "13:00:20.000", "13:00:30.000"}));

    // Back an hour: without the step being seen nothing would be written for an hour.
    TIntervalGate back(10s, kBerlin);
    EXPECT_TRUE(back.Admit(Berlin(2026, 5, 4, 12, 0, 0, 100)));
    EXPECT_EQ(Written(back, Berlin(2026, 5, 4, 11, 0, 3), Berlin(2026, 5, 4, 11, 0, 25), 1s),
              QStringList({"11:00:03.000", "11:00:10.000", "11:00:20.000"}));

    // Back a little within the period: no extra picture.
    EXPECT_FALSE(back.Admit(Berlin(2026, 5, 4, 11, 0, 20, 500)));
    EXPECT_FALSE(back.Admit(Berlin(2026, 5, 4, 11, 0, 20, 200)));
}

TEST(IntervalGate, SummerTimeDaysKeepTheSpacing) {
    // 29 March 2026, 02:00 CET becomes 03:00 CEST: one hour apart all the same.
    TIntervalGate spring(1h, kBerlin);
    EXPECT_EQ(Written(spring, Berlin(2026, 3, 29, 0, 30), Berlin(2026, 3, 29, 5, 30), 1min),
              QStringList({"00:30:00.000", "01:00:00.000", "03:00:00.000", "04:00:00.000",
                           "05:00:00.000"}));
    // 25 October 2026, 03:00 CEST becomes 02:00 CET: the names of the hour come round again.
    TIntervalGate autumn(30min, kBerlin);
    EXPECT_EQ(Written(autumn, Berlin(2026, 10, 25, 1, 40), Berlin(2026, 10, 25, 3, 10), 10min),
              QStringList({"01:40:00.000", "02:00:00.000", "02:30:00.000", "02:00:00.000",
                           "02:30:00.000", "03:00:00.000"}));
}

TEST(FrameGate, WarmUpRestingAndIntervalInTurn) {
    TFrameGate gate(kBerlin);
    EXPECT_EQ(gate.Judge(Berlin(2026, 5, 4, 3, 0)), TFrameGate::Verdict::Write);  // the default

    gate.SetInterval(10s);
    gate.SetWarmUp(2s);
    gate.StartCapture(Berlin(2026, 5, 4, 12, 0, 0));
    const auto at = [](int msec) {
        return std::chrono::system_clock::time_point(
            milliseconds(Berlin(2026, 5, 4, 12, 0, 0).addMSecs(msec).toMSecsSinceEpoch()));
    };
    EXPECT_EQ(gate.Judge(at(500)), TFrameGate::Verdict::WarmingUp);
    EXPECT_EQ(gate.Judge(at(1999)), TFrameGate::Verdict::WarmingUp);
    // The first frame after the warm-up takes its period's place, not the dark one before.
    EXPECT_EQ(gate.Judge(at(2000)), TFrameGate::Verdict::Write);
    EXPECT_EQ(gate.Judge(at(3000)), TFrameGate::Verdict::Waiting);
    // A clock going back after the warm-up does not bring it back; a new start does.
    EXPECT_EQ(gate.Judge(at(-60'000)), TFrameGate::Verdict::Write);
    gate.StartCapture(at(20'000));
    EXPECT_EQ(gate.Judge(at(21'000)), TFrameGate::Verdict::WarmingUp);
    // A clock going back during the warm-up counts it from the new time.
    EXPECT_EQ(gate.Judge(at(-3'600'000)), TFrameGate::Verdict::WarmingUp);
    EXPECT_EQ(gate.Judge(at(-3'598'000)), TFrameGate::Verdict::Write);

    gate.SetActiveTime(TActiveTime(TActiveHours::Parse("13:00-14:00").value, {}, kBerlin));
    EXPECT_EQ(gate.Judge(at(60'000)), TFrameGate::Verdict::Resting);
    EXPECT_EQ(gate.Judge(Berlin(2026, 5, 4, 13, 0)), TFrameGate::Verdict::Write);
}

TEST(ActiveHours, RangesWrapAndTheNextStartFollowsTheLocalClock) {
    for (const char* bad : {"", "6-22", "06:00", "06:00-22:00,", "25:00-26:00", "06:60-07:00",
                            "06:00-24:01", "24:00-06:00", "07:00-07:00", "06:00-22:00;x"}) {
        const TParsed<TActiveHours> parsed = TActiveHours::Parse(bad);
        EXPECT_FALSE(parsed) << bad;
        EXPECT_FALSE(parsed.error.isEmpty()) << bad;
    }
    const TActiveHours hours = *TActiveHours::Parse(" 22:30-02:00, 6:00-7:00 ").value;
    EXPECT_EQ(hours.Text(), "22:30-02:00,06:00-07:00");
    const std::pair<QDateTime, bool> times[] = {
        {Berlin(2026, 5, 4, 22, 29, 59, 999), false},
        {Berlin(2026, 5, 4, 22, 30), true},
        {Berlin(2026, 5, 5, 1, 59, 59), true},
        {Berlin(2026, 5, 5, 2, 0), false},
        {Berlin(2026, 5, 5, 6, 0), true},
        {Berlin(2026, 5, 5, 7, 0), false},
    };
    for (const auto& [time, active] : times) {
        EXPECT_EQ(hours.IsActive(time, kBerlin), active) << time.toString().toStdString();
        // The same moment given in another zone is judged by the Berlin clock.
        EXPECT_EQ(hours.IsActive(time.toUTC(), kBerlin), active);
    }
    EXPECT_EQ(hours.NextActive(Berlin(2026, 5, 5, 3, 0), kBerlin), Berlin(2026, 5, 5, 6, 0));
    EXPECT_EQ(hours.NextActive(Berlin(2026, 5, 5, 12, 0), kBerlin), Berlin(2026, 5, 5, 22, 30));
    EXPECT_EQ(hours.NextActive(Berlin(2026, 5, 5, 23, 0), kBerlin), Berlin(2026, 5, 5, 23, 0));
    const TParsed<TActiveHours> allDay = TActiveHours::Parse("00:00-24:00");
    ASSERT_TRUE(allDay);
    EXPECT_TRUE(allDay.value->IsActive(Berlin(2026, 5, 5, 0, 0), kBerlin));
    EXPECT_TRUE(allDay.value->IsActive(Berlin(2026, 5, 5, 23, 59, 59, 999), kBerlin));

    // A start the spring-forward skips begins where the clock jumps past it; one the
    // autumn repeats begins at its first pass.
    const TActiveHours night = *TActiveHours::Parse("02:30-04:00").value;
    const QDateTime jump = night.NextActive(Berlin(2026, 3, 29, 1, 0), kBerlin);
    EXPECT_EQ(jump, QDateTime(QDate(2026, 3, 29), QTime(1, 0), Qt::UTC));
    EXPECT_EQ(jump.toTimeZone(kBerlin).time(), QTime(3, 0));
    EXPECT_EQ(night.NextActive(Berlin(2026, 10, 25, 1, 0), kBerlin),
              QDateTime(QDate(2026, 10, 25), QTime(0, 30), Qt::UTC));
}

// Published sunrise and sunset times, to the minute, in the place's clock time.
struct TPublished {
    const char* where;
    double latitude, longitude;
    QDate date;
    int utcOffsetMinutes;
    QTime rise, set;  // null when not published
};

TEST(SunTimes, AgreeWithPublishedTablesWithinTwoMinutes) {
    const TPublished tables[] = {
        // US Naval Observatory, Washington DC (W77.0, N38.9), EST.
        {"Washington", 38.9, -77.0, QDate(2002, 3, 20), -300, QTime(6, 12), QTime(18, 21)},
        // US Naval Observatory, Tromsø (E19.0, N69.5), UT + 1 h.
        {"Tromso", 69.5, 19.0, QDate(2014, 4, 1), 60, QTime(4, 50), QTime(18, 49)},
        {"Tromso", 69.5, 19.0, QDate(2014, 4, 30), 60, QTime(2, 29), QTime(20, 58)},
        {"Tromso", 69.5, 19.0, QDate(2014, 5, 17), 60, QTime(0, 29), QTime(23, 6)},
        // Sydney Observatory's sky guide, Sydney, AEDT: earliest sunrise, latest sunset.
        {"Sydney", -33.86, 151.20, QDate(2008, 12, 5), 660, QTime(5, 37), QTime()},
        {"Sydney", -33.86, 151.20, QDate(2009, 1, 7), 660, QTime(), QTime(20, 10)},
    };
    for (const TPublished& table : tables) {
        const TSunTimes sun = SunTimesOn(table.date, table.latitude, table.longitude);
        ASSERT_EQ(sun.kind, TSunTimes::Kind::RiseAndSet) << table.where;
        const auto local = [&](QTime time) {
            return QDateTime(table.date, time, Qt::OffsetFromUTC, table.utcOffsetMinutes * 60);
        };
        if (table.rise.isValid()) {
            EXPECT_LE(std::abs(sun.rise.secsTo(local(table.rise))), 120)
                << table.where << " rise " << sun.rise.toString().toStdString();
        }
        if (table.set.isValid()) {
            EXPECT_LE(std::abs(sun.set.secsTo(local(table.set))), 120)
                << table.where << " set " << sun.set.toString().toStdString();
        }
    }
    // Tromsø has the midnight sun from late May to late July and no sun from late
    // November to mid-January; the south pole has its day in December.
    EXPECT_EQ(SunTimesOn(QDate(2014, 6, 21), 69.65, 18.96).kind, TSunTimes::Kind::PolarDay);
    EXPECT_EQ(SunTimesOn(QDate(2014, 12, 21), 69.65, 18.96).kind, TSunTimes::Kind::PolarNight);
    EXPECT_EQ(SunTimesOn(QDate(2014, 12, 21), -90, 0).kind, TSunTimes::Kind::PolarDay);
    EXPECT_EQ(SunTimesOn(QDate(2014, 6, 21), 90, 0).kind, TSunTimes::Kind::PolarDay);
}

TEST(Daylight, PlacesWideningPolarDaysAndTheHoursTogether) {
    for (const char* bad : {"", "52.5", "52.5,13.4,", "91,0", "0,181", "52.5,13.4,721",
                            "52.5,13.4,1.5", "north,east", "nan,0", "1e1,0", "52.5,13.4,0,0"}) {
        const TParsed<TDaylight> parsed = TDaylight::Parse(bad);
        EXPECT_FALSE(parsed) << bad;
        EXPECT_FALSE(parsed.error.isEmpty()) << bad;
    }
    const TDaylight berlin = *TDaylight::Parse("52.52, 13.405").value;
    const TDaylight wider = *TDaylight::Parse("52.52,13.405,30").value;
    const TDaylight narrower = *TDaylight::Parse("52.52,13.405,-30").value;
    EXPECT_EQ(wider.Text(), "52.52,13.405,30");
    const TSunTimes june = SunTimesOn(QDate(2026, 6, 21), 52.52, 13.405);
    const QDateTime rise = june.rise.toTimeZone(kBerlin);
    const QDateTime set = june.set.toTimeZone(kBerlin);
    EXPECT_TRUE(berlin.IsActive(rise));
    EXPECT_FALSE(berlin.IsActive(rise.addSecs(-1)));
    EXPECT_FALSE(berlin.IsActive(set));
    EXPECT_TRUE(wider.IsActive(set.addSecs(29 * 60)));
    EXPECT_TRUE(narrower.IsActive(set.addSecs(-31 * 60)));
    EXPECT_FALSE(narrower.IsActive(set.addSecs(-29 * 60)));
    EXPECT_EQ(berlin.NextActive(set), SunTimesOn(QDate(2026, 6, 22), 52.52, 13.405).rise);

    // Tromsø: the midnight sun is active at midnight; the polar night is over in January.
    const TDaylight tromso = *TDaylight::Parse("69.65,18.96").value;
    EXPECT_TRUE(tromso.IsActive(Berlin(2026, 6, 21, 0, 30)));
    const QDateTime dawn = tromso.NextActive(Berlin(2026, 12, 21, 12, 0));
    EXPECT_GT(dawn, Berlin(2027, 1, 10, 0, 0));
    EXPECT_LT(dawn, Berlin(2027, 1, 20, 0, 0));
    EXPECT_FALSE(TDaylight::Parse("90,0").value->IsActive(Berlin(2026, 12, 21, 12, 0)));

    // Both set: the hours decide in the evening, the sunrise in the morning.
    const TActiveTime evening(TActiveHours::Parse("18:00-23:00").value, berlin, kBerlin);
    EXPECT_EQ(evening.NextActive(Berlin(2026, 6, 21, 17, 0)), Berlin(2026, 6, 21, 18, 0));
    EXPECT_FALSE(evening.IsActive(Berlin(2026, 6, 21, 22, 0)));
    EXPECT_EQ(evening.NextActive(Berlin(2026, 6, 21, 22, 0)), Berlin(2026, 6, 22, 18, 0));
    const TActiveTime morning(TActiveHours::Parse("03:00-05:00").value, berlin, kBerlin);
    EXPECT_EQ(morning.NextActive(Berlin(2026, 6, 21, 2, 0)), rise);
    // No overlap for weeks in winter (sunrise after 08:00), found all the same.
    const TActiveTime early(TActiveHours::Parse("06:00-08:00").value, berlin, kBerlin);
    const QDateTime firstEarly = early.NextActive(Berlin(2026, 12, 21, 12, 0));
    ASSERT_TRUE(firstEarly.isValid());
    EXPECT_TRUE(early.IsActive(firstEarly));
    EXPECT_FALSE(early.IsActive(firstEarly.addMSecs(-1)));
    EXPECT_GT(firstEarly, Berlin(2027, 1, 10, 0, 0));
    // Never: every day narrowed away.
    EXPECT_FALSE(TActiveTime(TActiveHours::Parse("10:00-14:00").value,
                             TDaylight::Parse("52.52,13.405,-720").value, kBerlin)
                     .NextActive(Berlin(2026, 6, 21, 12, 0))
                     .isValid());
}

}  // namespace
}  // namespace vistrel
