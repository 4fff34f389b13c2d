// SPDX-License-Identifier: MIT
#include "frontend/capture_controller.h"

#include <QCoreApplication>

#include <algorithm>

#include "frontend/failure_text.h"
#include "frontend/frame_logger.h"
#include "frontend/settings.h"
#include "logging.h"

namespace vistrel {

TCaptureController::TCaptureController(TVideoImage& session, TFrameLogger& logger, Options options)
    : session_(session),
      logger_(logger),
      options_(std::move(options)),
      keeper_(
          session_, [this](const QString& name) { return StartSession(name, format_); },
          options_.cameraKeeper) {
    keeper_.OnReturned = [this](const TCaptureNode& node) {
        device_ = NumberedDeviceName(node.position);
        CaptureStarted(StartKind::Returned, &node);
    };
    session_.OnNewVideoFrame = [this](TVideoImage&, std::int32_t, std::int32_t,
                                      const std::uint8_t*) { OnFrame(); };
    session_.OnDeviceLost = [this](TVideoImage&, TStatus reason) { CameraLost(reason); };
    logger_.Writer().SetPaused([this](const TWriteFault& fault) {
        if (events_.writePaused) {
            events_.writePaused(fault);
        }
    });
    logger_.Writer().SetResumed([this](std::uint64_t notWritten) {
        if (events_.writeResumed) {
            events_.writeResumed(notWritten);
        }
    });
    logger_.SetFileWritten([this](const QString& path, TCaptureTime captured) {
        if (events_.published) {
            events_.published(path, captured);
        }
    });
    logger_.SetNotWritten([this](std::uint64_t count) {
        if (events_.framesNotWritten) {
            events_.framesNotWritten(count);
        }
    });
    logger_.SetWriteFailed([this](std::exception_ptr error) {
        if (events_.frameFailed) {
            events_.frameFailed(error);
        } else {
            TFrameLogger::LogWriteFailure(error);  // no frame handler to leave through
        }
    });
    stallTimer_.setSingleShot(true);
    QObject::connect(&stallTimer_, &QTimer::timeout, &stallTimer_, [this] { OnStall(); });
    // Hourly, whatever the frames do: a long interval or a lost camera
    // writes nothing for hours, yet files still age.
    expiryTimer_.setInterval(std::chrono::hours(1));
    QObject::connect(&expiryTimer_, &QTimer::timeout, &expiryTimer_,
                     [this] { logger_.Writer().ExpireOldFiles(); });
}

TCaptureController::~TCaptureController() {
    // The session and the logger stay; nothing of ours may be called later.
    session_.OnNewVideoFrame = nullptr;
    session_.OnDeviceLost = nullptr;
    logger_.Writer().SetPaused(nullptr);
    logger_.Writer().SetResumed(nullptr);
    logger_.SetFileWritten(nullptr);
    logger_.SetNotWritten(nullptr);
    logger_.SetWriteFailed(nullptr);
}

bool TCaptureController::Waiting() const {
    return keeper_.Waiting() || recovering_;
}

std::optional<TWriteFault> TCaptureController::PrepareWriting() {
    // A missing directory is made; one that cannot be made for now pauses
    // writing, one that can never be made is returned.
    if (std::optional<TWriteFault> fault =
            TSettings::DirectoryFault(logger_.Writer().Directory())) {
        return fault;
    }
    return logger_.Writer().Prepare();
}

TStartResult TCaptureController::Run(const TCaptureRequest& request) {
    takingFrames_ = true;
    logger_.SetFrameDivisor(request.frameDivisor);
    logger_.ResetFrameCounter();
    SetInterval(request.interval);
    SetWarmUp(request.warmUp);
    SetActiveTime(request.activeTime);
    resting_ = false;  // the first judged frame says where the run stands
    SetControls(request.controls);
    TStartResult result{TStartResult::Outcome::Started, {}};
    const TFormatRequest format = ChooseFormat(request, result);
    if (!result.Started()) {
        return result;
    }
    if (logger_.Logging()) {
        if (const std::optional<TWriteFault> fault = PrepareWriting()) {
            return {TStartResult::Outcome::Unwritable, fault->message};
        }
    }
    if (!takingFrames_) {
        return {TStartResult::Outcome::Cancelled, {}};  // the pause report ended the run
    }
    if (StartSession(request.device, format) != 0) {
        return {TStartResult::Outcome::Failed, StartFailureMessage(session_.LastStartFailure())};
    }
    // Runs without days to keep too (then it does nothing), so that days
    // set later take effect without a restart.
    expiryTimer_.start();
    device_ = request.device;
    format_ = format;
    CaptureStarted(StartKind::Run);
    return result;
}

TStartResult TCaptureController::ChangeFormat(const TFormatRequest& format) {
    StopSession();
    // A frame of the old format still queued would be taken as one of the
    // new format.
    QCoreApplication::removePostedEvents(session_.FrameWindow(), TVideoImage::kFrameMessage);
    if (StartSession(device_, format) != 0) {
        running_ = false;
        stallTimer_.stop();
        recovering_ = false;
        return {TStartResult::Outcome::Failed, StartFailureMessage(session_.LastStartFailure())};
    }
    format_ = format;
    logger_.ResetFrameCounter();
    CaptureStarted(StartKind::NewFormat);
    return {TStartResult::Outcome::Started, {}};
}

void TCaptureController::Stop() {
    keeper_.Cancel();
    running_ = false;
    stallTimer_.stop();
    expiryTimer_.stop();
    recovering_ = false;
    StopSession();
}

void TCaptureController::CameraLost(TStatus reason) {
    if (!running_) {
        return;  // a late second report, or no capture of ours
    }
    running_ = false;
    stallTimer_.stop();
    recovering_ = false;  // the keeper's wait takes over
    // The session has stopped already; a second stop costs nothing.
    StopSession();
    if (options_.waitForLostCamera) {
        keeper_.Wait();
    }
    if (events_.lost) {
        events_.lost(reason);
    }
}

// The format a start asks for. The asked choice must be offered, else the
// result says what is. Without an asked format and size the saved choice is
// taken, with the asked rate on top; a saved choice that the camera does not
// offer or Vistrel cannot convert is reported and the camera keeps its
// format. Without any choice the camera is not even listed.
TFormatRequest TCaptureController::ChooseFormat(const TCaptureRequest& request,
                                                TStartResult& result) {
    const TFormatChoice& asked = request.asked;
    const bool useSaved = asked.code.isEmpty() && asked.width == 0 &&
                          (!request.savedFormat.isEmpty() || !request.savedSize.isEmpty());
    if (asked.Empty() && !useSaved) {
        return {};
    }
    TDeviceFormats offered;
    if (const TStatus status = session_.GetDeviceFormats(request.device, offered); Failed(status)) {
        // Nothing to check against; a camera that cannot be opened fails to
        // start right after, as it would without a choice.
        qCInfo(lcFrontend, "formats of %s not listed: status 0x%08x",
               qUtf8Printable(request.device), static_cast<unsigned>(status));
        if (asked.Empty()) {
            return {};
        }
        offered = {};
    }
    TFormatChoice choice = asked;
    if (useSaved) {
        TakeSavedChoice(request, offered, choice);
    }
    TFormatRequest format;
    QString why;
    if (!choice.Empty() && !ResolveFormatChoice(offered, choice, format, why)) {
        result = {TStartResult::Outcome::NotOffered, why};
    }
    return format;
}

bool TCaptureController::TakeSavedChoice(const TCaptureRequest& request,
                                         const TDeviceFormats& offered, TFormatChoice& choice) {
    TSavedFormatSkip skip{TSavedFormatSkip::Reason::NotOffered,
                          (request.savedFormat + u' ' + request.savedSize).trimmed(),
                          QStringLiteral("not a format and size")};
    TFormatChoice saved;
    TFormatRequest format;
    if (ChoiceFromSettings(request.savedFormat, request.savedSize, saved) &&
        ResolveFormatChoice(offered, saved, format, skip.why)) {
        if (format.pixelFormat == 0 || IsConvertible(format.pixelFormat)) {
            choice.code = saved.code;
            choice.width = saved.width;
            choice.height = saved.height;
            return true;
        }
        // Applied, it would leave the camera sending pictures we cannot show.
        skip.reason = TSavedFormatSkip::Reason::Unconvertible;
        skip.why = FormatName(format.pixelFormat) + QStringLiteral(" cannot be converted");
    }
    if (events_.savedFormatSkipped) {
        events_.savedFormatSkipped(skip);
    }
    return false;
}

int TCaptureController::StartSession(const QString& deviceName, const TFormatRequest& format) {
    return options_.startCapture ? options_.startCapture(session_, deviceName, format)
                                 : session_.StartCapture(deviceName, format);
}

void TCaptureController::StopSession() {
    if (options_.stopCapture) {
        options_.stopCapture(session_);
    } else {
        session_.StopCapture();
    }
}

void TCaptureController::SetInterval(std::chrono::milliseconds period) {
    gate_.SetInterval(period);
    hasInterval_ = period > std::chrono::milliseconds::zero();
}

void TCaptureController::SetControls(std::vector<TControlSetting> controls) {
    controls_ = std::move(controls);
    toldProblems_.clear();
}

void TCaptureController::CaptureStarted(StartKind kind, const TCaptureNode* node) {
    running_ = true;
    // A reopened camera is back at its own defaults.
    ApplyControls();
    // Automatic exposure settles anew after every start.
    gate_.StartCapture(std::chrono::system_clock::now());
    ArmStallTimer();
    if (kind == StartKind::Restarted) {
        return;  // said when the stall was found; the first frame says the rest
    }
    if (kind == StartKind::Returned) {
        // The same request as before: its notes were given at the first start.
        if (events_.returned) {
            events_.returned(*node);
        }
        return;
    }
    if (events_.started) {
        events_.started(MakeStartReport());
    }
}

// A problem that stays from start to start (a control the camera lacks) is
// told at the first only; one that went away and comes back is told again.
void TCaptureController::ApplyControls() {
    if (controls_.empty()) {
        return;
    }
    std::vector<std::string> problems;
    const TStatus status =
        session_.UseCaptureDevice([&](V4L2Io& io, int fd, const std::string& path) {
            problems = ApplyControlSettings(io, fd, path, controls_);
        });
    if (Failed(status)) {
        qCInfo(lcFrontend, "camera controls not set: no open device");
        return;
    }
    for (const std::string& problem : problems) {
        const bool told =
            std::find(toldProblems_.begin(), toldProblems_.end(), problem) != toldProblems_.end();
        if (!told && events_.controlProblem) {
            events_.controlProblem(QString::fromStdString(problem));
        }
    }
    toldProblems_ = std::move(problems);
}

TStartReport TCaptureController::MakeStartReport() const {
    const TStreamFormat& got = session_.CaptureFormat();
    TStartReport report;
    report.adjustment = AdjustmentNote(format_, got);
    report.pixelFormat = got.pixelFormat;
    report.unconvertible = format_.pixelFormat == 0 && !IsConvertible(got.pixelFormat);
    report.passthroughIgnored = logger_.Passthrough() && session_.Compression() != fourcc::kMJPG;
    if (report.unconvertible) {
        TDeviceFormats offered;
        session_.CaptureFormats(offered);
        report.convertible = ConvertibleFormats(offered);
    }
    return report;
}

// Whether a received frame goes to the logger is decided here alone.
void TCaptureController::OnFrame() {
    if (running_) {
        stallTimer_.start();  // the same timeout again, from this frame
    }
    if (recovering_) {
        recovering_ = false;
        if (events_.stallRecovered) {
            events_.stallRecovered();
        }
    }
    if (!takingFrames_) {
        return;  // frames already queued when the run was ended
    }
    const std::uint64_t written = logger_.FilesWritten();
    const TFrameLogger::FrameChoice choose = [this](bool nthFrame) {
        return ChooseFrame(nthFrame);
    };
    if (!events_.frameFailed) {
        logger_.OnNewFrame(choose);
    } else {
        try {
            logger_.OnNewFrame(choose);
        } catch (...) {
            events_.frameFailed(std::current_exception());
            return;
        }
    }
    if (events_.frameHandled) {
        events_.frameHandled(logger_.FilesWritten() != written);
    }
}

// Without a period every N-th frame is shown and written unless the warm-up
// holds it back. With one, every received frame is judged, since the first
// after a boundary is written whether or not it is an N-th one; the others
// are shown every N-th frame. A frame is fetched at most once either way.
TFrameLogger::TTake TCaptureController::ChooseFrame(bool nthFrame) {
    if (!nthFrame && !hasInterval_) {
        return {};
    }
    TCaptureTime captured = options_.newestCaptureTime ? options_.newestCaptureTime(session_)
                                                       : session_.NewestCaptureTime();
    if (captured == TCaptureTime{}) {
        captured = std::chrono::system_clock::now();
    }
    const TFrameGate::Verdict verdict = gate_.Judge(captured);
    NoteResting(verdict == TFrameGate::Verdict::Resting, captured);
    const bool write = verdict == TFrameGate::Verdict::Write;
    return {nthFrame || write, write};
}

// Resting is told once when it begins, with the next active moment, and
// once when it ends.
void TCaptureController::NoteResting(bool resting, TCaptureTime captured) {
    if (resting == resting_) {
        return;
    }
    resting_ = resting;
    if (!resting) {
        qCInfo(lcFrontend, "active time began; writing again");
        if (events_.active) {
            events_.active();
        }
        return;
    }
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(EpochMilliseconds(captured));
    const QDateTime until = gate_.ActiveTime().NextActive(at);
    qCInfo(lcFrontend, "outside the active time; nothing written until %s",
           qUtf8Printable(until.isValid() ? until.toString(Qt::ISODate) : QStringLiteral("never")));
    if (events_.resting) {
        events_.resting(until);
    }
}

// The stall timeout of the running stream: a driver that lowers the frame
// rate (dim light) gets ten of its own periods.
void TCaptureController::ArmStallTimer() {
    using std::chrono::milliseconds;
    milliseconds timeout = options_.stallTimeout;
    if (timeout.count() <= 0) {
        timeout = TCaptureOptions::kMinStallTimeout;
        const TFraction& period = session_.CaptureFormat().interval;
        if (period.IsSet()) {
            const std::int64_t ms = std::int64_t{TCaptureOptions::kStallFrames} * 1000 *
                                    period.numerator / period.denominator;
            timeout = std::clamp(milliseconds(ms), timeout, milliseconds(std::chrono::hours(24)));
        }
    }
    stallTimer_.start(timeout);
}

// No frame and no error for the stall timeout: the camera hangs (firmware,
// a driver that drops every buffer). Stopping and starting the stream with
// the same request is what unplugging would do; a camera that cannot even be
// started again is waited for as a lost one. A restart that itself hangs
// blocks this thread, so the watchdog pings stop and the service manager
// restarts the process.
void TCaptureController::OnStall() {
    if (!running_) {
        return;
    }
    if (!recovering_) {
        recovering_ = true;
        ++stalls_;
        qCWarning(lcFrontend, "no frame from %s for %d ms; restarting the capture",
                  qUtf8Printable(device_), stallTimer_.interval());
        if (events_.stalled) {
            events_.stalled();
        }
        if (!running_) {
            return;  // the front end ended the run
        }
    } else {
        qCInfo(lcFrontend, "still no frame from %s after a restart; restarting again",
               qUtf8Printable(device_));
    }
    StopSession();
    QCoreApplication::removePostedEvents(session_.FrameWindow(), TVideoImage::kFrameMessage);
    if (StartSession(device_, format_) == 0) {
        CaptureStarted(StartKind::Restarted);
        return;
    }
    const TVideoImage::StartFailure& failure = session_.LastStartFailure();
    qCWarning(lcFrontend, "restart of %s after a stall failed: %s", qUtf8Printable(device_),
              qUtf8Printable(failure.text));
    CameraLost(failure.status);
}

}  // namespace vistrel
