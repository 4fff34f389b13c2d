// SPDX-License-Identifier: MIT
#include "capture/v4l2_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>

namespace vistrel {
namespace {

class SystemIo final : public V4L2Io {
public:
    int ListDeviceNodes(std::vector<std::string>& paths) override {
        paths.clear();
        DIR* dir = ::opendir("/dev");
        if (dir == nullptr) {
            return -errno;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(0, 5, "video") == 0 &&
                std::all_of(name.begin() + 5, name.end(),
                            [](char c) { return c >= '0' && c <= '9'; })) {
                paths.push_back("/dev/" + name);
            }
        }
        ::closedir(dir);
        return 0;
    }

    int Open(const std::string& path, int flags) override {
        const int fd = ::open(path.c_str(), flags);
        return fd >= 0 ? fd : -errno;
    }

    int Close(int fd) override { return ::close(fd) == 0 ? 0 : -errno; }

    int Ioctl(int fd, unsigned long request, void* arg) override {
        const int r = ::ioctl(fd, request, arg);
        return r >= 0 ? r : -errno;
    }

    int Mmap(int fd, std::size_t length, off_t offset, void** address) override {
        void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        if (p == MAP_FAILED) {
            return -errno;
        }
        *address = p;
        return 0;
    }

    int Munmap(void* address, std::size_t length) override {
        return ::munmap(address, length) == 0 ? 0 : -errno;
    }

    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        const int r = ::poll(fds, count, timeoutMs);
        return r >= 0 ? r : -errno;
    }
};

// The number at the end of a path ("/dev/video12" -> 12), if any.
std::optional<std::uint64_t> TrailingNumber(const std::string& path) {
    std::size_t start = path.size();
    while (start > 0 && path[start - 1] >= '0' && path[start - 1] <= '9') {
        --start;
    }
    if (start == path.size() || path.size() - start > 18) {
        return std::nullopt;
    }
    return std::stoull(path.substr(start));
}

}  // namespace

std::shared_ptr<V4L2Io> SystemV4L2Io() {
    static const std::shared_ptr<V4L2Io> io = std::make_shared<SystemIo>();
    return io;
}

int Xioctl(V4L2Io& io, int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = io.Ioctl(fd, request, arg);
    } while (r == -EINTR);
    return r;
}

void SortDeviceNodes(std::vector<std::string>& paths) {
    std::stable_sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        const auto na = TrailingNumber(a);
        const auto nb = TrailingNumber(b);
        if (na && nb && *na != *nb) {
            return *na < *nb;
        }
        if (na.has_value() != nb.has_value()) {
            return na.has_value();
        }
        return a < b;
    });
}

}  // namespace vistrel
