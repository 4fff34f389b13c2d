// SPDX-License-Identifier: MIT
#include "storage/latest_link.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <memory>

#include "base/errors.h"
#include "base/file_name.h"
#include "base/unique_fd.h"
#include "logging.h"
#include "storage/output_file.h"
#include "storage/retention.h"

namespace vistrel {

std::optional<QString> TLatestLink::NameProblem(const QString& name) {
    if (name.isEmpty() || name.contains(u'/') || name == u"." || name == u"..") {
        return QStringLiteral("The latest link needs a plain file name without '/', not \"%1\"")
            .arg(name);
    }
    if (TRetention::IsOurName(EncodeFileName(name).toStdString())) {
        return QStringLiteral("The latest link cannot be named like a picture (\"%1\")").arg(name);
    }
    return std::nullopt;
}

QString LatestSetting(const QString& text) {
    if (text.isEmpty()) {
        return {};
    }
    if (const std::optional<QString> problem = TLatestLink::NameProblem(text)) {
        qCWarning(lcStorage, "Latest=%s: %s; no latest link is kept", qUtf8Printable(text),
                  qUtf8Printable(*problem));
        return {};
    }
    return text;
}

bool TLatestLink::IsOurTarget(const std::string& target) {
    const std::string::size_type slash = target.find('/');
    if (slash == std::string::npos) {
        return TRetention::IsOurName(target);
    }
    return TRetention::IsDayFolderName(std::string_view(target).substr(0, slash)) &&
           TRetention::IsOurName(std::string_view(target).substr(slash + 1));
}

void TLatestLink::SetName(const std::string& name) {
    if (name != name_) {
        name_ = name;
        warnedTaken_ = false;
        failing_ = false;
    }
}

namespace {

// The target of the link name in dir when it is one of ours.
std::optional<std::string> OurTarget(int dir, const std::string& name) {
    char target[4096];
    const ssize_t size = ::readlinkat(dir, name.c_str(), target, sizeof target);
    if (size <= 0 || static_cast<std::size_t>(size) >= sizeof target) {
        return std::nullopt;  // no link, or none we would have made
    }
    std::string text(target, static_cast<std::size_t>(size));
    if (!TLatestLink::IsOurTarget(text)) {
        return std::nullopt;
    }
    return text;
}

}  // namespace

std::optional<std::string> TLatestLink::Target() const {
    return IsOn() ? OurTarget(AT_FDCWD, directory_ + name_) : std::nullopt;
}

bool TLatestLink::NameIsOurs(int dir) {
    struct stat info {};
    if (::fstatat(dir, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;  // free; any other answer is not ours to judge
    }
    if (S_ISLNK(info.st_mode) && OurTarget(dir, name_)) {
        return true;
    }
    if (!warnedTaken_) {
        warnedTaken_ = true;
        qCWarning(lcStorage,
                  "%s%s is not a link to a picture of ours; it is left alone and no "
                  "latest link is kept",
                  directory_.c_str(), name_.c_str());
    }
    return false;
}

void TLatestLink::Prepare() {
    if (!IsOn()) {
        return;
    }
    const UniqueFd dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* const opened = dir ? ::fdopendir(::dup(dir.Get())) : nullptr;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opened, ::closedir);
    if (!listing) {
        const int error = errno;
        qCInfo(lcStorage, "open %s: %s", directory_.c_str(), ErrnoText(error).c_str());
        return;
    }
    while (const dirent* item = ::readdir(listing.get())) {
        const std::optional<TempFileName> temp = ParseTempFileName(item->d_name);
        struct stat info {};
        if (temp && temp->finalName == name_ && ::kill(temp->pid, 0) != 0 && errno == ESRCH &&
            ::fstatat(dir.Get(), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(info.st_mode) && ::unlinkat(dir.Get(), item->d_name, 0) != 0) {
            const int error = errno;
            qCInfo(lcStorage, "unlink %s%s: %s", directory_.c_str(), item->d_name,
                   ErrnoText(error).c_str());
        }
    }
    NameIsOurs(dir.Get());
}

bool TLatestLink::Point(const std::string& target) {
    if (!IsOn()) {
        return false;
    }
    const UniqueFd dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || !NameIsOurs(dir.Get())) {
        return false;
    }
    // One temporary name per process, in the form the start-up clean-up knows.
    const std::string temp = "." + name_ + "." + std::to_string(::getpid()) + "-0.part";
    const char* call = "symlink";
    int result = ::symlinkat(target.c_str(), dir.Get(), temp.c_str());
    if (result != 0 && errno == EEXIST) {
        ::unlinkat(dir.Get(), temp.c_str(), 0);  // left by a run that was cut short
        result = ::symlinkat(target.c_str(), dir.Get(), temp.c_str());
    }
    if (result == 0) {
        call = "rename";
        result = ::renameat(dir.Get(), temp.c_str(), dir.Get(), name_.c_str());
    }
    if (result != 0) {
        const int error = errno;
        ::unlinkat(dir.Get(), temp.c_str(), 0);
        const std::string text =
            std::string(call) + " " + directory_ + name_ + ": " + ErrnoText(error);
        if (std::exchange(failing_, true)) {
            qCInfo(lcStorage, "the latest link is still not updated: %s", text.c_str());
        } else {
            qCWarning(lcStorage, "the latest link is not updated: %s", text.c_str());
        }
        return false;
    }
    if (std::exchange(failing_, false)) {
        qCInfo(lcStorage, "the latest link is updated again: %s%s", directory_.c_str(),
               name_.c_str());
    }
    return true;
}

}  // namespace vistrel
