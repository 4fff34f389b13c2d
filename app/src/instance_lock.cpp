// SPDX-License-Identifier: MIT
#include "app/instance_lock.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "base/errors.h"
#include "logging.h"

namespace vistrel {

namespace {

const QString kLockName = QStringLiteral("VistrelMutex");

}  // namespace

bool TInstanceLock::IsPrivateDirectory(const QString& path, bool followLink) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    const int rc = followLink ? ::stat(name.constData(), &info) : ::lstat(name.constData(), &info);
    return rc == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 07777) == 0700;
}

QString TInstanceLock::DefaultPath() {
    // The runtime directory is the user's own by definition, but the variable
    // may name anything: use it only when it is private.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        if (IsPrivateDirectory(runtime, true)) {
            return runtime + QLatin1Char('/') + kLockName;
        }
        qCWarning(lcApp, "XDG_RUNTIME_DIR %s is not a directory of this user with mode 0700",
                  qUtf8Printable(runtime));
    }
    // The temporary directory is shared by every user: a directory of our own
    // in it, which nobody else may have made first.
    const QString fallback =
        QDir::tempPath() + QStringLiteral("/vistrel-") + QString::number(::geteuid());
    const QByteArray name = QFile::encodeName(fallback);
    const int mkdirError = ::mkdir(name.constData(), 0700) == 0 ? 0 : errno;
    if (mkdirError != 0 && mkdirError != EEXIST) {
        qCWarning(lcApp, "mkdir %s: %s", name.constData(), ErrnoText(mkdirError).c_str());
        return {};
    }
    if (!IsPrivateDirectory(fallback, false)) {
        qCWarning(lcApp, "%s is not a directory of this user with mode 0700; not using it",
                  name.constData());
        return {};
    }
    return fallback + QLatin1Char('/') + kLockName;
}

TInstanceLock::~TInstanceLock() {
    Release();
}

TInstanceLock::Result TInstanceLock::Acquire(const QString& path) {
    Release();
    if (path.isEmpty()) {
        return Result::Unavailable;
    }
    const QByteArray name = QFile::encodeName(path);
    // O_NOFOLLOW: a symbolic link planted under the name fails with ELOOP
    // instead of making or locking the file it points to.
    UniqueFd fd(
        ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd) {
        const int error = errno;
        if (error == ELOOP) {
            qCWarning(lcApp, "refusing the lock file %s: it is a symbolic link", name.constData());
        } else if (error == EISDIR) {
            qCWarning(lcApp, "refusing the lock file %s: it is a directory", name.constData());
        } else {
            qCWarning(lcApp, "open %s: %s", name.constData(), ErrnoText(error).c_str());
        }
        return Result::Unavailable;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        const int error = errno;
        qCWarning(lcApp, "fstat %s: %s", name.constData(), ErrnoText(error).c_str());
        return Result::Unavailable;
    }
    // Someone else's file could be held by them to keep us from starting.
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        qCWarning(lcApp, "refusing the lock file %s: not a regular file of user %u",
                  name.constData(), static_cast<unsigned>(::geteuid()));
        return Result::Unavailable;
    }
    int rc;
    do {
        rc = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            return Result::HeldElsewhere;
        }
        qCWarning(lcApp, "flock %s: %s", name.constData(), ErrnoText(error).c_str());
        return Result::Unavailable;
    }
    fd_ = std::move(fd);
    return Result::Acquired;
}

void TInstanceLock::Release() {
    if (fd_) {
        ::flock(fd_.Get(), LOCK_UN);
        fd_.Reset();
    }
}

}  // namespace vistrel
