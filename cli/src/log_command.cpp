#include "log_command.h"

#include <QCoreApplication>
#include <QDir>
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
#include "frontend/frame_logger.h"
#include "frontend/settings.h"
#include "logging.h"
#include "pipeline/video_image.h"

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

private:
    static void OnSignal(int) {
        const int saved = errno;
        const char byte = 1;
        activeHandlers_.fetch_add(1);
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
    static_assert(std::atomic<int>::is_always_lock_free);
    UniqueFd pipeRead_;
    UniqueFd pipeWrite_;  // its number is also in writeEnd_, for the handler
    std::array<struct sigaction, 2> previous_{};
};

}  // namespace

LogOptions ParseLogArguments(const QStringList& arguments) {
    LogOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == u"--no-write") {
            options.noWrite = true;
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
        } else if (const auto frames = TakeValue(arguments, i, QStringLiteral("--frames"))) {
            options.frames = ParseNumber(*frames, QStringLiteral("--frames"), 1, 1'000'000'000);
        } else if (const auto seconds = TakeValue(arguments, i, QStringLiteral("--seconds"))) {
            options.seconds = ParseNumber(*seconds, QStringLiteral("--seconds"), 1, 2'000'000);
        } else {
            Usage(QStringLiteral("unknown argument \"%1\"").arg(argument));
        }
    }
    return options;
}

int RunLog(const LogOptions& options, const LogSettings& where, const std::shared_ptr<V4L2Io>& io,
           QTextStream& out, QTextStream& err, bool statusLine) {
    const TSettings settings = TSettings::Load(where.settingsFile, where.defaultDirectory);
    const QString device = options.device.value_or(QStringLiteral("#%1").arg(settings.Cam + 1));
    const QString directory = options.directory.value_or(settings.Directory);

    TVideoImage session(TVideoImage::Options{.io = io});
    TFrameLogger logger([&session](QImage& image) { session.CopyFrameTo(image); });
    logger.SetFrameDivisor(options.skip.value_or(settings.SkippedFrames) + 1);
    logger.ResetFrameCounter();
    logger.SetLogging(!options.noWrite);
    logger.SetOutputDirectory(directory);
    logger.JpegEncoder().SetEncodingQuality(options.quality.value_or(settings.JPEGQuality));
    logger.SetSessionReady(true);

    QEventLoop loop;
    int status = kExitSuccess;
    // Frame events already queued may still be delivered after exit() was
    // asked for; none of them is taken once the run is over.
    bool stopping = false;
    auto stop = [&] {
        stopping = true;
        loop.exit();
    };
    auto fail = [&](const QString& message) {
        err << (statusLine ? "\n" : "") << kProgram << ": " << message << '\n';
        err.flush();
        status = kExitFailure;
        stop();
    };
    auto printStatus = [&] {
        const TVideoImage::SampleCounts counts = session.Samples();
        err << "\rreceived " << counts.received << ", taken " << logger.FramesTaken()
            << ", written " << logger.FilesWritten() << ", dropped " << counts.dropped << " (bad "
            << counts.bad << ")   ";
        err.flush();
    };

    session.OnNewVideoFrame = [&](TVideoImage&, std::int32_t, std::int32_t, const std::uint8_t*) {
        if (stopping) {
            return;
        }
        const std::uint64_t written = logger.FilesWritten();
        try {
            logger.OnNewFrame();
        } catch (...) {
            fail(ErrorMessage(std::current_exception()));
            return;
        }
        if (logger.FilesWritten() != written) {
            out << logger.LastFile() << '\n';
            out.flush();
        }
        const std::uint64_t done = options.noWrite ? logger.FramesTaken() : logger.FilesWritten();
        if (options.frames > 0 && done >= static_cast<std::uint64_t>(options.frames)) {
            stop();
        }
    };
    session.OnDeviceLost = [&](TVideoImage&, TStatus) { fail(QStringLiteral("Capture device lost")); };

    // Installed before the start, so that an early Ctrl+C ends the run too.
    StopSignals stopSignals;
    if (session.StartCapture(device) != 0) {
        err << kProgram << ": Could not start grabbing!\n";
        return kExitFailure;
    }
    // The default directory is made on first use.
    if (!options.noWrite && directory == where.defaultDirectory && !QDir().mkpath(directory)) {
        qCInfo(lcCli, "cannot make the default directory %s", qUtf8Printable(directory));
    }

    QSocketNotifier stopNotifier(stopSignals.ReadEnd(), QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &loop, stop);
    QTimer deadline;
    if (options.seconds > 0) {
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, stop);
        deadline.start(options.seconds * 1000);
    }
    QTimer statusTimer;
    if (statusLine) {
        QObject::connect(&statusTimer, &QTimer::timeout, &loop, printStatus);
        statusTimer.start(500);
    }

    loop.exec();
    session.StopCapture();
    if (statusLine && status == kExitSuccess) {
        printStatus();
        err << '\n';
    }
    return status;
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
        "                       [--frames K] [--seconds S] [--no-write]\n"
        "\n"
        "Captures from a camera and writes every (N+1)-th frame as a JPEG file named\n"
        "after the local time (yymmddhhnnsszzz.jpg), as the window does.\n"
        "\n"
        "  --device NAME  the camera: its name as 'vistrel-cli devices' lists it, or\n"
        "                 #n for the n-th camera of that list\n"
        "  --skip N       frames skipped between taken frames, 0 to 100\n"
        "  --quality Q    JPEG quality, 50 to 100\n"
        "  --dir DIR      directory the files are written to\n"
        "  --frames K     stop after K files (K taken frames with --no-write)\n"
        "  --seconds S    stop after S seconds\n"
        "  --no-write     take frames but write no files\n"
        "  -h, --help     show this help\n"
        "\n"
        "Unset options come from the window's settings file (never written here),\n"
        "or the defaults: the first camera, 3 skipped frames, quality 70 and the\n"
        "Vistrel folder in your pictures directory. Without --frames or --seconds it\n"
        "runs until interrupted (Ctrl+C or SIGTERM), finishing the file in hand.\n"
        "Each written file's path is printed on standard output.\n"
        "\n"
        "Exit status: 0 when stopped as asked; 1 when the camera cannot be started\n"
        "or is lost, or a file cannot be written; 2 for a wrong command line.\n");
}

}  // namespace vistrel::cli
