// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "arguments.h"
#include "capture/camera_controls.h"
#include "capture/v4l2_io.h"
#include "frontend/active_time.h"
#include "frontend/camera_keeper.h"
#include "frontend/format_choice.h"
#include "frontend/write_queue.h"
#include "stamp_arguments.h"
#include "storage/frame_writer.h"
#include "storage/retention.h"

namespace vistrel::cli {

// What "vistrel-cli log" was asked for; unset values come from the settings.
struct LogOptions {
    std::optional<QString> device;
    std::optional<int> skip;
    std::optional<int> quality;
    std::optional<QString> directory;
    std::optional<QString> subdir;  // a folder of its own under the directory
    int frames = 0;   // stop after this many files (taken frames with noWrite); 0: no limit
    int seconds = 0;  // stop after this long; 0: no limit
    bool noWrite = false;
    std::optional<TKeepFree> keepFree;  // unset: the settings file's KeepFree
    std::optional<QString> latest;      // unset: the settings file's Latest
    bool daily = false;                 // else the settings file's DailyFolders
    std::optional<int> keepDays;        // unset: the settings file's KeepDays
    bool exitOnFault = false;           // end with 1 at the first failed write or lost camera
    TFormatChoice format;               // --format, --size, --fps
    // Unset: the settings file's Interval and WarmUp.
    std::optional<std::chrono::milliseconds> interval;
    std::optional<std::chrono::milliseconds> warmUp;
    // Unset: the settings file's Hours and Daylight.
    std::optional<TActiveHours> hours;
    std::optional<TDaylight> daylight;
    // --control, in the order given; unset: the settings file's Controls.
    std::optional<std::vector<TControlSetting>> controls;
    // Unset: the settings file's Timestamp, Title and Passthrough.
    StampArguments stamp;
    bool passthrough = false;     // --passthrough: an MJPG camera's JPEG written as it came
    std::optional<QString> exec;  // a shell command run for each written file
    std::chrono::milliseconds execTimeout = std::chrono::seconds(60);
    std::optional<QString> statusFile;   // JSON, rewritten as the run goes
    std::optional<QString> metricsFile;  // the Prometheus text format
    std::optional<int> threads;          // unset: the settings file's Threads
};

// The arguments that follow "log". Throws UsageError.
LogOptions ParseLogArguments(const QStringList& arguments);

// Where the defaults come from: the settings file (read only).
struct LogSettings {
    QString settingsFile;
    QString defaultDirectory;
    // How long writing pauses after a failed write before the next try.
    std::chrono::milliseconds retryInterval = TFrameWriter::kRetryInterval;
    // How a lost camera is looked for; tests look more often.
    TCameraKeeper::Options cameraKeeper{};
    // How long a silent camera may go before it is restarted; 0: the
    // controller's own rule. Tests shorten it.
    std::chrono::milliseconds stallTimeout{0};
    // How long an --exec command has after SIGTERM before SIGKILL.
    std::chrono::milliseconds execKillGrace = std::chrono::seconds(5);
    // How many taken frames may wait for the disk. Tests that feed every
    // frame at a high rate give it room, so that only a test of the queue
    // sees frames left out.
    TWriteQueue::Limits writeQueue{};
};

// Runs the capture until a limit is reached or SIGINT/SIGTERM arrives.
// Prints each written file on out and, when statusLine is set, a live status
// line on err. Returns the exit status.
int RunLog(const LogOptions& options, const LogSettings& settings,
           const std::shared_ptr<V4L2Io>& io, QTextStream& out, QTextStream& err, bool statusLine);

// "vistrel-cli log ARGUMENTS".
int RunLogCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io, QTextStream& out,
                  QTextStream& err);

QString LogHelpText();

}  // namespace vistrel::cli
