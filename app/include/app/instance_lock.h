// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include "base/unique_fd.h"

namespace vistrel {

// Keeps one Vistrel running per user: an exclusive flock(2) on a lock file.
// The kernel drops the lock when the process ends, however it ends, so a
// crashed instance never blocks the next start.
//
// The lock file lives in a directory only this user can write, and is only
// used when it is a regular file of this user, so another account can
// neither point it elsewhere with a symbolic link nor hold it.
class TInstanceLock {
public:
    enum class Result { Acquired, HeldElsewhere, Unavailable };

    // $XDG_RUNTIME_DIR/VistrelMutex when that directory is a private one of
    // ours (see IsPrivateDirectory); otherwise VistrelMutex in the fallback
    // directory <temporary directory>/vistrel-<uid>, made with mode 0700 when
    // missing. Empty, with a warning, when the fallback is not private.
    static QString DefaultPath();

    // path is a directory owned by this user with mode 0700. followLink:
    // whether path itself may be a symbolic link to such a directory.
    static bool IsPrivateDirectory(const QString& path, bool followLink);

    TInstanceLock() = default;
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Opens (creating if needed) and locks path without waiting. Only
    // HeldElsewhere means another instance runs; Unavailable means the file
    // could not be opened or locked for another reason, or was refused with a
    // warning: a symbolic link, or not a regular file of this user.
    Result Acquire(const QString& path);
    bool Held() const { return static_cast<bool>(fd_); }
    // Unlocks and closes; errors are ignored, the kernel drops the lock anyway.
    void Release();

private:
    UniqueFd fd_;
};

}  // namespace vistrel
