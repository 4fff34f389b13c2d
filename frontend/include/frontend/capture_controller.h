// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "capture/camera_controls.h"
#include "capture/format_enum.h"
#include "frontend/camera_keeper.h"
#include "frontend/device_name.h"
#include "frontend/format_choice.h"
#include "frontend/frame_gate.h"
#include "frontend/frame_logger.h"
#include "pipeline/video_image.h"
#include "storage/frame_writer.h"

namespace vistrel {

// What a front end asks a run to capture.
struct TCaptureRequest {
    QString device;  // a camera's name as listed, or "#n"
    // Asked for now (the command line); it must be offered by the camera.
    TFormatChoice asked{};
    // The choice the settings saved (Format and Size), used when the asked
    // one names neither a format nor a size; its rate comes from the asked.
    QString savedFormat{};
    QString savedSize{};
    int frameDivisor = 1;  // every N-th frame is taken
    // Zero: every taken frame is written. Else one frame per period, chosen
    // among all received frames; the divisor then decides only what is shown.
    std::chrono::milliseconds interval{};
    // Frames captured this long after each start of capture are not written.
    std::chrono::milliseconds warmUp{};
    // Frames captured outside it are shown but not written; the camera runs
    // on. The default is always active.
    TActiveTime activeTime{};
    // Set on the camera after every start, in this order.
    std::vector<TControlSetting> controls{};
};

// Why a saved format choice was not applied; the camera keeps its format.
struct TSavedFormatSkip {
    enum class Reason { NotOffered, Unconvertible };
    Reason reason = Reason::NotOffered;
    QString saved;  // as saved: "MJPG 1280x720"
    QString why;    // for the log
};

// What a start (Run or a new format) came to.
struct TStartReport {
    // What the driver changed of the request; empty when it took it as it is.
    QString adjustment;
    // No format was asked for and the camera's own cannot be converted: its
    // frames show the "Unknown compression" picture.
    bool unconvertible = false;
    std::uint32_t pixelFormat = 0;  // what the camera sends
    QStringList convertible;        // what else it offers that Vistrel converts
    // The logger is to write the camera's JPEG as it came, but the camera
    // sends another format: its frames are encoded as usual.
    bool passthroughIgnored = false;
};

struct TStartResult {
    enum class Outcome {
        Started,
        NotOffered,  // the asked choice is not offered; message lists what is
        Failed,      // the camera did not start; message says why
        Unwritable,  // the directory can never be written; message says why
        Cancelled,   // the front end stopped the run while it was starting
    };
    Outcome outcome = Outcome::Failed;
    QString message;

    bool Started() const { return outcome == Outcome::Started; }
};

// How TCaptureController runs the capture.
struct TCaptureOptions {
    using StartCapture = std::function<int(TVideoImage& session, const QString& deviceName,
                                           const TFormatRequest& request)>;
    using StopCapture = std::function<void(TVideoImage& session)>;
    using NewestCaptureTime = std::function<TCaptureTime(TVideoImage& session)>;

    TCameraKeeper::Options cameraKeeper{};
    // Off: a lost camera ends the capture and is not waited for.
    bool waitForLostCamera = true;
    // How long a capturing camera may send no frame, without an error,
    // before it counts as stalled and is restarted. 0: the longer of
    // kMinStallTimeout and kStallFrames frame periods of the stream.
    std::chrono::milliseconds stallTimeout{0};
    static constexpr std::chrono::milliseconds kMinStallTimeout{3000};
    static constexpr int kStallFrames = 10;
    // Stand-ins for the session's capture calls; empty: the session's own.
    StartCapture startCapture{};
    StopCapture stopCapture{};
    // When the newest frame was captured; empty: the session's.
    NewestCaptureTime newestCaptureTime{};
};

// What TCaptureController reports; each member may be left empty.
struct TCaptureEvents {
    std::function<void(const TSavedFormatSkip& skip)> savedFormatSkipped;
    // After Run and after a new format, once the camera runs.
    std::function<void(const TStartReport& report)> started;
    // The capture ended by itself; the camera is waited for when the
    // options say so.
    std::function<void(TStatus reason)> lost;
    std::function<void(const TCaptureNode& node)> returned;
    // The camera sent no frame for the stall timeout: it is being restarted
    // with the same request. Once a restart fails, the camera is waited for
    // as a lost one (lost follows).
    std::function<void()> stalled;
    // The first frame after a stall.
    std::function<void()> stallRecovered;
    // A camera control setting that did not take at a start (the camera
    // lacks the control, or refused the value: the text says which and
    // why). Told once until the setting or the problem changes.
    std::function<void(const QString& problem)> controlProblem;
    std::function<void(const TWriteFault& fault)> writePaused;
    std::function<void(std::uint64_t framesNotWritten)> writeResumed;
    // A judged frame fell outside the active time: nothing is written until
    // the next active moment (local until; invalid when none comes within a
    // year). Said once, at the change; active follows at the first frame
    // inside it again.
    std::function<void(const QDateTime& until)> resting;
    std::function<void()> active;
    // After each received frame the logger handled; fileWritten when it
    // wrote one.
    std::function<void(bool fileWritten)> frameHandled;
    // A file was published whole under its final name: its path and the
    // capture time of its frame. On the controller's thread, once per file,
    // in capture order. Without write threads it comes before the frame's
    // frameHandled; with them, later, from the event loop.
    std::function<void(const QString& path, TCaptureTime captured)> published;
    // Taken frames were not written because the writer was full (the disk
    // is too slow); told once per burst.
    std::function<void(std::uint64_t framesNotWritten)> framesNotWritten;
    // An error of the frame logger (the encoder's). Unset: it leaves the
    // frame handler, for the session's error handling (with write threads:
    // it is logged).
    std::function<void(std::exception_ptr error)> frameFailed;
};

// Runs the capture for a front end: starts a session on a camera with the
// chosen format, feeds its frames to the frame logger, and rides out a lost
// camera (TCameraKeeper), a stalled one (restarted with the same request)
// and a failing disk (the logger's writer). What
// happens is reported through Events; each front end tells it in its own
// words. Runs on the GUI thread. The session and the logger outlive it.
class TCaptureController {
public:
    using Options = TCaptureOptions;
    using Events = TCaptureEvents;

    TCaptureController(TVideoImage& session, TFrameLogger& logger, Options options = {});
    ~TCaptureController();
    TCaptureController(const TCaptureController&) = delete;
    TCaptureController& operator=(const TCaptureController&) = delete;

    void SetEvents(Events events) { events_ = std::move(events); }

    // Chooses the format, prepares the output directory while logging is on,
    // and starts the camera. Call while not capturing.
    TStartResult Run(const TCaptureRequest& request);
    // Restarts the running capture on the same camera in this format.
    TStartResult ChangeFormat(const TFormatRequest& format);
    // Makes the output directory ready for logging: the fault of a
    // directory that can never be written, nullopt otherwise (also when
    // writing paused).
    std::optional<TWriteFault> PrepareWriting();
    // Ends the capture, or the wait for a lost camera.
    void Stop();
    // The camera is gone (the session's report, or the front end's): the
    // capture stops and, when the options say so, the camera is waited for.
    void CameraLost(TStatus reason);
    // No frame is taken from here on, until the next Run.
    void StopTakingFrames() { takingFrames_ = false; }
    // Take effect at once: a new period starts afresh with the next frame, a
    // new warm-up with the next start.
    void SetInterval(std::chrono::milliseconds period);
    void SetWarmUp(std::chrono::milliseconds duration) { gate_.SetWarmUp(duration); }
    // Takes effect from the next frame, which also tells a change.
    void SetActiveTime(TActiveTime active) { gate_.SetActiveTime(std::move(active)); }
    // The camera control settings of every later start (the current one is
    // left as it is); their problems are told afresh.
    void SetControls(std::vector<TControlSetting> controls);
    const std::vector<TControlSetting>& Controls() const { return controls_; }
    // Sets them on the running camera now, in their order; each start does.
    void ApplyControls();

    bool Running() const { return running_; }
    bool WaitingForCamera() const { return keeper_.Waiting(); }
    // Knowingly without frames: the camera is waited for, or a stalled one
    // is being restarted. Paused writing alone is not: frames still come.
    bool Waiting() const;
    bool Recovering() const { return recovering_; }
    // The last judged frame was outside the active time: knowingly idle,
    // though frames still come.
    bool Resting() const { return resting_; }
    // Stalls since the controller was made.
    std::uint64_t Stalls() const { return stalls_; }
    const QString& Device() const { return device_; }
    const TFormatRequest& Format() const { return format_; }

private:
    enum class StartKind { Run, NewFormat, Returned, Restarted };

    TFormatRequest ChooseFormat(const TCaptureRequest& request, TStartResult& result);
    bool TakeSavedChoice(const TCaptureRequest& request, const TDeviceFormats& offered,
                         TFormatChoice& choice);
    int StartSession(const QString& deviceName, const TFormatRequest& format);
    void StopSession();
    // Every start that got the camera running ends here.
    void CaptureStarted(StartKind kind, const TCaptureNode* node = nullptr);
    TStartReport MakeStartReport() const;
    void OnFrame();
    TFrameLogger::TTake ChooseFrame(bool nthFrame);
    void NoteResting(bool resting, TCaptureTime captured);
    void ArmStallTimer();
    void OnStall();

    TVideoImage& session_;
    TFrameLogger& logger_;
    Options options_;
    Events events_;
    TCameraKeeper keeper_;
    QString device_;
    TFormatRequest format_;
    bool running_ = false;
    bool takingFrames_ = true;
    TFrameGate gate_;
    bool hasInterval_ = false;
    bool recovering_ = false;  // since a stall, until the next frame
    bool resting_ = false;     // the last judged frame's verdict
    std::uint64_t stalls_ = 0;
    QTimer stallTimer_;
    std::vector<TControlSetting> controls_;
    std::vector<std::string> toldProblems_;  // at the last start, each told once
    // Drops files older than the days to keep while a run lasts.
    QTimer expiryTimer_;
};

}  // namespace vistrel
