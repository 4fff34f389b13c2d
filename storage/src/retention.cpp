// SPDX-License-Identifier: MIT
#include "storage/retention.h"

#include <QLocale>

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <tuple>

#include "base/errors.h"
#include "base/unique_fd.h"
#include "logging.h"
#include "storage/file_errors.h"

namespace vistrel {

namespace {

bool IsDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string Join(const std::string& directory, const std::string& name) {
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

// bytes * factor, or nullopt when it does not fit.
std::optional<std::uint64_t> Times(std::uint64_t bytes, std::uint64_t factor) {
    if (bytes > std::numeric_limits<std::uint64_t>::max() / factor) {
        return std::nullopt;
    }
    return bytes * factor;
}

// What deleting the file frees. Some file systems count no blocks; the size
// then stands in, so that a deletion never counts as freeing nothing.
std::uint64_t SpaceOf(const struct stat& info) {
    return std::max(static_cast<std::uint64_t>(info.st_blocks) * 512,
                    static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 1)));
}

}  // namespace

// ---- TKeepFree ---------------------------------------------------------------

std::uint64_t TKeepFree::FloorFor(std::uint64_t fileSystemBytes) const {
    if (bytes > 0) {
        return bytes;
    }
    return static_cast<std::uint64_t>(static_cast<long double>(fileSystemBytes) * percent / 100);
}

std::optional<TKeepFree> TKeepFree::Parse(const QString& original) {
    const std::string text = original.trimmed().toStdString();
    if (text.empty()) {
        return std::nullopt;
    }
    TKeepFree floor;
    if (text.back() == '%') {
        // Digits with an optional fraction: no signs, exponents or blanks.
        const std::string number = text.substr(0, text.size() - 1);
        const std::string::size_type dot = number.find('.');
        const bool plain = dot == std::string::npos ? IsDigits(number)
                                                    : IsDigits(number.substr(0, dot)) &&
                                                          IsDigits(number.substr(dot + 1));
        if (!plain) {
            return std::nullopt;
        }
        floor.percent = std::strtod(number.c_str(), nullptr);
        if (!(floor.percent <= 100)) {
            return std::nullopt;
        }
        return floor;
    }
    std::uint64_t factor = 1;
    std::string number = text;
    switch (text.back()) {
        case 'K':
        case 'k':
            factor = 1ull << 10;
            break;
        case 'M':
        case 'm':
            factor = 1ull << 20;
            break;
        case 'G':
        case 'g':
            factor = 1ull << 30;
            break;
        default:
            break;
    }
    if (factor != 1) {
        number.pop_back();
    }
    if (!IsDigits(number) || number.size() > 19) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> bytes = Times(std::stoull(number), factor);
    if (!bytes) {
        return std::nullopt;
    }
    floor.bytes = *bytes;
    return floor;
}

QString TKeepFree::Text() const {
    if (bytes == 0) {
        return QString::number(percent) + QLatin1Char('%');
    }
    for (const auto& [unit, shift] : {std::pair{"GiB", 30}, {"MiB", 20}, {"KiB", 10}}) {
        if (bytes % (1ull << shift) == 0) {
            return QStringLiteral("%1 %2").arg(bytes >> shift).arg(QLatin1String(unit));
        }
    }
    return QStringLiteral("%1 bytes").arg(bytes);
}

TKeepFree KeepFreeSetting(const QString& text) {
    if (text.trimmed().isEmpty()) {
        return {};
    }
    const std::optional<TKeepFree> floor = TKeepFree::Parse(text);
    if (!floor) {
        qCWarning(lcStorage, "KeepFree=%s is not a size such as 500M or 5%%; no floor is kept",
                  qUtf8Printable(text));
        return {};
    }
    return *floor;
}

std::optional<TFreeSpace> QueryFreeSpace(const std::string& directory) {
    struct statvfs info {};
    if (::statvfs(directory.c_str(), &info) != 0) {
        const int error = errno;
        qCInfo(lcStorage, "statvfs %s: %s", directory.c_str(), ErrnoText(error).c_str());
        return std::nullopt;
    }
    return TFreeSpace{static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize,
                      static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize};
}

std::optional<int> ParseKeepDays(const QString& text) {
    const QString trimmed = text.trimmed();
    if (!IsDigits(trimmed.toStdString()) || trimmed.size() > 5) {
        return std::nullopt;
    }
    const int days = trimmed.toInt();
    if (days > kMaxKeepDays) {
        return std::nullopt;
    }
    return days;
}

int KeepDaysSetting(const QString& text) {
    if (text.trimmed().isEmpty()) {
        return 0;
    }
    const std::optional<int> days = ParseKeepDays(text);
    if (!days) {
        qCWarning(lcStorage,
                  "KeepDays=%s is not a number of days from 0 to %d; no file is "
                  "deleted by age",
                  qUtf8Printable(text), kMaxKeepDays);
        return 0;
    }
    return *days;
}

// ---- TRetention --------------------------------------------------------------

namespace {

// A directory opened for the *at calls; -1 when it cannot be.
int OpenFolder(int at, const char* name) {
    return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::uint64_t NumberOf(std::string_view digits) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    // A suffix too long to count sorts last among its stem.
    return error == std::errc() ? value : std::numeric_limits<std::uint64_t>::max();
}

// The yymmddhhnnsszzz stamp of a local time, as a number.
std::uint64_t StampOf(const QDateTime& time) {
    const QDate date = time.date();
    const QTime clock = time.time();
    return NumberOf(QString::asprintf("%02d%02d%02d%02d%02d%02d%03d", date.year() % 100,
                                      date.month(), date.day(), clock.hour(), clock.minute(),
                                      clock.second(), clock.msec())
                        .toStdString());
}

}  // namespace

TRetention::TRetention() : freeSpace_(QueryFreeSpace) {}

bool TRetention::Entry::operator<(const Entry& other) const {
    return std::tie(order, stamp, suffix, name) <
           std::tie(other.order, other.stamp, other.suffix, other.name);
}

bool TRetention::IsOurName(std::string_view name) {
    constexpr std::string_view kExtension = ".jpg";
    if (!name.ends_with(kExtension)) {
        return false;
    }
    name.remove_suffix(kExtension.size());
    if (name.size() < 15 || !IsDigits(name.substr(0, 15))) {
        return false;
    }
    name.remove_prefix(15);
    return name.empty() || (name.front() == '-' && IsDigits(name.substr(1)));
}

bool TRetention::IsDayFolderName(std::string_view name) {
    return name.size() == 10 && name[4] == '-' && name[7] == '-' && IsDigits(name.substr(0, 4)) &&
           IsDigits(name.substr(5, 2)) && IsDigits(name.substr(8, 2));
}

void TRetention::SetDirectory(const std::string& directory) {
    if (directory != directory_) {
        directory_ = directory;
        written_.clear();
        Forget();
    }
}

void TRetention::SetDayFolders(bool on) {
    if (on != dayFolders_) {
        dayFolders_ = on;
        Forget();
    }
}

void TRetention::Forget() {
    scanned_ = false;
    index_.clear();
}

bool TRetention::NeverMet(std::uint64_t fileSystemBytes) const {
    return floor_.bytes == 0 ? floor_.percent > kMaxFloorPercent
                             : fileSystemBytes > 0 && floor_.bytes >= fileSystemBytes;
}

std::optional<QString> TRetention::UnreachableFloor() const {
    if (floor_.IsOff()) {
        return std::nullopt;
    }
    if (floor_.bytes == 0 && NeverMet(0)) {
        return QStringLiteral(
                   "The free-space floor of %1 is refused: a share above %2% of the "
                   "file system can never be kept free")
            .arg(floor_.Text())
            .arg(kMaxFloorPercent);
    }
    const std::optional<TFreeSpace> space =
        floor_.bytes > 0 ? freeSpace_(directory_) : std::nullopt;
    if (space && NeverMet(space->total)) {
        std::string shown = directory_;
        while (shown.size() > 1 && shown.back() == '/') {
            shown.pop_back();
        }
        return QStringLiteral(
                   "The free-space floor of %1 is refused: the file system of \"%2\" "
                   "holds only %3 in all")
            .arg(floor_.Text(), QString::fromStdString(AbsolutePath(shown)),
                 QLocale::c().formattedDataSize(static_cast<qint64>(space->total), 1,
                                                QLocale::DataSizeIecFormat));
    }
    return std::nullopt;
}

bool TRetention::MakeRoom() {
    if (floor_.IsOff()) {
        return true;
    }
    const std::optional<TFreeSpace> space = freeSpace_(directory_);
    if (!space) {
        // Cannot tell: the write itself will say whether it fits. Said once
        // until the free space is known again.
        if (!spaceUnknown_) {
            spaceUnknown_ = true;
            qCWarning(lcStorage, "the free space of %s is unknown; no pictures are deleted for %s",
                      directory_.c_str(), qUtf8Printable(floor_.Text()));
        }
        return true;
    }
    spaceUnknown_ = false;
    const std::uint64_t floor = floor_.FloorFor(space->total);
    // The free space is counted up by what each deletion frees rather than
    // asked for again: some file systems free the blocks only later.
    std::uint64_t available = space->available;
    bool fresh = !scanned_;
    if (available >= floor) {
        return true;
    }
    if (NeverMet(space->total)) {
        return false;  // deleting would only empty the folder
    }
    if (!scanned_) {
        Scan();
    }
    const QString why = floor_.Text() + QStringLiteral(" free");
    while (available < floor) {
        const Index::iterator oldest = Oldest();
        if (oldest == index_.end()) {
            if (fresh) {
                return false;
            }
            Scan();  // files may have come from elsewhere since
            fresh = true;
            continue;
        }
        const std::string name = index_.extract(oldest).value().name;
        written_.erase(name);
        available += Delete(name, why);
    }
    return true;
}

TRetention::Index::iterator TRetention::Oldest() {
    Index::iterator oldest = index_.begin();
    if (oldest != index_.end() && oldest->name == kept_) {
        ++oldest;  // only one name is kept, so the next one is not
    }
    return oldest;
}

TRetention::Entry TRetention::MakeEntry(std::string name) const {
    const std::string_view leaf = std::string_view(name).substr(name.rfind('/') + 1);
    Entry entry;
    entry.stamp = NumberOf(leaf.substr(0, 15));
    const std::string_view::size_type dash = leaf.find('-');
    if (dash != std::string_view::npos) {
        entry.suffix = NumberOf(leaf.substr(dash + 1, leaf.size() - dash - 1 - 4));
    }
    if (const auto it = written_.find(name); it != written_.end()) {
        entry.order = it->second;
    }
    entry.name = std::move(name);
    return entry;
}

void TRetention::Added(const std::string& name) {
    if (!Tracking()) {
        return;
    }
    written_[name] = nextOrder_++;
    if (scanned_) {
        index_.insert(MakeEntry(name));  // else the first scan will find it
    }
}

void TRetention::Scan() {
    index_.clear();
    scanned_ = true;
    const UniqueFd dir(OpenFolder(AT_FDCWD, directory_.empty() ? "/" : directory_.c_str()));
    if (!dir) {
        const int error = errno;
        qCInfo(lcStorage, "open %s: %s", directory_.c_str(), ErrnoText(error).c_str());
        return;
    }
    ScanFolder(dir.Get(), {});
    // What is gone needs no place in the order any more.
    std::erase_if(written_,
                  [this](const auto& item) { return !index_.contains(MakeEntry(item.first)); });
}

void TRetention::ScanFolder(int at, const std::string& folder) {
    // fdopendir takes its own descriptor, so the caller's stays open.
    DIR* const opened = ::fdopendir(::dup(at));
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, ::closedir);
    if (!dir) {
        const int error = errno;
        qCInfo(lcStorage, "fdopendir %s%s: %s", directory_.c_str(), folder.c_str(),
               ErrnoText(error).c_str());
        return;
    }
    const std::string prefix = folder.empty() ? std::string() : folder + "/";
    while (const dirent* item = ::readdir(dir.get())) {
        struct stat info {};
        const bool known = item->d_type != DT_UNKNOWN;
        if (IsOurName(item->d_name) && (item->d_type == DT_REG || !known)) {
            if (known || (::fstatat(at, item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(info.st_mode))) {
                index_.insert(MakeEntry(prefix + item->d_name));
            }
        } else if (folder.empty() && dayFolders_ && IsDayFolderName(item->d_name) &&
                   (item->d_type == DT_DIR || !known)) {
            const UniqueFd day(OpenFolder(at, item->d_name));  // never through a link
            if (day) {
                ScanFolder(day.Get(), item->d_name);
            }
        }
    }
}

std::size_t TRetention::DeleteExpired(const QDateTime& now) {
    if (keepDays_ <= 0) {
        return 0;
    }
    const std::uint64_t cut = StampOf(now.addDays(-keepDays_));
    Scan();
    const QString why = QStringLiteral("keep %1 days").arg(keepDays_);
    std::size_t deleted = 0;
    for (Index::iterator it = index_.begin(); it != index_.end();) {
        if (it->stamp >= cut || it->name == kept_) {
            ++it;
            continue;
        }
        const std::string name = index_.extract(it++).value().name;
        written_.erase(name);
        deleted += Delete(name, why) > 0 ? 1 : 0;
    }
    if (deleted > 0) {
        qCInfo(lcStorage, "deleted %zu files older than %d days in %s", deleted, keepDays_,
               directory_.c_str());
    }
    return deleted;
}

std::uint64_t TRetention::Delete(const std::string& name, const QString& why) {
    const std::string path = Join(directory_, name);
    const std::string::size_type slash = name.find('/');
    const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash);
    const UniqueFd top(OpenFolder(AT_FDCWD, directory_.empty() ? "/" : directory_.c_str()));
    // A day folder that has since become a link is not followed.
    const UniqueFd day(top && !folder.empty() ? OpenFolder(top.Get(), folder.c_str()) : -1);
    const int at = folder.empty() ? top.Get() : day.Get();
    const std::string leaf = name.substr(slash == std::string::npos ? 0 : slash + 1);
    // Looked at again right before: a name of ours that has since become a
    // link or a folder is not ours to delete.
    struct stat info {};
    if (at < 0 || ::fstatat(at, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode)) {
        return 0;
    }
    if (::unlinkat(at, leaf.c_str(), 0) != 0) {
        const int error = errno;
        qCWarning(lcStorage, "%s is not deleted to %s: unlink: %s", path.c_str(),
                  qUtf8Printable(why), ErrnoText(error).c_str());
        return 0;
    }
    ++deleted_;
    qCInfo(lcStorage, "deleted %s to %s", path.c_str(), qUtf8Printable(why));
    // A day folder goes once it is empty; one that still holds anything stays.
    if (!folder.empty() && ::unlinkat(top.Get(), folder.c_str(), AT_REMOVEDIR) != 0 &&
        errno != ENOTEMPTY && errno != EEXIST) {
        const int error = errno;
        qCInfo(lcStorage, "rmdir %s%s: %s", directory_.c_str(), folder.c_str(),
               ErrnoText(error).c_str());
    }
    return SpaceOf(info);
}

}  // namespace vistrel
