// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <cstdint>

namespace vistrel::soak {

// Where the soak writes: a small tmpfs of its own, mounted in a private mount
// namespace so that it goes with the process however the process ends; or,
// when the process may not mount, a fresh directory in /dev/shm (or the
// temporary directory), removed at the end.
class SoakDisk {
public:
    // Call before any thread starts: a mount namespace is per process.
    explicit SoakDisk(std::uint64_t tmpfsBytes);
    ~SoakDisk();
    SoakDisk(const SoakDisk&) = delete;
    SoakDisk& operator=(const SoakDisk&) = delete;

    // The frames' directory; empty when nothing could be made.
    const QString& FramesDirectory() const { return frames_; }
    bool OwnTmpfs() const { return ownTmpfs_; }
    // Why there is no tmpfs of our own, for the report.
    const QString& Fallback() const { return fallback_; }

    // Takes the disk away for a while: an own tmpfs is filled to the last
    // byte; a shared directory is moved aside, so the frames' directory is
    // gone. Repair undoes it.
    void Break();
    void Repair();

    // Free bytes for an unprivileged writer; 0 when unknown.
    std::uint64_t FreeBytes() const;

private:
    void MountTmpfs(std::uint64_t bytes);
    void MakeSharedDirectory();

    QString root_;    // the mount point or the fresh directory
    QString frames_;  // root_/frames
    QString fallback_;
    bool ownTmpfs_ = false;
    bool broken_ = false;
};

}  // namespace vistrel::soak
