// SPDX-License-Identifier: MIT
// Sunrise and sunset by the NOAA solar-position equations: the sun's declination and the
// equation of time from its mean longitude and anomaly, then the hour angle at which its
// centre stands 0.833 degrees below the horizon (half its disc and the refraction there).
#include "frontend/active_time.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vistrel {

namespace {

double Radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}
double Degrees(double radians) {
    return radians * 180.0 / std::numbers::pi;
}

struct TSunPosition {
    double declination;     // degrees
    double equationOfTime;  // minutes: apparent minus mean solar time
};

// Where the sun stands at this Julian day (UT).
TSunPosition SunAt(double julianDay) {
    const double t = (julianDay - 2451545.0) / 36525.0;  // Julian centuries since J2000
    const double meanLongitude = std::fmod(280.46646 + t * (36000.76983 + t * 0.0003032), 360.0);
    const double meanAnomaly = 357.52911 + t * (35999.05029 - 0.0001537 * t);
    const double eccentricity = 0.016708634 - t * (0.000042037 + 0.0000001267 * t);
    const double m = Radians(meanAnomaly);
    const double centre = std::sin(m) * (1.914602 - t * (0.004817 + 0.000014 * t)) +
                          std::sin(2 * m) * (0.019993 - 0.000101 * t) + std::sin(3 * m) * 0.000289;
    const double omega = Radians(125.04 - 1934.136 * t);
    const double apparentLongitude = meanLongitude + centre - 0.00569 - 0.00478 * std::sin(omega);
    const double meanObliquity =
        23.0 + (26.0 + (21.448 - t * (46.815 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0;
    const double obliquity = Radians(meanObliquity + 0.00256 * std::cos(omega));
    const double declination =
        Degrees(std::asin(std::sin(obliquity) * std::sin(Radians(apparentLongitude))));

    const double y = std::pow(std::tan(obliquity / 2), 2);
    const double l0 = Radians(meanLongitude);
    const double e = eccentricity;
    const double equation = y * std::sin(2 * l0) - 2 * e * std::sin(m) +
                            4 * e * y * std::sin(m) * std::cos(2 * l0) -
                            0.5 * y * y * std::sin(4 * l0) - 1.25 * e * e * std::sin(2 * m);
    return {declination, 4.0 * Degrees(equation)};
}

// The cosine of the hour angle at which the sun's centre is at -0.833 degrees: above 1 it
// never comes up that far, below -1 it never goes down that far.
double CosHourAngle(double latitude, double declination) {
    const double phi = Radians(latitude);
    const double delta = Radians(declination);
    return (std::cos(Radians(90.833)) - std::sin(phi) * std::sin(delta)) /
           (std::cos(phi) * std::cos(delta));
}

// Minutes after 0h UT of the date when the sun rises (side -1) or sets (side +1); the
// sun's place is taken again at the time found, twice, for a result within seconds.
double EventMinutes(double midnightJulianDay, double latitude, double longitude, int side,
                    double firstGuess) {
    double minutes = firstGuess;
    for (int pass = 0; pass < 3; ++pass) {
        const TSunPosition sun = SunAt(midnightJulianDay + minutes / 1440.0);
        const double cosine = std::clamp(CosHourAngle(latitude, sun.declination), -1.0, 1.0);
        const double hourAngle = Degrees(std::acos(cosine));
        minutes = 720.0 - 4.0 * (longitude - side * hourAngle) - sun.equationOfTime;
    }
    return minutes;
}

}  // namespace

TSunTimes SunTimesOn(QDate date, double latitude, double longitude) {
    const double midnight = static_cast<double>(date.toJulianDay()) - 0.5;  // 0h UT
    const double noonMinutes = 720.0 - 4.0 * longitude;                     // mean solar noon
    const TSunPosition noon = SunAt(midnight + noonMinutes / 1440.0);
    const double cosine = CosHourAngle(latitude, noon.declination);
    TSunTimes times;
    if (cosine > 1.0) {
        times.kind = TSunTimes::Kind::PolarNight;
        return times;
    }
    if (cosine < -1.0) {
        times.kind = TSunTimes::Kind::PolarDay;
        return times;
    }
    times.kind = TSunTimes::Kind::RiseAndSet;
    const QDateTime utcMidnight(date, QTime(0, 0), Qt::UTC);
    const auto at = [&](int side) {
        const double minutes = EventMinutes(midnight, latitude, longitude, side, noonMinutes);
        return utcMidnight.addMSecs(std::llround(minutes * 60'000.0));
    };
    times.rise = at(-1);
    times.set = at(+1);
    return times;
}

}  // namespace vistrel
