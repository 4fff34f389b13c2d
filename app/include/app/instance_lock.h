#pragma once

#include <QString>

#include "base/unique_fd.h"

namespace vistrel {

// Keeps one Vistrel running per user: an exclusive flock(2) on a lock file.
// The kernel drops the lock when the process ends, however it ends, so a
// crashed instance never blocks the next start.
class TInstanceLock {
public:
    enum class Result { Acquired, HeldElsewhere, Unavailable };

    // $XDG_RUNTIME_DIR/VistrelMutex, or a per-user name in the temporary
    // directory when the runtime directory is not set.
    static QString DefaultPath();

    TInstanceLock() = default;
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Opens (creating if needed) and locks path without waiting. Only
    // HeldElsewhere means another instance runs; Unavailable means the file
    // could not be opened or locked for another reason.
    Result Acquire(const QString& path);
    bool Held() const { return static_cast<bool>(fd_); }
    // Unlocks and closes; errors are ignored, the kernel drops the lock anyway.
    void Release();

private:
    UniqueFd fd_;
};

}  // namespace vistrel
