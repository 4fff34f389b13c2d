// SPDX-License-Identifier: MIT
#include "log_command.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>

#include <array>
#include <atomic>
#include <cerrno>
#include <thread>

#include "base/error_handler.h"
#include "base/errors.h"
#include "base/unique_fd.h"
#include "frontend/capture_controller.h"
#include "frontend/duration.h"
#include "frontend/frame_logger.h"
#include "frontend/settings.h"
#include "log_format.h"
#include "logging.h"
#include "pipeline/video_image.h"
#include "service_notifier.h"

namespace vistrel::cli {

namespace {

// SIGINT and SIGTERM end the run at the next turn of the event loop: the
// handler only writes a byte into a pipe that the loop watches.
class StopSignals {
public:
    StopSignals() {
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
        action.sa_handler = &StopSignals::OnSignal;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 2; ++i) {
            if (::sigaction(kSignals[i], &action, &previous_[i]) != 0) {
                // Ctrl+C then ends the program the default way.
                qCInfo(lcCli, "sigaction %d: %s", kSignals[i], ErrnoText(errno).c_str());
            }
        }
    }
    ~StopSignals() {
        for (int i = 0; i < 2; ++i) {
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
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int ReadEnd() const { return pipeRead_.Get(); }
    // A signal came. Read between frames: on a slow disk the loop turns
    // only after the file in hand, and queued frames would start new files
    // before the pipe is read.
    static bool Raised() { return raised_.load(); }

private:
    static void OnSignal(int) {
        const int saved = errno;
        const char byte = 1;
        activeHandlers_.fetch_add(1);
        raised_.store(true);
        const int fd = writeEnd_.load();
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
        }
        activeHandlers_.fetch_sub(1);
        errno = saved;
    }

    static constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};
    // Lock-free, so safe to read in a signal handler on any thread.
    static inline std::atomic<int> writeEnd_{-1};
    static inline std::atomic<int> activeHandlers_{0};
    static inline std::atomic<bool> raised_{false};
    static_assert(std::atomic<int>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);
    UniqueFd pipeRead_;
    UniqueFd pipeWrite_;  // its number is also in writeEnd_, for the handler
    std::array<struct sigaction, 2> previous_{};
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
    TCaptureEvents Events();
    bool Start();
    void Loop(const StopSignals& stopSignals);

    void Note(const QString& message);
    void Fail(const QString& message);
    // Frame events already queued may still be delivered after the loop was
    // asked to end; none of them is taken.
    void Stop();
    void PrintStatus();

    void FrameHandled();
    void FileWritten(const QString& path);
    bool LimitReached() const;
    void WritePaused(const TWriteFault& fault);
    void WriteResumed(std::uint64_t notWritten);
    void CameraLost(TStatus reason);
    void CameraReturned(const TCaptureNode& node);
    void CameraStalled();
    void CameraBack();

    const LogOptions& options_;
    const LogSettings& where_;
    QTextStream& out_;
    QTextStream& err_;
    const bool statusLine_;
    const TSettings settings_;
    const QString device_;
    TVideoImage session_;
    TFrameLogger logger_;
    TCaptureController controller_;
    ServiceNotifier notifier_;  // no-op outside a service
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
      device_(options.device.value_or(NumberedDeviceName(settings_.Cam + 1))),
      session_(TVideoImage::Options{.io = io}),
      logger_([this](QImage& image, TCaptureTime& captureTime) {
          session_.CopyFrameTo(image, captureTime);
      }),
      controller_(session_, logger_,
                  TCaptureOptions{.cameraKeeper = where.cameraKeeper,
                                  .waitForLostCamera = !options.exitOnFault,
                                  .stallTimeout = where.stallTimeout}),
      notifier_(device_) {
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
    logger_.Writer().SetKeepFree(options_.keepFree.value_or(KeepFreeSetting(settings_.KeepFree)));
    logger_.Writer().SetRetryInterval(where_.retryInterval);
    logger_.JpegEncoder().SetEncodingQuality(options_.quality.value_or(settings_.JPEGQuality));
    logger_.SetWriteThreads(options_.threads.value_or(settings_.WriteThreads()), where_.writeQueue);
    if (!options_.noWrite && options_.frames > 0) {
        logger_.SetFileLimit(static_cast<std::uint64_t>(options_.frames));
    }
    logger_.SetSessionReady(true);
}

TCaptureEvents LogRun::Events() {
    TCaptureEvents events;
    events.savedFormatSkipped = [this](const TSavedFormatSkip& skip) {
        NoteSavedFormatSkip(skip, err_);
    };
    events.started = [this](const TStartReport& report) { NoteStartReport(report, err_); };
    events.lost = [this](TStatus reason) { CameraLost(reason); };
    events.returned = [this](const TCaptureNode& node) { CameraReturned(node); };
    events.stalled = [this] { CameraStalled(); };
    events.stallRecovered = [this] { CameraBack(); };
    events.writePaused = [this](const TWriteFault& fault) { WritePaused(fault); };
    events.writeResumed = [this](std::uint64_t notWritten) { WriteResumed(notWritten); };
    events.frameHandled = [this](bool) { FrameHandled(); };
    events.fileWritten = [this](const QString& path) { FileWritten(path); };
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
    StopSignals stopSignals;
    if (!Start()) {
        return status_;
    }
    notifier_.Ready();
    Loop(stopSignals);
    controller_.Stop();
    // The files in hand are finished and printed before the run ends.
    logger_.FinishWriting();
    if (statusLine_ && status_ == kExitSuccess) {
        PrintStatus();
        err_ << '\n';
    }
    return status_;
}

bool LogRun::Start() {
    const TStartResult result = controller_.Run(
        {.device = device_,
         .asked = options_.format,
         .savedFormat = settings_.Format,
         .savedSize = settings_.Size,
         .frameDivisor = options_.skip.value_or(settings_.SkippedFrames) + 1,
         .interval = options_.interval.value_or(DurationSetting(
             QStringLiteral("Interval"), settings_.Interval, ZeroDuration::MeansOff)),
         .warmUp = options_.warmUp.value_or(
             DurationSetting(QStringLiteral("WarmUp"), settings_.WarmUp, ZeroDuration::MeansOff))});
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

void LogRun::Loop(const StopSignals& stopSignals) {
    QSocketNotifier stopNotifier(stopSignals.ReadEnd(), QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &loop_, [this] { Stop(); });
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

void LogRun::FrameHandled() {
    notifier_.FrameArrived(logger_.FramesTaken(), logger_.FilesWritten());
    if (StopSignals::Raised() || LimitReached()) {
        Stop();
    }
}

void LogRun::FileWritten(const QString& path) {
    out_ << path << '\n';
    out_.flush();
    if (LimitReached()) {
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
    const auto ms = where_.retryInterval.count();
    Note(
        fault.message + QStringLiteral("; writing paused, trying again every ") +
        (ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000) : QStringLiteral("%1 ms").arg(ms)));
}

void LogRun::WriteResumed(std::uint64_t notWritten) {
    Note(QStringLiteral("writing resumed; %1 taken frames were not written").arg(notWritten));
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
}

void LogRun::CameraReturned(const TCaptureNode& node) {
    Note(QStringLiteral("Capture device back at %1").arg(QString::fromStdString(node.path)));
    notifier_.SetWaiting(controller_.Waiting());
}

// A stall recovery is knowingly without frames, as a wait for a lost camera.
void LogRun::CameraStalled() {
    Note(QStringLiteral("Camera stalled; restarting"));
    notifier_.SetStalls(controller_.Stalls());
    notifier_.SetWaiting(controller_.Waiting());
}

void LogRun::CameraBack() {
    Note(QStringLiteral("Camera back"));
    notifier_.SetWaiting(controller_.Waiting());
}

std::chrono::milliseconds ParseDurationArgument(const QString& text, const QString& option,
                                                ZeroDuration zero) {
    const TParsed<std::chrono::milliseconds> parsed = ParseDuration(text, zero);
    if (!parsed) {
        Usage(QStringLiteral("%1: %2").arg(option, parsed.error));
    }
    return *parsed.value;
}

}  // namespace

LogOptions ParseLogArguments(const QStringList& arguments) {
    LogOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == u"--no-write") {
            options.noWrite = true;
        } else if (argument == u"--exit-on-fault") {
            options.exitOnFault = true;
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
        "                       [--keep-free SIZE] [--exit-on-fault] [--threads N]\n"
        "                       [--format CODE] [--size WxH] [--fps N]\n"
        "                       [--interval DURATION] [--warm-up DURATION]\n"
        "\n"
        "Captures from a camera and writes every (N+1)-th frame as a JPEG file named\n"
        "after the local time it was captured (yymmddhhnnsszzz.jpg), as the window\n"
        "does.\n"
        "\n"
        "  --device NAME  the camera: its name as 'vistrel-cli devices' lists it, or\n"
        "                 #n for the n-th camera of that list\n"
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
        "                 KeepFree in the settings file; 0 turns it off\n"
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
        "                 period; --skip then only thins what is shown. A number\n"
        "                 with ms, s, min or h (500ms, 10s, 5min, 1h; a bare\n"
        "                 number is seconds), from 100 ms to 24 h\n"
        "  --warm-up DURATION\n"
        "                 write nothing captured within DURATION after each start\n"
        "                 of the camera (also after it comes back or changes\n"
        "                 format), while its exposure settles; 0 (the default) is off\n"
        "  -h, --help     show this help\n"
        "\n"
        "Unset options come from the window's settings file (never written here),\n"
        "or the defaults: the first camera, 3 skipped frames, quality 70 and the\n"
        "Vistrel folder in your pictures directory. Without --frames or --seconds it\n"
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
        "pinged only while frames arrive, the camera is waited for or a stall is\n"
        "being recovered; paused writing alone does not count.\n"
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
        "Exit status: 0 when stopped as asked; 1 when the camera cannot be started\n"
        "or, with --exit-on-fault, when it is lost or a file cannot be written;\n"
        "2 for a wrong command line, or a format, size or rate the camera does not\n"
        "offer.\n");
}

}  // namespace vistrel::cli
