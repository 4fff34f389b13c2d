// SPDX-License-Identifier: MIT
#include "storage/retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <memory>
#include <tuple>

#include "base/errors.h"
#include "logging.h"

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

// ---- TRetention --------------------------------------------------------------

TRetention::TRetention() : freeSpace_(QueryFreeSpace) {}

bool TRetention::Entry::operator<(const Entry& other) const {
    return std::tie(modified.tv_sec, modified.tv_nsec, name) <
           std::tie(other.modified.tv_sec, other.modified.tv_nsec, other.name);
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

void TRetention::SetDirectory(const std::string& directory) {
    if (directory != directory_) {
        directory_ = directory;
        Forget();
    }
}

void TRetention::Forget() {
    scanned_ = false;
    index_.clear();
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
    if (!scanned_) {
        Scan();
    }
    while (available < floor) {
        if (index_.empty()) {
            if (fresh) {
                return false;
            }
            Scan();  // files may have come from elsewhere since
            fresh = true;
            continue;
        }
        available += DeleteOldest();
    }
    return true;
}

void TRetention::Added(const std::string& name) {
    if (!scanned_) {
        return;  // the first scan will find it
    }
    if (std::optional<Entry> entry = Stat(AT_FDCWD, Join(directory_, name))) {
        entry->name = name;
        index_.insert(std::move(*entry));
    }
}

std::optional<TRetention::Entry> TRetention::Stat(int dir, const std::string& name) const {
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return Entry{info.st_mtim, name};
}

void TRetention::Scan() {
    index_.clear();
    scanned_ = true;
    DIR* const opened = ::opendir(directory_.c_str());
    const int openError = errno;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, ::closedir);
    if (!dir) {
        qCInfo(lcStorage, "opendir %s: %s", directory_.c_str(), ErrnoText(openError).c_str());
        return;
    }
    while (const dirent* item = ::readdir(dir.get())) {
        if ((item->d_type == DT_REG || item->d_type == DT_UNKNOWN) && IsOurName(item->d_name)) {
            if (std::optional<Entry> entry = Stat(::dirfd(dir.get()), item->d_name)) {
                index_.insert(std::move(*entry));
            }
        }
    }
}

std::uint64_t TRetention::DeleteOldest() {
    const std::string path = Join(directory_, index_.extract(index_.begin()).value().name);
    // Looked at again right before: a name of ours that has since become a
    // link or a folder is not ours to delete.
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return 0;
    }
    if (::unlink(path.c_str()) != 0) {
        const int error = errno;
        qCWarning(lcStorage, "%s is not deleted to keep %s free: unlink: %s", path.c_str(),
                  qUtf8Printable(floor_.Text()), ErrnoText(error).c_str());
        return 0;
    }
    ++deleted_;
    qCInfo(lcStorage, "deleted %s to keep %s free", path.c_str(), qUtf8Printable(floor_.Text()));
    return SpaceOf(info);
}

}  // namespace vistrel
