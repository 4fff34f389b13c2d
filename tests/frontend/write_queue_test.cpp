// SPDX-License-Identifier: MIT
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "frontend/frame_logger.h"

namespace vistrel {
namespace {

// A disk that holds the first fdatasync until it is let go; later ones pass.
class SlowDisk {
public:
    int Step(FileStep step) {
        if (step != FileStep::Sync || syncs_.fetch_add(1) != 0) {
            return 0;
        }
        std::unique_lock hold(lock_);
        // Bounded, so that a broken writer fails the test instead of hanging it.
        released_.wait_for(hold, std::chrono::seconds(20), [this] { return open_; });
        return 0;
    }
    void Release() {
        {
            const std::lock_guard hold(lock_);
            open_ = true;
        }
        released_.notify_all();
    }

private:
    std::atomic<int> syncs_{0};
    std::mutex lock_;
    std::condition_variable released_;
    bool open_ = false;
};

class WriteQueueTest : public ::testing::Test {
protected:
    WriteQueueTest()
        : logger_([](QImage& image) {
              image = QImage(64, 48, QImage::Format_BGR888);
              image.fill(QColor(10, 200, 30));
          }) {
        logger_.SetSessionReady(true);
        logger_.SetOutputDirectory(dir_.path());
        logger_.SetClock([this] { return now_; });
        logger_.Writer().SetFaultHook([this](FileStep step) { return disk_.Step(step); });
        logger_.SetFileWritten([this](const QString& path, TCaptureTime) {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            written_.push_back(QFileInfo(path).fileName());
        });
        logger_.SetNotWritten([this](std::uint64_t count) { notWritten_.push_back(count); });
    }
    // Frames 1 ms apart, each its own name.
    void Frames(int count) {
        for (int i = 0; i < count; ++i) {
            now_ = now_.addMSecs(1);
            logger_.OnNewFrame();
        }
    }
    QStringList Pictures() const { return QDir(dir_.path()).entryList({"*.jpg"}, QDir::Files); }

    QTemporaryDir dir_;
    SlowDisk disk_;
    QDateTime now_{QDate(2009, 1, 2), QTime(3, 4, 5, 0)};
    TFrameLogger logger_;
    QStringList written_;
    std::vector<std::uint64_t> notWritten_;
};

TEST_F(WriteQueueTest, ASlowDiskFillsTheQueueAndTheRestIsCountedNotWrittenInOrder) {
    logger_.SetWriteThreads(2, {.frames = 3});
    // The first file hangs in fdatasync; the frames keep coming and are all
    // taken and shown. Held for the disk: three waiting and one per worker.
    Frames(10);
    EXPECT_EQ(logger_.FramesTaken(), 10u);
    EXPECT_EQ(logger_.FramesNotWritten(), 5u);
    // The second and third may be synced already, but none is named before
    // the first.
    QCoreApplication::processEvents();
    EXPECT_TRUE(Pictures().isEmpty()) << Pictures().join(' ').toStdString();
    disk_.Release();
    logger_.FinishWriting();
    const QStringList expected = {"090102030405001.jpg", "090102030405002.jpg",
                                  "090102030405003.jpg", "090102030405004.jpg",
                                  "090102030405005.jpg"};
    EXPECT_EQ(written_, expected);
    EXPECT_EQ(Pictures(), expected);
    EXPECT_EQ(logger_.FilesWritten(), 5u);
    EXPECT_EQ(notWritten_, std::vector<std::uint64_t>{5}) << "told once for the burst";
    EXPECT_FALSE(logger_.Writer().IsPaused()) << "a slow disk is not a failing one";
}

TEST_F(WriteQueueTest, FinishingDropsTheFilesNotBegunByTheBoundAndEndsTheOneInHand) {
    logger_.SetWriteThreads(1, {.frames = 3});
    Frames(4);
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        disk_.Release();
    });
    logger_.FinishWriting(std::chrono::milliseconds(20));
    later.join();
    EXPECT_EQ(written_, QStringList{"090102030405001.jpg"});
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), written_)
        << "no temporary file is left";
}

}  // namespace
}  // namespace vistrel
