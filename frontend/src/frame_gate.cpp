// SPDX-License-Identifier: MIT
#include "frontend/frame_gate.h"

#include <algorithm>
#include <utility>

namespace vistrel {

using std::chrono::milliseconds;

qint64 EpochMilliseconds(std::chrono::system_clock::time_point time) {
    return std::chrono::floor<milliseconds>(time.time_since_epoch()).count();
}

TIntervalGate::TIntervalGate(milliseconds period, QTimeZone zone)
    : period_(std::max(period, milliseconds(1))), zone_(std::move(zone)) {}

bool TIntervalGate::Admit(qint64 capturedMs) {
    if (written_ && capturedMs >= written_->begin && capturedMs < written_->end) {
        return false;  // this period has its picture
    }
    // A first frame, a later period, or a clock that went back past this period.
    written_ = WindowOf(capturedMs);
    return true;
}

std::optional<QDateTime> TIntervalGate::NextBoundary() const {
    if (!written_) {
        return std::nullopt;
    }
    return QDateTime::fromMSecsSinceEpoch(written_->end, zone_);
}

TIntervalGate::TWindow TIntervalGate::WindowOf(qint64 ms) const {
    const QDate date = QDateTime::fromMSecsSinceEpoch(ms, zone_).date();
    // startOfDay: the first moment of the date, also where a zone skips its midnight.
    const qint64 midnight = date.startOfDay(zone_).toMSecsSinceEpoch();
    const qint64 nextMidnight = date.addDays(1).startOfDay(zone_).toMSecsSinceEpoch();
    const qint64 period = period_.count();
    const qint64 begin = midnight + std::max<qint64>(ms - midnight, 0) / period * period;
    return {begin, std::min(begin + period, nextMidnight)};
}

void TWarmUp::Start(qint64 startedMs) {
    if (duration_ > milliseconds::zero()) {
        start_ = startedMs;
    }
}

bool TWarmUp::Warming(qint64 capturedMs) {
    if (!start_) {
        return false;
    }
    if (capturedMs < *start_) {
        start_ = capturedMs;  // the clock went back: count from here
    }
    if (capturedMs - *start_ < duration_.count()) {
        return true;
    }
    start_.reset();  // over until the next start, whatever the clock does
    return false;
}

TFrameGate::TFrameGate(QTimeZone zone) : zone_(std::move(zone)), active_({}, {}, zone_) {}

void TFrameGate::SetInterval(milliseconds period) {
    if (period > milliseconds::zero()) {
        interval_.emplace(period, zone_);
    } else {
        interval_.reset();
    }
}

void TFrameGate::SetWarmUp(milliseconds duration) {
    warmUp_ = TWarmUp(duration);
}

TFrameGate::Verdict TFrameGate::Judge(const QDateTime& captured) {
    const qint64 ms = captured.toMSecsSinceEpoch();
    if (!active_.IsActive(captured)) {
        return Verdict::Resting;
    }
    if (warmUp_.Warming(ms)) {
        return Verdict::WarmingUp;
    }
    if (interval_ && !interval_->Admit(ms)) {
        return Verdict::Waiting;
    }
    return Verdict::Write;
}

TFrameGate::Verdict TFrameGate::Judge(std::chrono::system_clock::time_point captured) {
    return Judge(QDateTime::fromMSecsSinceEpoch(EpochMilliseconds(captured), zone_));
}

}  // namespace vistrel
