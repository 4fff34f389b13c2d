// SPDX-License-Identifier: MIT
#include "frontend/frame_logger.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace vistrel {
namespace {

// A session stand-in: every fetch hands out a picture of the current size
// and counts the conversions.
struct FakeSession {
    QSize size{640, 480};
    int fetches = 0;
    void CopyFrameTo(QImage& image) {
        ++fetches;
        image = QImage(size, QImage::Format_BGR888);
        image.fill(QColor(10, 200, 30));
    }
};

class FrameLoggerTest : public ::testing::Test {
protected:
    FrameLoggerTest() : logger_([this](QImage& image) { session_.CopyFrameTo(image); }) {
        logger_.SetSessionReady(true);
        logger_.SetOutputDirectory(dir_.path());
        logger_.SetClock([this] { return now_; });
        logger_.SetFrameShown([this](const QString& text, const QImage& thumb) {
            shownText_ = text;
            shownThumb_ = thumb;
        });
    }
    QStringList Files() const { return QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir dir_;
    FakeSession session_;
    QDateTime now_{QDate(2009, 1, 2), QTime(3, 4, 5, 6)};
    TFrameLogger logger_;
    QString shownText_;
    QImage shownThumb_;
};

TEST(FrameLoggerNames, TimeStampAndThumbnailSizes) {
    EXPECT_EQ(TFrameLogger::TimeStamp(QDateTime(QDate(2009, 1, 2), QTime(3, 4, 5, 6))),
              "090102030405006");
    EXPECT_EQ(TFrameLogger::TimeStamp(QDateTime(QDate(2100, 12, 31), QTime(23, 59, 59, 999))),
              "001231235959999");
    const std::pair<QSize, QSize> cases[] = {
        {{640, 480}, {128, 96}},  {{352, 288}, {128, 104}}, {{176, 144}, {128, 104}},
        {{720, 576}, {128, 102}}, {{1280, 720}, {128, 72}}, {{480, 640}, {96, 128}},
        {{300, 300}, {128, 128}}, {{0, 0}, {128, 128}},
    };
    for (const auto& [frame, thumb] : cases) {
        EXPECT_EQ(TFrameLogger::ThumbnailSize(frame.width(), frame.height()), thumb)
            << frame.width();
    }
}

TEST(FrameLoggerNames, ThumbnailPicksNearestPixels) {
    // Left half red, right half blue: nearest-pixel scaling keeps a sharp edge.
    QImage frame(640, 480, QImage::Format_BGR888);
    frame.fill(Qt::red);
    for (int y = 0; y < 480; ++y) {
        uchar* row = frame.scanLine(y);
        for (int x = 320; x < 640; ++x) {
            row[3 * x] = 255, row[3 * x + 1] = 0, row[3 * x + 2] = 0;
        }
    }
    const QImage thumb = TFrameLogger::Thumbnail(frame);
    EXPECT_EQ(thumb.size(), QSize(128, 96));
    EXPECT_EQ(thumb.pixelColor(63, 50), QColor(Qt::red));
    EXPECT_EQ(thumb.pixelColor(64, 50), QColor(Qt::blue));
    EXPECT_EQ(TFrameLogger::Thumbnail(QImage(1, 2000, QImage::Format_BGR888)).size(),
              QSize(1, 128));
}

TEST_F(FrameLoggerTest, TakesEveryNthFrameAndWritesItNamedByTheClock) {
    logger_.SetFrameDivisor(4);
    for (int i = 1; i <= 12; ++i) {
        now_ = now_.addMSecs(40);
        logger_.OnNewFrame();
    }
    EXPECT_EQ(session_.fetches, 3) << "skipped frames are never converted";
    EXPECT_EQ(logger_.FilesWritten(), 3u);
    EXPECT_EQ(Files(),
              (QStringList{"090102030405166.jpg", "090102030405326.jpg", "090102030405486.jpg"}));
    EXPECT_EQ(shownText_, "640 x 480");
    EXPECT_EQ(shownThumb_.size(), QSize(128, 96));
    const QImage written(dir_.filePath("090102030405166.jpg"));
    EXPECT_EQ(written.size(), QSize(640, 480));

    // Run resets the count: the first taken frame is again the fourth.
    logger_.OnNewFrame();
    logger_.ResetFrameCounter();
    for (int i = 0; i < 3; ++i)
        logger_.OnNewFrame();
    EXPECT_EQ(session_.fetches, 3);
    logger_.OnNewFrame();
    EXPECT_EQ(session_.fetches, 4);
}

TEST_F(FrameLoggerTest, LoggingOffAndSessionNotReady) {
    logger_.SetLogging(false);
    logger_.OnNewFrame();
    EXPECT_EQ(session_.fetches, 1);
    EXPECT_EQ(shownText_, "640 x 480");
    EXPECT_TRUE(Files().isEmpty());
    EXPECT_EQ(logger_.JpegEncoder().EncodeCount(), 0u);

    logger_.SetSessionReady(false);
    logger_.SetFrameDivisor(2);
    logger_.OnNewFrame();
    logger_.OnNewFrame();  // taken by the count, but nothing is fetched
    EXPECT_EQ(logger_.FrameCounter(), 0);
    EXPECT_EQ(session_.fetches, 1);
}

TEST_F(FrameLoggerTest, ARepeatedStampGetsANumberedNameAndNothingIsReplaced) {
    // The clock stepped back by a millisecond, then two frames in one
    // millisecond.
    const QDateTime start = now_;
    const std::pair<int, QSize> frames[] = {
        {0, {64, 64}}, {1, {48, 48}}, {0, {32, 16}}, {0, {16, 32}}};
    for (const auto& [offset, size] : frames) {
        now_ = start.addMSecs(offset);
        session_.size = size;
        logger_.OnNewFrame();
    }
    EXPECT_EQ(Files(), (QStringList{"090102030405006-1.jpg", "090102030405006-2.jpg",
                                    "090102030405006.jpg", "090102030405007.jpg"}));
    EXPECT_EQ(QImage(dir_.filePath("090102030405006.jpg")).size(), QSize(64, 64));
    EXPECT_EQ(QImage(dir_.filePath("090102030405006-1.jpg")).size(), QSize(32, 16));
    EXPECT_EQ(logger_.LastFile(), dir_.path() + "/090102030405006-2.jpg");
    EXPECT_EQ(logger_.FilesWritten(), 4u);
}

TEST_F(FrameLoggerTest, NestedCallIsNotCounted) {
    logger_.SetFrameDivisor(3);
    int nested = 0;
    TFrameLogger* logger = &logger_;
    logger_.SetFrameShown([&](const QString&, const QImage&) {
        const int before = logger->FrameCounter();
        logger->OnNewFrame();  // as from a message loop inside the handler
        nested += logger->FrameCounter() == before ? 1 : 0;
    });
    for (int i = 0; i < 3; ++i)
        logger_.OnNewFrame();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(logger_.FrameCounter(), 0);
}

TEST_F(FrameLoggerTest, EveryWriteFaultPausesOnceAndResumesOnce) {
    // The retry clock only moves when the test moves it.
    auto now = std::chrono::steady_clock::time_point{};
    TFrameWriter& writer = logger_.Writer();
    writer.SetClock([&] { return now; });
    std::vector<TWriteFault> paused;
    std::vector<std::uint64_t> resumed;
    writer.SetPaused([&](const TWriteFault& fault) { paused.push_back(fault); });
    writer.SetResumed([&](std::uint64_t missed) { resumed.push_back(missed); });
    int failWith = 0;
    FileStep failAt = FileStep::Create;
    writer.SetFaultHook([&](FileStep step) { return step == failAt ? failWith : 0; });

    for (const int error : {ENOSPC, EDQUOT, EIO, EROFS, EACCES, ENOENT}) {
        for (const FileStep step :
             {FileStep::Create, FileStep::Write, FileStep::Sync, FileStep::Publish}) {
            SCOPED_TRACE(::testing::Message()
                         << "errno " << error << ", step " << static_cast<int>(step));
            paused.clear();
            resumed.clear();
            failWith = error;
            failAt = step;
            const std::uint64_t written = logger_.FilesWritten();
            const std::uint64_t encoded = logger_.JpegEncoder().EncodeCount();
            for (int i = 0; i < 3; ++i) {
                now_ = now_.addMSecs(1);
                logger_.OnNewFrame();  // raises nothing
            }
            ASSERT_EQ(paused.size(), 1u);
            EXPECT_EQ(paused[0].errorNumber, error);
            EXPECT_TRUE(writer.IsPaused());
            EXPECT_EQ(shownText_, "640 x 480") << "the thumbnail goes on";
            EXPECT_EQ(logger_.JpegEncoder().EncodeCount(), encoded + 1)
                << "no encoding while paused";

            failWith = 0;  // the disk is fine again, but the retry waits for its time
            now_ = now_.addMSecs(1);
            logger_.OnNewFrame();
            EXPECT_TRUE(resumed.empty());
            now += TFrameWriter::kRetryInterval;
            now_ = now_.addMSecs(1);
            logger_.OnNewFrame();
            ASSERT_EQ(resumed.size(), 1u);
            EXPECT_EQ(resumed[0], 4u) << "taken frames that were not written";
            EXPECT_EQ(logger_.FilesWritten(), written + 1);
            EXPECT_EQ(paused.size(), 1u);
        }
    }
    // Only whole pictures: no temporary file is left by any of the failures.
    for (const QString& name : Files()) {
        EXPECT_TRUE(name.endsWith(".jpg") && !name.startsWith('.')) << name.toStdString();
    }
    EXPECT_EQ(Files().size(), 24);

    // A removed directory is made again at the retry.
    writer.SetFaultHook({});
    ASSERT_TRUE(QDir(dir_.path()).removeRecursively());
    now_ = now_.addMSecs(1);
    logger_.OnNewFrame();
    ASSERT_EQ(paused.size(), 2u);
    EXPECT_EQ(paused[1].errorNumber, ENOENT);
    EXPECT_TRUE(paused[1].message.startsWith("Cannot create file \"" + dir_.path() + "/"))
        << paused[1].message.toStdString();
    now += TFrameWriter::kRetryInterval;
    now_ = now_.addMSecs(1);
    logger_.OnNewFrame();
    EXPECT_EQ(resumed.size(), 2u);
    EXPECT_EQ(Files().size(), 1);
    // The lock is free for another thread (window close).
    std::thread other([this] {
        EXPECT_TRUE(logger_.FrameLock().try_lock());
        logger_.FrameLock().unlock();
    });
    other.join();
}

// The name is the local time of capture, not of the take; a fetch without a
// time (an untimed one, or before any frame) takes the clock's.
TEST_F(FrameLoggerTest, NamesEachFileAfterTheCaptureTimeOrElseTheClock) {
    const QDateTime capturedAt(QDate(2024, 6, 30), QTime(23, 59, 58, 123));
    TCaptureTime captured{std::chrono::milliseconds(capturedAt.toMSecsSinceEpoch())};
    TFrameLogger logger([&](QImage& image, TCaptureTime& captureTime) {
        session_.CopyFrameTo(image);
        captureTime = captured;
    });
    logger.SetSessionReady(true);
    logger.SetOutputDirectory(dir_.path());
    logger.SetClock([this] { return now_; });
    EXPECT_EQ(logger.LastCaptureTime(), TCaptureTime{});
    logger.OnNewFrame();
    EXPECT_EQ(logger.LastCaptureTime(), captured);
    captured = {};
    logger.OnNewFrame();
    EXPECT_EQ(Files(), (QStringList{"090102030405006.jpg", "240630235958123.jpg"}));

    logger_.OnNewFrame();  // an untimed fetch: the clock at the take
    EXPECT_EQ(logger_.LastCaptureTime(),
              TCaptureTime(std::chrono::milliseconds(now_.toMSecsSinceEpoch())));
}

// The caller's choice: a frame written although it is no N-th one, N-th
// frames shown only, each fetched once; the count goes on regardless.
TEST_F(FrameLoggerTest, ChosenFramesAreFetchedOnceAndWrittenOnlyWhenChosen) {
    logger_.SetFrameDivisor(3);
    std::vector<bool> nth;
    int frame = 0;
    const TFrameLogger::FrameChoice choose = [&](bool nthFrame) {
        nth.push_back(nthFrame);
        const bool write = frame == 1;  // the second frame, not an N-th one
        return TFrameLogger::TTake{nthFrame || write, write};
    };
    for (frame = 0; frame < 6; ++frame) {
        now_ = now_.addMSecs(100);
        logger_.OnNewFrame(choose);
    }
    EXPECT_EQ(nth, (std::vector<bool>{false, false, true, false, false, true}));
    EXPECT_EQ(session_.fetches, 3);
    EXPECT_EQ(logger_.FramesTaken(), 3u);
    EXPECT_EQ(Files(), QStringList{"090102030405206.jpg"});
    EXPECT_EQ(shownText_, "640 x 480");
}

// With no view, as on the command line, a frame only to be shown is not
// fetched: a time-lapse's frames between its files cost no conversion.
TEST_F(FrameLoggerTest, WithoutAViewOnlyFramesToBeWrittenAreFetched) {
    logger_.SetFrameShown({});
    for (int frame = 0; frame < 6; ++frame) {
        now_ = now_.addMSecs(100);
        logger_.OnNewFrame([&](bool) { return TFrameLogger::TTake{true, frame == 4}; });
    }
    EXPECT_EQ(session_.fetches, 1);
    EXPECT_EQ(logger_.FramesTaken(), 1u);
    EXPECT_EQ(Files(), QStringList{"090102030405506.jpg"});
}

// The encoder holds the last frame while the next one is fetched: from the
// third frame on, the session gets a picture that no one else holds (so it
// copies into it without new memory), and each file holds its own frame.
TEST_F(FrameLoggerTest, SessionWritesIntoAPictureOfItsOwnAndEachFileHoldsItsFrame) {
    int frame = 0;
    int newPictures = 0;
    TFrameLogger logger([&](QImage& image) {
        // As the session does: into the caller's pixels when they are its own.
        if (image.size() != QSize(64, 48) || !image.isDetached()) {
            image = QImage(64, 48, QImage::Format_BGR888);
            ++newPictures;
        }
        image.fill(QColor(40 * frame, 0, 0));
    });
    logger.SetSessionReady(true);
    logger.SetOutputDirectory(dir_.path());
    logger.SetClock([this] { return now_ = now_.addMSecs(40); });
    for (frame = 0; frame < 5; ++frame) {
        logger.OnNewFrame();
    }
    EXPECT_EQ(newPictures, 2);
    const QStringList files = Files();
    ASSERT_EQ(files.size(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(QImage(dir_.filePath(files[i])).pixelColor(32, 24).red(), 40 * i, 3) << i;
    }
}

// The stamp goes into the written file only: the thumbnail shows the frame
// as converted, and the file's corner shows the letters.
TEST_F(FrameLoggerTest, StampIsBurntIntoTheFileNotTheThumbnail) {
    session_.size = QSize(320, 240);
    logger_.SetStamp({.time = true, .format = "%H:%M:%S", .title = "Shelf"});
    logger_.OnNewFrame();
    ASSERT_EQ(Files().size(), 1);
    const auto isGreen = [](QColor c) { return c.red() < 40 && c.green() > 170; };
    for (int x = 0; x < shownThumb_.width(); ++x) {
        ASSERT_TRUE(isGreen(shownThumb_.pixelColor(x, shownThumb_.height() - 2))) << x;
    }
    const QImage written(dir_.filePath(Files()[0]));
    const TStampBox box = StampBoxFor(320, 240, "Shelf 03:04:05");
    int bright = 0;
    for (int y = box.y; y < box.y + box.height; ++y) {
        for (int x = box.x; x < box.x + box.width; ++x) {
            bright += written.pixelColor(x, y).red() > 200;
        }
    }
    EXPECT_GT(bright, 20);
    EXPECT_TRUE(isGreen(written.pixelColor(300, 20))) << "the rest stays";
}

}  // namespace
}  // namespace vistrel
