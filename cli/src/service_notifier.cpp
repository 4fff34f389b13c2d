// SPDX-License-Identifier: MIT
#include "service_notifier.h"

#include <QLoggingCategory>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <ctime>

#include "base/errors.h"

namespace vistrel::cli {

namespace {

Q_LOGGING_CATEGORY(lcService, "vistrel.cli.service")

// Without a watchdog the status line is still refreshed this often.
constexpr std::chrono::milliseconds kStatusInterval{10'000};

}  // namespace

ServiceNotifier::ServiceNotifier(QString camera, Clock clock)
    : camera_(std::move(camera)), clock_(std::move(clock)) {
    // One line of status: a camera name given on the command line must not
    // start a second assignment.
    camera_.replace(u'\n', u' ');
    inService_ = !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
    if (!inService_) {
        return;
    }
    std::uint64_t usec = 0;
    const int enabled = sd_watchdog_enabled(0, &usec);
    if (enabled > 0) {
        watchdog_ = std::chrono::microseconds(usec);
    } else if (enabled < 0) {
        qCWarning(lcService, "sd_watchdog_enabled failed: %s", ErrnoText(-enabled).c_str());
    }
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Tick(); });
}

ServiceNotifier::~ServiceNotifier() {
    if (ready_) {
        Notify(QStringLiteral("STOPPING=1"));
    }
}

std::optional<std::chrono::microseconds> ServiceNotifier::PingInterval() const {
    if (watchdog_.count() == 0) {
        return std::nullopt;
    }
    return watchdog_ / 2;
}

void ServiceNotifier::Ready() {
    if (!inService_ || ready_) {
        return;
    }
    ready_ = true;
    lastFrame_ = clock_();  // the first frame has one ping interval to come
    Notify(QStringLiteral("READY=1\n") + Status());
    const auto ping = PingInterval();
    const auto interval =
        ping ? std::chrono::duration_cast<std::chrono::milliseconds>(*ping) : kStatusInterval;
    timer_.start(std::max(interval, std::chrono::milliseconds(1)));
}

void ServiceNotifier::Reloading() {
    if (!ready_) {
        return;
    }
    // The service manager tells this reload from an older one by the time.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto usec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000U +
                      static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
    Notify(QStringLiteral("RELOADING=1\nMONOTONIC_USEC=%1").arg(usec));
}

void ServiceNotifier::Reloaded() {
    if (!ready_) {
        return;
    }
    // A restarted camera gets a ping interval to deliver again.
    lastFrame_ = clock_();
    Notify(QStringLiteral("READY=1\n") + Status());
}

void ServiceNotifier::FrameArrived(std::uint64_t framesTaken, std::uint64_t filesWritten) {
    lastFrame_ = clock_();
    framesTaken_ = framesTaken;
    filesWritten_ = filesWritten;
}

void ServiceNotifier::SetWaiting(bool knowinglyWaiting) {
    if (knowinglyWaiting == waiting_) {
        return;
    }
    waiting_ = knowinglyWaiting;
    // Once the wait is over the camera gets a ping interval to deliver again.
    lastFrame_ = clock_();
    if (ready_) {
        Notify(Status());
    }
}

void ServiceNotifier::SetResting(std::optional<QString> note) {
    if (note == resting_) {
        return;
    }
    if (note) {
        note->replace(u'\n', u' ');
    }
    resting_ = std::move(note);
    lastFrame_ = clock_();
    if (ready_) {
        Notify(Status());
    }
}

void ServiceNotifier::SetStalls(std::uint64_t stalls) {
    stalls_ = stalls;
}

// Each tick sends one message: the status line, with a watchdog ping while
// the run is healthy.
void ServiceNotifier::Tick() {
    QString message = Status();
    if (watchdog_.count() != 0 && Healthy()) {
        message += QStringLiteral("\nWATCHDOG=1");
    }
    Notify(message);
}

// Healthy while a frame came within one ping interval: a capture that hangs
// then stops the pings within that interval, and the service manager ends it
// at most one and a half watchdog intervals after its last frame (judged by
// the whole interval, the pings went on for a whole one after the hang).
bool ServiceNotifier::Healthy() const {
    return waiting_ || resting_ || clock_() - lastFrame_ <= watchdog_ / 2;
}

QString ServiceNotifier::Status() const {
    QString resting;
    if (resting_ && !resting_->isEmpty()) {
        resting = QStringLiteral(", ") + resting_->at(0).toLower() + resting_->mid(1);
    }
    return QStringLiteral("STATUS=Camera %1: %2 frames taken, %3 files written, %4 %5%6%7")
        .arg(camera_)
        .arg(framesTaken_)
        .arg(filesWritten_)
        .arg(stalls_)
        .arg(stalls_ == 1 ? QStringLiteral("stall") : QStringLiteral("stalls"))
        .arg(waiting_ ? QStringLiteral(", waiting for the camera") : QString(), resting);
}

void ServiceNotifier::Notify(const QString& message) {
    const int result = sd_notify(0, message.toUtf8().constData());
    // Said once: a service manager that went away would repeat it every tick.
    if (result < 0 && !warned_) {
        warned_ = true;
        qCWarning(lcService, "sd_notify failed: %s", ErrnoText(-result).c_str());
    }
}

}  // namespace vistrel::cli
