// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>

namespace vistrel::cli {

// What a logging run is doing, most pressing first when several hold.
enum class TRunState { Capturing, WaitingForCamera, Stalled, WritingPaused, Resting };

// Its name in the status file and the metrics' state label.
QString RunStateName(TRunState state);

// What a logging run tells monitoring: the status file and the metrics.
struct TRunSnapshot {
    QString camera;  // its name as listed
    QString node;    // "/dev/video2"; empty before the first start
    QString format;  // "YUY2"
    int width = 0;
    int height = 0;
    TRunState state = TRunState::Capturing;
    struct Counters {
        std::uint64_t received = 0;
        std::uint64_t taken = 0;
        std::uint64_t written = 0;
        std::uint64_t dropped = 0;
        std::uint64_t bad = 0;
        std::uint64_t stalls = 0;
        std::uint64_t losses = 0;
        std::uint64_t pauses = 0;
        std::uint64_t commandsDropped = 0;
        std::uint64_t commandsFailed = 0;
    } counters;
    QString lastFile;
    QDateTime lastFileTime;  // the capture time of its frame; invalid before one
    QString lastError;
    QDateTime lastErrorTime;  // invalid before one
    QDateTime startTime;
    QString version;
};

// One JSON object, keys as the members' names, times in ISO 8601 with the
// offset and milliseconds, null before there is one.
QByteArray StatusJson(const TRunSnapshot& snapshot);
// The Prometheus text exposition format, as node_exporter's textfile
// collector reads it: every series labelled with the camera.
QByteArray MetricsText(const TRunSnapshot& snapshot);

// Keeps the status file and the metrics file of a run current: each written
// whole under a temporary name and renamed over the old one, once a second
// when something changed and at once at each change of state. A file that
// cannot be written is told once, until it can be again; the run goes on.
// Lives on the thread of the event loop that runs the capture.
class TStatusFiles {
public:
    using Snapshot = std::function<TRunSnapshot()>;
    using Note = std::function<void(const QString& message)>;

    // An empty path writes no such file.
    TStatusFiles(QString statusPath, QString metricsPath, Snapshot snapshot, Note note);
    TStatusFiles(const TStatusFiles&) = delete;
    TStatusFiles& operator=(const TStatusFiles&) = delete;

    bool Enabled() const { return !statusPath_.isEmpty() || !metricsPath_.isEmpty(); }
    // Starts the writes once a second.
    void Start();
    // The state may have changed: written now when it did.
    void StateMayHaveChanged();
    // Written now whatever changed (at the end of the run).
    void WriteNow();

private:
    void Write(bool force);
    void WriteFile(const QString& path, const QByteArray& bytes, QByteArray& last, bool& failing);

    QString statusPath_;
    QString metricsPath_;
    Snapshot snapshot_;
    Note note_;
    QTimer timer_;
    TRunState lastState_ = TRunState::Capturing;
    bool written_ = false;
    QByteArray lastStatus_;
    QByteArray lastMetrics_;
    bool statusFailing_ = false;
    bool metricsFailing_ = false;
};

}  // namespace vistrel::cli
