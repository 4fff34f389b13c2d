#pragma once

#include <unistd.h>

#include <utility>

#include "capture/v4l2_io.h"

namespace vistrel {

// An open device descriptor, closed through the seam it came from.
class DeviceFd {
public:
    DeviceFd() = default;
    DeviceFd(V4L2Io& io, int fd) : io_(&io), fd_(fd) {}
    DeviceFd(DeviceFd&& other) noexcept
        : io_(std::exchange(other.io_, nullptr)), fd_(std::exchange(other.fd_, -1)) {}
    DeviceFd& operator=(DeviceFd&& other) noexcept {
        if (this != &other) {
            Reset();
            io_ = std::exchange(other.io_, nullptr);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    DeviceFd(const DeviceFd&) = delete;
    DeviceFd& operator=(const DeviceFd&) = delete;
    ~DeviceFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

    void Reset() {
        if (fd_ >= 0 && io_ != nullptr) {
            io_->Close(fd_);  // nothing useful to do when close fails
        }
        fd_ = -1;
    }

private:
    V4L2Io* io_ = nullptr;
    int fd_ = -1;
};

}  // namespace vistrel

namespace vistrel {

// A descriptor of our own (the capture thread's wake-up eventfd), closed
// with close(2) directly: it is not a V4L2 device.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

}  // namespace vistrel
