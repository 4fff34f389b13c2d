// SPDX-License-Identifier: MIT
#include "file_command.h"

#include <QFileInfo>
#include <QProcessEnvironment>

#include <unistd.h>
#include <csignal>
#include <cstring>

#include <cerrno>

#include "base/errors.h"
#include "frontend/duration.h"
#include "logging.h"

namespace vistrel::cli {

namespace {

// In the child between fork and exec: only async-signal-safe calls. Its own
// process group lets a timeout end all it started, and keeps the terminal's
// Ctrl+C away from it (this process ends it instead); its standard output
// joins standard error, since our standard output lists the written files.
void PrepareChild() {
    ::setpgid(0, 0);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

}  // namespace

TFileCommand::TFileCommand(Options options, Note note)
    : options_(std::move(options)), note_(std::move(note)) {
    process_.setProgram(QStringLiteral("/bin/sh"));
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
    process_.setStandardInputFile(QProcess::nullDevice());
    process_.setChildProcessModifier(&PrepareChild);
    process_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    SetCamera(options_.camera);
    QObject::connect(
        &process_, &QProcess::finished, &process_,
        [this](int exitCode, QProcess::ExitStatus status) { OnFinished(exitCode, status); });
    QObject::connect(&process_, &QProcess::errorOccurred, &process_,
                     [this](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             OnStartFailed();
                         }
                     });
    timeout_.setSingleShot(true);
    killTimer_.setSingleShot(true);
    QObject::connect(&timeout_, &QTimer::timeout, &timeout_, [this] { OnTimeout(); });
    QObject::connect(&killTimer_, &QTimer::timeout, &killTimer_, [this] { Signal(SIGKILL); });
}

TFileCommand::~TFileCommand() {
    Stop();
}

void TFileCommand::SetCamera(const QString& camera) {
    QProcessEnvironment environment = process_.processEnvironment();
    environment.insert(QStringLiteral("VISTREL_CAMERA"), camera);
    process_.setProcessEnvironment(environment);
}

void TFileCommand::Add(const QString& path) {
    if (stopping_) {
        return;
    }
    waiting_.push_back(QFileInfo(path).absoluteFilePath());
    if (waiting_.size() > options_.queueLimit) {
        waiting_.pop_front();
        ++dropped_;
        if (burstDropped_++ == 0) {
            note_(QStringLiteral("--exec: the command cannot keep up; %1 files wait, the oldest "
                                 "are dropped")
                      .arg(options_.queueLimit));
        }
    }
    if (!Running()) {
        StartNext();
    }
}

void TFileCommand::Stop() {
    stopping_ = true;
    waiting_.clear();
    timeout_.stop();
    if (!Running()) {
        return;
    }
    Signal(SIGTERM);
    if (!process_.waitForFinished(static_cast<int>(options_.killGrace.count()))) {
        qCWarning(lcCli, "command for %s ignored SIGTERM; killing it", qUtf8Printable(current_));
        Signal(SIGKILL);
        process_.waitForFinished(-1);  // SIGKILL cannot be ignored
    }
    killTimer_.stop();
}

void TFileCommand::StartNext() {
    if (Running()) {
        return;  // an Add started one before this posted turn came
    }
    if (waiting_.empty() || stopping_) {
        if (burstDropped_ > 0 && waiting_.empty()) {
            note_(QStringLiteral("--exec: %1 files were dropped before their command ran")
                      .arg(burstDropped_));
            burstDropped_ = 0;
        }
        if (idle_ && Idle()) {
            idle_();
        }
        return;
    }
    current_ = waiting_.front();
    waiting_.pop_front();
    QProcessEnvironment environment = process_.processEnvironment();
    environment.insert(QStringLiteral("VISTREL_FILE"), current_);
    process_.setProcessEnvironment(environment);
    process_.setArguments({QStringLiteral("-c"), options_.command, QStringLiteral("sh"), current_});
    timedOutNow_ = false;
    process_.start();
    // Its failure to start, if any, is reported by errorOccurred.
    if (Running()) {
        timeout_.start(options_.timeout);
    }
}

void TFileCommand::OnFinished(int exitCode, QProcess::ExitStatus exitStatus) {
    timeout_.stop();
    killTimer_.stop();
    if (stopping_) {
        return;
    }
    ++finished_;
    if (timedOutNow_) {
        CountFailure({});  // said when it was ended
    } else if (exitStatus == QProcess::CrashExit) {
        // The exit code of a process ended by a signal is the signal.
        CountFailure(QStringLiteral("killed by signal %1 (%2)")
                         .arg(exitCode)
                         .arg(QString::fromLocal8Bit(::strsignal(exitCode))));
    } else if (exitCode != 0) {
        CountFailure(QStringLiteral("exit status %1").arg(exitCode));
    } else {
        CountSuccess();
    }
    // Not from inside the process's own signal.
    QTimer::singleShot(0, &process_, [this] { StartNext(); });
}

void TFileCommand::OnStartFailed() {
    timeout_.stop();
    qCWarning(lcCli, "/bin/sh for %s did not start: %s", qUtf8Printable(current_),
              qUtf8Printable(process_.errorString()));
    ++finished_;
    CountFailure(QStringLiteral("it did not start (%1)").arg(process_.errorString()));
    QTimer::singleShot(0, &process_, [this] { StartNext(); });
}

void TFileCommand::OnTimeout() {
    ++timedOut_;
    timedOutNow_ = true;
    note_(QStringLiteral("--exec: the command for %1 ran longer than %2; ending it")
              .arg(current_, DurationText(options_.timeout)));
    Signal(SIGTERM);
    killTimer_.start(options_.killGrace);
}

void TFileCommand::Signal(int signal) {
    const qint64 pid = process_.processId();
    if (pid <= 0) {
        return;
    }
    // The group first; a command that left it still gets the signal itself.
    if (::kill(static_cast<pid_t>(-pid), signal) != 0 &&
        ::kill(static_cast<pid_t>(pid), signal) != 0 && errno != ESRCH) {
        qCWarning(lcCli, "kill %lld with signal %d: %s", static_cast<long long>(pid), signal,
                  ErrnoText(errno).c_str());
    }
}

// A timeout is told when it happens; of the other failures only the first
// of a run, until a command succeeds again.
void TFileCommand::CountFailure(const QString& why) {
    ++failed_;
    ++failureRun_;
    if (!why.isEmpty() && !failureNoted_) {
        failureNoted_ = true;
        note_(QStringLiteral("--exec: the command failed for %1: %2").arg(current_, why));
    }
}

void TFileCommand::CountSuccess() {
    if (failureRun_ > 0) {
        note_(QStringLiteral("--exec: the command works again, after %1 failed").arg(failureRun_));
    }
    failureRun_ = 0;
    failureNoted_ = false;
}

}  // namespace vistrel::cli
