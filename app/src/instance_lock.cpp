#include "app/instance_lock.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "base/errors.h"
#include "logging.h"

namespace vistrel {

QString TInstanceLock::DefaultPath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        return runtime + QStringLiteral("/VistrelMutex");
    }
    // The temporary directory is shared by every user: one name per user.
    return QDir::tempPath() + QStringLiteral("/VistrelMutex-") + QString::number(::getuid());
}

TInstanceLock::~TInstanceLock() {
    Release();
}

TInstanceLock::Result TInstanceLock::Acquire(const QString& path) {
    Release();
    const QByteArray name = QFile::encodeName(path);
    UniqueFd fd(::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
        qCInfo(lcApp, "open %s: %s", name.constData(), ErrnoText(errno).c_str());
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
        qCInfo(lcApp, "flock %s: %s", name.constData(), ErrnoText(error).c_str());
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
