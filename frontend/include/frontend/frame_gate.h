// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QTimeZone>

#include <chrono>
#include <optional>
#include <utility>

#include "frontend/active_time.h"

namespace vistrel {

// A frame's capture time as milliseconds since the Unix epoch.
qint64 EpochMilliseconds(std::chrono::system_clock::time_point time);

// Picks one frame per period for a time-lapse. The boundaries are the local midnight of a
// frame's local date plus whole multiples of the period (elapsed time, so a day with a
// summer-time change keeps its spacing and the names of a repeated hour come round again);
// the next midnight is always a boundary. The first frame offered at or after a boundary is
// written and none after it before the next one. A boundary without a frame (the camera
// away, writing paused: the caller offers none) is skipped, never caught up.
//
// A wall clock that steps is followed without a burst or a long gap: a frame past the next
// boundary, however far, is written and the boundary after it is next; a frame from before
// the period of the last written one (the clock went back) is written at once and the
// boundaries follow it.
class TIntervalGate {
public:
    TIntervalGate(std::chrono::milliseconds period, QTimeZone zone);

    // Whether the frame captured at this time is to be written.
    bool Admit(const QDateTime& captured) { return Admit(captured.toMSecsSinceEpoch()); }
    bool Admit(std::chrono::system_clock::time_point captured) {
        return Admit(EpochMilliseconds(captured));
    }
    bool Admit(qint64 capturedMs);

    // The boundary the next written frame waits for; nothing before the first frame.
    std::optional<QDateTime> NextBoundary() const;
    std::chrono::milliseconds Period() const { return period_; }

private:
    // The start of the period holding this moment, and the boundary after it.
    struct TWindow {
        qint64 begin;
        qint64 end;
    };
    TWindow WindowOf(qint64 ms) const;

    std::chrono::milliseconds period_;
    QTimeZone zone_;
    std::optional<TWindow> written_;  // the period of the last written frame
};

// No frame is written within the first DURATION after a start of capture, while automatic
// exposure settles. A clock that steps back before the start moves the start with it, so a
// step never lengthens the warm-up by more than its own length.
class TWarmUp {
public:
    explicit TWarmUp(std::chrono::milliseconds duration = {}) : duration_(duration) {}

    void Start(qint64 startedMs);
    // Whether the frame captured at this time falls within the warm-up.
    bool Warming(qint64 capturedMs);

private:
    std::chrono::milliseconds duration_;
    std::optional<qint64> start_;  // until the warm-up is over
};

// What a time-lapse makes of a frame. Frames that are not written are still shown.
class TFrameGate {
public:
    enum class Verdict {
        Write,
        Resting,    // outside the active time
        WarmingUp,  // just after a start of capture
        Waiting,    // its period already has its picture
    };

    // Every frame written, from the first: the behaviour without a time-lapse.
    explicit TFrameGate(QTimeZone zone = QTimeZone::systemTimeZone());

    // Zero: every frame. A new period starts afresh with the next frame.
    void SetInterval(std::chrono::milliseconds period);
    void SetWarmUp(std::chrono::milliseconds duration);
    void SetActiveTime(TActiveTime active) { active_ = std::move(active); }
    const TActiveTime& ActiveTime() const { return active_; }

    // Capture (re)started at this moment: the warm-up begins.
    void StartCapture(const QDateTime& at) { warmUp_.Start(at.toMSecsSinceEpoch()); }
    void StartCapture(std::chrono::system_clock::time_point at) {
        warmUp_.Start(EpochMilliseconds(at));
    }

    // Resting first, then the warm-up, then the period: a frame that is not to be written
    // for another reason does not take its period's place.
    Verdict Judge(const QDateTime& captured);
    Verdict Judge(std::chrono::system_clock::time_point captured);

private:
    QTimeZone zone_;
    std::optional<TIntervalGate> interval_;
    TWarmUp warmUp_;
    TActiveTime active_;
};

}  // namespace vistrel
