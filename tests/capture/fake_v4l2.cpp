// SPDX-License-Identifier: MIT
#include "fake_v4l2.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

namespace vistrel::test {
namespace {

// Where QUERYBUF says buffer i lives in the device's mmap space.
constexpr std::uint32_t kOffsetStep = 1u << 24;

}  // namespace

FakeFormat MakeFormat(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height,
                      std::uint32_t rowPadding) {
    FakeFormat f;
    f.pixelFormat = pixelFormat;
    f.width = width;
    f.height = height;
    switch (pixelFormat) {
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_UYVY:
            f.bytesPerLine = width * 2 + rowPadding;
            f.sizeImage = f.bytesPerLine * height;
            break;
        case V4L2_PIX_FMT_BGR24:
        case V4L2_PIX_FMT_RGB24:
            f.bytesPerLine = width * 3 + rowPadding;
            f.sizeImage = f.bytesPerLine * height;
            break;
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420:
            f.bytesPerLine = width + rowPadding;
            f.sizeImage = f.bytesPerLine * height + 2 * ((f.bytesPerLine / 2) * (height / 2));
            break;
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
            f.bytesPerLine = 0;
            f.sizeImage = width * height * 2;
            break;
        default:
            f.bytesPerLine = width * 2 + rowPadding;
            f.sizeImage = f.bytesPerLine * height;
            break;
    }
    return f;
}

std::vector<std::uint8_t> MakeFrameBytes(const FakeFormat& format, std::uint8_t seed) {
    if (format.pixelFormat == V4L2_PIX_FMT_MJPEG || format.pixelFormat == V4L2_PIX_FMT_JPEG) {
        std::vector<std::uint8_t> bytes(std::max<std::uint32_t>(format.sizeImage / 16, 8));
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
        }
        bytes[0] = 0xFF;
        bytes[1] = 0xD8;
        bytes[bytes.size() - 2] = 0xFF;
        bytes[bytes.size() - 1] = 0xD9;
        return bytes;
    }
    std::vector<std::uint8_t> bytes(format.sizeImage);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
    }
    return bytes;
}

FakeV4L2::FakeV4L2() = default;

FakeV4L2::~FakeV4L2() {
    for (const auto& [fd, device] : files_) {
        ::close(fd);
    }
}

int FakeV4L2::AddDevice(FakeDeviceConfig config) {
    std::lock_guard lock(mutex_);
    return AddDeviceLocked(std::move(config));
}

int FakeV4L2::AddDeviceLocked(FakeDeviceConfig config) {
    std::set<int> used;
    for (const Device& d : devices_) {
        if (!d.unplugged) {
            used.insert(d.config.number);
        }
    }
    if (config.number < 0) {
        config.number = 0;
        while (used.count(config.number) != 0) {
            ++config.number;
        }
    }
    if (used.count(config.number) != 0) {
        throw std::logic_error("fake device number already in use");
    }
    Device device;
    device.path = "/dev/video" + std::to_string(config.number);
    if (config.busInfo.empty()) {
        config.busInfo = "fake:" + device.path;
    }
    device.added = config;
    device.config = std::move(config);
    devices_.push_back(std::move(device));
    return static_cast<int>(devices_.size()) - 1;
}

std::string FakeV4L2::PathOf(int device) const {
    std::lock_guard lock(mutex_);
    return devices_.at(device).path;
}

void FakeV4L2::SetListError(int errorNumber) {
    std::lock_guard lock(mutex_);
    listError_ = errorNumber;
}

bool FakeV4L2::PushFrame(int id, const std::vector<std::uint8_t>& bytes, std::uint32_t flags,
                         std::optional<std::uint32_t> bytesUsed) {
    std::lock_guard lock(mutex_);
    Device& device = devices_.at(id);
    if (!device.streaming || device.lost || device.fatal || device.stalled ||
        device.queued.empty()) {
        return false;
    }
    const std::uint32_t index = device.queued.front();
    device.queued.pop_front();
    Buffer& buffer = device.buffers[index];
    const std::size_t copied = std::min(bytes.size(), buffer.memory.size());
    std::copy_n(bytes.begin(), copied, buffer.memory.begin());
    buffer.bytesUsed = bytesUsed.value_or(static_cast<std::uint32_t>(copied));
    buffer.flags = flags;
    buffer.sequence = device.sequence++;
    buffer.timestamp = device.timestamp.value_or(
        timeval{.tv_sec = buffer.sequence / 30, .tv_usec = (buffer.sequence % 30) * 33333});
    buffer.state = BufferState::Done;
    device.done.push_back(index);
    SignalLocked(id);
    changed_.notify_all();
    return true;
}

void FakeV4L2::SetFrameTimestamp(int id, timeval timestamp) {
    std::lock_guard lock(mutex_);
    devices_.at(id).timestamp = timestamp;
}

bool FakeV4L2::PushFrameWhenReady(int device, const std::vector<std::uint8_t>& bytes,
                                  std::uint32_t flags, std::optional<std::uint32_t> bytesUsed,
                                  std::chrono::milliseconds timeout) {
    return WaitForQueued(device, 1, timeout) && PushFrame(device, bytes, flags, bytesUsed);
}

bool FakeV4L2::WaitForQueued(int id, int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const Device& device = devices_.at(id);
        return device.streaming && static_cast<int>(device.queued.size()) >= count;
    });
}

void FakeV4L2::LoseDevice(int id) {
    std::lock_guard lock(mutex_);
    devices_.at(id).lost = true;
    SignalLocked(id);
    changed_.notify_all();
}

void FakeV4L2::UnplugDevice(int id) {
    std::lock_guard lock(mutex_);
    Device& device = devices_.at(id);
    device.lost = true;
    device.unplugged = true;
    SignalLocked(id);
    changed_.notify_all();
}

int FakeV4L2::ReturnDevice(int id, int number) {
    std::lock_guard lock(mutex_);
    if (!devices_.at(id).unplugged) {
        throw std::logic_error("only an unplugged fake device can return");
    }
    FakeDeviceConfig config = devices_[id].added;
    if (number >= 0) {
        config.number = number;
    }
    const int returned = AddDeviceLocked(std::move(config));
    changed_.notify_all();
    return returned;
}

void FakeV4L2::SetFatalStreamError(int id) {
    std::lock_guard lock(mutex_);
    devices_.at(id).fatal = true;
    SignalLocked(id);
    changed_.notify_all();
}

void FakeV4L2::SetStalled(int id, bool stalled) {
    std::lock_guard lock(mutex_);
    devices_.at(id).stalled = stalled;
}

void FakeV4L2::FailIoctl(int id, unsigned long request, int errorNumber, int times) {
    std::lock_guard lock(mutex_);
    devices_.at(id).failures[request] = Failure{errorNumber, times};
}

void FakeV4L2::FailPoll(int errorNumber, int times) {
    std::lock_guard lock(mutex_);
    pollFailure_ = Failure{errorNumber, times};
}

int FakeV4L2::OpenFds() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(files_.size());
}

int FakeV4L2::MappedBuffers() const {
    std::lock_guard lock(mutex_);
    int mapped = 0;
    for (const Device& d : devices_) {
        for (const Buffer& b : d.buffers) {
            mapped += b.mappings;
        }
    }
    return mapped;
}

bool FakeV4L2::Streaming(int id) const {
    std::lock_guard lock(mutex_);
    return devices_.at(id).streaming;
}

int FakeV4L2::QueuedBuffers(int id) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(devices_.at(id).queued.size());
}

int FakeV4L2::BufferCount(int id) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(devices_.at(id).buffers.size());
}

std::uint32_t FakeV4L2::BufferLength(int id) const {
    std::lock_guard lock(mutex_);
    const Device& d = devices_.at(id);
    return d.buffers.empty() ? 0 : static_cast<std::uint32_t>(d.buffers[0].memory.size());
}

std::uint64_t FakeV4L2::PollCalls() const {
    std::lock_guard lock(mutex_);
    return pollCalls_;
}

std::uint64_t FakeV4L2::IoctlCalls(int id, unsigned long request) const {
    std::lock_guard lock(mutex_);
    const auto& calls = devices_.at(id).ioctlCalls;
    const auto it = calls.find(request);
    return it == calls.end() ? 0 : it->second;
}

int FakeV4L2::OpenCalls(int id) const {
    std::lock_guard lock(mutex_);
    return devices_.at(id).openCalls;
}

int FakeV4L2::ListDeviceNodes(std::vector<std::string>& paths) {
    std::lock_guard lock(mutex_);
    paths.clear();
    if (listError_ != 0) {
        return -listError_;
    }
    // Directory order is arbitrary; hand the nodes out backwards so the
    // caller has to sort them.
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (!it->unplugged) {
            paths.push_back(it->path);
        }
    }
    return 0;
}

int FakeV4L2::Open(const std::string& path, int /*flags*/) {
    std::lock_guard lock(mutex_);
    for (std::size_t id = 0; id < devices_.size(); ++id) {
        Device& device = devices_[id];
        if (device.path != path || device.unplugged) {
            continue;
        }
        ++device.openCalls;
        if (device.lost) {
            return -ENODEV;
        }
        if (device.config.openError != 0) {
            return -device.config.openError;
        }
        const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) {
            return -errno;
        }
        files_[fd] = static_cast<int>(id);
        return fd;
    }
    return -ENOENT;
}

int FakeV4L2::Close(int fd) {
    std::lock_guard lock(mutex_);
    const auto it = files_.find(fd);
    if (it == files_.end()) {
        return -EBADF;
    }
    Device& device = devices_[it->second];
    if (device.owner == fd) {
        // Like the kernel: the last close stops streaming and releases the
        // queue; mapped memory stays until it is unmapped.
        StopStreamingLocked(device);
        device.owner = -1;
        FreeBuffersIfUnusedLocked(device);
    }
    files_.erase(it);
    ::close(fd);
    changed_.notify_all();
    return 0;
}

int FakeV4L2::Ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard lock(mutex_);
    const auto it = files_.find(fd);
    if (it == files_.end()) {
        return -EBADF;
    }
    Device& device = devices_[it->second];
    ++device.ioctlCalls[request];
    if (device.lost) {
        return -ENODEV;
    }
    if (auto f = device.failures.find(request); f != device.failures.end() && f->second.times > 0) {
        --f->second.times;
        return -f->second.errorNumber;
    }
    const int r = IoctlLocked(device, fd, request, arg);
    changed_.notify_all();
    return r;
}

int FakeV4L2::IoctlLocked(Device& device, int fd, unsigned long request, void* arg) {
    const bool isCapture = (device.config.deviceCaps & V4L2_CAP_VIDEO_CAPTURE) != 0;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            if (device.config.querycapError != 0) {
                return -device.config.querycapError;
            }
            auto* cap = static_cast<v4l2_capability*>(arg);
            *cap = v4l2_capability{};
            std::strncpy(reinterpret_cast<char*>(cap->driver), "fake", sizeof cap->driver);
            // A name of 32 bytes or more fills the field with no terminator.
            std::memcpy(cap->card, device.config.card.data(),
                        std::min(device.config.card.size(), sizeof cap->card));
            std::memcpy(cap->bus_info, device.config.busInfo.data(),
                        std::min(device.config.busInfo.size(), sizeof cap->bus_info));
            cap->version = 0x060100;
            cap->device_caps = device.config.deviceCaps;
            cap->capabilities = device.config.deviceCaps | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_G_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (!isCapture || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                return -EINVAL;
            }
            f->fmt.pix = v4l2_pix_format{};
            f->fmt.pix.width = device.config.format.width;
            f->fmt.pix.height = device.config.format.height;
            f->fmt.pix.pixelformat = device.config.format.pixelFormat;
            f->fmt.pix.field = V4L2_FIELD_NONE;
            f->fmt.pix.bytesperline = device.config.format.bytesPerLine;
            f->fmt.pix.sizeimage = device.config.format.sizeImage;
            f->fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
            return 0;
        }
        case VIDIOC_S_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (!isCapture || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                return -EINVAL;
            }
            if (!device.buffers.empty()) {
                return -EBUSY;
            }
            if (const int r = SetFormatLocked(device, *f); r < 0) {
                return r;
            }
            return IoctlLocked(device, fd, VIDIOC_G_FMT, arg);
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (!isCapture || p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                return -EINVAL;
            }
            return FrameIntervalLocked(device, request, *p);
        }
        case VIDIOC_ENUM_FMT:
        case VIDIOC_ENUM_FRAMESIZES:
        case VIDIOC_ENUM_FRAMEINTERVALS:
            if (!isCapture) {
                return -EINVAL;
            }
            return EnumerateLocked(device, request, arg);
        case VIDIOC_REQBUFS: {
            auto* r = static_cast<v4l2_requestbuffers*>(arg);
            if (!isCapture || r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
                r->memory != V4L2_MEMORY_MMAP) {
                return -EINVAL;
            }
            if (device.owner >= 0 && device.owner != fd) {
                return -EBUSY;
            }
            if (device.streaming) {
                return -EBUSY;
            }
            for (const Buffer& b : device.buffers) {
                if (b.mappings > 0) {
                    return -EBUSY;
                }
            }
            device.buffers.clear();
            device.queued.clear();
            device.done.clear();
            device.owner = -1;
            r->count = std::min(r->count, device.config.maxBuffers);
            if (r->count == 0) {
                return 0;
            }
            device.buffers.resize(r->count);
            for (Buffer& b : device.buffers) {
                b.memory.assign(device.config.format.sizeImage, 0);
            }
            device.owner = fd;
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP) {
                return -EINVAL;
            }
            if (device.owner != fd) {
                return -EBUSY;
            }
            if (request == VIDIOC_DQBUF) {
                if (device.fatal) {
                    return -EIO;
                }
                if (!device.streaming) {
                    return -EINVAL;
                }
                if (device.done.empty()) {
                    return -EAGAIN;
                }
                b->index = device.done.front();
                device.done.pop_front();
            } else if (b->index >= device.buffers.size()) {
                return -EINVAL;
            }
            Buffer& buffer = device.buffers[b->index];
            if (request == VIDIOC_QBUF) {
                if (buffer.state != BufferState::Dequeued) {
                    return -EINVAL;
                }
                buffer.state = BufferState::Queued;
                device.queued.push_back(b->index);
                return 0;
            }
            if (request == VIDIOC_DQBUF) {
                buffer.state = BufferState::Dequeued;
                b->bytesused = buffer.bytesUsed;
                b->flags = buffer.flags | V4L2_BUF_FLAG_MAPPED;
                b->sequence = buffer.sequence;
                b->field = V4L2_FIELD_NONE;
                b->timestamp = buffer.timestamp;
            } else {
                b->bytesused = 0;
                b->flags = buffer.mappings > 0 ? V4L2_BUF_FLAG_MAPPED : 0;
            }
            b->length = static_cast<std::uint32_t>(buffer.memory.size());
            b->m.offset = b->index * kOffsetStep;
            return 0;
        }
        case VIDIOC_STREAMON: {
            if (device.owner != fd || device.buffers.empty()) {
                return -EINVAL;
            }
            device.streaming = true;
            return 0;
        }
        case VIDIOC_STREAMOFF: {
            if (device.owner != fd) {
                return -EINVAL;
            }
            StopStreamingLocked(device);
            return 0;
        }
        default:
            return ControlIoctlLocked(device, request, arg);
    }
}

int FakeV4L2::Mmap(int fd, std::size_t length, off_t offset, void** address) {
    std::lock_guard lock(mutex_);
    const auto it = files_.find(fd);
    if (it == files_.end()) {
        return -EBADF;
    }
    Device& device = devices_[it->second];
    if (device.lost) {
        return -ENODEV;
    }
    const auto index = static_cast<std::size_t>(offset / kOffsetStep);
    if (offset % kOffsetStep != 0 || index >= device.buffers.size() ||
        length != device.buffers[index].memory.size()) {
        return -EINVAL;
    }
    ++device.buffers[index].mappings;
    *address = device.buffers[index].memory.data();
    return 0;
}

int FakeV4L2::Munmap(void* address, std::size_t length) {
    std::lock_guard lock(mutex_);
    for (Device& device : devices_) {
        for (Buffer& b : device.buffers) {
            if (b.mappings > 0 && b.memory.data() == address && b.memory.size() == length) {
                --b.mappings;
                FreeBuffersIfUnusedLocked(device);
                return 0;
            }
        }
    }
    return -EINVAL;
}

short FakeV4L2::EventsLocked(int fd) const {
    const Device& device = devices_[files_.at(fd)];
    if (device.lost) {
        return POLLERR | POLLHUP;
    }
    // Like videobuf2: an error when the queue cannot produce anything.
    if (device.owner != fd || !device.streaming || device.fatal) {
        return POLLERR;
    }
    return device.done.empty() ? 0 : (POLLIN | POLLRDNORM);
}

int FakeV4L2::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
    {
        std::lock_guard lock(mutex_);
        ++pollCalls_;
        if (pollFailure_.times > 0) {
            --pollFailure_.times;
            return -pollFailure_.errorNumber;
        }
    }
    std::vector<pollfd> real(fds, fds + count);
    std::vector<bool> fake(count, false);
    for (;;) {
        int ready = 0;
        {
            std::lock_guard lock(mutex_);
            for (nfds_t i = 0; i < count; ++i) {
                fake[i] = files_.count(fds[i].fd) != 0;
                fds[i].revents = 0;
                if (!fake[i]) {
                    continue;
                }
                fds[i].revents = static_cast<short>(EventsLocked(fds[i].fd) &
                                                    (fds[i].events | POLLERR | POLLHUP));
                if (fds[i].revents != 0) {
                    ++ready;
                } else {
                    // Nothing to report: consume old signals so that the wait
                    // below sleeps until the next change.
                    std::uint64_t value;
                    while (::read(fds[i].fd, &value, sizeof value) > 0) {
                    }
                }
            }
        }
        for (nfds_t i = 0; i < count; ++i) {
            real[i] = pollfd{fds[i].fd, fake[i] ? static_cast<short>(POLLIN) : fds[i].events, 0};
        }
        const int r = ::poll(real.data(), count, ready > 0 ? 0 : timeoutMs);
        if (r < 0) {
            return -errno;
        }
        int total = 0;
        for (nfds_t i = 0; i < count; ++i) {
            if (!fake[i]) {
                fds[i].revents = real[i].revents;
            }
            total += fds[i].revents != 0 ? 1 : 0;
        }
        if (total > 0 || (r == 0 && timeoutMs >= 0)) {
            return total;
        }
        // A fake device was signalled: look at it again.
    }
}

namespace {

const FakeOffer* OfferOf(const FakeDeviceConfig& config, std::uint32_t pixelFormat) {
    for (const FakeOffer& offer : config.offers) {
        if (offer.pixelFormat == pixelFormat) {
            return &offer;
        }
    }
    return nullptr;
}

std::uint32_t Snap(std::uint32_t value, std::uint32_t low, std::uint32_t high, std::uint32_t step) {
    const std::uint32_t clamped = std::clamp(value, low, high);
    const std::uint32_t steps = (clamped - low + std::max(step, 1u) / 2) / std::max(step, 1u);
    return std::min(low + steps * std::max(step, 1u), high);
}

bool OffersSize(const FakeOffer& offer, std::uint32_t width, std::uint32_t height) {
    if (offer.range) {
        const v4l2_frmsize_stepwise& r = *offer.range;
        return width >= r.min_width && width <= r.max_width && height >= r.min_height &&
               height <= r.max_height;
    }
    return std::find(offer.sizes.begin(), offer.sizes.end(), std::pair{width, height}) !=
           offer.sizes.end();
}

}  // namespace

int FakeV4L2::SetFormatLocked(Device& device, v4l2_format& format) {
    FakeDeviceConfig& config = device.config;
    std::uint32_t pixelFormat = format.fmt.pix.pixelformat;
    std::uint32_t width = format.fmt.pix.width;
    std::uint32_t height = format.fmt.pix.height;
    if (!config.offers.empty()) {
        const FakeOffer* offer = OfferOf(config, pixelFormat);
        if (offer == nullptr) {
            offer = &config.offers.front();
            pixelFormat = offer->pixelFormat;
        }
        if (offer->range) {
            const v4l2_frmsize_stepwise& r = *offer->range;
            width = Snap(width, r.min_width, r.max_width, r.step_width);
            height = Snap(height, r.min_height, r.max_height, r.step_height);
        } else if (!offer->sizes.empty()) {
            const auto distance = [&](const std::pair<std::uint32_t, std::uint32_t>& size) {
                return std::abs(static_cast<std::int64_t>(size.first) - width) +
                       std::abs(static_cast<std::int64_t>(size.second) - height);
            };
            const auto nearest = std::min_element(
                offer->sizes.begin(), offer->sizes.end(),
                [&](const auto& a, const auto& b) { return distance(a) < distance(b); });
            width = nearest->first;
            height = nearest->second;
        }
    }
    const FakeFormat made = MakeFormat(pixelFormat, width, height, config.rowPadding);
    v4l2_pix_format pix{};
    pix.pixelformat = made.pixelFormat;
    pix.width = made.width;
    pix.height = made.height;
    pix.bytesperline = made.bytesPerLine;
    pix.sizeimage = made.sizeImage;
    if (config.adjustFormat) {
        config.adjustFormat(pix);
    }
    config.format = {pix.pixelformat, pix.width, pix.height, pix.bytesperline, pix.sizeimage};
    return 0;
}

int FakeV4L2::FrameIntervalLocked(Device& device, unsigned long request, v4l2_streamparm& parm) {
    FakeDeviceConfig& config = device.config;
    if (config.interval.numerator == 0 || config.interval.denominator == 0) {
        return -ENOTTY;
    }
    v4l2_fract wanted = parm.parm.capture.timeperframe;
    parm.parm.capture = v4l2_captureparm{};
    parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    if (request == VIDIOC_S_PARM && wanted.numerator != 0 && wanted.denominator != 0) {
        const FakeOffer* offer = OfferOf(config, config.format.pixelFormat);
        if (offer != nullptr && !offer->intervals.empty()) {
            const auto rate = [](const v4l2_fract& f) {
                return static_cast<double>(f.denominator) / f.numerator;
            };
            wanted = *std::min_element(offer->intervals.begin(), offer->intervals.end(),
                                       [&](const v4l2_fract& a, const v4l2_fract& b) {
                                           return std::abs(rate(a) - rate(wanted)) <
                                                  std::abs(rate(b) - rate(wanted));
                                       });
        }
        if (config.adjustInterval) {
            config.adjustInterval(wanted);
        }
        config.interval = wanted;
    }
    parm.parm.capture.timeperframe = config.interval;
    return 0;
}

int FakeV4L2::EnumerateLocked(const Device& device, unsigned long request, void* arg) const {
    const FakeDeviceConfig& config = device.config;
    if (request == VIDIOC_ENUM_FMT) {
        auto* d = static_cast<v4l2_fmtdesc*>(arg);
        if (d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || d->index >= config.offers.size()) {
            return -EINVAL;
        }
        const std::uint32_t index = d->index;
        *d = v4l2_fmtdesc{};
        d->index = index;
        d->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        d->pixelformat = config.offers[index].pixelFormat;
        const bool compressed = d->pixelformat == V4L2_PIX_FMT_MJPEG;
        d->flags = compressed ? V4L2_FMT_FLAG_COMPRESSED : 0;
        std::strncpy(reinterpret_cast<char*>(d->description),
                     compressed ? "Motion-JPEG" : "Fake raw format", sizeof d->description - 1);
        return 0;
    }
    if (request == VIDIOC_ENUM_FRAMESIZES) {
        auto* e = static_cast<v4l2_frmsizeenum*>(arg);
        const FakeOffer* offer = OfferOf(config, e->pixel_format);
        if (offer == nullptr) {
            return -EINVAL;
        }
        if (offer->range) {
            if (e->index != 0) {
                return -EINVAL;
            }
            e->type = V4L2_FRMSIZE_TYPE_STEPWISE;
            e->stepwise = *offer->range;
            return 0;
        }
        if (e->index >= offer->sizes.size()) {
            return -EINVAL;
        }
        e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        e->discrete = {offer->sizes[e->index].first, offer->sizes[e->index].second};
        return 0;
    }
    auto* e = static_cast<v4l2_frmivalenum*>(arg);
    const FakeOffer* offer = OfferOf(config, e->pixel_format);
    if (offer == nullptr || !OffersSize(*offer, e->width, e->height) ||
        e->index >= offer->intervals.size()) {
        return -EINVAL;
    }
    e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    e->discrete = offer->intervals[e->index];
    return 0;
}

void FakeV4L2::SignalLocked(int id) {
    for (const auto& [fd, device] : files_) {
        if (device == id) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
        }
    }
}

void FakeV4L2::StopStreamingLocked(Device& device) {
    device.streaming = false;
    device.queued.clear();
    device.done.clear();
    for (Buffer& b : device.buffers) {
        b.state = BufferState::Dequeued;
    }
}

void FakeV4L2::FreeBuffersIfUnusedLocked(Device& device) {
    if (device.owner >= 0) {
        return;
    }
    for (const Buffer& b : device.buffers) {
        if (b.mappings > 0) {
            return;
        }
    }
    device.buffers.clear();
}

// ---- Controls ----------------------------------------------------------

std::vector<FakeControl> VividLikeControls() {
    const auto make = [](std::uint32_t id, const char* name, std::uint32_t type, std::int64_t low,
                         std::int64_t high, std::int64_t fallback, std::uint32_t flags = 0) {
        FakeControl c;
        c.id = id;
        c.name = name;
        c.type = type;
        c.minimum = low;
        c.maximum = high;
        c.defaultValue = c.value = fallback;
        c.flags = flags;
        return c;
    };
    const auto slider = [&](std::uint32_t id, const char* name, std::int64_t low, std::int64_t high,
                            std::int64_t fallback) {
        return make(id, name, V4L2_CTRL_TYPE_INTEGER, low, high, fallback, V4L2_CTRL_FLAG_SLIDER);
    };
    constexpr std::uint32_t kClassFlags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    FakeControl integerMenu =
        make(V4L2_CID_USER_BASE + 0x1000, "Integer Menu", V4L2_CTRL_TYPE_INTEGER_MENU, 0, 2, 1);
    integerMenu.integerMenu = {1, 100, 1000000000000};
    FakeControl exposureAuto = make(V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", V4L2_CTRL_TYPE_MENU, 0,
                                    3, V4L2_EXPOSURE_APERTURE_PRIORITY);
    exposureAuto.menu = {"", "Manual Mode", "", "Aperture Priority Mode"};
    FakeControl exposure = make(V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute",
                                V4L2_CTRL_TYPE_INTEGER, 3, 2047, 250);
    exposure.unlockedBy = V4L2_CID_EXPOSURE_AUTO;
    exposure.unlockValue = V4L2_EXPOSURE_MANUAL;
    FakeControl focusStart =
        make(V4L2_CID_AUTO_FOCUS_START, "Auto Focus, Start", V4L2_CTRL_TYPE_BUTTON, 0, 0, 0,
             V4L2_CTRL_FLAG_WRITE_ONLY | V4L2_CTRL_FLAG_EXECUTE_ON_WRITE);
    focusStart.step = 0;
    return {
        make(V4L2_CID_USER_CLASS, "User Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, kClassFlags),
        slider(V4L2_CID_BRIGHTNESS, "Brightness", 0, 255, 128),
        slider(V4L2_CID_CONTRAST, "Contrast", 0, 255, 128),
        slider(V4L2_CID_SATURATION, "Saturation", 0, 255, 128),
        slider(V4L2_CID_HUE, "Hue", -128, 127, 0),
        make(V4L2_CID_GAMMA, "Gamma", V4L2_CTRL_TYPE_INTEGER, 0, 255, 100, V4L2_CTRL_FLAG_DISABLED),
        integerMenu,
        make(V4L2_CID_CAMERA_CLASS, "Camera Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0,
             kClassFlags),
        exposureAuto,
        exposure,
        make(V4L2_CID_FOCUS_AUTO, "Focus, Automatic Continuous", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1),
        focusStart,
    };
}

namespace {

FakeControl* ControlOf(std::vector<FakeControl>& controls, std::uint32_t id) {
    for (FakeControl& c : controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

// The control a query names: the one with that id, or with NEXT flags the
// first one after it.
const FakeControl* QueriedControl(const std::vector<FakeControl>& controls, std::uint32_t id) {
    const std::uint32_t nextFlags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    const std::uint32_t bare = id & ~nextFlags;
    for (const FakeControl& c : controls) {
        if ((id & nextFlags) != 0 ? c.id > bare : c.id == bare) {
            return &c;
        }
    }
    return nullptr;
}

bool Locked(const std::vector<FakeControl>& controls, const FakeControl& c) {
    if (c.unlockedBy == 0) {
        return false;
    }
    for (const FakeControl& other : controls) {
        if (other.id == c.unlockedBy) {
            return other.value != c.unlockValue;
        }
    }
    return false;
}

std::uint32_t FlagsOf(const std::vector<FakeControl>& controls, const FakeControl& c) {
    return c.flags | (Locked(controls, c) ? V4L2_CTRL_FLAG_INACTIVE : 0);
}

bool IsMenu(const FakeControl& c) {
    return c.type == V4L2_CTRL_TYPE_MENU || c.type == V4L2_CTRL_TYPE_INTEGER_MENU;
}

bool HasMenuItem(const FakeControl& c, std::int64_t index) {
    if (c.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
        return index >= 0 && index < static_cast<std::int64_t>(c.integerMenu.size());
    }
    return index >= 0 && index < static_cast<std::int64_t>(c.menu.size()) && !c.menu[index].empty();
}

}  // namespace

std::vector<std::pair<std::uint32_t, std::int64_t>> FakeV4L2::ControlWrites(int id) const {
    std::lock_guard lock(mutex_);
    return devices_.at(id).controlWrites;
}

std::optional<std::int64_t> FakeV4L2::ControlValue(int id, std::uint32_t control) const {
    std::lock_guard lock(mutex_);
    for (const FakeControl& c : devices_.at(id).config.controls) {
        if (c.id == control) {
            return c.value;
        }
    }
    return std::nullopt;
}

void FakeV4L2::RefuseControl(int id, std::uint32_t control, int errorNumber) {
    std::lock_guard lock(mutex_);
    devices_.at(id).controlRefusals[control] = errorNumber;
}

int FakeV4L2::GetControlLocked(const Device& device, std::uint32_t id, std::int64_t& value) const {
    for (const FakeControl& c : device.config.controls) {
        if (c.id != id || c.type == V4L2_CTRL_TYPE_CTRL_CLASS ||
            (c.flags & V4L2_CTRL_FLAG_DISABLED) != 0) {
            continue;
        }
        if ((c.flags & V4L2_CTRL_FLAG_WRITE_ONLY) != 0) {
            return -EACCES;
        }
        value = c.value;
        return 0;
    }
    return -EINVAL;
}

int FakeV4L2::SetControlLocked(Device& device, std::uint32_t id, std::int64_t value) {
    std::vector<FakeControl>& controls = device.config.controls;
    FakeControl* c = ControlOf(controls, id);
    if (c == nullptr || c->type == V4L2_CTRL_TYPE_CTRL_CLASS ||
        (c->flags & V4L2_CTRL_FLAG_DISABLED) != 0) {
        return -EINVAL;
    }
    if (const auto refusal = device.controlRefusals.find(id);
        refusal != device.controlRefusals.end()) {
        const int errorNumber = refusal->second;
        device.controlRefusals.erase(refusal);
        return -errorNumber;
    }
    if ((c->flags & V4L2_CTRL_FLAG_READ_ONLY) != 0 || Locked(controls, *c)) {
        return -EACCES;
    }
    if (IsMenu(*c) && !HasMenuItem(*c, value)) {
        return -EINVAL;
    }
    // Like the kernel's control core: integers are clamped, booleans made 0/1.
    if (c->type == V4L2_CTRL_TYPE_INTEGER || c->type == V4L2_CTRL_TYPE_INTEGER64) {
        value = std::clamp(value, c->minimum, c->maximum);
    } else if (c->type == V4L2_CTRL_TYPE_BOOLEAN) {
        value = value != 0 ? 1 : 0;
    }
    if (c->type != V4L2_CTRL_TYPE_BUTTON) {
        c->value = value;
    }
    device.controlWrites.emplace_back(id, value);
    return 0;
}

int FakeV4L2::ExtendedControlsLocked(Device& device, unsigned long request,
                                     v4l2_ext_controls& list) {
    if (list.which != V4L2_CTRL_WHICH_CUR_VAL) {
        return -EINVAL;
    }
    for (std::uint32_t i = 0; i < list.count; ++i) {
        v4l2_ext_control& c = list.controls[i];
        const FakeControl* control = ControlOf(device.config.controls, c.id);
        const bool is64 = control != nullptr && control->type == V4L2_CTRL_TYPE_INTEGER64;
        std::int64_t value = is64 ? c.value64 : c.value;
        const int r = request == VIDIOC_G_EXT_CTRLS ? GetControlLocked(device, c.id, value)
                                                    : SetControlLocked(device, c.id, value);
        if (r < 0) {
            list.error_idx = i;
            return r;
        }
        if (request == VIDIOC_G_EXT_CTRLS) {
            if (is64) {
                c.value64 = value;
            } else {
                c.value = static_cast<std::int32_t>(value);
            }
        }
    }
    return 0;
}

int FakeV4L2::ControlIoctlLocked(Device& device, unsigned long request, void* arg) {
    const std::vector<FakeControl>& controls = device.config.controls;
    const bool extended = device.config.extendedControls;
    switch (request) {
        case VIDIOC_QUERY_EXT_CTRL: {
            auto* q = static_cast<v4l2_query_ext_ctrl*>(arg);
            const FakeControl* c = extended ? QueriedControl(controls, q->id) : nullptr;
            if (c == nullptr) {
                return extended ? -EINVAL : -ENOTTY;
            }
            *q = v4l2_query_ext_ctrl{};
            q->id = c->id;
            q->type = c->type;
            std::strncpy(q->name, c->name.c_str(), sizeof q->name - 1);
            q->minimum = c->minimum;
            q->maximum = c->maximum;
            q->step = c->step;
            q->default_value = c->defaultValue;
            q->flags = FlagsOf(controls, *c);
            q->elem_size = c->type == V4L2_CTRL_TYPE_INTEGER64 ? 8 : 4;
            q->elems = 1;
            return 0;
        }
        case VIDIOC_QUERYCTRL: {
            auto* q = static_cast<v4l2_queryctrl*>(arg);
            const FakeControl* c = QueriedControl(controls, q->id & ~V4L2_CTRL_FLAG_NEXT_COMPOUND);
            if (c == nullptr) {
                return -EINVAL;
            }
            *q = v4l2_queryctrl{};
            q->id = c->id;
            q->type = c->type;
            std::strncpy(reinterpret_cast<char*>(q->name), c->name.c_str(), sizeof q->name - 1);
            q->minimum = static_cast<std::int32_t>(c->minimum);
            q->maximum = static_cast<std::int32_t>(c->maximum);
            q->step = static_cast<std::int32_t>(c->step);
            q->default_value = static_cast<std::int32_t>(c->defaultValue);
            q->flags = FlagsOf(controls, *c);
            return 0;
        }
        case VIDIOC_QUERYMENU: {
            auto* m = static_cast<v4l2_querymenu*>(arg);
            const FakeControl* c = QueriedControl(controls, m->id);
            if (c == nullptr || !IsMenu(*c) || !HasMenuItem(*c, m->index)) {
                return -EINVAL;
            }
            if (c->type == V4L2_CTRL_TYPE_INTEGER_MENU) {
                m->value = c->integerMenu[m->index];
            } else {
                std::strncpy(reinterpret_cast<char*>(m->name), c->menu[m->index].c_str(),
                             sizeof m->name - 1);
            }
            return 0;
        }
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
            if (!extended) {
                return -ENOTTY;
            }
            return ExtendedControlsLocked(device, request, *static_cast<v4l2_ext_controls*>(arg));
        case VIDIOC_G_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            std::int64_t value = 0;
            const int r = GetControlLocked(device, c->id, value);
            c->value = static_cast<std::int32_t>(value);
            return r;
        }
        case VIDIOC_S_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            return SetControlLocked(device, c->id, c->value);
        }
        default:
            return -ENOTTY;
    }
}

}  // namespace vistrel::test
