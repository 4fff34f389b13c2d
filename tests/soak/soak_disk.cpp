// SPDX-License-Identifier: MIT
#include "soak_disk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/errors.h"
#include "base/unique_fd.h"

namespace vistrel::soak {
namespace {

QString ErrnoReason(const char* call) {
    const int error = errno;
    return QStringLiteral("%1: %2").arg(QLatin1String(call),
                                        QString::fromStdString(SystemErrorText(error)));
}

// mkdtemp under base; empty on failure.
QString MakeTemporaryDirectory(const QString& base) {
    QByteArray pattern = QFile::encodeName(base + QStringLiteral("/vistrel-soak-XXXXXX"));
    if (::mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return QFile::decodeName(pattern);
}

}  // namespace

SoakDisk::SoakDisk(std::uint64_t tmpfsBytes) {
    MountTmpfs(tmpfsBytes);
    if (!ownTmpfs_) {
        MakeSharedDirectory();
    }
    if (!root_.isEmpty() && QDir().mkpath(root_ + QStringLiteral("/frames"))) {
        frames_ = root_ + QStringLiteral("/frames");
    }
}

SoakDisk::~SoakDisk() {
    Repair();
    if (root_.isEmpty()) {
        return;
    }
    if (ownTmpfs_) {
        // Everything in it goes with the mount; the empty mount point stays
        // in the shared /tmp and is removed too.
        ::umount2(QFile::encodeName(root_).constData(), MNT_DETACH);
        ::rmdir(QFile::encodeName(root_).constData());
    } else {
        QDir(root_).removeRecursively();
    }
}

void SoakDisk::MountTmpfs(std::uint64_t bytes) {
    // A private namespace: the tmpfs is seen by this process only and is
    // unmounted by the kernel when the process ends, even by a crash.
    if (::unshare(CLONE_NEWNS) != 0) {
        fallback_ = ErrnoReason("unshare(CLONE_NEWNS)");
        return;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fallback_ = ErrnoReason("mount --make-rprivate /");
        return;
    }
    const QString point = MakeTemporaryDirectory(QDir::tempPath());
    if (point.isEmpty()) {
        fallback_ = ErrnoReason("mkdtemp");
        return;
    }
    const QByteArray options =
        QByteArray("size=") + QByteArray::number(qulonglong(bytes)) + ",mode=0700";
    if (::mount("tmpfs", QFile::encodeName(point).constData(), "tmpfs",
                MS_NOSUID | MS_NODEV | MS_NOEXEC, options.constData()) != 0) {
        fallback_ = ErrnoReason("mount -t tmpfs");
        ::rmdir(QFile::encodeName(point).constData());
        return;
    }
    root_ = point;
    ownTmpfs_ = true;
}

void SoakDisk::MakeSharedDirectory() {
    const QString shm = QStringLiteral("/dev/shm");
    const bool useShm = QFileInfo(shm).isDir() && ::access("/dev/shm", W_OK) == 0;
    root_ = MakeTemporaryDirectory(useShm ? shm : QDir::tempPath());
}

void SoakDisk::Break() {
    if (broken_ || root_.isEmpty()) {
        return;
    }
    broken_ = true;
    if (!ownTmpfs_) {
        QDir().rename(frames_, frames_ + QStringLiteral(".away"));
        return;
    }
    // Large writes, then page-sized ones, until the tmpfs has no byte left.
    UniqueFd ballast(::open(QFile::encodeName(root_ + QStringLiteral("/ballast")).constData(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const std::vector<char> block(1 << 20, 0);
    for (std::size_t size : {block.size(), std::size_t{4096}, std::size_t{1}}) {
        while (ballast && ::write(ballast.Get(), block.data(), size) > 0) {
        }
    }
}

void SoakDisk::Repair() {
    if (!broken_) {
        return;
    }
    broken_ = false;
    if (!ownTmpfs_) {
        // A logger that makes a removed directory again keeps its own; the
        // older files moved aside then go.
        const QString away = frames_ + QStringLiteral(".away");
        if (QFileInfo(frames_).isDir()) {
            QDir(away).removeRecursively();
        } else {
            QDir().rename(away, frames_);
        }
        return;
    }
    QFile::remove(root_ + QStringLiteral("/ballast"));
}

std::uint64_t SoakDisk::FreeBytes() const {
    struct statvfs info {};
    if (root_.isEmpty() || ::statvfs(QFile::encodeName(root_).constData(), &info) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

}  // namespace vistrel::soak
