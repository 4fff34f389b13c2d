// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace vistrel {

// The seam between the capture layer and the kernel: every call the capture
// layer makes to a V4L2 device goes through one of these, so tests can put a
// fake device behind it. Results follow the raw system-call convention: a
// non-negative value on success, -errno on failure (errno itself is not used,
// so nothing between the call and the check can clobber it).
//
// Implementations must be safe to call from several threads at once: the
// capture thread polls, dequeues and requeues while the owner's thread opens,
// enumerates and tears down.
//
// A device descriptor is held in a UniqueFd made with the seam as its
// closer, so it closes through Close.
class V4L2Io : public FdCloser {
public:
    virtual ~V4L2Io() = default;

    // The paths of the video device nodes ("/dev/video0", ...), in any order;
    // the device walk sorts them. 0 or -errno.
    virtual int ListDeviceNodes(std::vector<std::string>& paths) = 0;

    // open(2); the capture layer always passes O_RDWR | O_NONBLOCK | O_CLOEXEC.
    virtual int Open(const std::string& path, int flags) = 0;
    int Close(int fd) override = 0;

    // One ioctl(2) attempt. Use Xioctl, which retries EINTR, rather than this.
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;

    // mmap(2) of a driver buffer, shared, read and write. *address is set on
    // success only.
    virtual int Mmap(int fd, std::size_t length, off_t offset, void** address) = 0;
    virtual int Munmap(void* address, std::size_t length) = 0;

    // poll(2). The set may hold descriptors that are not V4L2 devices (the
    // capture thread's wake-up eventfd); they must be polled as they are.
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
};

// The real kernel interface. One shared instance for the whole process.
std::shared_ptr<V4L2Io> SystemV4L2Io();

// Work done on a device another owner holds open: fd is its descriptor,
// reached through io, and path names the node in the log.
using TDeviceUse = std::function<void(V4L2Io& io, int fd, const std::string& path)>;

// The one ioctl entry point of the capture layer: retries while the call is
// interrupted by a signal (EINTR). Returns the call's result or -errno.
int Xioctl(V4L2Io& io, int fd, unsigned long request, void* arg);

// Orders device node paths by their trailing number, so /dev/video2 comes
// before /dev/video10; paths without a number sort after, by name.
void SortDeviceNodes(std::vector<std::string>& paths);

}  // namespace vistrel
