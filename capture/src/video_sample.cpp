// SPDX-License-Identifier: MIT
#include "capture/video_sample.h"

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "capture/capture_time.h"
#include "capture/fourcc.h"
#include "device_walk.h"
#include "format_setup.h"
#include "logging.h"

namespace vistrel {
namespace {

// Enough to ride out a routine that is slow now and then at 30 frames a
// second; drivers may grant fewer or more.
constexpr std::uint32_t kBufferCount = 4;
// Failed dequeues in a row (other than "nothing ready") after which the
// stream counts as broken. Keeps a driver that keeps failing from spinning
// the capture thread, while tolerating a driver's occasional hiccup.
constexpr int kMaxConsecutiveErrors = 8;

// The capture thread's wake-up eventfd: our own descriptor, not a device,
// so it closes with close(2).
UniqueFd MakeWakeFd(TStatus& status) {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    status = kStatusOk;
    if (fd < 0) {
        const int error = errno;
        status = StatusFromErrno(error);
        qCInfo(lcCapture, "eventfd for the capture thread: %s", ErrnoText(error).c_str());
    }
    return UniqueFd(fd);
}

// One driver buffer mapped into our address space; unmapped through the seam.
class MappedBuffer {
public:
    MappedBuffer(V4L2Io& io, void* address, std::size_t length)
        : io_(&io), address_(address), length_(length) {}
    MappedBuffer(MappedBuffer&& other) noexcept
        : io_(other.io_),
          address_(std::exchange(other.address_, nullptr)),
          length_(std::exchange(other.length_, 0)) {}
    MappedBuffer& operator=(MappedBuffer&&) = delete;
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    ~MappedBuffer() {
        if (address_ != nullptr) {
            if (const int r = io_->Munmap(address_, length_); r < 0) {
                qCInfo(lcCapture, "munmap of a driver buffer: %s", ErrnoText(-r).c_str());
            }
        }
    }

    const std::uint8_t* Data() const { return static_cast<const std::uint8_t*>(address_); }
    std::size_t Length() const { return length_; }

private:
    V4L2Io* io_;
    void* address_;
    std::size_t length_;
};

}  // namespace

// The open device, its buffers and the capture thread. Shared between the
// TVideoSample and the running thread, so that a TVideoSample destroyed from
// inside a delivery (on the capture thread itself) leaves the engine alive
// until the thread has returned.
class TVideoSample::Engine {
public:
    Engine(std::shared_ptr<V4L2Io> io, std::string path, UniqueFd device, UniqueFd wake,
           std::shared_ptr<TSampleGrabberCB> callback, TDeviceLostRoutine onLost)
        : io_(std::move(io)),
          path_(std::move(path)),
          device_(std::move(device)),
          wake_(std::move(wake)),
          callback_(std::move(callback)),
          onLost_(std::move(onLost)) {}

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    ~Engine() {
        // The thread is gone (joined or, on the capture thread, finishing
        // this very destruction), so nothing touches the buffers any more.
        if (streaming_) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            Check("VIDIOC_STREAMOFF", Xioctl(*io_, device_.Get(), VIDIOC_STREAMOFF, &type));
        }
        buffers_.clear();
        if (buffersRequested_) {
            v4l2_requestbuffers release{};
            release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            release.memory = V4L2_MEMORY_MMAP;
            release.count = 0;
            Check("VIDIOC_REQBUFS", Xioctl(*io_, device_.Get(), VIDIOC_REQBUFS, &release));
        }
    }

    // Applies the request (none: the device's current format is taken as it
    // is), maps the buffers, queues them and starts streaming. Whatever
    // succeeded stays until destruction.
    TStatus Setup(const TFormatRequest& wanted) {
        if (const TStatus s = ApplyFormatRequest(*io_, device_.Get(), path_, wanted); Failed(s)) {
            return s;
        }
        if (const TStatus s = QueryFormat(format_); Failed(s)) {
            return s;
        }
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        request.count = kBufferCount;
        if (const int r = Xioctl(*io_, device_.Get(), VIDIOC_REQBUFS, &request); r < 0) {
            return Failure("VIDIOC_REQBUFS", r);
        }
        buffersRequested_ = true;
        if (request.count == 0) {
            qCInfo(lcCapture, "VIDIOC_REQBUFS on %s granted no buffers", path_.c_str());
            return kStatusFail;  // nothing to capture into
        }
        buffers_.reserve(request.count);
        for (std::uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buffer = EmptyBuffer(i);
            if (const int r = Xioctl(*io_, device_.Get(), VIDIOC_QUERYBUF, &buffer); r < 0) {
                return Failure("VIDIOC_QUERYBUF", r);
            }
            void* address = nullptr;
            if (const int r = io_->Mmap(device_.Get(), buffer.length, buffer.m.offset, &address);
                r < 0) {
                return Failure("mmap", r);
            }
            buffers_.emplace_back(*io_, address, buffer.length);
        }
        for (std::uint32_t i = 0; i < buffers_.size(); ++i) {
            v4l2_buffer buffer = EmptyBuffer(i);
            if (const int r = Xioctl(*io_, device_.Get(), VIDIOC_QBUF, &buffer); r < 0) {
                return Failure("VIDIOC_QBUF", r);
            }
            ++queued_;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (const int r = Xioctl(*io_, device_.Get(), VIDIOC_STREAMON, &type); r < 0) {
            return Failure("VIDIOC_STREAMON", r);
        }
        streaming_ = true;
        return kStatusOk;
    }

    TStatus QueryFormat(TStreamFormat& format) const {
        return QueryStreamFormat(*io_, device_.Get(), path_, format);
    }

    TStatus ListFormats(TDeviceFormats& formats) const {
        return vistrel::EnumFormats(*io_, device_.Get(), path_, formats);
    }

    void Use(const TDeviceUse& use) const { use(*io_, device_.Get(), path_); }

    const TStreamFormat& Format() const { return format_; }

    void StartThread(const std::shared_ptr<Engine>& self) {
        if (thread_.joinable() || lost_.load()) {
            return;
        }
        // Forget a wake-up left over from the previous stop.
        std::uint64_t count;
        while (::read(wake_.Get(), &count, sizeof count) > 0) {
        }
        stopRequested_.store(false);
        thread_ = std::thread([self] { self->Run(); });
    }

    // Returns once the capture thread has ended, so no sample is being
    // delivered. The thread notices the request at its next poll, or right
    // after the delivery in progress: it never blocks anywhere else, because
    // the device is non-blocking and samples without a routine are dropped.
    // Called on the capture thread itself (the owner destroyed from inside a
    // delivery), it cannot wait for itself: the thread stops after the
    // delivery returns and the engine ends with it.
    void StopThread() {
        if (!thread_.joinable()) {
            return;
        }
        stopRequested_.store(true);
        const std::uint64_t one = 1;
        // A full counter (impossible here) would still leave it readable.
        [[maybe_unused]] const auto written = ::write(wake_.Get(), &one, sizeof one);
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
            return;
        }
        thread_.join();
    }

    bool OnCaptureThread() const { return thread_.get_id() == std::this_thread::get_id(); }
    bool Lost() const { return lost_.load(); }

    TCaptureStats Stats() const {
        TCaptureStats s;
        s.delivered = delivered_.load(std::memory_order_relaxed);
        s.errorBuffers = errorBuffers_.load(std::memory_order_relaxed);
        s.emptyBuffers = emptyBuffers_.load(std::memory_order_relaxed);
        s.requeueFailures = requeueFailures_.load(std::memory_order_relaxed);
        return s;
    }

private:
    // Logs a failed call on the device and gives its errno status; result is
    // the call's -errno.
    TStatus Failure(const char* call, int result) const {
        LogCallFailure(call, path_, -result);
        return StatusFromErrno(-result);
    }
    void Check(const char* call, int result) const {
        if (result < 0) {
            LogCallFailure(call, path_, -result);
        }
    }

    static v4l2_buffer EmptyBuffer(std::uint32_t index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        return buffer;
    }

    void Run() {
        int consecutiveErrors = 0;
        TStatus failure = kStatusOk;
        while (!stopRequested_.load() && Succeeded(failure)) {
            pollfd fds[2] = {{device_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
            // No timeout: a stalled stream simply sleeps here until a frame
            // comes, the device fails, or a stop wakes us.
            const int r = io_->Poll(fds, 2, -1);
            if (r == -EINTR || r == -EAGAIN) {
                continue;
            }
            if (r < 0) {
                failure = Failure("poll", r);
                break;
            }
            if (stopRequested_.load()) {
                break;
            }
            if (fds[1].revents != 0) {
                // A wake-up without a stop request; consume it so poll sleeps again.
                std::uint64_t count;
                while (::read(wake_.Get(), &count, sizeof count) > 0) {
                }
            }
            const short events = fds[0].revents;
            if ((events & POLLNVAL) != 0) {
                failure = Failure("poll (POLLNVAL)", -EBADF);
                break;
            }
            if (events == 0) {
                continue;
            }
            failure = DrainReady((events & (POLLERR | POLLHUP)) != 0, consecutiveErrors);
        }
        if (Failed(failure)) {
            ReportLost(failure);
        }
    }

    // Dequeues, delivers and requeues every buffer that is ready. A failure
    // status ends streaming for good.
    TStatus DrainReady(bool deviceError, int& consecutiveErrors) {
        while (!stopRequested_.load()) {
            v4l2_buffer buffer = EmptyBuffer(0);
            const int r = Xioctl(*io_, device_.Get(), VIDIOC_DQBUF, &buffer);
            if (r == -EAGAIN) {
                // Poll flagged an error and no buffer is ready: the stream is
                // dead (not streaming any more, or nothing left queued).
                if (!deviceError) {
                    return kStatusOk;
                }
                qCInfo(lcCapture, "poll on %s reported an error and no buffer is ready",
                       path_.c_str());
                return StatusFromErrno(EIO);
            }
            if (r < 0) {
                const TStatus status = Failure("VIDIOC_DQBUF", r);
                if (r == -ENODEV || deviceError || ++consecutiveErrors >= kMaxConsecutiveErrors) {
                    return status;
                }
                return kStatusOk;  // back to poll, try again
            }
            consecutiveErrors = 0;
            if (buffer.index >= buffers_.size()) {
                // Not one of ours: nothing to deliver or give back.
                qCInfo(lcCapture, "VIDIOC_DQBUF on %s returned unknown buffer %u", path_.c_str(),
                       buffer.index);
                if (++consecutiveErrors >= kMaxConsecutiveErrors) {
                    return StatusFromErrno(EIO);
                }
                continue;
            }
            --queued_;
            Deliver(buffer);
            if (const TStatus s = Requeue(buffer.index); Failed(s)) {
                return s;
            }
        }
        return kStatusOk;
    }

    void Deliver(const v4l2_buffer& buffer) {
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0) {
            // The driver says the contents are damaged; drop it.
            errorBuffers_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        // The sample is the bytes the driver filled (bytesused), not the whole
        // buffer: a compressed frame fills only part of it, and the rest holds
        // stale bytes of older frames. A driver that reports 0 delivered an
        // empty frame, which is skipped. A bytesused beyond the buffer (a
        // driver bug) is cut to the buffer so we never read past the mapping.
        const MappedBuffer& mapped = buffers_[buffer.index];
        const std::size_t used = std::min<std::size_t>(buffer.bytesused, mapped.Length());
        const auto length = static_cast<std::int32_t>(
            std::min<std::size_t>(used, std::numeric_limits<std::int32_t>::max()));
        if (length == 0) {
            emptyBuffers_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const double time = static_cast<double>(buffer.timestamp.tv_sec) +
                            static_cast<double>(buffer.timestamp.tv_usec) / 1e6;
        delivered_.fetch_add(1, std::memory_order_relaxed);
        callback_->SampleCB(time, TMediaSample{mapped.Data(), length,
                                               CaptureTimeOf(buffer.timestamp, buffer.flags)});
    }

    TStatus Requeue(std::uint32_t index) {
        v4l2_buffer buffer = EmptyBuffer(index);
        const int r = Xioctl(*io_, device_.Get(), VIDIOC_QBUF, &buffer);
        if (r >= 0) {
            ++queued_;
            return kStatusOk;
        }
        requeueFailures_.fetch_add(1, std::memory_order_relaxed);
        LogCallFailure("VIDIOC_QBUF (requeue)", path_, -r);
        // A refused buffer leaves the rotation; streaming goes on with the
        // rest unless the device is gone or none is left.
        if (r == -ENODEV || queued_ == 0) {
            return StatusFromErrno(-r);
        }
        return kStatusOk;
    }

    void ReportLost(TStatus reason) {
        qCInfo(lcCapture, "capture on %s ended: %s", path_.c_str(),
               ErrnoText(ErrnoOfStatus(reason)).c_str());
        lost_.store(true);
        if (!onLost_) {
            return;
        }
        // The handler runs on our thread; an escaping exception would end
        // the process. It runs once per capture, so each one is logged.
        try {
            onLost_(reason);
        } catch (const std::exception& e) {
            ++lostHandlerRaised_;
            qCWarning(lcCapture, "the device-lost handler raised %s (%d times)", e.what(),
                      lostHandlerRaised_);
        } catch (...) {
            ++lostHandlerRaised_;
            qCWarning(lcCapture, "the device-lost handler raised an unknown error (%d times)",
                      lostHandlerRaised_);
        }
    }

    std::shared_ptr<V4L2Io> io_;
    std::string path_;           // the device node, for the log
    int lostHandlerRaised_ = 0;  // capture thread only
    UniqueFd device_;            // closes through io_
    UniqueFd wake_;
    std::shared_ptr<TSampleGrabberCB> callback_;  // the grabber's reference
    TDeviceLostRoutine onLost_;

    TStreamFormat format_;
    std::vector<MappedBuffer> buffers_;
    bool buffersRequested_ = false;
    bool streaming_ = false;
    std::uint32_t queued_ = 0;  // capture thread only, once streaming

    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> lost_{false};
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> errorBuffers_{0};
    std::atomic<std::uint64_t> emptyBuffers_{0};
    std::atomic<std::uint64_t> requeueFailures_{0};
};

TVideoSample::TVideoSample(TDeviceLostRoutine onDeviceLost, TStatus& status,
                           std::shared_ptr<V4L2Io> io)
    : io_(std::move(io)),
      onDeviceLost_(std::move(onDeviceLost)),
      callback_(TSampleGrabberCB::Create()) {
    constructionStatus_ = io_ ? kStatusOk : kStatusFail;
    status = constructionStatus_;
}

TVideoSample::~TVideoSample() {
    if (engine_) {
        engine_->StopThread();
        engine_.reset();
    }
}

TStatus TVideoSample::StartVideo(const std::string& deviceName, std::string& friendlyName,
                                 const TFormatRequest& request) {
    friendlyName.clear();
    if (engine_) {
        engine_->StopThread();
        engine_.reset();
    }
    devicePath_.clear();
    identity_ = {};
    streamingStarted_ = false;
    if (Failed(constructionStatus_)) {
        return constructionStatus_;
    }
    TStatus wakeStatus;
    UniqueFd wake = MakeWakeFd(wakeStatus);
    if (Failed(wakeStatus)) {
        return wakeStatus;
    }

    FoundDevice found;
    if (const TStatus s = FindCaptureDevice(*io_, deviceName, found); Failed(s)) {
        devicePath_ = found.path;  // the node that could not be opened, if any
        return s;
    }
    friendlyName = found.friendlyName;
    const std::string path = found.path;
    UniqueFd device = std::move(found.fd);

    devicePath_ = path;
    identity_ = std::move(found.identity);
    engine_ = std::make_shared<Engine>(io_, path, std::move(device), std::move(wake), callback_,
                                       onDeviceLost_);
    if (const TStatus s = engine_->Setup(request); Failed(s)) {
        return s;  // the half-built engine stays until destruction
    }
    engine_->StartThread(engine_);
    streamingStarted_ = true;
    return kStatusOk;
}

TStatus TVideoSample::GetStreamInfo(std::int32_t& width, std::int32_t& height,
                                    std::uint32_t& compression) {
    width = 0;
    height = 0;
    TStreamFormat format;
    if (!engine_ || !StreamFormat(format)) {
        return kStatusFail;
    }
    // Pause delivery while the format is read, so the owner sees a quiet stream;
    // a call from the capture thread itself cannot pause it and just reads.
    const bool pause = !engine_->OnCaptureThread();
    if (pause) {
        engine_->StopThread();
    }
    const TStatus status = engine_->QueryFormat(format);
    if (Succeeded(status)) {
        width = format.width;
        height = std::abs(format.height);
        compression = format.compression;
    }
    if (pause) {
        engine_->StartThread(engine_);  // not after the device was lost
    }
    return status;
}

void TVideoSample::SetFrameCallback(TFrameRoutine routine, void* userData) {
    callback_->Impl().SetFrameCallback(routine, userData);
}

bool TVideoSample::StreamFormat(TStreamFormat& format) const {
    if (!engine_ || !streamingStarted_) {
        return false;
    }
    format = engine_->Format();
    return true;
}

TStatus TVideoSample::EnumFormats(TDeviceFormats& formats) const {
    formats = {};
    if (!engine_ || !streamingStarted_) {
        return kStatusFail;
    }
    return engine_->ListFormats(formats);
}

TStatus TVideoSample::UseDevice(const TDeviceUse& use) const {
    if (!engine_ || !streamingStarted_) {
        return kStatusFail;
    }
    engine_->Use(use);
    return kStatusOk;
}

std::string TVideoSample::DevicePath() const {
    return devicePath_;
}

TCaptureStats TVideoSample::Stats() const {
    return engine_ ? engine_->Stats() : TCaptureStats{};
}

bool TVideoSample::DeviceLost() const {
    return engine_ && engine_->Lost();
}

}  // namespace vistrel
