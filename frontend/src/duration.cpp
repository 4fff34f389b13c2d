// SPDX-License-Identifier: MIT
#include "frontend/duration.h"

#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>

#include "logging.h"

namespace vistrel {

namespace {

using std::chrono::milliseconds;

std::int64_t UnitMilliseconds(const QString& unit) {
    if (unit == u"ms") {
        return 1;
    }
    if (unit == u"min") {
        return 60'000;
    }
    if (unit == u"h") {
        return 3'600'000;
    }
    return 1000;  // "s" or none: seconds
}

TParsed<milliseconds> Refused(QString why) {
    return {std::nullopt, std::move(why)};
}

}  // namespace

TParsed<milliseconds> ParseDuration(const QString& text, ZeroDuration zero) {
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]+)(?:\\.([0-9]+))? ?(ms|s|min|h)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QString trimmed = text.trimmed();
    const QRegularExpressionMatch match = pattern.match(trimmed);
    if (!match.hasMatch()) {
        return Refused(QStringLiteral("\"%1\" is not a duration: give a number with ms, s, min "
                                      "or h, such as 500ms, 10s, 5min or 1h")
                           .arg(trimmed));
    }
    // Exact integer arithmetic: "0.1s" is 100 ms, not 99.999...
    QString whole = match.captured(1);
    while (whole.size() > 1 && whole.startsWith(u'0')) {
        whole.remove(0, 1);
    }
    QString fraction = match.captured(2);
    while (fraction.endsWith(u'0')) {
        fraction.chop(1);
    }
    const std::int64_t unit = UnitMilliseconds(match.captured(3).toLower());
    // Bounds that keep the arithmetic below in 64 bits: 24 h in any unit has at most 8
    // digits before the point, and more than 8 decimals after it are finer than 1 ms in all.
    if (whole.size() > 8) {
        return Refused(QStringLiteral("%1 is not from 100 ms to 24 h").arg(trimmed));
    }
    if (fraction.size() > 8) {
        return Refused(QStringLiteral("%1 is finer than a millisecond").arg(trimmed));
    }
    std::int64_t scale = 1;
    for (qsizetype i = 0; i < fraction.size(); ++i) {
        scale *= 10;
    }
    const std::int64_t fractionMs = (fraction.isEmpty() ? 0 : fraction.toLongLong()) * unit;
    if (fractionMs % scale != 0) {
        return Refused(QStringLiteral("%1 is finer than a millisecond").arg(trimmed));
    }
    const milliseconds value(whole.toLongLong() * unit + fractionMs / scale);
    if (value == milliseconds::zero() && zero == ZeroDuration::MeansOff) {
        return {value, {}};
    }
    if (value < kShortestDuration || value > kLongestDuration) {
        return Refused(QStringLiteral("%1 is not from 100 ms to 24 h").arg(trimmed));
    }
    return {value, {}};
}

QString DurationText(milliseconds duration) {
    const std::int64_t ms = duration.count();
    if (ms != 0 && ms % 3'600'000 == 0) {
        return QStringLiteral("%1 h").arg(ms / 3'600'000);
    }
    if (ms != 0 && ms % 60'000 == 0) {
        return QStringLiteral("%1 min").arg(ms / 60'000);
    }
    if (ms % 1000 == 0) {
        return QStringLiteral("%1 s").arg(ms / 1000);
    }
    if (ms > -1000 && ms < 1000) {
        return QStringLiteral("%1 ms").arg(ms);
    }
    // Seconds with up to three decimals, trailing zeros dropped: "1.5 s", "2.25 s".
    QString decimals = QString::number(std::abs(ms % 1000)).rightJustified(3, u'0');
    while (decimals.endsWith(u'0')) {
        decimals.chop(1);
    }
    return QStringLiteral("%1.%2 s").arg(ms / 1000).arg(decimals);
}

milliseconds DurationSetting(const QString& key, const QString& text, ZeroDuration zero) {
    if (text.isEmpty()) {
        return milliseconds::zero();
    }
    const TParsed<milliseconds> parsed = ParseDuration(text, zero);
    if (!parsed) {
        qCWarning(lcFrontend, "setting %s=%s ignored: %s", qUtf8Printable(key),
                  qUtf8Printable(text), qUtf8Printable(parsed.error));
        return milliseconds::zero();
    }
    return *parsed.value;
}

}  // namespace vistrel
