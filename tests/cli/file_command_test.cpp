// SPDX-License-Identifier: MIT
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <cerrno>
#include <functional>

#include "file_command.h"

namespace vistrel::cli {
namespace {

// Turns the event loop until done holds; false when it still does not after
// a bound far beyond what the work needs (so a fault fails, never hangs).
bool TurnUntil(const std::function<bool()>& done) {
    const QDeadlineTimer deadline(20'000);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

// A process that is gone, or a zombie waiting for whoever adopted it.
bool Ended(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
}

// One command runs at a time; the queue keeps the newest and counts the
// dropped; a command that ignores SIGTERM past its time is killed with what
// it started; failures are told once per run; Stop ends a running one.
TEST(FileCommand, QueuesDropsTimesOutAndStops) {
    QTemporaryDir dir;
    const QString log = dir.filePath("log");
    const QString script = QStringLiteral(
                               "echo \"$1|$VISTREL_FILE|$VISTREL_CAMERA\" >> '%1'\n"
                               "case \"$1\" in\n"
                               "  *slow*) trap '' TERM; sleep 30 & echo $! > \"$1.pid\"; wait ;;\n"
                               "  *fail*) exit 3 ;;\n"
                               "esac\n")
                               .arg(log);
    QStringList notes;
    TFileCommand command({.command = script,
                          .camera = QStringLiteral("Shelf Cam"),
                          .timeout = std::chrono::milliseconds(300),
                          .killGrace = std::chrono::milliseconds(200),
                          .queueLimit = 3},
                         [&](const QString& note) { notes << note; });

    const QString slow = dir.filePath("slow.jpg");
    command.Add(slow);
    ASSERT_TRUE(TurnUntil([&] { return QFile::exists(slow + ".pid"); }));
    for (const char* name :
         {"d1.jpg", "d2.jpg", "$(touch injected).fail.jpg", "fail.jpg", "ok.jpg"}) {
        command.Add(dir.filePath(name));
    }
    EXPECT_EQ(command.Waiting(), 3u);
    EXPECT_EQ(command.Dropped(), 2u);
    ASSERT_TRUE(TurnUntil([&] { return command.Finished() == 4; }));
    EXPECT_EQ(command.TimedOut(), 1u);
    EXPECT_EQ(command.Failed(), 3u);
    QFile pidFile(slow + ".pid");
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const pid_t sleeper = pidFile.readAll().trimmed().toInt();
    EXPECT_TRUE(TurnUntil([&] { return Ended(sleeper); })) << "the command's child was left";
    EXPECT_FALSE(QFile::exists(dir.filePath("injected")));

    QFile lines(log);
    ASSERT_TRUE(lines.open(QIODevice::ReadOnly));
    QStringList expected;
    for (const char* name : {"slow.jpg", "$(touch injected).fail.jpg", "fail.jpg", "ok.jpg"}) {
        expected << dir.filePath(name) + u'|' + dir.filePath(name) + QStringLiteral("|Shelf Cam");
    }
    EXPECT_EQ(QString::fromUtf8(lines.readAll()).split(u'\n', Qt::SkipEmptyParts), expected);
    ASSERT_EQ(notes.size(), 5) << notes.join(u'\n').toStdString();
    EXPECT_TRUE(notes[0].contains("cannot keep up")) << notes[0].toStdString();
    EXPECT_TRUE(notes[1].contains("ran longer than 300 ms")) << notes[1].toStdString();
    EXPECT_TRUE(notes[2].contains("exit status 3")) << notes[2].toStdString();
    EXPECT_TRUE(notes[3].contains("works again, after 3 failed")) << notes[3].toStdString();
    EXPECT_TRUE(notes[4].contains("2 files were dropped")) << notes[4].toStdString();

    const QString last = dir.filePath("slow-again.jpg");
    command.Add(last);
    ASSERT_TRUE(TurnUntil([&] { return QFile::exists(last + ".pid"); }));
    command.Stop();
    EXPECT_FALSE(command.Running());
}

}  // namespace
}  // namespace vistrel::cli
