// SPDX-License-Identifier: MIT
#include "log_command.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>

#include <array>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "base/error_handler.h"
#include "base/errors.h"
#include "base/unique_fd.h"
#include "file_command.h"
#include "frontend/capture_controller.h"
#include "frontend/control_settings.h"
#include "frontend/duration.h"
#include "frontend/format_choice.h"
#include "frontend/frame_logger.h"
#include "frontend/picture_setting.h"
#include "frontend/settings.h"
#include "log_format.h"
#include "logging.h"
#include "pipeline/video_image.h"
#include "run_status.h"
#include "service_notifier.h"

namespace vistrel::cli {

namespace {

// SIGINT and SIGTERM end the run at the next turn of the event loop, and
// SIGHUP reads the settings again: the handler only writes the signal's
// number into a pipe that the loop watches.
class RunSignals {
public:
    RunSignals() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            qCInfo(lcCli, "pipe2 for the signal pipe: %s", ErrnoText(errno).c_str());
            throw std::runtime_error("Cannot create a pipe for signals");
        }
        raised_.store(false);
        pipeRead_.Reset(fds[0]);
        pipeWrite_.Reset(fds[1]);
        writeEnd_.store(fds[1]);
        struct sigaction action {};
        action.sa_handler = &RunSignals::OnSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            if (::sigaction(kSignals[i], &action, &previous_[i]) != 0) {
                // Ctrl+C then ends the program the default way.
                qCInfo(lcCli, "sigaction %d: %s", kSignals[i], ErrnoText(errno).c_str());
            }
        }
    }
    ~RunSignals() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], &previous_[i], nullptr);
        }
        // A handler running on another thread finishes its write before the
        // pipe goes (the members close it after this body); later ones see
        // no pipe.
        writeEnd_.store(-1);
        while (activeHandlers_.load() != 0) {
            std::this_thread::yield();
        }
    }
    RunSignals(const RunSignals&) = delete;
    RunSignals& operator=(const RunSignals&) = delete;

    int ReadEnd() const { return pipeRead_.Get(); }
    // What came since the last call: a stop, a reload, both or neither.
    struct Received {
        bool stop = false;
        bool reload = false;
    };
    Received Take() const {
        Received received;
        char bytes[64];
        ssize_t got = 0;
        while ((got = ::read(pipeRead_.Get(), bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                (bytes[i] == SIGHUP ? received.reload : received.stop) = true;
            }
        }
        return received;
    }
    // A stop signal came. Read between frames: on a slow disk the loop turns
    // only after the file in hand, and queued frames would start new files
    // before the pipe is read.
    static bool Raised() { return raised_.load(); }

private:
    static void OnSignal(int number) {
        const int saved = errno;
        const char byte = static_cast<char>(number);
        activeHandlers_.fetch_add(1);
        if (number != SIGHUP) {
            raised_.store(true);
        }
        const int fd = writeEnd_.load();
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
        }
        activeHandlers_.fetch_sub(1);
        errno = saved;
    }

    static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
    // Lock-free, so safe to read in a signal handler on any thread.
    static inline std::atomic<int> writeEnd_{-1};
    static inline std::atomic<int> activeHandlers_{0};
    static inline std::atomic<bool> raised_{false};
    static_assert(std::atomic<int>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);
    UniqueFd pipeRead_;
    UniqueFd pipeWrite_;  // its number is also in writeEnd_, for the handler
    std::array<struct sigaction, kSignals.size()> previous_{};
};

// One "vistrel-cli log" run: the capture controller runs the camera; its
// reports become lines on standard error and the service manager's status.
class LogRun {
public:
    LogRun(const LogOptions& options, const LogSettings& where, const std::shared_ptr<V4L2Io>& io,
           QTextStream& out, QTextStream& err, bool statusLine);
    LogRun(const LogRun&) = delete;
    LogRun& operator=(const LogRun&) = delete;

    // Runs until a limit is reached, a fault ends the run or a signal
    // arrives; the exit status.
    int Exec();

private:
    void Configure();
    void ConfigurePictures();
    TCaptureEvents Events();
    TCaptureRequest Request() const;
    bool Start();
    void Loop(const RunSignals& runSignals);
    void Reload();
    bool NeedsRestart(const TCaptureRequest& before, const TCaptureRequest& after) const;
    // After a limit ended the run, the waiting commands still run, each
    // within its timeout; a signal ends them (the running one is sent
    // SIGTERM, then SIGKILL) and drops the rest.
    void FinishCommands(const RunSignals& runSignals);

    void Note(const QString& message);
    void Fail(const QString& message);
    // Frame events already queued may still be delivered after the loop was
    // asked to end; none of them is taken.
    void Stop();
    void PrintStatus();
    TRunSnapshot Snapshot();
    TRunState State();
    // A fault the status file shows as the last error.
    void RecordError(const QString& message);

    void Published(const QString& path, TCaptureTime captured);
    void FrameHandled();
    bool LimitReached() const;
    void WritePaused(const TWriteFault& fault);
    void WriteResumed(std::uint64_t notWritten);
    void CameraLost(TStatus reason);
    void CameraReturned(const TCaptureNode& node);
    void CameraStalled();
    void CameraBack();
    void Resting(const QDateTime& until);
    void Active();
    // A start told the camera's name, node and format.
    void CameraKnown();

    const LogOptions& options_;
    const LogSettings& where_;
    QTextStream& out_;
    QTextStream& err_;
    const bool statusLine_;
    TSettings settings_;  // read again on SIGHUP
    TVideoImage session_;
    TFrameLogger logger_;
    TCaptureController controller_;
    ServiceNotifier notifier_;             // no-op outside a service
    std::optional<TFileCommand> command_;  // with --exec
    TStatusFiles statusFiles_;             // with --status-file or --metrics
    const QDateTime startTime_ = QDateTime::currentDateTime();
    QDateTime lastFileTime_;
    QString lastError_;
    QDateTime lastErrorTime_;
    std::uint64_t losses_ = 0;
    std::uint64_t pauses_ = 0;
    bool resting_ = false;  // outside the active time: nothing written
    QEventLoop loop_;
    int status_ = kExitSuccess;
};

LogRun::LogRun(const LogOptions& options, const LogSettings& where,
               const std::shared_ptr<V4L2Io>& io, QTextStream& out, QTextStream& err,
               bool statusLine)
    : options_(options),
      where_(where),
      out_(out),
      err_(err),
      statusLine_(statusLine),
      settings_(TSettings::Load(where.settingsFile, where.defaultDirectory)),
      session_(TVideoImage::Options{.io = io}),
      logger_([this](QImage& image, TCaptureTime& captureTime) {
          session_.CopyFrameTo(image, captureTime);
      }),
      controller_(session_, logger_,
                  TCaptureOptions{.cameraKeeper = where.cameraKeeper,
                                  .waitForLostCamera = !options.exitOnFault,
                                  .stallTimeout = where.stallTimeout}),
      notifier_(Request().device),
      statusFiles_(
          options.statusFile.value_or(QString()), options.metricsFile.value_or(QString()),
          [this] { return Snapshot(); }, [this](const QString& message) { Note(message); }) {
    if (options_.exec) {
        command_.emplace(TFileCommand::Options{.command = *options_.exec,
                                               .camera = Request().device,
                                               .timeout = options_.execTimeout,
                                               .killGrace = where_.execKillGrace},
                         [this](const QString& message) { Note(message); });
    }
    Configure();
    controller_.SetEvents(Events());
}

void LogRun::Configure() {
    QString directory = options_.directory.value_or(settings_.Directory);
    if (options_.subdir) {
        directory +=
            (directory.endsWith(u'/') ? QString() : QStringLiteral("/")) + *options_.subdir;
    }
    logger_.SetLogging(!options_.noWrite);
    logger_.SetOutputDirectory(directory);
    TFrameWriter& writer = logger_.Writer();
    writer.SetKeepFree(options_.keepFree.value_or(KeepFreeSetting(settings_.KeepFree)));
    writer.SetLatest(options_.latest.value_or(LatestSetting(settings_.Latest)));
    writer.SetDailyFolders(options_.daily || DailyFoldersSetting(settings_.DailyFolders));
    writer.SetKeepDays(options_.keepDays.value_or(KeepDaysSetting(settings_.KeepDays)));
    logger_.Writer().SetRetryInterval(where_.retryInterval);
    logger_.JpegEncoder().SetEncodingQuality(options_.quality.value_or(settings_.JPEGQuality));
    ConfigurePictures();
    // A reload that keeps the number keeps the workers and their files in hand.
    if (const int threads = options_.threads.value_or(settings_.WriteThreads());
        threads != logger_.WriteThreads()) {
        logger_.SetWriteThreads(threads, where_.writeQueue);
    }
    if (!options_.noWrite && options_.frames > 0) {
        logger_.SetFileLimit(static_cast<std::uint64_t>(options_.frames));
    }
    logger_.SetSessionReady(true);
}

// Each option decides its own part; a key that cannot go with an option is
// said and not applied.
void LogRun::ConfigurePictures() {
    TPictureSetting picture = PictureSetting(settings_);
    const StampArguments& stamp = options_.stamp;
    if (stamp.format) {
        picture.stamp.time = true;
        picture.stamp.format = *stamp.format;
    }
    if (stamp.title) {
        picture.stamp.title = *stamp.title;
    }
    if (options_.passthrough) {
        if (picture.stamp.Enabled()) {
            Note(
                QStringLiteral("Timestamp and Title of the settings file do not apply with "
                               "--passthrough"));
        }
        picture = {.stamp = {}, .passthrough = true};
    } else if (picture.passthrough && stamp.Given()) {
        Note(
            QStringLiteral("Passthrough of the settings file does not apply with --timestamp or "
                           "--title"));
        picture.passthrough = false;
    }
    logger_.SetStamp(picture.stamp);
    logger_.SetPassthrough(nullptr);
    if (picture.passthrough) {
        logger_.SetPassthrough([this](std::vector<std::uint8_t>& bytes, TCaptureTime& time) {
            return session_.CopyJpegFrameTo(bytes, time);
        });
    }
}

TCaptureEvents LogRun::Events() {
    TCaptureEvents events;
    events.savedFormatSkipped = [this](const TSavedFormatSkip& skip) {
        NoteSavedFormatSkip(skip, err_);
    };
    events.started = [this](const TStartReport& report) {
        NoteStartReport(report, err_);
        CameraKnown();
    };
    events.lost = [this](TStatus reason) { CameraLost(reason); };
    events.returned = [this](const TCaptureNode& node) { CameraReturned(node); };
    events.stalled = [this] { CameraStalled(); };
    events.stallRecovered = [this] { CameraBack(); };
    events.resting = [this](const QDateTime& until) { Resting(until); };
    events.active = [this] { Active(); };
    events.controlProblem = [this](const QString& problem) { Note(problem); };
    events.writePaused = [this](const TWriteFault& fault) { WritePaused(fault); };
    events.writeResumed = [this](std::uint64_t notWritten) { WriteResumed(notWritten); };
    events.published = [this](const QString& path, TCaptureTime captured) {
        Published(path, captured);
    };
    events.frameHandled = [this](bool) { FrameHandled(); };
    events.framesNotWritten = [this](std::uint64_t count) {
        // After a failure that ends the run, its reason stays the last line.
        if (status_ == kExitSuccess) {
            Note(QStringLiteral("%1 frames not written: the disk is too slow").arg(count));
        }
    };
    events.frameFailed = [this](std::exception_ptr error) { Fail(ErrorMessage(error)); };
    return events;
}

int LogRun::Exec() {
    // Installed before the start, so that an early Ctrl+C ends the run too.
    RunSignals runSignals;
    if (!Start()) {
        return status_;
    }
    notifier_.Ready();
    statusFiles_.Start();
    Loop(runSignals);
    controller_.Stop();
    // The files in hand are finished and printed before their commands run.
    logger_.FinishWriting();
    FinishCommands(runSignals);
    statusFiles_.WriteNow();
    if (statusLine_ && status_ == kExitSuccess) {
        PrintStatus();
        err_ << '\n';
    }
    return status_;
}

// The command line's options, and the settings for those it leaves unset.
TCaptureRequest LogRun::Request() const {
    return {
        .device = options_.device.value_or(NumberedDeviceName(settings_.Cam + 1)),
        .asked = options_.format,
        .savedFormat = settings_.Format,
        .savedSize = settings_.Size,
        .frameDivisor = options_.skip.value_or(settings_.SkippedFrames) + 1,
        .interval = options_.interval.value_or(DurationSetting(
            QStringLiteral("Interval"), settings_.Interval, ZeroDuration::MeansOff)),
        .warmUp = options_.warmUp.value_or(
            DurationSetting(QStringLiteral("WarmUp"), settings_.WarmUp, ZeroDuration::MeansOff)),
        .activeTime = TActiveTime(
            options_.hours ? options_.hours
                           : HoursSetting(QStringLiteral("Hours"), settings_.Hours),
            options_.daylight ? options_.daylight
                              : DaylightSetting(QStringLiteral("Daylight"), settings_.Daylight)),
        .controls =
            options_.controls.value_or(ControlListSetting(settings_.Controls.value_or(QString())))};
}

bool LogRun::Start() {
    const TStartResult result = controller_.Run(Request());
    switch (result.outcome) {
        case TStartResult::Outcome::Started:
            return true;
        case TStartResult::Outcome::NotOffered:
            Usage(result.message);
        case TStartResult::Outcome::Failed:
            err_ << kProgram << ": " << result.message << '\n';
            status_ = kExitFailure;
            break;
        case TStartResult::Outcome::Unwritable:
            Fail(result.message);
            break;
        case TStartResult::Outcome::Cancelled:
            break;  // said and ended by the report that cancelled it
    }
    return false;
}

void LogRun::Loop(const RunSignals& runSignals) {
    QSocketNotifier signalNotifier(runSignals.ReadEnd(), QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &loop_, [this, &runSignals] {
        const RunSignals::Received received = runSignals.Take();
        if (received.stop) {
            Stop();
        } else if (received.reload) {
            Reload();
        }
    });
    QTimer deadline;
    if (options_.seconds > 0) {
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop_, [this] { Stop(); });
        deadline.start(options_.seconds * 1000);
    }
    QTimer statusTimer;
    if (statusLine_) {
        QObject::connect(&statusTimer, &QTimer::timeout, &loop_, [this] { PrintStatus(); });
        statusTimer.start(500);
    }
    loop_.exec();
}

// The settings file is read again and what changed takes effect at once;
// the capture restarts only for another camera, format or size. A file that
// cannot be read, or that holds a value out of range, changes nothing.
void LogRun::Reload() {
    notifier_.Reloading();
    const QString problem = TSettings::Problem(where_.settingsFile);
    if (!problem.isEmpty()) {
        Note(QStringLiteral("settings not reloaded, the running ones are kept: %1").arg(problem));
        notifier_.Reloaded();
        return;
    }
    const TCaptureRequest before = Request();
    settings_ = TSettings::Load(where_.settingsFile, where_.defaultDirectory);
    const TCaptureRequest after = Request();
    Configure();
    if (NeedsRestart(before, after)) {
        controller_.Stop();
        notifier_.SetCamera(after.device);
        Note(QStringLiteral("settings reloaded; restarting the camera"));
        if (!Start()) {
            Stop();
            return;
        }
    } else {
        if (logger_.Logging()) {
            if (const std::optional<TWriteFault> fault = controller_.PrepareWriting()) {
                Fail(fault->message);
                return;
            }
        }
        logger_.SetFrameDivisor(after.frameDivisor);
        if (after.interval != before.interval) {
            controller_.SetInterval(after.interval);
        }
        controller_.SetWarmUp(after.warmUp);
        controller_.SetActiveTime(after.activeTime);
        if (after.controls != before.controls) {
            // Set on the running camera at once, and again at every later start.
            controller_.SetControls(after.controls);
            controller_.ApplyControls();
        }
        Note(QStringLiteral("settings reloaded"));
    }
    notifier_.Reloaded();
}

// Another camera, or another saved format or size that the command line
// does not override.
bool LogRun::NeedsRestart(const TCaptureRequest& before, const TCaptureRequest& after) const {
    const bool savedApplies = options_.format.code.isEmpty() && options_.format.width == 0;
    return after.device != before.device ||
           (savedApplies &&
            (after.savedFormat != before.savedFormat || after.savedSize != before.savedSize));
}

void LogRun::FinishCommands(const RunSignals& runSignals) {
    if (!command_) {
        return;
    }
    if (!RunSignals::Raised() && !command_->Idle()) {
        QEventLoop drain;
        command_->SetIdleHandler([&drain] { drain.quit(); });
        QSocketNotifier stopNotifier(runSignals.ReadEnd(), QSocketNotifier::Read);
        QObject::connect(&stopNotifier, &QSocketNotifier::activated, &drain,
                         [&drain] { drain.quit(); });
        drain.exec();
        command_->SetIdleHandler(nullptr);
    }
    command_->Stop();
}

void LogRun::Note(const QString& message) {
    err_ << (statusLine_ ? "\n" : "") << kProgram << ": " << message << '\n';
    err_.flush();
}

void LogRun::Fail(const QString& message) {
    Note(message);
    status_ = kExitFailure;
    Stop();
}

void LogRun::Stop() {
    controller_.StopTakingFrames();
    loop_.exit();
}

void LogRun::PrintStatus() {
    const TVideoImage::SampleCounts counts = session_.Samples();
    err_ << "\rreceived " << counts.received << ", taken " << logger_.FramesTaken() << ", written "
         << logger_.FilesWritten() << ", dropped " << counts.dropped << " (bad " << counts.bad
         << "), stalls " << controller_.Stalls() << "   ";
    err_.flush();
}

TRunState LogRun::State() {
    if (controller_.WaitingForCamera()) {
        return TRunState::WaitingForCamera;
    }
    if (controller_.Recovering()) {
        return TRunState::Stalled;
    }
    if (logger_.Writer().IsPaused()) {
        return TRunState::WritingPaused;
    }
    return resting_ ? TRunState::Resting : TRunState::Capturing;
}

TRunSnapshot LogRun::Snapshot() {
    const TVideoImage::SampleCounts counts = session_.Samples();
    const TStreamFormat& format = session_.CaptureFormat();
    const std::string& card = session_.CameraIdentity().card;
    TRunSnapshot snapshot{
        .camera = card.empty() ? controller_.Device() : QString::fromStdString(card),
        .node = session_.DevicePath(),
        .format = format.pixelFormat != 0 ? FormatName(format.pixelFormat) : QString(),
        .width = format.width,
        .height = format.height,
        .state = State(),
        .counters = {.received = counts.received,
                     .taken = logger_.FramesTaken(),
                     .written = logger_.FilesWritten(),
                     .dropped = counts.dropped,
                     .bad = counts.bad,
                     .stalls = controller_.Stalls(),
                     .losses = losses_,
                     .pauses = pauses_,
                     .commandsDropped = command_ ? command_->Dropped() : 0,
                     .commandsFailed = command_ ? command_->Failed() : 0},
        .lastFile = logger_.LastFile(),
        .lastFileTime = lastFileTime_,
        .lastError = lastError_,
        .lastErrorTime = lastErrorTime_,
        .startTime = startTime_,
        .version = QStringLiteral(VISTREL_VERSION)};
    return snapshot;
}

void LogRun::RecordError(const QString& message) {
    lastError_ = message;
    lastErrorTime_ = QDateTime::currentDateTime();
}

void LogRun::Published(const QString& path, TCaptureTime captured) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(captured.time_since_epoch());
    lastFileTime_ = QDateTime::fromMSecsSinceEpoch(ms.count());
    out_ << path << '\n';
    out_.flush();
    if (command_) {
        command_->Add(path);
    }
    if (LimitReached()) {
        Stop();
    }
}

void LogRun::FrameHandled() {
    notifier_.FrameArrived(logger_.FramesTaken(), logger_.FilesWritten());
    if (RunSignals::Raised() || LimitReached()) {
        Stop();
    }
}

bool LogRun::LimitReached() const {
    const std::uint64_t done = options_.noWrite ? logger_.FramesTaken() : logger_.FilesWritten();
    return options_.frames > 0 && done >= static_cast<std::uint64_t>(options_.frames);
}

// Paused writing is not waiting for the watchdog: the camera still sends
// frames, and one that hangs meanwhile must still be restarted.
void LogRun::WritePaused(const TWriteFault& fault) {
    if (options_.exitOnFault) {
        Fail(fault.message);
        return;
    }
    ++pauses_;
    RecordError(fault.message);
    statusFiles_.StateMayHaveChanged();
    const auto ms = where_.retryInterval.count();
    Note(
        fault.message + QStringLiteral("; writing paused, trying again every ") +
        (ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000) : QStringLiteral("%1 ms").arg(ms)));
}

void LogRun::WriteResumed(std::uint64_t notWritten) {
    // With --exit-on-fault the pause ended the run: a file another thread
    // had in hand and finished after it resumes nothing.
    if (options_.exitOnFault) {
        return;
    }
    Note(QStringLiteral("writing resumed; %1 taken frames were not written").arg(notWritten));
    statusFiles_.StateMayHaveChanged();
}

void LogRun::CameraLost(TStatus reason) {
    if (options_.exitOnFault) {
        Fail(QStringLiteral("Capture device lost"));
        return;
    }
    const int error = ErrnoOfStatus(reason);
    const QString cause =
        error != 0 ? QStringLiteral(" (%1)").arg(QString::fromStdString(SystemErrorText(error)))
                   : QString();
    Note(QStringLiteral("Capture device lost%1; waiting for it to come back").arg(cause));
    notifier_.SetWaiting(controller_.Waiting());
    ++losses_;
    RecordError(QStringLiteral("Capture device lost%1").arg(cause));
    statusFiles_.StateMayHaveChanged();
}

void LogRun::CameraReturned(const TCaptureNode& node) {
    Note(QStringLiteral("Capture device back at %1").arg(QString::fromStdString(node.path)));
    notifier_.SetWaiting(controller_.Waiting());
    CameraKnown();
}

// A stall recovery is knowingly without frames, as a wait for a lost camera.
void LogRun::CameraStalled() {
    Note(QStringLiteral("Camera stalled; restarting"));
    notifier_.SetStalls(controller_.Stalls());
    notifier_.SetWaiting(controller_.Waiting());
    RecordError(QStringLiteral("Camera stalled"));
    statusFiles_.StateMayHaveChanged();
}

void LogRun::CameraKnown() {
    if (command_ && !session_.CameraIdentity().card.empty()) {
        command_->SetCamera(QString::fromStdString(session_.CameraIdentity().card));
    }
    statusFiles_.WriteNow();
}

void LogRun::CameraBack() {
    Note(QStringLiteral("Camera back"));
    notifier_.SetWaiting(controller_.Waiting());
    statusFiles_.StateMayHaveChanged();
}

// Resting is knowingly idle: the camera runs on, nothing is written, and
// the watchdog is still pinged.
void LogRun::Resting(const QDateTime& until) {
    const QString note = RestingText(until, QDateTime::currentDateTime());
    Note(note + QStringLiteral(" (outside the active time; nothing is written)"));
    notifier_.SetResting(note);
    resting_ = true;
    statusFiles_.StateMayHaveChanged();
}

void LogRun::Active() {
    Note(QStringLiteral("Active again; writing"));
    notifier_.SetResting(std::nullopt);
    resting_ = false;
    statusFiles_.StateMayHaveChanged();
}

// A value parsed for an option, or the usage error that names it.
template <typename T>
T ParseActiveArgument(const QString& text, const QString& option) {
    TParsed<T> parsed = T::Parse(text);
    if (!parsed) {
        Usage(QStringLiteral("%1: %2").arg(option, parsed.error));
    }
    return std::move(*parsed.value);
}

std::chrono::milliseconds ParseDurationArgument(const QString& text, const QString& option,
                                                ZeroDuration zero) {
    const TParsed<std::chrono::milliseconds> parsed = ParseDuration(text, zero);
    if (!parsed) {
        Usage(QStringLiteral("%1: %2").arg(option, parsed.error));
    }
    return *parsed.value;
}

// A file the run rewrites: its folder must exist, since it is not made.
QString OutputFileArgument(const QString& path, const QString& option) {
    if (path.isEmpty() || path.endsWith(u'/')) {
        Usage(QStringLiteral("%1 needs a file name").arg(option));
    }
    return path;
}

}  // namespace

LogOptions ParseLogArguments(const QStringList& arguments) {
    LogOptions options;
    bool execTimeoutSet = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == u"--no-write") {
            options.noWrite = true;
        } else if (argument == u"--exit-on-fault") {
            options.exitOnFault = true;
        } else if (argument == u"--passthrough") {
            options.passthrough = true;
        } else if (ParseStampArgument(arguments, i, options.stamp)) {
            // taken
        } else if (argument == u"--daily") {
            options.daily = true;
        } else if (const auto latest = TakeValue(arguments, i, QStringLiteral("--latest"))) {
            if (const std::optional<QString> problem = TLatestLink::NameProblem(*latest)) {
                Usage(QStringLiteral("--latest: %1").arg(*problem));
            }
            options.latest = *latest;
        } else if (const auto days = TakeValue(arguments, i, QStringLiteral("--keep-days"))) {
            options.keepDays = ParseNumber(*days, QStringLiteral("--keep-days"), 1, kMaxKeepDays);
        } else if (const auto size = TakeValue(arguments, i, QStringLiteral("--keep-free"))) {
            options.keepFree = TKeepFree::Parse(*size);
            if (!options.keepFree) {
                Usage(QStringLiteral("--keep-free needs a size such as 500M, 2G or 5%, not \"%1\"")
                          .arg(*size));
            }
        } else if (const auto period = TakeValue(arguments, i, QStringLiteral("--interval"))) {
            options.interval =
                ParseDurationArgument(*period, QStringLiteral("--interval"), ZeroDuration::Refused);
        } else if (const auto warmUp = TakeValue(arguments, i, QStringLiteral("--warm-up"))) {
            options.warmUp =
                ParseDurationArgument(*warmUp, QStringLiteral("--warm-up"), ZeroDuration::MeansOff);
        } else if (const auto hours = TakeValue(arguments, i, QStringLiteral("--hours"))) {
            options.hours = ParseActiveArgument<TActiveHours>(*hours, QStringLiteral("--hours"));
        } else if (const auto place = TakeValue(arguments, i, QStringLiteral("--daylight"))) {
            options.daylight = ParseActiveArgument<TDaylight>(*place, QStringLiteral("--daylight"));
        } else if (const auto control = TakeValue(arguments, i, QStringLiteral("--control"))) {
            const TParsed<TControlSetting> setting = ParseControlSetting(*control);
            if (!setting) {
                Usage(QStringLiteral("--control: %1").arg(setting.error));
            }
            options.controls = options.controls.value_or(std::vector<TControlSetting>{});
            options.controls->push_back(*setting.value);
        } else if (const auto command = TakeValue(arguments, i, QStringLiteral("--exec"))) {
            if (command->trimmed().isEmpty()) {
                Usage(QStringLiteral("--exec needs a command"));
            }
            options.exec = *command;
        } else if (const auto timeout = TakeValue(arguments, i, QStringLiteral("--exec-timeout"))) {
            options.execTimeout = ParseDurationArgument(*timeout, QStringLiteral("--exec-timeout"),
                                                        ZeroDuration::Refused);
            execTimeoutSet = true;
        } else if (const auto status = TakeValue(arguments, i, QStringLiteral("--status-file"))) {
            options.statusFile = OutputFileArgument(*status, QStringLiteral("--status-file"));
        } else if (const auto metrics = TakeValue(arguments, i, QStringLiteral("--metrics"))) {
            options.metricsFile = OutputFileArgument(*metrics, QStringLiteral("--metrics"));
        } else if (const auto device = TakeValue(arguments, i, QStringLiteral("--device"))) {
            options.device = *device;
        } else if (const auto skip = TakeValue(arguments, i, QStringLiteral("--skip"))) {
            options.skip =
                ParseNumber(*skip, QStringLiteral("--skip"), 0, TSettings::kMaxSkippedFrames);
        } else if (const auto quality = TakeValue(arguments, i, QStringLiteral("--quality"))) {
            options.quality =
                ParseNumber(*quality, QStringLiteral("--quality"), kMinQuality, kMaxQuality);
        } else if (const auto dir = TakeValue(arguments, i, QStringLiteral("--dir"))) {
            if (dir->isEmpty()) {
                Usage(QStringLiteral("--dir needs a directory"));
            }
            options.directory = *dir;
        } else if (const auto subdir = TakeValue(arguments, i, QStringLiteral("--subdir"))) {
            if (subdir->isEmpty() || subdir->contains(u'/') || *subdir == u"." ||
                *subdir == u"..") {
                Usage(QStringLiteral("--subdir needs a folder name without '/'"));
            }
            options.subdir = *subdir;
        } else if (const auto threads = TakeValue(arguments, i, QStringLiteral("--threads"))) {
            options.threads =
                ParseNumber(*threads, QStringLiteral("--threads"), 1, TSettings::kMaxThreads);
        } else if (const auto frames = TakeValue(arguments, i, QStringLiteral("--frames"))) {
            options.frames = ParseNumber(*frames, QStringLiteral("--frames"), 1, 1'000'000'000);
        } else if (const auto seconds = TakeValue(arguments, i, QStringLiteral("--seconds"))) {
            options.seconds = ParseNumber(*seconds, QStringLiteral("--seconds"), 1, 2'000'000);
        } else if (!ParseFormatArgument(arguments, i, options.format)) {
            Usage(QStringLiteral("unknown argument \"%1\"").arg(argument));
        }
    }
    if (options.passthrough && options.stamp.Given()) {
        Usage(
            QStringLiteral("--timestamp and --title cannot go with --passthrough: the camera's "
                           "JPEG is written as it came, so nothing can be drawn on it"));
    }
    if (execTimeoutSet && !options.exec) {
        Usage(QStringLiteral("--exec-timeout needs --exec"));
    }
    if (options.statusFile && options.statusFile == options.metricsFile) {
        Usage(QStringLiteral("--status-file and --metrics need two different files"));
    }
    return options;
}

int RunLog(const LogOptions& options, const LogSettings& where, const std::shared_ptr<V4L2Io>& io,
           QTextStream& out, QTextStream& err, bool statusLine) {
    LogRun run(options, where, io, out, err, statusLine);
    return run.Exec();
}

int RunLogCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io, QTextStream& out,
                  QTextStream& err) {
    return RunCommand(QStringLiteral("log"), arguments, LogHelpText(), out, err, [&] {
        return RunLog(ParseLogArguments(arguments),
                      {TSettings::SettingsFileName(), TSettings::DefaultDirectory()}, io, out, err,
                      ::isatty(STDERR_FILENO) == 1);
    });
}

QString LogHelpText() {
    return QStringLiteral(
        "Usage: vistrel-cli log [--device NAME] [--skip N] [--quality Q] [--dir DIR]\n"
        "                       [--subdir NAME] [--frames K] [--seconds S] [--no-write]\n"
        "                       [--keep-free SIZE] [--keep-days N] [--daily]\n"
        "                       [--latest NAME] [--exit-on-fault] [--threads N]\n"
        "                       [--format CODE] [--size WxH] [--fps N]\n"
        "                       [--interval DURATION] [--warm-up DURATION]\n"
        "                       [--hours HH:MM-HH:MM[,...]] [--daylight LAT,LON[,MINUTES]]\n"
        "                       [--control NAME=VALUE]...\n"
        "                       [--timestamp[=FORMAT]] [--title TEXT] [--passthrough]\n"
        "                       [--exec COMMAND] [--exec-timeout DURATION]\n"
        "                       [--status-file PATH] [--metrics PATH]\n"
        "\n"
        "Captures from a camera and writes every (N+1)-th frame as a JPEG file named\n"
        "after the local time it was captured (yymmddhhnnsszzz.jpg), as the window\n"
        "does.\n"
        "\n"
        "  --device NAME  the camera: its name as 'vistrel-cli devices' lists it,\n"
        "                 #n for the n-th camera of that list, or its device path:\n"
        "                 /dev/videoN or a stable link such as /dev/v4l/by-id/... or\n"
        "                 /dev/v4l/by-path/... (one USB port), which stays when the\n"
        "                 node number changes\n"
        "  --skip N       frames skipped between taken frames, 0 to 100\n"
        "  --quality Q    JPEG quality, 50 to 100\n"
        "  --dir DIR      directory the files are written to\n"
        "  --subdir NAME  write into the folder NAME under that directory, made when\n"
        "                 missing (one folder per camera when several loggers run)\n"
        "  --frames K     stop after K files (K taken frames with --no-write)\n"
        "  --seconds S    stop after S seconds\n"
        "  --no-write     take frames but write no files\n"
        "  --keep-free SIZE\n"
        "                 before each file, delete the oldest of Vistrel's own\n"
        "                 pictures (yymmddhhnnsszzz.jpg, yymmddhhnnsszzz-N.jpg) in\n"
        "                 the directory while less than SIZE is free: a number with K, M or G\n"
        "                 (powers of 1024: 500M is 500 MiB), or a share of the\n"
        "                 file system such as 5%. Off unless set here or by\n"
        "                 KeepFree in the settings file; 0 turns it off. This\n"
        "                 deletes any file of that pattern in the folder, also\n"
        "                 another logger's: give each logger its own folder.\n"
        "                 A floor above 90% or at least the file system's size\n"
        "                 is refused, since it could never be met\n"
        "  --keep-days N  delete Vistrel's own pictures whose name's time is more\n"
        "                 than N days old (1 to 36500), at the start and then\n"
        "                 hourly (KeepDays in the settings file)\n"
        "  --daily        write into a folder per day, DIR/yyyy-mm-dd/ after the\n"
        "                 local date of capture, made when missing; --keep-free\n"
        "                 and --keep-days then also cover these folders and\n"
        "                 remove one once it is empty (DailyFolders=1)\n"
        "  --latest NAME  keep a symbolic link DIR/NAME to the newest picture,\n"
        "                 replaced atomically after each file (Latest); a NAME\n"
        "                 that is not such a link is left alone\n"
        "  --exit-on-fault\n"
        "                 end with status 1 at the first file that cannot be\n"
        "                 written or when the camera is lost, instead of pausing\n"
        "                 or waiting for it to come back\n"
        "  --threads N    threads that encode and write the files, 1 to 16 (default:\n"
        "                 Threads in the settings file, else one per core, at most 4)\n"
        "  --format CODE  the pixel format: YUY2, I420, YV12, MJPG, RGB or the V4L2\n"
        "                 code, any case (see 'vistrel-cli formats')\n"
        "  --size WxH     the frame size, e.g. 1280x720\n"
        "  --fps N        the frame rate, e.g. 30 or 7.5\n"
        "  --interval DURATION\n"
        "                 write one picture per period instead: the first frame\n"
        "                 captured at or after local midnight plus each whole\n"
        "                 period; --skip then has no effect here. A number\n"
        "                 with ms, s, min or h (500ms, 10s, 5min, 1h; a bare\n"
        "                 number is seconds), from 100 ms to 24 h\n"
        "  --warm-up DURATION\n"
        "                 write nothing captured within DURATION after each start\n"
        "                 of the camera (also after it comes back or changes\n"
        "                 format), while its exposure settles; 0 (the default) is off\n"
        "  --hours HH:MM-HH:MM[,HH:MM-HH:MM...]\n"
        "                 write only within these local times of day; a range whose\n"
        "                 end comes first wraps past midnight (22:00-06:00), 24:00\n"
        "                 ends one at midnight, and 00:00-24:00 is all day\n"
        "  --daylight LAT,LON[,MINUTES]\n"
        "                 write only between sunrise and sunset at that place\n"
        "                 (degrees north and east, such as 52.52,13.40), widened by\n"
        "                 MINUTES at both ends (narrowed when negative); a day the\n"
        "                 sun does not set is all active, one it does not rise not\n"
        "                 at all. With --hours too, a frame must be within both\n"
        "  --control NAME=VALUE\n"
        "                 set a camera control after every start of the camera\n"
        "                 (also after it comes back); repeatable, applied in the\n"
        "                 order given, so switch an auto mode off before the value\n"
        "                 it locks. NAME as 'vistrel-cli controls' lists it; VALUE\n"
        "                 a number, on/off for a check box or a menu item's name.\n"
        "                 A control the camera lacks or a value it refuses is told\n"
        "                 once with the driver's reason, and logging goes on.\n"
        "                 Given here, it replaces Controls of the settings file\n"
        "  --timestamp[=FORMAT]\n"
        "                 burn the capture time into the bottom-left corner of each\n"
        "                 written file (never the thumbnail): white letters with a\n"
        "                 dark outline, about 1/30 of the picture's height. FORMAT\n"
        "                 follows strftime, with %f for the milliseconds, and only\n"
        "                 ever comes after '=': --timestamp alone takes the default\n"
        "                 %Y-%m-%d %H:%M:%S. Every other pixel stays as converted\n"
        "  --title TEXT   a caption before the time (or alone), printable ASCII\n"
        "  --passthrough  for an MJPG camera: write its JPEG as it came, with no\n"
        "                 decoding and encoding (--quality does not apply); a frame\n"
        "                 without Huffman tables gets the standard ones. Cannot go\n"
        "                 with --timestamp or --title; with another format it is\n"
        "                 ignored with one note\n"
        "  --exec COMMAND run the shell command COMMAND after each written file, with\n"
        "                 the file's absolute path in $1 and VISTREL_FILE and the\n"
        "                 camera's name in VISTREL_CAMERA. One command at a time;\n"
        "                 up to 100 files wait, beyond that the oldest are dropped.\n"
        "                 Its output goes to standard error. After --frames or\n"
        "                 --seconds the waiting ones still run; a signal ends them\n"
        "  --exec-timeout DURATION\n"
        "                 end a command that runs longer (SIGTERM, SIGKILL 5 s\n"
        "                 later); 60 s by default\n"
        "  --status-file PATH\n"
        "                 keep a JSON file with the camera, the state, the counters,\n"
        "                 the last file and the last error; rewritten whole at\n"
        "                 most once a second and at each change of state\n"
        "  --metrics PATH the same counters and state in the Prometheus text format,\n"
        "                 for node_exporter's textfile collector (PATH ending .prom)\n"
        "  -h, --help     show this help\n"
        "\n"
        "Unset options come from the window's settings file (never written here),\n"
        "or the defaults: the first camera, 3 skipped frames, quality 70 and the\n"
        "Vistrel folder in your pictures directory; Timestamp (1 for the default\n"
        "format, or a FORMAT), Title and Passthrough=1 there do the same as the\n"
        "options, which win over them. Without --frames or --seconds it\n"
        "runs until interrupted (Ctrl+C or SIGTERM), finishing the files in hand.\n"
        "Each written file's path is printed on standard output. A file never\n"
        "replaces another: a name that is taken gets -1, -2 ... before .jpg. The\n"
        "directory is made when missing. When a file cannot be written (a full\n"
        "disk, a removed directory), writing pauses with one line on standard\n"
        "error and is tried again at least every 10 s; one line tells when it\n"
        "works again. Besides the file each thread writes, up to 3 taken frames\n"
        "wait for the disk; a frame taken while they wait is not written, and one\n"
        "line tells how many were left out (\"N frames not written: the disk is too\n"
        "slow\").\n"
        "\n"
        "When the camera is lost it says so on standard error, waits for the same\n"
        "camera to come back (looking every 2 seconds and on device events) and goes\n"
        "on with the same settings, saying so again; the limits and Ctrl+C still end\n"
        "the run while it waits. A camera that stalls (no frame and no error for 3 s,\n"
        "or 10 frame periods when longer) is stopped and started again with the same\n"
        "settings (\"Camera stalled; restarting\", then \"Camera back\"); if it cannot\n"
        "be started it is waited for as a lost one. As a service, the watchdog is\n"
        "pinged only while frames arrive, the camera is waited for, a stall is\n"
        "being recovered or the run rests; paused writing alone does not count.\n"
        "\n"
        "Outside the active time (--hours, --daylight, or Hours and Daylight in the\n"
        "settings file) the camera runs on and nothing is written: one line says\n"
        "\"Resting until 06:12\" (the next active moment, local time; with the date\n"
        "when more than a day away) and one \"Active again\" when it ends; as a\n"
        "service the status says so too.\n"
        "\n"
        "SIGHUP (what a service reload sends) reads the settings file again and\n"
        "applies what changed at once (quality, skipped frames, period, warm-up,\n"
        "active hours, daylight, camera controls, time stamp, directory, free\n"
        "space, days kept, day folders, latest link); the camera restarts only\n"
        "when another camera, format or size is set. Options given on the command\n"
        "line keep their values. A file that is missing, cannot be read, or that\n"
        "holds a value out of range changes nothing and is said why.\n"
        "\n"
        "The camera keeps its current format unless --format, --size or --fps asks\n"
        "for another, or the window saved a choice (Format and Size in the settings\n"
        "file; --fps applies on top of it). A format, size or rate the camera does\n"
        "not offer is refused with a list of what it offers, nearest first; a saved\n"
        "choice it does not offer, or one Vistrel cannot convert, is skipped with a\n"
        "note. Without --size the current size is kept.\n"
        "\n"
        "Example: a picture every minute\n"
        "  vistrel-cli log --interval 1min\n"
        "\n"
        "Example: exposure and focus fixed for a long time-lapse (the auto modes first)\n"
        "  vistrel-cli log --interval 1min --control exposure_auto=1 \\\n"
        "      --control exposure_time_absolute=300 \\\n"
        "      --control focus_automatic_continuous=0 --control focus_absolute=0\n"
        "\n"
        "Example: daylight only, at a given place (Berlin, from half an hour before\n"
        "sunrise to half an hour after sunset), a picture a minute\n"
        "  vistrel-cli log --daylight 52.52,13.40,30 --interval 1min\n"
        "\n"
        "Examples: a picture every minute, stamped with the time and a caption\n"
        "  vistrel-cli log --interval 1min --timestamp --title \"Garden\"\n"
        "  vistrel-cli log --timestamp='%d.%m.%Y %H:%M:%S.%f'\n"
        "and an MJPG camera's own JPEG, not encoded again\n"
        "  vistrel-cli log --format MJPG --size 1920x1080 --passthrough\n"
        "\n"
        "Example: upload each file\n"
        "  vistrel-cli log --exec 'rclone copy \"$1\" remote:webcam'\n"
        "\n"
        "Example: a folder per day, a month kept, and a link for a web page\n"
        "  vistrel-cli log --daily --keep-days 30 --latest latest.jpg\n"
        "\n"
        "Exit status: 0 when stopped as asked; 1 when the camera cannot be started\n"
        "or, with --exit-on-fault, when it is lost or a file cannot be written;\n"
        "2 for a wrong command line, or a format, size or rate the camera does not\n"
        "offer.\n");
}

}  // namespace vistrel::cli
