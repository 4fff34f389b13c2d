// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace vistrel::cli {

// Tells a service manager (systemd, through $NOTIFY_SOCKET) how a logging
// run is doing: READY=1 once capture runs, a STATUS= line with the camera,
// frames taken, files written and stalls, and watchdog pings while the run
// is healthy. Healthy means frames arrived within the last ping interval
// (half the watchdog's), or the run is knowingly without frames (waiting for
// a lost camera, restarting a stalled one, resting outside the active time
// while the camera runs on). Paused writing is not such a
// wait: the camera still delivers. A capture that hangs anyway (a restart
// that never returns) stops the pings, and the service manager restarts the
// service.
//
// Outside a service ($NOTIFY_SOCKET unset) every call does nothing.
// Lives on the thread of the event loop that runs the capture.
class ServiceNotifier {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // camera names the camera in the status line.
    explicit ServiceNotifier(QString camera, Clock clock = &std::chrono::steady_clock::now);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool InService() const { return inService_; }
    // Half of $WATCHDOG_USEC when the service has a watchdog.
    std::optional<std::chrono::microseconds> PingInterval() const;

    // Capture runs: sends READY=1 (once) and starts the periodic messages.
    void Ready();
    // A frame reached the logger; the counts go into the status line.
    void FrameArrived(std::uint64_t framesTaken, std::uint64_t filesWritten);
    // True while the run knowingly waits for a lost camera or restarts a
    // stalled one: no frames then, yet the run is healthy.
    void SetWaiting(bool knowinglyWaiting);
    // Outside the active time nothing is written, knowingly: the pings go on
    // and the note ("Resting until 06:12") joins the status line. nullopt
    // when active again.
    void SetResting(std::optional<QString> note);
    // Stalls so far, for the status line.
    void SetStalls(std::uint64_t stalls);
    // The camera's name in the status line, after a reload changed it.
    void SetCamera(QString camera) { camera_ = std::move(camera); }
    // A reload of the settings begins (RELOADING=1) and ends (READY=1).
    void Reloading();
    void Reloaded();

private:
    void Tick();
    bool Healthy() const;
    QString Status() const;
    void Notify(const QString& message);

    QString camera_;
    Clock clock_;
    bool inService_ = false;
    bool ready_ = false;
    bool waiting_ = false;
    std::optional<QString> resting_;
    bool warned_ = false;
    std::chrono::microseconds watchdog_{0};  // 0: no watchdog
    std::chrono::steady_clock::time_point lastFrame_{};
    std::uint64_t framesTaken_ = 0;
    std::uint64_t filesWritten_ = 0;
    std::uint64_t stalls_ = 0;
    QTimer timer_;
};

}  // namespace vistrel::cli
