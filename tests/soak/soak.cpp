// SPDX-License-Identifier: MIT
// The soak run: 640x480 YUY2 frames, as fast as the machine allows, through
// the fake camera, the video session and the frame logger into a small
// tmpfs kept above a free-space floor, with the camera lost and back every
// tenth of the run and a full disk for a while. Prints the frame rate and,
// at 10%, 50% and 100%, the resident memory and the open descriptors; fails
// when after the warm-up (the first 10%) memory grew by more than 2 MiB or
// the descriptors changed, or when the camera did not come back. The files
// are written by THREADS workers, as both front ends write them; with 0 on
// the frame's own thread.
//
//   vistrel_soak [FRAMES [THREADS]]   defaults: 1000000 frames, 2 threads

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTimer>

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/error_handler.h"
#include "fake_v4l2.h"
#include "frontend/camera_keeper.h"
#include "frontend/frame_logger.h"
#include "pipeline/video_image.h"
#include "soak_disk.h"
#include "storage/frame_writer.h"
#include "storage/retention.h"

namespace vistrel::soak {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kWidth = 640;
constexpr std::uint32_t kHeight = 480;
// Every 100th frame is written. Encoding and writing one 640x480 JPEG costs
// milliseconds, the rest of a frame's way a fraction of one: writing every
// frame would make the million-frame run take hours.
constexpr int kFrameDivisor = 100;
constexpr std::uint64_t kTmpfsBytes = 16u << 20;
constexpr std::uint64_t kFloorBytes = 4u << 20;
// On a shared disk its free space says nothing about us: at most this many
// files are kept there instead.
constexpr int kMaxFilesShared = 500;
constexpr long kRssGrowthLimit = 2L << 20;
// Frame events posted but not yet handled before the feeder waits.
constexpr std::int64_t kFramesInFlight = 2;
constexpr auto kLookInterval = 10ms;
constexpr auto kReturnDelay = 20ms;
constexpr qint64 kStallLimitMs = 30000;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer keeps freed memory aside and has its own shadow memory: the
// resident size then says nothing about leaks.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#ifdef VISTREL_SOAK_EMULATED
// Under an emulator the resident size is the emulator's, whose cache of
// translated code grows as more of the program runs.
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif

const QRegularExpression kOwnName(QStringLiteral("^[0-9]{15}(-[0-9]+)?\\.jpg$"));

struct Usage {
    long rssBytes = 0;
    int descriptors = 0;
};

Usage MeasureUsage() {
    Usage usage;
    if (FILE* statm = std::fopen("/proc/self/statm", "re")) {
        long size = 0;
        long resident = 0;
        if (std::fscanf(statm, "%ld %ld", &size, &resident) == 2) {
            usage.rssBytes = resident * ::sysconf(_SC_PAGESIZE);
        }
        std::fclose(statm);
    }
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(fds)) {
            usage.descriptors += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(fds);
        --usage.descriptors;  // the listing's own
    }
    return usage;
}

double MiB(long bytes) {
    return static_cast<double>(bytes) / (1 << 20);
}

// A smooth colour gradient: it encodes to a small JPEG, like a quiet scene.
std::vector<std::uint8_t> GradientFrame() {
    std::vector<std::uint8_t> frame(std::size_t{kWidth} * kHeight * 2);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; x += 2) {
            std::uint8_t* p = &frame[(std::size_t{y} * kWidth + x) * 2];
            p[0] = static_cast<std::uint8_t>(16 + (x + y) % 220);
            p[1] = static_cast<std::uint8_t>(64 + x / 5);
            p[2] = static_cast<std::uint8_t>(16 + (x + 1 + y) % 220);
            p[3] = static_cast<std::uint8_t>(64 + y / 4);
        }
    }
    return frame;
}

class Soak {
public:
    Soak(std::uint64_t frames, int threads, SoakDisk& disk);
    int Run();

private:
    void OnFrame();
    void OnLost();
    void ReturnCamera();
    void KeepFloor();
    void Checkpoint(int index);
    void WatchForStall();
    void Feed();
    void Finish(int status);
    bool Judge();

    const std::uint64_t total_;
    const int threads_;
    const std::uint64_t lossStep_;
    SoakDisk& disk_;
    std::shared_ptr<test::FakeV4L2> fake_ = std::make_shared<test::FakeV4L2>();
    std::atomic<int> camera_{0};
    int cameraNumber_ = 0;
    const std::vector<std::uint8_t> frame_ = GradientFrame();

    TVideoImage session_;
    TFrameLogger logger_;
    TCameraKeeper keeper_;

    std::atomic<std::uint64_t> handled_{0};
    std::atomic<bool> done_{false};
    std::mutex progressMutex_;
    std::condition_variable progress_;
    int status_ = 0;

    std::uint64_t nextLoss_;
    std::uint64_t breakAt_;
    std::uint64_t repairAt_;
    int losses_ = 0;
    int returns_ = 0;
    std::uint64_t writeFailures_ = 0;
    std::uint64_t removedForFloor_ = 0;
    std::uint64_t flooredAt_ = 0;  // files written at the last look at the floor
    QString firstWriteFailure_;

    QElapsedTimer clock_;
    std::array<std::uint64_t, 3> checkpointAt_;
    std::array<Usage, 3> usage_{};
    QTimer stallTimer_;
    std::uint64_t lastHandled_ = 0;
    qint64 lastProgressMs_ = 0;
};

Soak::Soak(std::uint64_t frames, int threads, SoakDisk& disk)
    : total_(frames),
      threads_(threads),
      lossStep_(std::max<std::uint64_t>(frames / 10, 1)),
      disk_(disk),
      session_(TVideoImage::Options{
          .clock = [] { return std::uint32_t{0}; }, .installIdleHook = false, .io = fake_}),
      logger_([this](QImage& image) { session_.CopyFrameTo(image); }),
      keeper_(session_, [this](const QString& name) { return session_.StartCapture(name); },
              {.lookInterval = kLookInterval, .openDeviceEvents = {}}),
      nextLoss_(lossStep_ / 2),
      breakAt_(frames * 3 / 10),
      repairAt_(frames * 35 / 100),
      checkpointAt_{frames / 10, frames / 2, frames} {
    test::FakeDeviceConfig config;
    config.card = "Soak Cam";
    config.busInfo = "usb-soak-1";
    config.format = test::MakeFormat(V4L2_PIX_FMT_YUYV, kWidth, kHeight);
    camera_ = fake_->AddDevice(config);

    logger_.SetFrameDivisor(kFrameDivisor);
    logger_.ResetFrameCounter();
    logger_.SetLogging(true);
    logger_.SetOutputDirectory(disk_.FramesDirectory());
    logger_.JpegEncoder().SetEncodingQuality(70);
    logger_.SetSessionReady(true);
    // The logger's own floor keeps the tmpfs from filling; a full disk
    // pauses writing, and it is tried again soon, so that the run sees the
    // pause end well before it does.
    logger_.Writer().SetKeepFree(TKeepFree{.bytes = kFloorBytes});
    logger_.Writer().SetRetryInterval(std::chrono::milliseconds(100));
    logger_.Writer().SetPaused([this](const TWriteFault& fault) {
        if (writeFailures_++ == 0) {
            firstWriteFailure_ = fault.message;
        }
    });
    logger_.SetWriteThreads(threads_);

    session_.OnNewVideoFrame = [this](TVideoImage&, std::int32_t, std::int32_t,
                                      const std::uint8_t*) { OnFrame(); };
    session_.OnDeviceLost = [this](TVideoImage&, TStatus) { OnLost(); };
    keeper_.OnReturned = [this](const TCaptureNode&) { ++returns_; };
}

int Soak::Run() {
    std::printf("soak: %llu frames of %ux%u YUY2, every %dth written by %s, into %s\n",
                static_cast<unsigned long long>(total_), kWidth, kHeight, kFrameDivisor,
                threads_ > 0 ? qPrintable(QStringLiteral("%1 threads").arg(threads_))
                             : "the frame's thread",
                disk_.OwnTmpfs() ? qPrintable(QStringLiteral("a %1 MiB tmpfs with a %2 MiB floor")
                                                  .arg(kTmpfsBytes >> 20)
                                                  .arg(kFloorBytes >> 20))
                                 : qPrintable(QStringLiteral("%1 (no tmpfs of our own: %2)")
                                                  .arg(disk_.FramesDirectory(), disk_.Fallback())));
    std::fflush(stdout);
    if (session_.StartCapture(QStringLiteral("#1")) != 0) {
        std::printf("soak: FAILED: the fake camera does not start\n");
        return 1;
    }
    clock_.start();
    QObject::connect(&stallTimer_, &QTimer::timeout, &stallTimer_, [this] { WatchForStall(); });
    stallTimer_.start(1000);
    std::thread feeder([this] { Feed(); });
    QCoreApplication::exec();
    done_ = true;
    progress_.notify_all();
    feeder.join();
    logger_.FinishWriting();
    keeper_.Cancel();
    session_.StopCapture();
    return Judge() ? status_ : 1;
}

// The driver's side: a frame whenever the session has handled the ones
// before it, so the run goes as fast as the whole way allows.
void Soak::Feed() {
    while (!done_) {
        {
            std::unique_lock lock(progressMutex_);
            progress_.wait_for(lock, 5ms, [this] {
                const TVideoImage::SampleCounts s = session_.Samples();
                const auto posted = static_cast<std::int64_t>(s.received - s.dropped);
                return done_ || posted - static_cast<std::int64_t>(handled_) < kFramesInFlight;
            });
        }
        if (!done_) {
            fake_->PushFrameWhenReady(camera_, frame_, 0, std::nullopt, 10ms);
        }
    }
}

void Soak::OnFrame() {
    if (done_) {
        return;
    }
    const std::uint64_t n = ++handled_;
    progress_.notify_one();
    try {
        logger_.OnNewFrame();
    } catch (...) {
        if (writeFailures_++ == 0) {
            firstWriteFailure_ = ErrorMessage(std::current_exception());
        }
    }
    KeepFloor();
    if (n == nextLoss_) {
        nextLoss_ += lossStep_;
        fake_->UnplugDevice(camera_);
    }
    if (n == breakAt_) {
        disk_.Break();
    }
    if (n == repairAt_) {
        disk_.Repair();
    }
    for (int i = 0; i < 3; ++i) {
        if (n == checkpointAt_[i]) {
            Checkpoint(i);
        }
    }
    if (n >= total_) {
        Finish(0);
    }
}

void Soak::OnLost() {
    ++losses_;
    keeper_.Wait();
    QTimer::singleShot(kReturnDelay, &stallTimer_, [this] { ReturnCamera(); });
}

// Every other return is at another node.
void Soak::ReturnCamera() {
    if (losses_ % 2 == 0) {
        cameraNumber_ ^= 1;
    }
    camera_ = fake_->ReturnDevice(camera_, cameraNumber_);
}

// Without a tmpfs of its own the run writes into a shared one whose free
// space says nothing about this run: the file count is capped instead, looked
// at after every 50 files (the workers' files are counted as they are told).
void Soak::KeepFloor() {
    if (disk_.OwnTmpfs() || logger_.FilesWritten() < flooredAt_ + 50) {
        return;
    }
    flooredAt_ = logger_.FilesWritten();
    QStringList names =
        QDir(disk_.FramesDirectory()).entryList(QDir::Files, QDir::Name).filter(kOwnName);
    while (names.size() > kMaxFilesShared) {
        QFile::remove(disk_.FramesDirectory() + QLatin1Char('/') + names.takeFirst());
        ++removedForFloor_;
    }
}

void Soak::Checkpoint(int index) {
    static constexpr std::array<int, 3> kPercent = {10, 50, 100};
    usage_[index] = MeasureUsage();
    const double seconds = static_cast<double>(clock_.elapsed()) / 1000.0;
    std::printf(
        "soak: %3d%%: %9llu frames in %7.1f s, %7.0f frames/s, RSS %6.1f MiB, %d descriptors\n",
        kPercent[index], static_cast<unsigned long long>(handled_.load()), seconds,
        static_cast<double>(handled_.load()) / std::max(seconds, 1e-3), MiB(usage_[index].rssBytes),
        usage_[index].descriptors);
    std::fflush(stdout);
}

void Soak::WatchForStall() {
    const std::uint64_t now = handled_;
    if (now != lastHandled_) {
        lastHandled_ = now;
        lastProgressMs_ = clock_.elapsed();
    } else if (clock_.elapsed() - lastProgressMs_ > kStallLimitMs) {
        std::printf(
            "soak: FAILED: no frame for %lld s at %llu frames (waiting for the camera: %s)\n",
            kStallLimitMs / 1000, static_cast<unsigned long long>(now),
            keeper_.Waiting() ? "yes" : "no");
        Finish(1);
    }
}

void Soak::Finish(int status) {
    status_ = status;
    done_ = true;
    QCoreApplication::exit(status);
}

bool Soak::Judge() {
    std::printf(
        "soak: %d losses, %d returns; %llu files written, %llu write pauses%s%s, %llu files "
        "removed for the floor\n",
        losses_, returns_, static_cast<unsigned long long>(logger_.FilesWritten()),
        static_cast<unsigned long long>(writeFailures_),
        firstWriteFailure_.isEmpty() ? "" : " (first: ",
        firstWriteFailure_.isEmpty() ? "" : qPrintable(firstWriteFailure_ + QLatin1Char(')')),
        static_cast<unsigned long long>(removedForFloor_ + logger_.Writer().Retention().Deleted()));
    bool ok = status_ == 0;
    if (losses_ != returns_ || losses_ == 0) {
        std::printf("soak: FAILED: the camera was lost %d times and came back %d times\n", losses_,
                    returns_);
        ok = false;
    }
    if (logger_.FilesWritten() == 0) {
        std::printf("soak: FAILED: no file was written\n");
        ok = false;
    }
    const QStringList stray =
        QDir(disk_.FramesDirectory())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
            .filter(QRegularExpression(QStringLiteral("^(?![0-9]{15}(-[0-9]+)?\\.jpg$)")));
    if (!stray.isEmpty()) {
        std::printf("soak: FAILED: stray files left in the output: %s\n",
                    qPrintable(stray.join(QStringLiteral(", "))));
        ok = false;
    }
    if (status_ != 0) {
        return false;
    }
    const long growth = std::max(usage_[1].rssBytes, usage_[2].rssBytes) - usage_[0].rssBytes;
    if (kSanitized || kEmulated) {
        std::printf("soak: RSS grew %+.1f MiB after the warm-up (not judged under %s)\n",
                    MiB(growth), kSanitized ? "a sanitizer" : "an emulator");
    } else if (growth > kRssGrowthLimit) {
        std::printf("soak: FAILED: RSS grew %.1f MiB after the warm-up (limit %.1f MiB)\n",
                    MiB(growth), MiB(kRssGrowthLimit));
        ok = false;
    } else {
        std::printf("soak: RSS grew %+.1f MiB after the warm-up (limit %.1f MiB)\n", MiB(growth),
                    MiB(kRssGrowthLimit));
    }
    if (usage_[1].descriptors != usage_[0].descriptors ||
        usage_[2].descriptors != usage_[0].descriptors) {
        std::printf("soak: FAILED: open descriptors changed: %d, %d, %d\n", usage_[0].descriptors,
                    usage_[1].descriptors, usage_[2].descriptors);
        ok = false;
    }
    std::printf(ok ? "soak: passed\n" : "soak: FAILED\n");
    return ok;
}

// A whole number from lo to hi, or nothing.
std::optional<long long> Number(const char* text, long long lo, long long hi) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < lo || value > hi) {
        return std::nullopt;
    }
    return value;
}

}  // namespace
}  // namespace vistrel::soak

int main(int argc, char** argv) {
    // glibc raises its mmap threshold after the first large block is freed,
    // and from then on keeps freed picture-sized blocks in the heap: a
    // one-time step in RSS that would read as growth. A fixed threshold
    // returns them at once, so RSS follows live memory.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const std::optional<long long> frames =
        argc > 1 ? vistrel::soak::Number(argv[1], 100, LLONG_MAX) : 1'000'000;
    const std::optional<long long> threads = argc > 2 ? vistrel::soak::Number(argv[2], 0, 16) : 2;
    if (argc > 3 || !frames || !threads) {
        std::fprintf(stderr,
                     "usage: vistrel_soak [FRAMES [THREADS]]   (FRAMES at least 100, THREADS "
                     "0 to 16)\n");
        return 2;
    }
    // Before any thread: the tmpfs lives in a mount namespace of this process.
    vistrel::soak::SoakDisk disk(vistrel::soak::kTmpfsBytes);
    if (disk.FramesDirectory().isEmpty()) {
        std::fprintf(stderr, "soak: no directory to write to\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    vistrel::soak::Soak soak(static_cast<std::uint64_t>(*frames), static_cast<int>(*threads), disk);
    return soak.Run();
}
