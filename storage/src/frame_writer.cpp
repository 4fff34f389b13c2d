// SPDX-License-Identifier: MIT
#include "storage/frame_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "base/errors.h"
#include "base/file_name.h"
#include "logging.h"

namespace vistrel {

namespace {

// Faults of the name itself: no retry can make such a directory.
bool IsPermanentDirectoryError(int errorNumber) {
    return errorNumber == ENAMETOOLONG || errorNumber == ENOTDIR || errorNumber == ELOOP ||
           errorNumber == EEXIST;
}

}  // namespace

TFrameWriter::TFrameWriter()
    : clock_([] { return std::chrono::steady_clock::now(); }),
      wallClock_([] { return QDateTime::currentDateTime(); }) {
    indexedDirectory_ = NativeDirectory();
}

void TFrameWriter::SetDirectory(const QString& directory) {
    if (directory == directory_) {
        return;
    }
    directory_ = directory;
    {
        const std::lock_guard hold(retentionLock_);
        indexedDirectory_ = NativeDirectory();
        retention_.SetDirectory(indexedDirectory_);
        latestLink_.SetDirectory(indexedDirectory_);
    }
    const std::lock_guard hold(stateLock_);
    retryNow_ = true;  // a new place deserves a try at once
}

void TFrameWriter::SetKeepFree(const TKeepFree& floor) {
    const std::lock_guard hold(retentionLock_);
    retention_.SetFloor(floor);
}

TKeepFree TFrameWriter::KeepFree() const {
    const std::lock_guard hold(retentionLock_);
    return retention_.Floor();
}

void TFrameWriter::SetKeepDays(int days) {
    const std::lock_guard hold(retentionLock_);
    retention_.SetKeepDays(days);
}

int TFrameWriter::KeepDays() const {
    const std::lock_guard hold(retentionLock_);
    return retention_.KeepDays();
}

void TFrameWriter::SetDailyFolders(bool on) {
    dailyFolders_ = on;
    const std::lock_guard hold(retentionLock_);
    retention_.SetDayFolders(on);
}

void TFrameWriter::SetLatest(const QString& name) {
    latest_ = name;
    const std::lock_guard hold(retentionLock_);
    latestLink_.SetName(EncodeFileName(name).toStdString());
    if (name.isEmpty()) {
        retention_.Keep({});
    }
}

bool TFrameWriter::IsPaused() const {
    const std::lock_guard hold(stateLock_);
    return isPaused_;
}

QString TFrameWriter::PauseMessage() const {
    const std::lock_guard hold(stateLock_);
    return pauseMessage_;
}

std::string TFrameWriter::NativeDirectory() const {
    // As the files are named: the directory, then "/". An empty directory
    // is the root, as it always was.
    return EncodeFileName(directory_).toStdString() + "/";
}

std::string TFrameWriter::ShownDirectory(const std::string& native) {
    std::string shown = native;
    while (shown.size() > 1 && shown.back() == '/') {
        shown.pop_back();
    }
    return shown;
}

std::optional<TWriteFault> TFrameWriter::Prepare() {
    if (const std::optional<TWriteFault> fault = MakeDirectory(NativeDirectory())) {
        if (fault->permanent) {
            qCWarning(lcStorage, "writing cannot start: %s", qUtf8Printable(fault->message));
            return fault;
        }
        const bool started = Pause(*fault);
        {
            const std::lock_guard hold(stateLock_);
            lastTry_ = clock_();
        }
        if (started) {
            Report({.paused = *fault});
        }
        return std::nullopt;
    }
    const std::lock_guard hold(retentionLock_);
    if (const std::optional<QString> unreachable = retention_.UnreachableFloor()) {
        qCWarning(lcStorage, "writing cannot start: %s", qUtf8Printable(*unreachable));
        return TWriteFault{*unreachable, EINVAL, true};
    }
    {
        const std::lock_guard holdState(stateLock_);
        retryNow_ = true;
    }
    RemoveStaleTempFiles(directory_ + QLatin1Char('/'));
    if (dailyFolders_) {
        for (const QString& day : DayFolders()) {
            RemoveStaleTempFiles(directory_ + QLatin1Char('/') + day + QLatin1Char('/'));
        }
    }
    latestLink_.Prepare();
    if (const std::optional<std::string> target = latestLink_.Target()) {
        retention_.Keep(*target);  // the newest of an earlier run, until a newer one
    }
    retention_.DeleteExpired(wallClock_());
    return std::nullopt;
}

QStringList TFrameWriter::DayFolders() const {
    QStringList days;
    const std::string native = NativeDirectory();
    DIR* const opened = ::opendir(native.c_str());
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, ::closedir);
    while (dir) {
        const dirent* item = ::readdir(dir.get());
        if (item == nullptr) {
            break;
        }
        struct stat info {};
        if (TRetention::IsDayFolderName(item->d_name) &&
            ::fstatat(::dirfd(dir.get()), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(info.st_mode)) {
            days << QString::fromLatin1(item->d_name);
        }
    }
    return days;
}

void TFrameWriter::ExpireOldFiles() {
    const std::lock_guard hold(retentionLock_);
    retention_.DeleteExpired(wallClock_());
}

std::optional<TWriteFault> TFrameWriter::MakeDirectory(const std::string& native) {
    std::error_code error;
    std::filesystem::create_directories(native, error);
    if (!error) {
        return std::nullopt;
    }
    return DirectoryFault(ShownDirectory(native), error.value());
}

std::optional<TWriteFault> TFrameWriter::DirectoryFault(const std::string& shown, int errorNumber) {
    qCInfo(lcStorage, "mkdir %s: %s", shown.c_str(), ErrnoText(errorNumber).c_str());
    return TWriteFault{QStringLiteral("Cannot create directory \"%1\". %2")
                           .arg(QString::fromStdString(AbsolutePath(shown)),
                                QString::fromStdString(SystemErrorText(errorNumber))),
                       errorNumber, IsPermanentDirectoryError(errorNumber)};
}

std::optional<TWriteFault> TFrameWriter::DayFolder(const TWriteTicket& ticket, const QString& stamp,
                                                   std::string& folder) {
    folder.clear();
    if (!ticket.dailyFolders || stamp.size() < 6) {
        return std::nullopt;
    }
    // The stamp's two-digit year is of this century; its date is the local
    // date of the capture.
    const std::string digits = stamp.left(6).toStdString();
    const std::string name =
        "20" + digits.substr(0, 2) + "-" + digits.substr(2, 2) + "-" + digits.substr(4, 2);
    if (!TRetention::IsDayFolderName(name)) {
        return std::nullopt;
    }
    // Asked each time rather than remembered: retention removes a folder
    // it emptied, and so may a user.
    const std::string path = ticket.nativeDirectory + name;
    if (::mkdir(path.c_str(), 0777) != 0) {
        const int error = errno;
        if (error != EEXIST) {
            return DirectoryFault(path, error);
        }
    }
    folder = name + "/";
    return std::nullopt;
}

std::optional<QString> TFrameWriter::Write(const QString& stamp, const Encode& encode) {
    const std::optional<TWriteTicket> ticket = Admit();
    if (!ticket) {
        return std::nullopt;
    }
    const TWriteOutcome outcome = PublishFile(PrepareFile(*ticket, stamp, encode));
    Report(outcome);
    return outcome.path;
}

std::optional<TWriteTicket> TFrameWriter::Admit() {
    const auto now = clock_();
    const std::lock_guard hold(stateLock_);
    if (isPaused_ && !retryNow_ && now - lastTry_ < retryInterval_) {
        ++notWritten_;
        return std::nullopt;
    }
    lastTry_ = now;
    retryNow_ = false;
    return TWriteTicket{directory_, NativeDirectory(), dailyFolders_};
}

std::optional<TWriteFault> TFrameWriter::MakeRoom(const TWriteTicket& ticket) {
    const std::lock_guard hold(retentionLock_);
    if (retention_.MakeRoom()) {
        return std::nullopt;
    }
    // A floor refused at the start may only now be known to be one.
    return TWriteFault{
        retention_.UnreachableFloor().value_or(
            QStringLiteral("The free space for \"%1\" is below %2, and no picture of ours is left "
                           "to delete")
                .arg(QString::fromStdString(AbsolutePath(ShownDirectory(ticket.nativeDirectory))),
                     retention_.Floor().Text())),
        ENOSPC};
}

TPreparedFile TFrameWriter::PrepareFile(const TWriteTicket& ticket, const QString& stamp,
                                        const Encode& encode) {
    TPreparedFile prepared{.stamp = stamp, .ticket = ticket};
    bool paused = false;
    {
        const std::lock_guard hold(stateLock_);
        paused = isPaused_;
        prepared.resumesBefore = resumes_;
    }
    if (paused) {
        prepared.fault = MakeDirectory(ticket.nativeDirectory);  // it may have been removed
    }
    if (!prepared.fault) {
        prepared.fault = MakeRoom(ticket);
    }
    if (prepared.fault) {
        return prepared;
    }
    const std::vector<std::uint8_t>& jpeg = encode();
    if (jpeg.empty()) {
        // A picture without pixels: an empty file would only look broken.
        qCInfo(lcStorage, "an empty picture at %s is not written", qUtf8Printable(stamp));
        return prepared;
    }
    prepared.fault = DayFolder(ticket, stamp, prepared.folder);
    if (prepared.fault) {
        return prepared;
    }
    try {
        prepared.file = WriteSyncedFile(ticket.nativeDirectory + prepared.folder,
                                        stamp.toStdString(), ".jpg", jpeg, fault_);
    } catch (const EFileError& e) {
        prepared.fault = TWriteFault{QString::fromStdString(e.what()), e.ErrorNumber()};
    }
    return prepared;
}

TWriteOutcome TFrameWriter::PublishFile(TPreparedFile&& prepared) {
    TWriteOutcome outcome;
    if (prepared.file) {
        try {
            const std::string name =
                prepared.folder + prepared.file->PublishNew(prepared.stamp.toStdString(), ".jpg");
            Published(prepared.ticket, name);
            outcome.path = prepared.ticket.directory + QLatin1Char('/') + DecodeFileName(name);
        } catch (const EFileError& e) {
            prepared.fault = TWriteFault{QString::fromStdString(e.what()), e.ErrorNumber()};
        }
    }
    if (prepared.fault && IsStale(prepared)) {
        // Begun before a later picture ended a pause: it failed on the
        // directory as it was then, so it does not pause writing again.
        qCInfo(lcStorage, "a write begun before writing resumed failed: %s",
               qUtf8Printable(prepared.fault->message));
        return outcome;
    }
    if (prepared.fault) {
        if (Pause(*prepared.fault)) {
            outcome.paused = std::move(prepared.fault);
        }
        const std::lock_guard hold(stateLock_);
        ++notWritten_;
        return outcome;
    }
    if (!outcome.path) {
        return outcome;  // nothing to write
    }
    const std::lock_guard hold(stateLock_);
    if (isPaused_) {
        isPaused_ = false;
        pauseMessage_.clear();
        qCWarning(lcStorage, "writing resumed: %s", qUtf8Printable(*outcome.path));
        outcome.resumed = std::exchange(notWritten_, 0);
        ++resumes_;
    }
    return outcome;
}

// A new file of ours under its final name (relative to its directory).
void TFrameWriter::Published(const TWriteTicket& ticket, const std::string& name) {
    const std::lock_guard hold(retentionLock_);
    if (ticket.nativeDirectory != indexedDirectory_) {
        // Begun before the directory changed: neither the index nor the
        // link of the new one may name it.
        qCInfo(lcStorage, "%s%s was begun before the directory changed: not indexed or linked",
               ticket.nativeDirectory.c_str(), name.c_str());
        return;
    }
    retention_.Added(name);
    if (latestLink_.IsOn()) {
        // Kept while it is the newest, so the link never dangles.
        retention_.Keep(name);
        latestLink_.Point(name);
    }
}

bool TFrameWriter::IsStale(const TPreparedFile& prepared) const {
    const std::lock_guard hold(stateLock_);
    return prepared.resumesBefore != resumes_;
}

void TFrameWriter::Report(const TWriteOutcome& outcome) const {
    if (outcome.paused && paused_) {
        paused_(*outcome.paused);
    }
    if (outcome.resumed && resumed_) {
        resumed_(*outcome.resumed);
    }
}

bool TFrameWriter::Pause(const TWriteFault& fault) {
    {
        // Whatever failed may have changed the directory behind the index.
        const std::lock_guard hold(retentionLock_);
        retention_.Forget();
    }
    const std::lock_guard hold(stateLock_);
    if (isPaused_) {
        qCInfo(lcStorage, "writing still paused: %s", qUtf8Printable(fault.message));
        return false;
    }
    isPaused_ = true;
    notWritten_ = 0;
    pauseMessage_ = fault.message;
    qCWarning(lcStorage, "writing paused: %s", qUtf8Printable(fault.message));
    return true;
}

QString TFrameWriter::PauseLabel(const TWriteFault& fault) {
    QString reason;
    switch (fault.errorNumber) {
        case ENOSPC:
            reason = QStringLiteral("disk full");
            break;
        case EDQUOT:
            reason = QStringLiteral("quota full");
            break;
        case EROFS:
            reason = QStringLiteral("read-only");
            break;
        case EACCES:
        case EPERM:
            reason = QStringLiteral("no permission");
            break;
        case ENOENT:
        case ENOTDIR:
            reason = QStringLiteral("no folder");
            break;
        case EIO:
            reason = QStringLiteral("disk error");
            break;
        default:
            reason = QStringLiteral("write error");
            break;
    }
    return QStringLiteral("Paused: ") + reason;
}

int TFrameWriter::RemoveStaleTempFiles(const QString& directory) {
    const std::string native = EncodeFileName(directory).toStdString();
    DIR* const opened = ::opendir(native.c_str());
    const int openError = errno;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, ::closedir);
    if (!dir) {
        qCWarning(lcStorage, "temporary files left in %s are not removed: opendir: %s",
                  native.c_str(), ErrnoText(openError).c_str());
        return 0;
    }
    int removed = 0;
    while (const dirent* item = ::readdir(dir.get())) {
        const std::optional<TempFileName> temp = ParseTempFileName(item->d_name);
        if (!temp || !TRetention::IsOurName(temp->finalName)) {
            continue;
        }
        // A process that is still there (or that we may not signal) may be
        // writing it; only a gone one cannot.
        if (::kill(temp->pid, 0) == 0) {
            continue;
        }
        const int killError = errno;
        if (killError != ESRCH) {
            continue;
        }
        struct stat info {};
        if (::fstatat(::dirfd(dir.get()), item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        if (::unlinkat(::dirfd(dir.get()), item->d_name, 0) != 0) {
            const int error = errno;
            qCWarning(lcStorage, "a temporary file left by an earlier run stays: unlink %s%s: %s",
                      native.c_str(), item->d_name, ErrnoText(error).c_str());
            continue;
        }
        ++removed;
    }
    if (removed > 0) {
        qCInfo(lcStorage, "removed %d temporary files left by earlier runs in %s", removed,
               native.c_str());
    }
    return removed;
}

}  // namespace vistrel
