// SPDX-License-Identifier: MIT
#pragma once

#include <utility>

namespace vistrel {

// Closes descriptors that must not go to close(2) directly: a device opened
// through the V4L2 seam closes through that seam, so a fake device sees it.
class FdCloser {
public:
    virtual ~FdCloser() = default;
    // 0 or -errno.
    virtual int Close(int fd) = 0;
};

// The one owner of a file descriptor. Move-only; closes what it holds when it
// goes or is reset, through its closer when it was given one, else with
// close(2). Errors of that close are ignored: by then nobody can act on them.
// A caller that must know whether the close worked (a written file) takes
// the descriptor back with Release and closes it itself.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(int fd, FdCloser& closer) : fd_(fd), closer_(&closer) {}
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), closer_(std::exchange(other.closer_, nullptr)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
            closer_ = std::exchange(other.closer_, nullptr);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Hands the descriptor over without closing it; holds none afterwards.
    int Release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor, then holds fd, to be closed the same way.
    void Reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
    FdCloser* closer_ = nullptr;
};

}  // namespace vistrel
