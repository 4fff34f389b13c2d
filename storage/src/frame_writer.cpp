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
      wallClock_([] { return QDateTime::currentDateTime(); }) {}

void TFrameWriter::SetDirectory(const QString& directory) {
    if (directory == directory_) {
        return;
    }
    directory_ = directory;
    retention_.SetDirectory(NativeDirectory());
    latestLink_.SetDirectory(NativeDirectory());
    retryNow_ = true;  // a new place deserves a try at once
}

void TFrameWriter::SetDailyFolders(bool on) {
    dailyFolders_ = on;
    retention_.SetDayFolders(on);
}

void TFrameWriter::SetLatest(const QString& name) {
    latest_ = name;
    latestLink_.SetName(EncodeFileName(name).toStdString());
    if (name.isEmpty()) {
        retention_.Keep({});
    }
}

std::string TFrameWriter::NativeDirectory() const {
    // As the files are named: the directory, then "/". An empty directory
    // is the root, as it always was.
    return EncodeFileName(directory_).toStdString() + "/";
}

std::string TFrameWriter::ShownDirectory() const {
    std::string shown = NativeDirectory();
    while (shown.size() > 1 && shown.back() == '/') {
        shown.pop_back();
    }
    return shown;
}

std::optional<TWriteFault> TFrameWriter::Prepare() {
    if (const std::optional<TWriteFault> fault = MakeDirectory()) {
        if (fault->permanent) {
            qCWarning(lcStorage, "writing cannot start: %s", qUtf8Printable(fault->message));
            return fault;
        }
        Pause(*fault);
        lastTry_ = clock_();
        return std::nullopt;
    }
    if (const std::optional<QString> unreachable = retention_.UnreachableFloor()) {
        qCWarning(lcStorage, "writing cannot start: %s", qUtf8Printable(*unreachable));
        return TWriteFault{*unreachable, EINVAL, true};
    }
    retryNow_ = true;
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
    ExpireOldFiles();
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
    retention_.DeleteExpired(wallClock_());
}

std::optional<TWriteFault> TFrameWriter::MakeDirectory() const {
    std::error_code error;
    std::filesystem::create_directories(NativeDirectory(), error);
    if (!error) {
        return std::nullopt;
    }
    return DirectoryFault(ShownDirectory(), error.value());
}

std::optional<TWriteFault> TFrameWriter::DirectoryFault(const std::string& shown,
                                                        int errorNumber) const {
    qCInfo(lcStorage, "mkdir %s: %s", shown.c_str(), ErrnoText(errorNumber).c_str());
    return TWriteFault{QStringLiteral("Cannot create directory \"%1\". %2")
                           .arg(QString::fromStdString(AbsolutePath(shown)),
                                QString::fromStdString(SystemErrorText(errorNumber))),
                       errorNumber, IsPermanentDirectoryError(errorNumber)};
}

std::optional<TWriteFault> TFrameWriter::DayFolder(const QString& stamp,
                                                   std::string& folder) const {
    folder.clear();
    if (!dailyFolders_ || stamp.size() < 6) {
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
    const std::string path = NativeDirectory() + name;
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
    if (isPaused_ && !retryNow_ && clock_() - lastTry_ < retryInterval_) {
        ++notWritten_;
        return std::nullopt;
    }
    lastTry_ = clock_();
    retryNow_ = false;
    std::optional<TWriteFault> fault;
    if (isPaused_) {
        fault = MakeDirectory();  // it may have been removed
    }
    if (!fault && !retention_.MakeRoom()) {
        // A floor refused at the start may only now be known to be one.
        fault = TWriteFault{
            retention_.UnreachableFloor().value_or(
                QStringLiteral(
                    "The free space for \"%1\" is below %2, and no picture of ours is left "
                    "to delete")
                    .arg(QString::fromStdString(AbsolutePath(ShownDirectory())),
                         retention_.Floor().Text())),
            ENOSPC};
    }
    QString path;
    if (!fault) {
        const std::vector<std::uint8_t>& jpeg = encode();
        if (jpeg.empty()) {
            // A picture without pixels: an empty file would only look broken.
            qCInfo(lcStorage, "an empty picture at %s is not written", qUtf8Printable(stamp));
            return std::nullopt;
        }
        fault = Publish(stamp, jpeg, path);
    }
    if (fault) {
        Pause(*fault);
        ++notWritten_;
        return std::nullopt;
    }
    if (isPaused_) {
        isPaused_ = false;
        pauseMessage_.clear();
        qCWarning(lcStorage, "writing resumed: %s", qUtf8Printable(path));
        const std::uint64_t missed = std::exchange(notWritten_, 0);
        if (resumed_) {
            resumed_(missed);
        }
    }
    return path;
}

std::optional<TWriteFault> TFrameWriter::Publish(const QString& stamp,
                                                 const std::vector<std::uint8_t>& jpeg,
                                                 QString& path) {
    std::string folder;
    if (std::optional<TWriteFault> fault = DayFolder(stamp, folder)) {
        return fault;
    }
    try {
        const std::string name = folder + PublishNewFile(NativeDirectory() + folder,
                                                         stamp.toStdString(), ".jpg", jpeg, fault_);
        retention_.Added(name);
        if (latestLink_.IsOn()) {
            // Kept while it is the newest, so the link never dangles.
            retention_.Keep(name);
            latestLink_.Point(name);
        }
        path = directory_ + QLatin1Char('/') + DecodeFileName(name);
        return std::nullopt;
    } catch (const EFileError& e) {
        return TWriteFault{QString::fromStdString(e.what()), e.ErrorNumber()};
    }
}

void TFrameWriter::Pause(const TWriteFault& fault) {
    // Whatever failed may have changed the directory behind the index.
    retention_.Forget();
    if (isPaused_) {
        qCInfo(lcStorage, "writing still paused: %s", qUtf8Printable(fault.message));
        return;
    }
    isPaused_ = true;
    notWritten_ = 0;
    pauseMessage_ = fault.message;
    qCWarning(lcStorage, "writing paused: %s", qUtf8Printable(fault.message));
    if (paused_) {
        paused_(fault);
    }
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
