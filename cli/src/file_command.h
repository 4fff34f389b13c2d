// SPDX-License-Identifier: MIT
#pragma once

#include <QProcess>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

namespace vistrel::cli {

// Runs a user's shell command for each published file, one at a time, so that
// an upload never holds up capture or writing: "/bin/sh -c COMMAND sh PATH"
// with the absolute path in $1 and VISTREL_FILE and the camera's name in
// VISTREL_CAMERA. The path is an argument, never part of the command text, so
// no file name can inject shell code. Paths that arrive while a command runs
// wait in a bounded queue; when it is full the oldest waiting path is dropped.
// A command that runs too long is sent SIGTERM, then SIGKILL after a grace
// period; the signals go to its own process group, so what the shell started
// ends too. Its output goes to this process's standard error.
//
// Lives on the thread of the event loop that runs the capture.
class TFileCommand {
public:
    static constexpr std::size_t kQueueLimit = 100;
    static constexpr std::chrono::milliseconds kDefaultTimeout = std::chrono::seconds(60);
    static constexpr std::chrono::milliseconds kKillGrace = std::chrono::seconds(5);

    struct Options {
        QString command;
        QString camera;
        std::chrono::milliseconds timeout = kDefaultTimeout;
        std::chrono::milliseconds killGrace = kKillGrace;
        std::size_t queueLimit = kQueueLimit;
    };
    // Told to the user, one line each: a burst of drops (its start and its
    // count), a command that timed out, the first failure of a run of
    // failures and the success that ends it.
    using Note = std::function<void(const QString& message)>;

    TFileCommand(Options options, Note note);
    // Ends a running command within the grace period; waiting paths are not run.
    ~TFileCommand();
    TFileCommand(const TFileCommand&) = delete;
    TFileCommand& operator=(const TFileCommand&) = delete;

    // The name in VISTREL_CAMERA from the next command on.
    void SetCamera(const QString& camera);
    // Runs the command for path now, or queues it. Never blocks.
    void Add(const QString& path);
    // Drops the waiting paths and ends a running command: SIGTERM, and
    // SIGKILL when it has not ended within the grace period.
    void Stop();
    // Nothing runs and nothing waits.
    bool Idle() const { return !Running() && waiting_.empty(); }
    // Called each time the last waiting path's command has ended.
    void SetIdleHandler(std::function<void()> handler) { idle_ = std::move(handler); }

    bool Running() const { return process_.state() != QProcess::NotRunning; }
    std::size_t Waiting() const { return waiting_.size(); }
    std::uint64_t Finished() const { return finished_; }
    std::uint64_t Dropped() const { return dropped_; }
    std::uint64_t Failed() const { return failed_; }
    std::uint64_t TimedOut() const { return timedOut_; }

private:
    void StartNext();
    void OnFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void OnStartFailed();
    void OnTimeout();
    void Signal(int signal);
    void CountFailure(const QString& why);
    void CountSuccess();

    Options options_;
    Note note_;
    std::function<void()> idle_;
    QProcess process_;
    QString current_;  // the path of the running command
    std::deque<QString> waiting_;
    QTimer timeout_;
    QTimer killTimer_;
    bool timedOutNow_ = false;  // the running command was ended for its time
    bool stopping_ = false;
    std::uint64_t finished_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t burstDropped_ = 0;  // dropped since the queue last had room
    std::uint64_t failed_ = 0;
    std::uint64_t failureRun_ = 0;  // failures since the last success
    bool failureNoted_ = false;     // the run's first failure was told
    std::uint64_t timedOut_ = 0;
};

}  // namespace vistrel::cli
