// SPDX-License-Identifier: MIT
// Run, Stop, frames reaching files, errors, closing and the single instance.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTime>
#include <QToolButton>

#include <cerrno>
#include <chrono>

#include "app/instance_lock.h"
#include "app/up_down.h"
#include "base/error_handler.h"
#include "form_fixture.h"

namespace vistrel::test {
namespace {

class CaptureControlTest : public FormTest {
protected:
    void ExpectIdle() {
        EXPECT_FALSE(Form().IsCapturing());
        EXPECT_TRUE(Control<QToolButton>("RunSB")->isEnabled());
        EXPECT_TRUE(Control<QToolButton>("UpdateSB")->isEnabled());
        EXPECT_FALSE(Control<QToolButton>("StopSB")->isEnabled());
    }
    void ExpectCapturing() {
        EXPECT_TRUE(Form().IsCapturing());
        EXPECT_FALSE(Control<QToolButton>("RunSB")->isEnabled());
        EXPECT_FALSE(Control<QToolButton>("UpdateSB")->isEnabled());
        EXPECT_FALSE(Control<QComboBox>("CamLstCB")->isEnabled());
        EXPECT_TRUE(Control<QToolButton>("StopSB")->isEnabled());
    }
};

TEST_F(CaptureControlTest, RunWithoutCameraAsksForTheFirstEntryAndReportsTheFailure) {
    startResult_ = 1;
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_EQ(startedDevices_.size(), 1u);
    EXPECT_EQ(startedDevices_[0], "#1");  // the "---" placeholder is entry 1
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Could not start grabbing!");
    EXPECT_EQ(messages_[0].icon, QMessageBox::Critical);
    ExpectIdle();
    EXPECT_FALSE(QApplication::overrideCursor());
}

TEST_F(CaptureControlTest, RunNamesTheSelectedEntryOrNumberZeroWhenNoneIs) {
    cameras_ = {"A", "B", "C", "D"};
    WriteSettings("[Settings]\nCam=3\n");
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    EXPECT_EQ(startedDevices_.back(), "#4");
    ExpectCapturing();
    EXPECT_TRUE(messages_.empty());
    Control<QToolButton>("StopSB")->click();
    EXPECT_EQ(stops_, 1);
    ExpectIdle();
    EXPECT_TRUE(Control<QComboBox>("CamLstCB")->isEnabled());
    EXPECT_EQ(Control<QComboBox>("CamLstCB")->currentIndex(), 3);
    DestroyForm();

    // A stored index past the list: nothing selected, "#0", which fails.
    cameras_ = {"A", "B"};
    startResult_ = 1;
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    EXPECT_EQ(startedDevices_.back(), "#0");
    ASSERT_EQ(messages_.size(), 1u);
    ExpectIdle();
}

TEST_F(CaptureControlTest, FramesBecomeFilesNamedByTimeAndTheThumbnailFollows) {
    cameras_ = {"A"};
    WriteSettings("[Settings]\nSkippedFrames=0\nDirectory=" + TempPath("out") + "\n");
    QDir().mkpath(TempPath("out"));
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(Form().IsCapturing());

    DeliverFrame(640, 480);
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "640 x 480");
    auto* thumb = Control<QLabel>("ThumbI");
    EXPECT_EQ(thumb->size(), QSize(128, 96));
    EXPECT_EQ(thumb->pixmap().size(), QSize(128, 96));
    QStringList files = OutputFiles(TempPath("out"));
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(QRegularExpression("^\\d{15}\\.jpg$").match(files[0]).hasMatch())
        << files[0].toStdString();
    // Only the thumbnail resizes; the rest of the window stays where it is.
    EXPECT_EQ(Form().size(), QSize(242, 316));

    DeliverFrame(480, 640);
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "480 x 640");
    EXPECT_EQ(thumb->size(), QSize(96, 128));
    DeliverFrame(352, 288);
    EXPECT_EQ(thumb->size(), QSize(128, 104));
    EXPECT_TRUE(messages_.empty());
}

TEST_F(CaptureControlTest, LoggingUntickedShowsFramesAndWritesNothing) {
    cameras_ = {"A"};
    WriteSettings("[Settings]\nSkippedFrames=0\nLogging=0\nDirectory=" + TempPath("out") + "\n");
    QDir().mkpath(TempPath("out"));
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    DeliverFrame(320, 240);
    DeliverFrame(320, 240);
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "320 x 240");
    EXPECT_TRUE(OutputFiles(TempPath("out")).isEmpty());
    EXPECT_EQ(Form().FrameLogger().JpegEncoder().EncodeCount(), 0u);

    // Ticking the box applies from the next frame.
    Control<QCheckBox>("LoggingCB")->setChecked(true);
    DeliverFrame(320, 240);
    EXPECT_EQ(OutputFiles(TempPath("out")).size(), 1);
}

// Hours set by hand in the settings file: outside them the thumbnail stays
// live, nothing is written, the label says until when, and saving keeps them.
TEST_F(CaptureControlTest, OutsideTheActiveHoursFramesAreShownNotWritten) {
    cameras_ = {"A"};
    const QTime later = QTime::currentTime().addSecs(2 * 3600);
    const QString hours = later.toString("HH:00") + "-" + later.addSecs(3600).toString("HH:00");
    WriteSettings("[Settings]\nSkippedFrames=0\nHours=" + hours + "\nDirectory=" + TempPath("out") +
                  "\n");
    QDir().mkpath(TempPath("out"));
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    DeliverFrame(320, 240);
    DeliverFrame(320, 240);
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "Resting until " + later.toString("HH:00"));
    EXPECT_EQ(Control<QLabel>("ThumbI")->pixmap().size(), QSize(128, 96));
    EXPECT_TRUE(OutputFiles(TempPath("out")).isEmpty());
    Control<QToolButton>("SaveSetSB")->click();
    EXPECT_TRUE(ReadSettings().contains("Hours=" + hours + "\n")) << ReadSettings().toStdString();
}

TEST_F(CaptureControlTest, RunSetsTheDivisorAndStopAndRunStartTheCountAgain) {
    cameras_ = {"A"};
    WriteSettings("[Settings]\nLogging=0\n");  // three skipped: every fourth frame
    MakeForm();
    TFrameLogger& logger = Form().FrameLogger();
    Control<QToolButton>("RunSB")->click();
    EXPECT_EQ(logger.FrameDivisor(), 4);
    for (int i = 0; i < 3; ++i) {
        DeliverFrame(64, 48);
    }
    EXPECT_EQ(logger.FramesTaken(), 0u);
    // A step of the spinner during capture applies at the next Run only.
    Control<TUpDown>("SkipUD")->Step(+1);
    EXPECT_EQ(logger.FrameDivisor(), 4);

    Control<QToolButton>("StopSB")->click();
    Control<QToolButton>("RunSB")->click();
    EXPECT_EQ(logger.FrameDivisor(), 5);
    EXPECT_EQ(logger.FrameCounter(), 0);
    for (int i = 0; i < 4; ++i) {
        DeliverFrame(64, 48);
    }
    EXPECT_EQ(logger.FramesTaken(), 0u);
    DeliverFrame(64, 48);
    EXPECT_EQ(logger.FramesTaken(), 1u);
}

TEST_F(CaptureControlTest, DefaultDirectoryIsMadeAtRun) {
    cameras_ = {"A"};
    MakeForm();
    ASSERT_FALSE(QFileInfo::exists(DefaultDirectory()));
    Control<QToolButton>("RunSB")->click();
    EXPECT_TRUE(QFileInfo(DefaultDirectory()).isDir());
}

TEST_F(CaptureControlTest, AFailedWritePausesInTheSizeLabelWithoutABoxAndResumes) {
    cameras_ = {"A"};
    const QString out = TempPath("made/at/run");
    WriteSettings("[Settings]\nSkippedFrames=0\nDirectory=" + out + "\n");
    MakeForm();
    auto now = std::chrono::steady_clock::time_point{};
    TFrameWriter& writer = Form().FrameLogger().Writer();
    writer.SetClock([&] { return now; });
    int failWith = ENOSPC;
    writer.SetFaultHook([&](FileStep step) { return step == FileStep::Write ? failWith : 0; });
    Control<QToolButton>("RunSB")->click();
    EXPECT_TRUE(QFileInfo(out).isDir()) << "a missing directory is made at Run";

    QLabel* size = Control<QLabel>("SourceXYL");
    DeliverFrame(64, 48);
    DeliverFrame(64, 48);
    EXPECT_EQ(size->text(), "Paused: disk full");
    EXPECT_TRUE(size->toolTip().startsWith("Cannot write file \"" + out + "/"))
        << size->toolTip().toStdString();
    EXPECT_TRUE(messages_.empty()) << "nothing waits for a click";
    EXPECT_TRUE(Form().IsCapturing());

    failWith = 0;
    now += TFrameWriter::kRetryInterval;
    DeliverFrame(64, 48);
    EXPECT_EQ(size->text(), "64 x 48");
    EXPECT_EQ(OutputFiles(out).size(), 1);
    EXPECT_TRUE(messages_.empty());
}

TEST_F(CaptureControlTest, ErrorsArriveOneBoxAtATime) {
    // While the first box is open another error arrives (as from a nested
    // event loop); it must not open a second box on top.
    env_.showMessage = [this](QWidget*, QMessageBox::Icon icon, const QString& title,
                              const QString& text) {
        messages_.push_back({icon, title, text});
        if (messages_.size() == 1) {
            HandleApplicationError(std::make_exception_ptr(std::runtime_error("second")), nullptr);
        }
    };
    MakeForm();
    HandleApplicationError(std::make_exception_ptr(std::runtime_error("first")), nullptr);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "first");
    EXPECT_EQ(messages_[0].title, "Vistrel");
    // Once it is closed the next error gets its box.
    HandleApplicationError(std::make_exception_ptr(std::runtime_error("third")), nullptr);
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[1].text, "third");
}

TEST_F(CaptureControlTest, LostCameraIsWaitedForWithoutABoxAndStopEndsTheWait) {
    cameras_ = {"A"};
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    ASSERT_TRUE(Form().IsCapturing());
    cameras_.clear();
    Form().CaptureDeviceLost();
    EXPECT_TRUE(Form().IsWaitingForCamera());
    EXPECT_FALSE(Form().IsCapturing());
    EXPECT_EQ(stops_, 1);
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "Waiting for camera");
    EXPECT_EQ(Control<QComboBox>("CamLstCB")->currentText(), "---");
    // Controls as while capturing: only Stop ends the wait.
    EXPECT_FALSE(Control<QToolButton>("RunSB")->isEnabled());
    EXPECT_FALSE(Control<QToolButton>("UpdateSB")->isEnabled());
    EXPECT_FALSE(Control<QComboBox>("CamLstCB")->isEnabled());
    EXPECT_TRUE(Control<QToolButton>("StopSB")->isEnabled());
    Form().RunSBClick();
    EXPECT_EQ(startedDevices_.size(), 1u);
    Form().CaptureDeviceLost();  // a late second report changes nothing
    EXPECT_EQ(stops_, 1);

    Control<QToolButton>("StopSB")->click();
    EXPECT_FALSE(Form().IsWaitingForCamera());
    ExpectIdle();
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "... x ...");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(CaptureControlTest, DirectoryChooserSetsTheFullPathAndCancelKeepsIt) {
    MakeForm();
    const QString before = Form().OutputDirectory();
    chosenDirectory_.reset();
    Control<QToolButton>("DirSelSB")->click();
    EXPECT_EQ(Form().OutputDirectory(), before);

    const QString longPath = TempPath("a/rather/long/directory/name/for/frames");
    chosenDirectory_ = longPath;
    Control<QToolButton>("DirSelSB")->click();
    EXPECT_EQ(Form().OutputDirectory(), longPath);
    EXPECT_EQ(Control<QLabel>("DirectoryL")->text(), longPath);  // not shortened
    EXPECT_EQ(Form().FrameLogger().OutputDirectory(), longPath);
}

TEST_F(CaptureControlTest, CloseRequestMinimisesAndCaptureGoesOn) {
    cameras_ = {"A"};
    MakeForm().show();
    Control<QToolButton>("RunSB")->click();
    EXPECT_FALSE(Form().close());
    EXPECT_TRUE(Form().isMinimized());
    EXPECT_TRUE(Form().IsCapturing());
    EXPECT_TRUE(Form().IsSessionReady());
    EXPECT_EQ(stops_, 0);
    EXPECT_FALSE(QFile::exists(SettingsPath()));
}

TEST_F(CaptureControlTest, ExitWhileCapturingTearsDownInOrderAndSaves) {
    cameras_ = {"A"};
    std::vector<QString> order;
    env_.stopCapture = [&](TVideoImage&) {
        order.push_back("stop");
        // Still under way: lock held, nothing saved yet.
        EXPECT_TRUE(Form().InstanceLockHeld());
        EXPECT_FALSE(QFile::exists(SettingsPath()));
    };
    MakeForm().show();
    Control<QToolButton>("RunSB")->click();
    Control<QToolButton>("ExitSB")->click();
    EXPECT_EQ(order, std::vector<QString>{"stop"});
    EXPECT_TRUE(Form().QuitRequested());
    EXPECT_FALSE(Form().isVisible());
    EXPECT_EQ(Form().Session(), nullptr);
    EXPECT_FALSE(Form().IsSessionReady());
    EXPECT_FALSE(Form().InstanceLockHeld());
    EXPECT_TRUE(ReadSettings().startsWith("[Settings]\nCam=0\n"));
    // A second instance may start now.
    TInstanceLock next;
    EXPECT_EQ(next.Acquire(LockPath()), TInstanceLock::Result::Acquired);
}

TEST_F(CaptureControlTest, FailedSaveAtExitKeepsTheWindowAndTheNextCloseRetries) {
    QFile blocker(TempPath("config"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    MakeForm().show();
    Control<QToolButton>("ExitSB")->click();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(messages_[0].text.startsWith("Unable to write to "));
    EXPECT_TRUE(Form().isVisible());
    EXPECT_EQ(Form().Session(), nullptr);
    EXPECT_FALSE(Control<QToolButton>("RunSB")->isEnabled());
    Control<QToolButton>("RunSB")->click();  // disabled: nothing reaches a session
    Form().RunSBClick();                     // and a direct call finds none
    EXPECT_TRUE(startedDevices_.empty());

    ASSERT_TRUE(QFile::remove(TempPath("config")));
    EXPECT_TRUE(Form().close());
    EXPECT_FALSE(Form().isVisible());
    EXPECT_TRUE(QFile::exists(SettingsPath()));
}

TEST_F(CaptureControlTest, EndOfSessionMakesTheNextCloseQuit) {
    MakeForm().show();
    Form().QueryEndSessionMsg();
    EXPECT_TRUE(Form().QuitRequested());
    EXPECT_FALSE(QFile::exists(SettingsPath()));  // nothing saved by the query itself
    EXPECT_TRUE(Form().close());
    EXPECT_FALSE(Form().isMinimized());
    EXPECT_TRUE(QFile::exists(SettingsPath()));
}

TEST_F(CaptureControlTest, ResumeWaitsAndSuspendDoesNot) {
    cameras_ = {"A"};
    MakeForm();
    Control<QToolButton>("RunSB")->click();
    Form().PowerBroadcastMsg(false);
    EXPECT_TRUE(sleeps_.empty());
    Form().PowerBroadcastMsg(true);
    EXPECT_EQ(sleeps_, std::vector<int>{3000});
    EXPECT_TRUE(Form().IsCapturing());  // neither stops nor restarts the capture
    EXPECT_EQ(stops_, 0);
}

// ---- Single instance -----------------------------------------------------------

TEST_F(CaptureControlTest, SecondWindowEndsEarlyAndTouchesNoSettings) {
    TInstanceLock running;
    ASSERT_EQ(running.Acquire(LockPath()), TInstanceLock::Result::Acquired);
    TMainForm& form = MakeForm();
    EXPECT_TRUE(form.EndedEarly());
    EXPECT_EQ(settingsNameCalls_, 0);
    EXPECT_EQ(form.Session(), nullptr);
    EXPECT_EQ(Control<QLabel>("OSL")->text(), "...");
    DestroyForm();
    EXPECT_FALSE(QFile::exists(SettingsPath()));
}

// Runs the real program with its own home, runtime and configuration
// directories; its exit code, or -1 when it did not end by itself in time.
int RunProgram(const QString& home, const QString& runtime, const QString& config,
               const QStringList& arguments) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("XDG_CONFIG_HOME", config);
    env.insert("HOME", home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VISTREL_BINARY), arguments);
    if (!program.waitForStarted() || !program.waitForFinished(60000)) {
        program.kill();
        program.waitForFinished();
        return -1;
    }
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

TEST(SingleInstanceProcess, SecondProgramExitsAtOnceWithoutWritingSettings) {
    QTemporaryDir dir;
    const QString runtime = dir.filePath("run");
    const QString config = dir.filePath("config");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    TInstanceLock running;
    ASSERT_EQ(running.Acquire(runtime + "/VistrelMutex"), TInstanceLock::Result::Acquired);

    // A generous bound: the second program must end by itself, not be killed.
    EXPECT_EQ(RunProgram(dir.path(), runtime, config, {}), 0);
    EXPECT_FALSE(QFileInfo::exists(config));
}

TEST(SingleInstanceProcess, LoneProgramShowsItsWindowAndTheHookSavesIt) {
    // The counterpart of the test above: without another instance the
    // program opens its window (the screenshot hook draws it) and, ending
    // without a close, writes no settings.
    QTemporaryDir dir;
    const QString runtime = dir.filePath("run");
    const QString config = dir.filePath("config");
    const QString picture = dir.filePath("window.png");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(RunProgram(dir.path(), runtime, config, {"--screenshot", picture}), 0);
    EXPECT_EQ(QImage(picture).size(), QSize(242, 316));
    EXPECT_FALSE(QFileInfo::exists(config));
}

}  // namespace
}  // namespace vistrel::test
