// SPDX-License-Identifier: MIT
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTime>

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include "arguments.h"
#include "base/file_name.h"
#include "capture_test_util.h"
#include "cli.h"
#include "fake_notify_socket.h"
#include "fake_v4l2.h"
#include "imaging/jpeg_image.h"
#include "log_command.h"

namespace vistrel::cli {
namespace {

using test::FakeDeviceConfig;
using test::FakeV4L2;

class LogCommandTest : public test::FakeDeviceTest {
protected:
    LogCommandTest() {
        for (const char* card : {"Shelf Cam", "Door Cam"}) {
            FakeDeviceConfig config;
            config.card = card;
            config.format = test::MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24);
            config.controls = test::VividLikeControls();
            fake_->AddDevice(config);
        }
        settings_ = {dir_.filePath("config/Vistrel.ini"), dir_.filePath("default/")};
        // Every frame at 500 a second may outrun the disk; these tests are
        // not about that.
        settings_.writeQueue.frames = 10'000;
    }
    ~LogCommandTest() override { StopFeeding(); }

    // Feeds frames into a camera from another thread, as a driver does.
    void Feed(int device, std::size_t length = 32 * 24 * 2) {
        Feed(device, std::vector<std::uint8_t>(length, 128));
    }
    void Feed(int device, std::vector<std::uint8_t> frame) {
        feeding_ = true;
        feeder_ = std::thread([this, device, frame = std::move(frame)] {
            while (feeding_) {
                fake_->PushFrame(device, frame);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    void StopFeeding() {
        feeding_ = false;
        if (feeder_.joinable()) {
            feeder_.join();
        }
    }

    int Log(const QStringList& arguments) {
        output_.clear();
        errors_.clear();
        QTextStream out(&output_);
        QTextStream err(&errors_);
        try {
            const int status =
                RunLog(ParseLogArguments(arguments), settings_, fake_, out, err, false);
            StopFeeding();
            return status;
        } catch (const UsageError& e) {
            // As the command runner reports it.
            StopFeeding();
            err << e.what();
            return kExitUsage;
        } catch (...) {
            StopFeeding();
            throw;
        }
    }
    // A third camera that lists its formats: YUYV 32x24 and 64x48, MJPG
    // 64x48, UYVY 32x24; now in `format`.
    int AddListingCamera(const test::FakeFormat& format,
                         std::function<void(v4l2_fract&)> adjustInterval = {}) {
        FakeDeviceConfig config;
        config.card = "Desk Cam";
        config.format = format;
        config.offers = {
            test::FakeOffer{V4L2_PIX_FMT_YUYV, {{32, 24}, {64, 48}}, {}, {{1, 30}, {1, 15}}},
            test::FakeOffer{V4L2_PIX_FMT_MJPEG, {{64, 48}}, {}, {{1, 30}}},
            test::FakeOffer{V4L2_PIX_FMT_UYVY, {{32, 24}}, {}, {{1, 30}}},
        };
        config.adjustInterval = std::move(adjustInterval);
        return fake_->AddDevice(config);
    }
    void WriteSettings(const QString& text) {
        ASSERT_TRUE(QDir().mkpath(dir_.filePath("config")));
        QFile ini(settings_.settingsFile);
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(text.toUtf8());
    }
    QStringList Written() const { return output_.split('\n', Qt::SkipEmptyParts); }

    QTemporaryDir dir_;
    LogSettings settings_;
    std::thread feeder_;
    std::atomic<bool> feeding_{false};
    QString output_;
    QString errors_;
};

TEST(LogArguments, BadUsageExitsWithTwo) {
    for (const QStringList& arguments : {QStringList{"--skip", "101"},
                                         {"--quality", "49"},
                                         {"--frames", "0"},
                                         {"--seconds", "x"},
                                         {"--dir"},
                                         {"--camera", "1"},
                                         {"--subdir", "a/b"},
                                         {"--subdir", ".."},
                                         {"--keep-free", "5X"},
                                         {"--keep-free", "101%"},
                                         {"--keep-days", "0"},
                                         {"--latest", "a/b"},
                                         {"--interval", "0"},
                                         {"--interval", "25h"},
                                         {"--warm-up", "2x"},
                                         {"--hours", "06:00-25:00"},
                                         {"--hours", "6-22"},
                                         {"--daylight", "91,13.4"},
                                         {"--daylight", "52.52"},
                                         {"--control", "brightness"},
                                         {"--control", "a=1,b=2"},
                                         {"--timestamp=%Q"},
                                         {"--title", "K\u00fcche"},
                                         {"--passthrough", "--title", "x"},
                                         {"--timestamp", "%H"},
                                         {"--exec", " "},
                                         {"--exec-timeout", "0"},
                                         {"--exec-timeout", "5s"},
                                         {"--metrics", "m", "--status-file", "m"},
                                         {"extra"}}) {
        QString out, err;
        QTextStream o(&out), e(&err);
        EXPECT_EQ(RunCli(QStringList{"vistrel-cli", "log"} + arguments, o, e), kExitUsage)
            << arguments.join(' ').toStdString();
        e.flush();
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
    }
    const LogOptions options = ParseLogArguments({"--device=#2",
                                                  "--skip",
                                                  "0",
                                                  "--quality",
                                                  "100",
                                                  "--dir",
                                                  "/x",
                                                  "--frames",
                                                  "5",
                                                  "--no-write",
                                                  "--keep-free=5%",
                                                  "--exit-on-fault",
                                                  "--interval",
                                                  "1min",
                                                  "--warm-up=0",
                                                  "--hours",
                                                  "22:00-06:00",
                                                  "--daylight",
                                                  "52.52,13.40,30",
                                                  "--latest",
                                                  "latest.jpg",
                                                  "--daily",
                                                  "--keep-days",
                                                  "30"});
    EXPECT_EQ(options.device, "#2");
    EXPECT_EQ(options.skip, 0);
    EXPECT_EQ(options.quality, 100);
    EXPECT_EQ(options.directory, "/x");
    EXPECT_EQ(options.frames, 5);
    EXPECT_TRUE(options.noWrite);
    EXPECT_EQ(options.keepFree->percent, 5);
    EXPECT_TRUE(options.exitOnFault);
    EXPECT_EQ(options.interval, std::chrono::minutes(1));
    EXPECT_EQ(options.warmUp, std::chrono::milliseconds::zero());
    EXPECT_EQ(options.hours->Text(), "22:00-06:00");
    EXPECT_EQ(options.daylight->Minutes(), 30);
    EXPECT_EQ(options.latest, "latest.jpg");
    EXPECT_TRUE(options.daily);
    EXPECT_EQ(options.keepDays, 30);
    EXPECT_FALSE(ParseLogArguments({}).exitOnFault);
    const LogOptions stamped = ParseLogArguments({"--timestamp=%H:%M:%S.%f", "--title=Door"});
    EXPECT_EQ(stamped.stamp.format, "%H:%M:%S.%f");
    EXPECT_EQ(stamped.stamp.title, "Door");
    EXPECT_EQ(ParseLogArguments({"--timestamp"}).stamp.format, "%Y-%m-%d %H:%M:%S");
    EXPECT_TRUE(ParseLogArguments({"--passthrough"}).passthrough);
}

TEST_F(LogCommandTest, WritesTheAskedNumberOfFilesThatDecode) {
    const QString target = dir_.filePath("out");
    ASSERT_TRUE(QDir().mkpath(target));
    Feed(0);
    ASSERT_EQ(Log({"--dir", target, "--frames", "3", "--skip", "0"}), kExitSuccess)
        << errors_.toStdString();
    const QStringList written = Written();
    ASSERT_EQ(written.size(), 3);
    for (const QString& path : written) {
        EXPECT_TRUE(path.startsWith(target + "/")) << path.toStdString();
        EXPECT_TRUE(
            QFileInfo(path).fileName().contains(QRegularExpression("^\\d{15}(-\\d+)?\\.jpg$")));
        EXPECT_EQ(QImage(path).size(), QSize(32, 24)) << path.toStdString();
    }
    EXPECT_FALSE(QFile::exists(settings_.settingsFile)) << "the settings file is never written";
    EXPECT_FALSE(QFile::exists(settings_.defaultDirectory));
}

// Frames arrive every 2 ms; one file per 200 ms window of the local day,
// named after its capture.
TEST_F(LogCommandTest, AnIntervalWritesOneFilePerPeriod) {
    const QString target = dir_.filePath("out");
    ASSERT_TRUE(QDir().mkpath(target));
    Feed(0);
    ASSERT_EQ(Log({"--dir", target, "--frames", "4", "--interval", "200ms"}), kExitSuccess)
        << errors_.toStdString();
    const QStringList written = Written();
    ASSERT_EQ(written.size(), 4);
    int lastWindow = -1;
    for (const QString& path : written) {
        const QString name = QFileInfo(path).fileName();
        const QTime time = QTime::fromString(name.mid(6, 9), "hhmmsszzz");
        ASSERT_TRUE(time.isValid()) << name.toStdString();
        const int window = time.msecsSinceStartOfDay() / 200;
        EXPECT_GT(window, lastWindow) << name.toStdString();
        lastWindow = window;
    }
}

// Outside the active hours the camera runs on, nothing is written, and one
// line says until when.
TEST_F(LogCommandTest, OutsideTheActiveHoursNothingIsWrittenAndItSaysSo) {
    const QString target = dir_.filePath("out");
    const QTime later = QTime::currentTime().addSecs(2 * 3600);
    const QString hours = later.toString("HH:00") + "-" + later.addSecs(3600).toString("HH:00");
    Feed(0);
    ASSERT_EQ(Log({"--dir", target, "--seconds", "1", "--skip", "0", "--hours", hours}),
              kExitSuccess)
        << errors_.toStdString();
    EXPECT_TRUE(Written().isEmpty());
    EXPECT_EQ(errors_.count("Resting until " + later.toString("HH:00")), 1)
        << errors_.toStdString();
}

// Each published file reaches the command and the status files; the
// commands still waiting when the limit is reached run before the end.
TEST_F(LogCommandTest, ExecAndStatusFilesFollowThePublishedFiles) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not support fork in a threaded process, which
    // QProcess does for each command; the other builds run this test.
    GTEST_SKIP() << "commands are not started under ThreadSanitizer";
#endif
    const QString target = dir_.filePath("out");
    const QString ran = dir_.filePath("ran.log");
    const QString statusFile = dir_.filePath("status.json");
    const QString metricsFile = dir_.filePath("vistrel.prom");
    Feed(0);
    ASSERT_EQ(Log({"--dir", target, "--frames", "3", "--skip", "0", "--exec",
                   "echo \"$1 $VISTREL_CAMERA\" >> '" + ran + "'", "--status-file", statusFile,
                   "--metrics", metricsFile}),
              kExitSuccess)
        << errors_.toStdString();
    const QStringList written = Written();
    ASSERT_EQ(written.size(), 3);
    QFile ranFile(ran);
    ASSERT_TRUE(ranFile.open(QIODevice::ReadOnly));
    QStringList expected;
    for (const QString& path : written) {
        expected << path + QStringLiteral(" Shelf Cam");
    }
    EXPECT_EQ(QString::fromUtf8(ranFile.readAll()).split(u'\n', Qt::SkipEmptyParts), expected);
    QFile status(statusFile);
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(status.readAll()).object();
    EXPECT_EQ(json["camera"]["name"].toString(), "Shelf Cam");
    EXPECT_FALSE(json["camera"]["node"].toString().isEmpty());
    EXPECT_EQ(json["camera"]["width"].toInt(), 32);
    EXPECT_EQ(json["state"].toString(), "capturing");
    EXPECT_EQ(json["counters"]["written"].toInteger(), 3);
    EXPECT_EQ(json["last_file"].toString(), written.last());
    QFile metrics(metricsFile);
    ASSERT_TRUE(metrics.open(QIODevice::ReadOnly));
    EXPECT_TRUE(
        metrics.readAll().contains("\nvistrel_files_written_total{camera=\"Shelf Cam\"} 3\n"));
}

TEST_F(LogCommandTest, DefaultsComeFromTheSettingsFile) {
    ASSERT_TRUE(QDir().mkpath(dir_.filePath("config")));
    ASSERT_TRUE(QDir().mkpath(dir_.filePath("saved")));
    QFile ini(settings_.settingsFile);
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[Settings]\nCam=1\nSkippedFrames=0\nDirectory=" + dir_.filePath("saved") +
               "\nControls=brightness=10,gamma=1\n")
                  .toUtf8());
    ini.close();
    const QByteArray before = [&] {
        QFile f(settings_.settingsFile);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();

    Feed(1);  // Cam=1 is the second camera
    ASSERT_EQ(Log({"--frames", "2"}), kExitSuccess) << errors_.toStdString();
    ASSERT_EQ(Written().size(), 2);
    EXPECT_TRUE(Written()[0].startsWith(dir_.filePath("saved") + "/"));
    EXPECT_EQ(fake_->ControlValue(1, V4L2_CID_BRIGHTNESS), 10);
    EXPECT_EQ(errors_, "vistrel-cli: camera control \"gamma=1\": the camera has no such control\n");
    // The command line's list replaces the key's.
    Feed(1);
    ASSERT_EQ(Log({"--frames", "1", "--control", "brightness=200", "--control=hue=-5"}),
              kExitSuccess)
        << errors_.toStdString();
    EXPECT_EQ(fake_->ControlValue(1, V4L2_CID_BRIGHTNESS), 200);
    EXPECT_EQ(fake_->ControlValue(1, V4L2_CID_HUE), -5);
    EXPECT_EQ(errors_, "");
    QFile after(settings_.settingsFile);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), before);
}

TEST_F(LogCommandTest, DefaultDirectoryIsMadeAndNoWriteWritesNothing) {
    Feed(0);
    ASSERT_EQ(Log({"--frames", "1"}), kExitSuccess) << errors_.toStdString();
    ASSERT_EQ(Written().size(), 1);
    EXPECT_TRUE(Written()[0].startsWith(settings_.defaultDirectory));

    // Any missing directory is made, as on a fresh machine.
    Feed(0);
    ASSERT_EQ(Log({"--frames", "1", "--dir", dir_.filePath("fresh/cam")}), kExitSuccess)
        << errors_.toStdString();
    EXPECT_EQ(QDir(dir_.filePath("fresh/cam")).entryList(QDir::Files).size(), 1);

    Feed(0);
    ASSERT_EQ(Log({"--frames", "2", "--no-write", "--dir", dir_.filePath("none")}), kExitSuccess);
    EXPECT_TRUE(Written().isEmpty());
    EXPECT_FALSE(QFile::exists(dir_.filePath("none")));
}

// As the template service runs it: one folder per camera, and the service
// manager hears that the logger is ready and, at the end, stopping.
TEST_F(LogCommandTest, AsAServiceItReportsAndWritesIntoAFolderOfItsOwn) {
    test::FakeNotifySocket manager;
    const QString target = dir_.filePath("out");
    ASSERT_TRUE(QDir().mkpath(target));
    Feed(1);
    ASSERT_EQ(Log({"--device", "#2", "--dir", target, "--subdir", "camera-2", "--frames", "2",
                   "--daily", "--latest", "latest.jpg"}),
              kExitSuccess)
        << errors_.toStdString();
    ASSERT_EQ(Written().size(), 2);
    // The folder of the capture's local date, as the name tells it.
    const QString name = QFileInfo(Written()[0]).fileName();
    const QString day = "20" + name.left(2) + "-" + name.mid(2, 2) + "-" + name.mid(4, 2);
    EXPECT_EQ(QFileInfo(Written()[0]).dir().path(), target + "/camera-2/" + day);
    EXPECT_EQ(QFileInfo(target + "/camera-2/latest.jpg").symLinkTarget(), Written()[1]);

    const std::vector<std::string> messages = manager.Drain();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.front().rfind("READY=1\nSTATUS=Camera #2: ", 0), 0u) << messages.front();
    EXPECT_EQ(messages.back(), "STOPPING=1");
}

TEST_F(LogCommandTest, FailuresExitWithOne) {
    EXPECT_EQ(Log({"--device", "#3"}), kExitFailure);
    EXPECT_EQ(errors_.toStdString(),
              "vistrel-cli: Could not start grabbing! No camera \"#3\" was found.\n");

    // A directory that cannot be made (a file is in the way) is a failed write.
    Feed(0);
    QFile(dir_.filePath("file")).open(QIODevice::WriteOnly);
    EXPECT_EQ(Log({"--dir", dir_.filePath("file/sub"), "--exit-on-fault"}), kExitFailure);
    EXPECT_EQ(errors_, "vistrel-cli: Cannot create directory \"" + dir_.filePath("file/sub") +
                           "\". Not a directory\n");
    // One that can never be made ends the run without --exit-on-fault too.
    const QString tooLong = dir_.filePath(QString(256, u'a'));
    EXPECT_EQ(Log({"--dir", tooLong, "--frames", "1"}), kExitFailure);
    EXPECT_EQ(errors_,
              "vistrel-cli: Cannot create directory \"" + tooLong + "\". File name too long\n");
    // A floor that could never be met is refused before anything is deleted.
    EXPECT_EQ(Log({"--dir", dir_.path(), "--keep-free", "95%"}), kExitFailure);
    EXPECT_EQ(errors_,
              "vistrel-cli: The free-space floor of 95% is refused: a share above 90% of "
              "the file system can never be kept free\n");

    // Unplugged once the capture is surely running: a file was written.
    const QString lostDir = dir_.filePath("lost");
    ASSERT_TRUE(QDir().mkpath(lostDir));
    std::thread unplug([this, lostDir] {
        for (int i = 0; i < 1000 && QDir(lostDir).entryList({"*.jpg"}).isEmpty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fake_->LoseDevice(1);
    });
    Feed(1);
    EXPECT_EQ(Log({"--device", "#2", "--dir", lostDir, "--skip", "0", "--exit-on-fault"}),
              kExitFailure);
    unplug.join();
    EXPECT_EQ(errors_.toStdString(), "vistrel-cli: Capture device lost\n");
}

TEST_F(LogCommandTest, ADirectoryNameThatIsNotUtf8ReachesTheFileSystemUnchanged) {
    const QByteArray native = QFile::encodeName(dir_.path()) + "/caf\xe9-\xff";
    Feed(0);
    ASSERT_EQ(Log({"--dir", DecodeFileName(native), "--frames", "1", "--skip", "0"}), kExitSuccess)
        << errors_.toStdString();
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(native.constData()), ::closedir);
    ASSERT_TRUE(dir) << "no directory of the given bytes";
    int pictures = 0;
    while (const dirent* item = ::readdir(dir.get())) {
        pictures += QByteArray(item->d_name).endsWith(".jpg") ? 1 : 0;
    }
    EXPECT_EQ(pictures, 1);
}

TEST_F(LogCommandTest, RemovedDirectoryPausesWritingOnceAndItResumesOnce) {
    settings_.retryInterval = std::chrono::milliseconds(50);
    // The removal may catch any step of a write.
    const auto failedWrite = [](const QString& dir) {
        return QRegularExpression("^vistrel-cli: Cannot (create|write|sync|publish) file \"" +
                                  QRegularExpression::escape(dir) + "/");
    };
    QString out = dir_.filePath("out");
    // The directory goes once a file is there; once it is back with a new
    // file, the run is ended.
    std::thread remover([this, out] {
        const auto waitFor = [&](auto condition) {
            for (int i = 0; i < 3000 && !condition(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return condition();
        };
        const auto hasFile = [&] { return !QDir(out).entryList({"*.jpg"}).isEmpty(); };
        // Moved away in one step, so the writer sees it gone at once, for good.
        if (waitFor(hasFile) && QDir().rename(out, out + "-gone") && waitFor(hasFile)) {
            std::raise(SIGTERM);
        }
    });
    Feed(0);
    const int status = Log({"--dir", out, "--skip", "0"});
    remover.join();
    EXPECT_EQ(status, kExitSuccess) << errors_.toStdString();
    const QStringList lines = errors_.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << errors_.toStdString();
    EXPECT_TRUE(lines[0].contains(failedWrite(out))) << lines[0].toStdString();
    EXPECT_TRUE(
        lines[0].endsWith("No such file or directory; writing paused, trying again every 50 ms"));
    EXPECT_TRUE(lines[1].startsWith("vistrel-cli: writing resumed; ")) << lines[1].toStdString();
    const QStringList after = QDir(out).entryList({"*"}, QDir::Files | QDir::Hidden);
    ASSERT_FALSE(after.isEmpty());
    for (const QString& name : after) {
        EXPECT_TRUE(QImage(out + "/" + name).size() == QSize(32, 24)) << name.toStdString();
    }

    // With --exit-on-fault the first failed write ends the run.
    out = dir_.filePath("out2");
    std::thread removeAgain([out] {
        for (int i = 0; i < 3000 && QDir(out).entryList({"*.jpg"}).isEmpty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        QDir().rename(out, out + "-gone");
    });
    Feed(0);
    EXPECT_EQ(Log({"--dir", out, "--skip", "0", "--exit-on-fault"}), kExitFailure);
    removeAgain.join();
    EXPECT_TRUE(errors_.contains(failedWrite(out))) << errors_.toStdString();
    EXPECT_EQ(errors_.count('\n'), 1) << errors_.toStdString();
}

TEST_F(LogCommandTest, LostCameraIsWaitedForAndFilesContinueOnceItIsBack) {
    settings_.cameraKeeper.lookInterval = std::chrono::milliseconds(20);
    const QString target = dir_.filePath("kept");
    ASSERT_TRUE(QDir().mkpath(target));
    auto files = [&] { return QDir(target).entryList({"*.jpg"}, QDir::Files).size(); };
    auto waitForFiles = [&](qsizetype count) {
        for (int i = 0; i < 2000 && files() < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return files() >= count;
    };
    std::atomic<int> camera{0};
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const std::vector<std::uint8_t> frame(32 * 24 * 2, 128);
        while (feeding) {
            fake_->PushFrame(camera, frame);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    qsizetype beforeReturn = 0;
    std::thread driver([&] {
        if (waitForFiles(2)) {
            fake_->UnplugDevice(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            beforeReturn = files();
            camera = fake_->ReturnDevice(0, 5);
            waitForFiles(beforeReturn + 2);
        }
        std::raise(SIGTERM);
    });
    EXPECT_EQ(Log({"--dir", target, "--skip", "0"}), kExitSuccess);
    driver.join();
    feeding = false;
    feeder.join();
    EXPECT_EQ(errors_.toStdString(),
              "vistrel-cli: Capture device lost (No such device); waiting for it to come back\n"
              "vistrel-cli: Capture device back at /dev/video5\n");
    ASSERT_GE(files(), beforeReturn + 2);
    const QStringList written = Written();
    EXPECT_EQ(QImage(written.back()).size(), QSize(32, 24));

    // A camera that never comes back: the time limit still ends the run.
    std::thread unplug([&] {
        // Once the start has read the format (streaming and the session's
        // own query): the capture runs.
        for (int i = 0; i < 1000 && fake_->IoctlCalls(1, VIDIOC_G_FMT) < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        fake_->UnplugDevice(1);
    });
    EXPECT_EQ(Log({"--device", "Door Cam", "--seconds", "1", "--no-write"}), kExitSuccess);
    unplug.join();
    EXPECT_EQ(errors_.toStdString(),
              "vistrel-cli: Capture device lost (No such device); waiting for it to come back\n");
}

TEST_F(LogCommandTest, StalledCameraIsRestartedSaidOnceAndFilesContinue) {
    settings_.stallTimeout = std::chrono::milliseconds(300);
    const QString target = dir_.filePath("stalled");
    ASSERT_TRUE(QDir().mkpath(target));
    auto files = [&] { return QDir(target).entryList({"*.jpg"}, QDir::Files).size(); };
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 4000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    Feed(0);
    std::thread driver([&] {
        if (waitFor([&] { return files() >= 2; })) {
            const std::uint64_t starts = fake_->IoctlCalls(0, VIDIOC_STREAMON);
            fake_->SetStalled(0, true);
            waitFor([&] { return fake_->IoctlCalls(0, VIDIOC_STREAMON) > starts; });
            fake_->SetStalled(0, false);
            const qsizetype restarted = files();
            waitFor([&] { return files() >= restarted + 2; });
        }
        std::raise(SIGTERM);
    });
    EXPECT_EQ(Log({"--dir", target, "--skip", "0"}), kExitSuccess);
    driver.join();
    EXPECT_EQ(errors_.toStdString(),
              "vistrel-cli: Camera stalled; restarting\n"
              "vistrel-cli: Camera back\n");
    EXPECT_GE(files(), 4);
}

// SIGHUP reads the settings again: a new directory takes the next files, with
// no restart of the camera.
TEST_F(LogCommandTest, HangUpReloadsSettingsWithoutRestartingTheCamera) {
    const QString first = dir_.filePath("first");
    const QString second = dir_.filePath("second");
    WriteSettings("[Settings]\nDirectory=" + first + "\n");
    const auto files = [](const QString& dir) { return QDir(dir).entryList({"*.jpg"}).size(); };
    const auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 3000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    Feed(0);
    std::thread driver([&] {
        if (waitFor([&] { return files(first) >= 2; })) {
            WriteSettings("[Settings]\nDirectory=" + second + "\nJPEGQuality=90\n");
            std::raise(SIGHUP);
            waitFor([&] { return files(second) >= 2; });
        }
        std::raise(SIGTERM);
    });
    const std::uint64_t starts = fake_->IoctlCalls(0, VIDIOC_STREAMON);
    EXPECT_EQ(Log({"--skip", "0"}), kExitSuccess);
    driver.join();
    EXPECT_EQ(fake_->IoctlCalls(0, VIDIOC_STREAMON), starts + 1);
    EXPECT_EQ(errors_.toStdString(), "vistrel-cli: settings reloaded\n");
    EXPECT_GE(files(second), 2);
    EXPECT_TRUE(QDir(second).entryList({"*.part"}, QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(LogCommandTest, ChosenFormatIsSetBeforeStreamingAndWritten) {
    const int cam = AddListingCamera(test::MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24));
    const QString target = dir_.filePath("out");
    ASSERT_TRUE(QDir().mkpath(target));
    Feed(cam, 64 * 48 * 2);
    ASSERT_EQ(Log({"--device", "#3", "--size", "64X48", "--format", "yuyv", "--fps", "15",
                   "--frames", "1", "--skip", "0", "--dir", target}),
              kExitSuccess)
        << errors_.toStdString();
    ASSERT_EQ(Written().size(), 1);
    EXPECT_EQ(QImage(Written()[0]).size(), QSize(64, 48));
    EXPECT_EQ(errors_, "");  // taken as asked
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_S_PARM), 1u);

    // A rate the driver turns into another is taken, with a note.
    fake_ = std::make_shared<FakeV4L2>();
    fake_->AddDevice({});
    fake_->AddDevice({});
    const int adjusting =
        AddListingCamera(test::MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24), [](v4l2_fract& t) {
            t = {1, 10};
        });
    Feed(adjusting);
    ASSERT_EQ(Log({"--device", "#3", "--fps", "30", "--frames", "1", "--no-write"}), kExitSuccess);
    EXPECT_EQ(errors_,
              "vistrel-cli: the camera adjusted the request: at 30 fps became at 10 fps\n");
}

TEST_F(LogCommandTest, FormatNotOfferedIsACommandLineErrorListingTheOffer) {
    const int cam = AddListingCamera(test::MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24));
    EXPECT_EQ(Log({"--device", "#3", "--size", "1000x1000"}), kExitUsage);
    EXPECT_EQ(errors_,
              "the camera does not offer 1000x1000 in YUY2; its YUY2 sizes, nearest "
              "first: 64x48, 32x24");
    EXPECT_EQ(Log({"--device", "#3", "--format", "I420"}), kExitUsage);
    EXPECT_EQ(Log({"--device", "#3", "--format", "MJPG"}), kExitUsage);  // not in 32x24
    EXPECT_EQ(Log({"--device", "#3", "--fps", "60"}), kExitUsage);
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_S_FMT), 0u);
    EXPECT_EQ(fake_->IoctlCalls(cam, VIDIOC_STREAMON), 0u);

    for (const QStringList& bad :
         {QStringList{"--size", "64"}, {"--format", "YUYV2"}, {"--fps", "0"}, {"--fps"}}) {
        QString out, err;
        QTextStream o(&out), e(&err);
        EXPECT_EQ(RunCli(QStringList{"vistrel-cli", "log"} + bad, o, e, fake_), kExitUsage);
    }
}

TEST_F(LogCommandTest, SavedChoiceAndUnconvertibleCameraAreNoted) {
    const int cam = AddListingCamera(test::MakeFormat(V4L2_PIX_FMT_UYVY, 32, 24));
    const QString target = dir_.filePath("out");
    ASSERT_TRUE(QDir().mkpath(target));

    // The window's choice is taken; --fps applies on top of it.
    WriteSettings("[Settings]\nFormat=YUY2\nSize=64x48\n");
    Feed(cam, 64 * 48 * 2);
    ASSERT_EQ(Log({"--device", "#3", "--fps", "15", "--frames", "1", "--dir", target}),
              kExitSuccess)
        << errors_.toStdString();
    EXPECT_EQ(QImage(Written()[0]).size(), QSize(64, 48));
    EXPECT_EQ(errors_, "");

    // A saved choice the camera does not offer: one line, the current format.
    fake_ = std::make_shared<FakeV4L2>();
    fake_->AddDevice({});
    fake_->AddDevice({});
    AddListingCamera(test::MakeFormat(V4L2_PIX_FMT_UYVY, 32, 24));
    WriteSettings("[Settings]\nFormat=MJPG\nSize=1920x1080\n");
    Feed(cam);
    ASSERT_EQ(Log({"--device", "#3", "--frames", "2", "--skip", "0", "--dir", target}),
              kExitSuccess);
    // The camera sends UYVY: said once, and the diagnostic pictures are written.
    EXPECT_EQ(errors_,
              "vistrel-cli: the camera does not offer the saved format MJPG 1920x1080; taking its "
              "current format\n"
              "vistrel-cli: the camera sends UYVY, which Vistrel cannot convert: each frame shows "
              "the \"Unknown compression\" picture. It also offers YUY2, MJPG; pick one with "
              "--format, e.g. --format YUY2\n");
    EXPECT_EQ(Written().size(), 2);
    EXPECT_EQ(QImage(Written()[0]).size(), QSize(32, 24));

    // A saved format Vistrel cannot convert is not applied: one line, and
    // the camera keeps its convertible format.
    fake_ = std::make_shared<FakeV4L2>();
    fake_->AddDevice({});
    fake_->AddDevice({});
    const int converting = AddListingCamera(test::MakeFormat(V4L2_PIX_FMT_YUYV, 32, 24));
    WriteSettings("[Settings]\nFormat=UYVY\nSize=32x24\n");
    Feed(converting);
    ASSERT_EQ(Log({"--device", "#3", "--frames", "1", "--dir", target}), kExitSuccess);
    EXPECT_EQ(errors_,
              "vistrel-cli: the saved format UYVY 32x24 is one Vistrel cannot convert; taking "
              "the camera's current format\n");
    EXPECT_EQ(fake_->IoctlCalls(converting, VIDIOC_S_FMT), 0u);
}

// A camera's MJPG frame without Huffman tables, as many send them, and the
// stream libjpeg made of it with the tables.
struct CameraJpeg {
    std::vector<std::uint8_t> whole, tableless;
};
CameraJpeg MakeCameraJpeg(int width, int height) {
    QImage picture(width, height, QImage::Format_BGR888);
    picture.fill(QColor(40, 120, 200));
    TJPEGImage encoder;
    encoder.SetImage(picture);
    CameraJpeg jpeg{encoder.Encoded(), {}};
    // Every DHT segment (FF C4 and its length) before the scan goes.
    const std::vector<std::uint8_t>& w = jpeg.whole;
    std::size_t pos = 0;
    while (pos + 4 <= w.size() && !(w[pos] == 0xFF && w[pos + 1] == 0xDA)) {
        const std::size_t length = pos == 0 ? 0 : (std::size_t{w[pos + 2]} << 8 | w[pos + 3]);
        const std::size_t next = pos + 2 + length;
        if (w[pos + 1] != 0xC4) {
            jpeg.tableless.insert(jpeg.tableless.end(), w.begin() + pos, w.begin() + next);
        }
        pos = next;
    }
    jpeg.tableless.insert(jpeg.tableless.end(), w.begin() + pos, w.end());
    return jpeg;
}

// The camera's bytes are written with the tables put in, not encoded again
// (a quality is given and does not apply); a camera in another format has
// its frames encoded, with one line.
TEST_F(LogCommandTest, PassthroughWritesTheCamerasJpegWithItsTables) {
    const int cam = AddListingCamera(test::MakeFormat(V4L2_PIX_FMT_MJPEG, 64, 48));
    const QString target = dir_.filePath("out");
    ASSERT_TRUE(QDir().mkpath(target));
    const CameraJpeg jpeg = MakeCameraJpeg(64, 48);
    ASSERT_LT(jpeg.tableless.size(), jpeg.whole.size());
    Feed(cam, jpeg.tableless);
    ASSERT_EQ(Log({"--device", "#3", "--passthrough", "--quality", "100", "--frames", "2", "--skip",
                   "0", "--dir", target}),
              kExitSuccess)
        << errors_.toStdString();
    ASSERT_EQ(Written().size(), 2);
    for (const QString& path : Written()) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), jpeg.whole);
    }
    EXPECT_EQ(errors_, "");

    Feed(0);
    ASSERT_EQ(Log({"--device", "#1", "--passthrough", "--frames", "1", "--dir", target}),
              kExitSuccess);
    EXPECT_EQ(errors_,
              "vistrel-cli: passthrough applies to MJPG cameras only; the camera sends YUY2, so "
              "its frames are encoded\n");
    EXPECT_EQ(QImage(Written()[0]).size(), QSize(32, 24));
}

TEST_F(LogCommandTest, TimeLimitAndTerminationSignalEndTheRun) {
    EXPECT_EQ(Log({"--seconds", "1", "--no-write"}), kExitSuccess);  // no frames at all

    std::thread terminate([this] {
        if (fake_->WaitForQueued(0, 1)) {
            std::raise(SIGTERM);
        }
    });
    EXPECT_EQ(Log({"--dir", dir_.path()}), kExitSuccess);
    terminate.join();
}

}  // namespace
}  // namespace vistrel::cli
