// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "storage/latest_link.h"
#include "storage/output_file.h"
#include "storage/retention.h"

namespace vistrel {

// Why writing paused or cannot start: the failed step with the file and the
// system's reason, and the errno. permanent: the directory can never be
// written as named (a name too long, a part of the path that is not a
// directory), so waiting cannot help.
struct TWriteFault {
    QString message;
    int errorNumber = 0;
    bool permanent = false;
};

// Where an admitted picture goes: the directory as it was when the picture
// was taken, so a later change of directory does not move a file in hand.
struct TWriteTicket {
    QString directory;
    std::string nativeDirectory;
    bool dailyFolders = false;
};

// A picture written and synced under a temporary name, or why not. Neither a
// file nor a fault: there was nothing to write (a picture without pixels).
struct TPreparedFile {
    QString stamp;
    TWriteTicket ticket;
    std::string folder{};  // the day folder the file went into: "yyyy-mm-dd/" or ""
    std::optional<TSyncedFile> file{};
    std::optional<TWriteFault> fault{};
    std::uint64_t resumesBefore = 0;  // how often writing had resumed when it began
};

// What the publishing of one picture came to, for the owner's thread.
struct TWriteOutcome {
    std::optional<QString> path{};           // the new file
    std::optional<TWriteFault> paused{};     // writing paused just now
    std::optional<std::uint64_t> resumed{};  // resumed; frames not written meanwhile
};

// Writes the logged pictures into the output directory and rides out a full
// or failing disk, for an unattended program.
//
// A file name never replaces a file (PublishNewFile: yymmddhhnnsszzz.jpg,
// then -1, -2 ...). A failed write pauses writing and is reported once
// through Paused; the camera and the thumbnail go on. While paused, taken
// frames are not written (not even encoded); once RetryInterval has passed
// since the last try, the next one is tried again, after making the
// directory anew if it was removed. The first write that works ends the
// pause, reported once through Resumed. With a free-space floor our oldest
// pictures are deleted before each write (TRetention); when none is left and
// space is still short, writing pauses as on a full disk. With day folders
// each file goes into DIR/yyyy-mm-dd/ after the date in its name, made when
// missing; with a latest link, the link names each new file once it is
// published; with a number of days to keep, older files of ours go at the
// start and at each ExpireOldFiles.
//
// Write does the whole job on the caller's thread. For writing off that
// thread it comes in steps: Admit on the owner's thread (the pause decision,
// no disk access), PrepareFile on any thread and for several pictures at
// once (directory, free space, encoding, temporary file, fdatasync), then
// PublishFile for one picture at a time in the order they were taken (the
// final name, the latest link, the pause or resume), and Report back on the
// owner's thread, which calls Paused and Resumed. Everything else runs on
// the owner's thread.
class TFrameWriter {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Paused = std::function<void(const TWriteFault& fault)>;
    using Resumed = std::function<void(std::uint64_t framesNotWritten)>;
    // Encodes the picture when, and only when, it is to be written.
    using Encode = std::function<const std::vector<std::uint8_t>&()>;

    static constexpr std::chrono::milliseconds kRetryInterval{10'000};

    TFrameWriter();

    // The directory is used as given; the file goes after a "/". Its bytes
    // on the file system are EncodeFileName(directory) (base/file_name.h).
    void SetDirectory(const QString& directory);
    const QString& Directory() const { return directory_; }
    void SetKeepFree(const TKeepFree& floor);
    TKeepFree KeepFree() const;
    // Files of ours whose name's time is more than days old are deleted; 0: off.
    void SetKeepDays(int days);
    int KeepDays() const;
    // Taken from the next admitted picture on.
    void SetDailyFolders(bool on);
    bool DailyFolders() const { return dailyFolders_; }
    // The latest link's name in the directory (TLatestLink::NameProblem
    // must hold none); empty: no link.
    void SetLatest(const QString& name);
    const QString& Latest() const { return latest_; }

    void SetPaused(Paused handler) { paused_ = std::move(handler); }
    void SetResumed(Resumed handler) { resumed_ = std::move(handler); }

    // At the start of logging: makes the directory when it is missing and
    // removes the temporary files that Vistrel processes no longer running
    // left in it. A directory that can never be made is returned as a
    // permanent fault, and nothing pauses: the caller does not start. One
    // that cannot be made for now (no permission, a full or failing disk)
    // pauses writing, and nullopt is returned. So is a free-space floor
    // that can never be met, which would delete every picture. Files older
    // than the days to keep are deleted.
    [[nodiscard]] std::optional<TWriteFault> Prepare();

    // Deletes our files older than the days to keep (a read of the
    // directory); called at least hourly while logging, never per frame.
    void ExpireOldFiles();

    // Writes one picture named after stamp. The path of the new file, or
    // nullopt when none was written (paused, or nothing to write).
    std::optional<QString> Write(const QString& stamp, const Encode& encode);

    // Whether a picture taken now is to be written, and where; nullopt while
    // writing pauses and the next try is not due (the picture is counted as
    // not written).
    std::optional<TWriteTicket> Admit();
    // The slow steps for an admitted picture. Safe on any thread, also for
    // several pictures at once.
    TPreparedFile PrepareFile(const TWriteTicket& ticket, const QString& stamp,
                              const Encode& encode);
    // Gives a prepared picture its name, or pauses on its fault. One call at
    // a time, in the order the pictures were admitted; safe on any thread.
    TWriteOutcome PublishFile(TPreparedFile&& prepared);
    // Tells the owner what a publish came to, through Paused and Resumed.
    void Report(const TWriteOutcome& outcome) const;

    bool IsPaused() const;
    QString PauseMessage() const;

    // Test seams: the clock that times the retries, their interval, and
    // failures injected into the file steps.
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // The local time the days to keep count back from.
    void SetWallClock(std::function<QDateTime()> clock) { wallClock_ = std::move(clock); }
    void SetRetryInterval(std::chrono::milliseconds interval) { retryInterval_ = interval; }
    void SetFaultHook(FileFaultHook hook) { fault_ = std::move(hook); }
    TRetention& Retention() { return retention_; }

    // A few words for a small label: "Paused: disk full".
    static QString PauseLabel(const TWriteFault& fault);

    // Removes the temporary files of our pictures in directory whose process
    // is gone; another program's files, and ours of a running process, stay.
    // Returns how many were removed.
    static int RemoveStaleTempFiles(const QString& directory);

private:
    std::string NativeDirectory() const;
    // The directory for messages: without the trailing separators.
    static std::string ShownDirectory(const std::string& native);
    static std::optional<TWriteFault> MakeDirectory(const std::string& native);
    // Our day folders in the directory: real folders named yyyy-mm-dd.
    QStringList DayFolders() const;
    static std::optional<TWriteFault> DirectoryFault(const std::string& shown, int errorNumber);
    // "yyyy-mm-dd/" after the date in stamp (made when missing), or "" without day folders.
    static std::optional<TWriteFault> DayFolder(const TWriteTicket& ticket, const QString& stamp,
                                                std::string& folder);
    std::optional<TWriteFault> MakeRoom(const TWriteTicket& ticket);
    void Published(const TWriteTicket& ticket, const std::string& name);
    bool IsStale(const TPreparedFile& prepared) const;
    // True when this fault started the pause.
    bool Pause(const TWriteFault& fault);

    QString directory_;
    // The index of our files, the floor and the latest link; a worker may
    // be using them.
    mutable std::mutex retentionLock_;
    std::string indexedDirectory_;  // the native directory retention and the link use
    TRetention retention_;
    Clock clock_;
    std::function<QDateTime()> wallClock_;
    bool dailyFolders_ = false;
    QString latest_;
    TLatestLink latestLink_;
    std::chrono::milliseconds retryInterval_ = kRetryInterval;
    FileFaultHook fault_;
    Paused paused_;
    Resumed resumed_;
    // Guards the pause state below: read on the owner's thread, changed by
    // the publishing step.
    mutable std::mutex stateLock_;
    bool isPaused_ = false;
    std::uint64_t resumes_ = 0;
    bool retryNow_ = false;
    std::chrono::steady_clock::time_point lastTry_{};
    std::uint64_t notWritten_ = 0;
    QString pauseMessage_;
};

}  // namespace vistrel
