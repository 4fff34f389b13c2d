// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

#include "capture/device_enum.h"

class QSocketNotifier;

namespace vistrel {

class TDeviceEvents;
class TVideoImage;

// How TCameraKeeper looks for a lost camera.
struct TCameraKeeperOptions {
    // How often to look without an event; the only way on machines
    // without udev (containers, small virtual machines).
    std::chrono::milliseconds lookInterval{2000};
    // Opens the source of device events; null from it means looking by
    // the interval only. Empty: udev's video4linux events when the session
    // uses the system's V4L2 devices, none for any other interface (a fake
    // device gets no udev events).
    std::function<std::unique_ptr<TDeviceEvents>()> openDeviceEvents;
};

// Brings a lost camera back. Told that the session's camera is gone, it waits
// for the same camera (FindSameCamera on the session's CameraIdentity): it
// looks at once, on every video-device event and every look interval, and
// when the camera is there it re-runs the front end's start request on the
// camera's "#n". Both front ends use it; it runs on the GUI thread, driven
// by the event loop, and never blocks.
class TCameraKeeper {
public:
    using Options = TCameraKeeperOptions;
    // Re-runs the start request the user made (device aside: deviceName is
    // the found camera's "#n") and returns as TVideoImage::StartCapture does:
    // 0 when capturing.
    using Start = std::function<int(const QString& deviceName)>;

    TCameraKeeper(TVideoImage& session, Start start, Options options = {});
    ~TCameraKeeper();
    TCameraKeeper(const TCameraKeeper&) = delete;
    TCameraKeeper& operator=(const TCameraKeeper&) = delete;

    // Starts waiting for the camera the session last started. Nothing
    // happens while a wait runs already.
    void Wait();
    // Ends the wait; no start follows it.
    void Cancel();
    bool Waiting() const { return waiting_; }

    // Fired once the camera is back and capturing again, with its node.
    std::function<void(const TCaptureNode& node)> OnReturned;

private:
    void Look();
    bool Restart(const TCaptureNode& node);
    void OnDeviceEvents();

    TVideoImage& session_;
    Start start_;
    Options options_;
    TCameraIdentity wanted_;
    bool waiting_ = false;
    bool looking_ = false;
    QObject context_;  // receiver of the deferred first look
    QTimer lookTimer_;
    std::unique_ptr<TDeviceEvents> events_;
    std::unique_ptr<QSocketNotifier> eventNotifier_;  // goes before events_
};

}  // namespace vistrel
