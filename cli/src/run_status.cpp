// SPDX-License-Identifier: MIT
#include "run_status.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <exception>
#include <span>
#include <utility>

#include "logging.h"
#include "storage/output_file.h"

namespace vistrel::cli {

namespace {

constexpr std::array kStates = {TRunState::Capturing, TRunState::WaitingForCamera,
                                TRunState::Stalled, TRunState::WritingPaused, TRunState::Resting};

QJsonValue TimeValue(const QDateTime& time) {
    return time.isValid()
               ? QJsonValue(time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs))
               : QJsonValue(QJsonValue::Null);
}

QJsonValue TextValue(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

// A label value between double quotes: backslash, quote and line feed escaped.
QString LabelValue(const QString& value) {
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'\\') {
            escaped += QStringLiteral("\\\\");
        } else if (c == u'"') {
            escaped += QStringLiteral("\\\"");
        } else if (c == u'\n') {
            escaped += QStringLiteral("\\n");
        } else {
            escaped += c;
        }
    }
    return u'"' + escaped + u'"';
}

QString Seconds(const QDateTime& time) {
    return QString::number(static_cast<double>(time.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
}

// The lines of one metric: its help, its type and its samples.
class MetricWriter {
public:
    explicit MetricWriter(const QString& camera)
        : cameraLabel_(QStringLiteral("camera=") + LabelValue(camera)) {}

    void Header(const char* name, const char* type, const char* help) {
        text_ += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                     .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    }
    // labels: more "name=\"value\"" pairs after the camera's.
    void Sample(const char* name, const QString& value, const QString& labels = {}) {
        text_ += QStringLiteral("%1{%2%3} %4\n")
                     .arg(QLatin1String(name), cameraLabel_,
                          labels.isEmpty() ? QString() : u',' + labels, value);
    }
    void Counter(const char* name, const char* help, std::uint64_t value) {
        Header(name, "counter", help);
        Sample(name, QString::number(value));
    }
    // Left out while the time is not known.
    void Time(const char* name, const char* help, const QDateTime& time) {
        Header(name, "gauge", help);
        if (time.isValid()) {
            Sample(name, Seconds(time));
        }
    }
    QByteArray Text() const { return text_.toUtf8(); }

private:
    QString cameraLabel_;
    QString text_;
};

}  // namespace

QString RunStateName(TRunState state) {
    switch (state) {
        case TRunState::Capturing:
            return QStringLiteral("capturing");
        case TRunState::WaitingForCamera:
            return QStringLiteral("waiting_for_camera");
        case TRunState::Stalled:
            return QStringLiteral("stalled");
        case TRunState::WritingPaused:
            return QStringLiteral("writing_paused");
        case TRunState::Resting:
            return QStringLiteral("resting");
    }
    return QStringLiteral("unknown");
}

QByteArray StatusJson(const TRunSnapshot& s) {
    const TRunSnapshot::Counters& c = s.counters;
    const auto count = [](std::uint64_t n) { return QJsonValue(static_cast<qint64>(n)); };
    const QJsonObject camera{{"name", s.camera},
                             {"node", TextValue(s.node)},
                             {"format", TextValue(s.format)},
                             {"width", s.width},
                             {"height", s.height}};
    const QJsonObject counters{{"received", count(c.received)},
                               {"taken", count(c.taken)},
                               {"written", count(c.written)},
                               {"dropped", count(c.dropped)},
                               {"bad", count(c.bad)},
                               {"stalls", count(c.stalls)},
                               {"losses", count(c.losses)},
                               {"pauses", count(c.pauses)},
                               {"commands_dropped", count(c.commandsDropped)},
                               {"commands_failed", count(c.commandsFailed)}};
    const QJsonObject status{{"camera", camera},
                             {"state", RunStateName(s.state)},
                             {"counters", counters},
                             {"last_file", TextValue(s.lastFile)},
                             {"last_file_time", TimeValue(s.lastFileTime)},
                             {"last_error", TextValue(s.lastError)},
                             {"last_error_time", TimeValue(s.lastErrorTime)},
                             {"start_time", TimeValue(s.startTime)},
                             {"version", s.version}};
    return QJsonDocument(status).toJson(QJsonDocument::Indented);
}

QByteArray MetricsText(const TRunSnapshot& s) {
    const TRunSnapshot::Counters& c = s.counters;
    MetricWriter m(s.camera);
    m.Header("vistrel_info", "gauge", "The camera's node and format, and the version; always 1.");
    m.Sample("vistrel_info", QStringLiteral("1"),
             QStringLiteral("node=%1,format=%2,size=%3,version=%4")
                 .arg(LabelValue(s.node), LabelValue(s.format),
                      LabelValue(s.width > 0 ? QStringLiteral("%1x%2").arg(s.width).arg(s.height)
                                             : QString()),
                      LabelValue(s.version)));
    m.Header("vistrel_state", "gauge", "1 for the state the logger is in, 0 for the others.");
    for (const TRunState state : kStates) {
        m.Sample("vistrel_state", QString::number(state == s.state ? 1 : 0),
                 QStringLiteral("state=") + LabelValue(RunStateName(state)));
    }
    m.Counter("vistrel_frames_received_total", "Frames the camera delivered.", c.received);
    m.Counter("vistrel_frames_taken_total", "Frames taken to be shown or written.", c.taken);
    m.Counter("vistrel_files_written_total", "Picture files written.", c.written);
    m.Counter("vistrel_frames_dropped_total", "Delivered frames that were dropped.", c.dropped);
    m.Counter("vistrel_frames_bad_total", "Dropped frames that were damaged.", c.bad);
    m.Counter("vistrel_stalls_total", "Times the camera stalled and was restarted.", c.stalls);
    m.Counter("vistrel_camera_losses_total", "Times the camera was lost.", c.losses);
    m.Counter("vistrel_write_pauses_total", "Times writing paused on a failed write.", c.pauses);
    m.Counter("vistrel_commands_dropped_total", "Files dropped from the --exec queue.",
              c.commandsDropped);
    m.Counter("vistrel_commands_failed_total", "--exec commands that failed or timed out.",
              c.commandsFailed);
    m.Time("vistrel_last_file_timestamp_seconds", "Capture time of the last written file.",
           s.lastFileTime);
    m.Time("vistrel_last_error_timestamp_seconds", "Time of the last error.", s.lastErrorTime);
    m.Time("vistrel_start_time_seconds", "Time the logger started.", s.startTime);
    return m.Text();
}

TStatusFiles::TStatusFiles(QString statusPath, QString metricsPath, Snapshot snapshot, Note note)
    : statusPath_(std::move(statusPath)),
      metricsPath_(std::move(metricsPath)),
      snapshot_(std::move(snapshot)),
      note_(std::move(note)) {
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Write(false); });
}

void TStatusFiles::Start() {
    if (Enabled()) {
        WriteNow();
        timer_.start(1000);
    }
}

void TStatusFiles::StateMayHaveChanged() {
    if (Enabled() && (!written_ || snapshot_().state != lastState_)) {
        Write(true);
    }
}

void TStatusFiles::WriteNow() {
    if (Enabled()) {
        Write(true);
    }
}

void TStatusFiles::Write(bool force) {
    const TRunSnapshot snapshot = snapshot_();
    lastState_ = snapshot.state;
    written_ = true;
    if (force) {
        lastStatus_.clear();
        lastMetrics_.clear();
    }
    if (!statusPath_.isEmpty()) {
        WriteFile(statusPath_, StatusJson(snapshot), lastStatus_, statusFailing_);
    }
    if (!metricsPath_.isEmpty()) {
        WriteFile(metricsPath_, MetricsText(snapshot), lastMetrics_, metricsFailing_);
    }
}

// Unchanged bytes are not written again: an idle run costs no disk writes.
// Not synced: a sync would hold the capture's thread for a disk round trip
// every second (tens of ms, far more on a busy card), and the file is
// rewritten within a second anyway; the rename still keeps readers from
// seeing half of one.
void TStatusFiles::WriteFile(const QString& path, const QByteArray& bytes, QByteArray& last,
                             bool& failing) {
    if (bytes == last) {
        return;
    }
    try {
        ReplaceFile(path.toLocal8Bit().toStdString(),
                    std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                              static_cast<std::size_t>(bytes.size())),
                    {}, FileSync::None);
    } catch (const std::exception& e) {
        qCWarning(lcCli, "writing %s: %s", qUtf8Printable(path), e.what());
        last.clear();
        if (!failing) {
            failing = true;
            note_(QStringLiteral("cannot write %1: %2; trying again")
                      .arg(path, QString::fromLocal8Bit(e.what())));
        }
        return;
    }
    if (failing) {
        failing = false;
        note_(QStringLiteral("%1 written again").arg(path));
    }
    last = bytes;
}

}  // namespace vistrel::cli
