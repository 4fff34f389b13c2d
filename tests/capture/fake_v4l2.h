// SPDX-License-Identifier: MIT
#pragma once

#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/v4l2_io.h"

namespace vistrel::test {

// A pixel format as the fake driver reports it.
struct FakeFormat {
    std::uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bytesPerLine = 0;
    std::uint32_t sizeImage = 0;
};

// The line and frame sizes real drivers report for a format: packed rows for
// YUYV/UYVY (2 bytes a pixel) and BGR24 (3), 8-bit luma rows plus two
// quarter-size chroma planes for YU12/YV12, and for MJPG no line size and a
// generous buffer (width * height * 2, as uvcvideo sizes it) that a frame
// fills only partly. rowPadding bytes are added to every row of the raw
// formats (bytes per line; the chroma rows of YU12/YV12 get half of it).
FakeFormat MakeFormat(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height,
                      std::uint32_t rowPadding = 0);

// One pixel format the fake lists, with its sizes and, the same at every
// size, its frame intervals.
struct FakeOffer {
    std::uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;  // discrete sizes
    std::optional<v4l2_frmsize_stepwise> range;                  // instead of sizes
    std::vector<v4l2_fract> intervals;                           // discrete intervals
};

// Bytes of one frame of the format: sizeImage bytes following a pattern that
// depends on seed, or for MJPG a short stream from FF D8 to FF D9 much smaller
// than the buffer (so bytesused < length). Not a decodable picture.
std::vector<std::uint8_t> MakeFrameBytes(const FakeFormat& format, std::uint8_t seed);

// ---- Controls ----------------------------------------------------------

// One control the fake device has (V4L2_CTRL_TYPE_*, V4L2_CTRL_FLAG_*).
struct FakeControl {
    std::uint32_t id = 0;
    std::string name;
    std::uint32_t type = V4L2_CTRL_TYPE_INTEGER;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
    std::uint64_t step = 1;
    std::int64_t defaultValue = 0;
    std::uint32_t flags = 0;
    // Menus: the name of each index from 0; an empty name is an index the
    // driver skips. Integer menus: the value of each index.
    std::vector<std::string> menu;
    std::vector<std::int64_t> integerMenu;
    // Inactive, and refusing new values with EACCES as some cameras do,
    // unless the control unlockedBy (when not 0) has the value unlockValue.
    std::uint32_t unlockedBy = 0;
    std::int64_t unlockValue = 0;
    std::int64_t value = 0;  // the current value
};

// Controls like those of the vivid test driver and a UVC camera: the user
// class with brightness, contrast and saturation (0..255, default 128), hue
// (-128..127, default 0), a disabled gamma and an integer menu; the camera
// class with the auto-exposure menu (items 1 "Manual Mode" and 3 "Aperture
// Priority Mode", default 3), the exposure time (3..2047, default 250)
// it unlocks in manual mode, continuous autofocus (bool, default 1) and an
// autofocus start button.
std::vector<FakeControl> VividLikeControls();

// -------------------------------------------------------------------------

struct FakeDeviceConfig {
    std::string card = "Fake Camera";
    // VIDIOC_QUERYCAP's bus info; empty: "fake:" and the node it was added as,
    // kept when the device returns under another node.
    std::string busInfo;
    int number = -1;  // the N of /dev/videoN; -1: the next free number
    // The node's capabilities (device_caps). The default is a streaming
    // video-capture node; use e.g. V4L2_CAP_META_CAPTURE for a metadata node.
    std::uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    FakeFormat format = MakeFormat(V4L2_PIX_FMT_YUYV, 640, 480);
    std::uint32_t maxBuffers = 8;  // REQBUFS grants at most this; 0: no buffers
    int openError = 0;             // open fails with this errno
    int querycapError = 0;         // VIDIOC_QUERYCAP fails with this errno

    // What VIDIOC_ENUM_FMT, _FRAMESIZES and _FRAMEINTERVALS list. Empty: they
    // list nothing, and VIDIOC_S_FMT takes any format and size as asked.
    // Otherwise S_FMT adjusts as drivers do: an unlisted format becomes the
    // first listed one, a size the nearest listed one (or the nearest on the
    // range's steps), and S_PARM picks the nearest listed interval.
    std::vector<FakeOffer> offers;
    // Bytes added to every row of a raw format that S_FMT sets.
    std::uint32_t rowPadding = 0;
    // The time per frame of VIDIOC_G_PARM and S_PARM. 0/0: the driver has no
    // frame rate (both calls fail with ENOTTY).
    v4l2_fract interval{1, 30};
    // Further adjustments of what S_FMT and S_PARM settle on.
    std::function<void(v4l2_pix_format&)> adjustFormat;
    std::function<void(v4l2_fract&)> adjustInterval;

    // The device's controls, in increasing id order; empty: none.
    std::vector<FakeControl> controls;
    // false: a driver without the extended control calls
    // (VIDIOC_QUERY_EXT_CTRL and VIDIOC_G/S_EXT_CTRLS fail with ENOTTY).
    bool extendedControls = true;
};

// A fake V4L2 subsystem behind the capture layer's seam. Devices are added
// up front; tests then push frames into them and inject faults while the
// capture layer streams. Device fds are real eventfds, so the fake's poll
// can wait on them together with the caller's own descriptors. All methods
// are thread-safe.
class FakeV4L2 : public V4L2Io {
public:
    FakeV4L2();
    ~FakeV4L2() override;

    // Returns the device's id (0, 1, ... in the order added).
    int AddDevice(FakeDeviceConfig config);
    std::string PathOf(int device) const;
    // ListDeviceNodes fails with this errno (0: it works).
    void SetListError(int errorNumber);

    // Fills the oldest queued buffer of a streaming device and marks it done.
    // bytesUsed defaults to the bytes given (cut to the buffer length).
    // false when the frame was dropped: not streaming, lost, stalled, or no
    // buffer queued (the driver has nowhere to put it).
    bool PushFrame(int device, const std::vector<std::uint8_t>& bytes, std::uint32_t flags = 0,
                   std::optional<std::uint32_t> bytesUsed = std::nullopt);
    // PushFrame once the device streams and has a buffer queued; waits for
    // that for up to timeout (false then).
    bool PushFrameWhenReady(int device, const std::vector<std::uint8_t>& bytes,
                            std::uint32_t flags = 0,
                            std::optional<std::uint32_t> bytesUsed = std::nullopt,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The buffer timestamp of the frames pushed from now on; without one a
    // frame's timestamp counts its sequence number at 30 per second. The
    // clock it belongs to is a flag of PushFrame's (for example
    // V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC).
    void SetFrameTimestamp(int device, timeval timestamp);
    // Waits until the device streams with at least count buffers queued.
    bool WaitForQueued(int device, int count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Faults.
    // An unplug: every ioctl on open fds fails with ENODEV, poll reports
    // POLLERR|POLLHUP, and new opens fail with ENODEV; the node stays listed.
    void LoseDevice(int device);
    // The camera is pulled out: open fds fail as after LoseDevice, and the
    // node leaves the list (opening its path fails with ENOENT).
    void UnplugDevice(int device);
    // An unplugged camera is plugged in again: a new device (its id is
    // returned) with the configuration it was added with (so with its card,
    // bus info and first format, as a camera that was off), at /dev/videoN
    // for N = number, or the node it had when number is -1. Fds of the old
    // device stay dead.
    int ReturnDevice(int device, int number = -1);
    // A permanent streaming error: DQBUF fails with EIO, poll reports POLLERR.
    void SetFatalStreamError(int device);
    // Frames pushed while stalled are dropped: poll never becomes ready.
    void SetStalled(int device, bool stalled);
    // The next `times` calls of request on the device fail with errorNumber.
    void FailIoctl(int device, unsigned long request, int errorNumber, int times = 1);
    // The next `times` poll calls fail with errorNumber (e.g. EINTR).
    void FailPoll(int errorNumber, int times = 1);

    // Controls. The value each successful VIDIOC_S_EXT_CTRLS or
    // VIDIOC_S_CTRL wrote, in order, as (id, value).
    std::vector<std::pair<std::uint32_t, std::int64_t>> ControlWrites(int device) const;
    std::optional<std::int64_t> ControlValue(int device, std::uint32_t id) const;
    // The next attempt to set the control fails with errorNumber.
    void RefuseControl(int device, std::uint32_t id, int errorNumber);

    // Observation.
    int OpenFds() const;
    int MappedBuffers() const;
    bool Streaming(int device) const;
    int QueuedBuffers(int device) const;
    int BufferCount(int device) const;
    std::uint32_t BufferLength(int device) const;
    std::uint64_t PollCalls() const;
    std::uint64_t IoctlCalls(int device, unsigned long request) const;
    int OpenCalls(int device) const;

    // V4L2Io.
    int ListDeviceNodes(std::vector<std::string>& paths) override;
    int Open(const std::string& path, int flags) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    int Mmap(int fd, std::size_t length, off_t offset, void** address) override;
    int Munmap(void* address, std::size_t length) override;
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override;

private:
    enum class BufferState { Dequeued, Queued, Done };
    struct Buffer {
        std::vector<std::uint8_t> memory;
        BufferState state = BufferState::Dequeued;
        std::uint32_t bytesUsed = 0;
        std::uint32_t flags = 0;
        std::uint32_t sequence = 0;
        timeval timestamp{};
        int mappings = 0;
    };
    struct Failure {
        int errorNumber = 0;
        int times = 0;
    };
    struct Device {
        FakeDeviceConfig config;
        FakeDeviceConfig added;  // as added: what a return starts from
        std::string path;
        bool lost = false;
        bool unplugged = false;  // off the node list; a return is a new device
        bool fatal = false;
        bool stalled = false;
        bool streaming = false;
        int owner = -1;  // the fd that allocated the buffers
        std::vector<Buffer> buffers;
        std::deque<std::uint32_t> queued;
        std::deque<std::uint32_t> done;
        std::uint32_t sequence = 0;
        std::optional<timeval> timestamp;
        std::map<unsigned long, Failure> failures;
        std::map<unsigned long, std::uint64_t> ioctlCalls;
        int openCalls = 0;
        std::vector<std::pair<std::uint32_t, std::int64_t>> controlWrites;
        std::map<std::uint32_t, int> controlRefusals;  // id -> errno
    };

    int AddDeviceLocked(FakeDeviceConfig config);
    int IoctlLocked(Device& device, int fd, unsigned long request, void* arg);
    short EventsLocked(int fd) const;
    void SignalLocked(int device);
    int SetFormatLocked(Device& device, v4l2_format& format);
    int FrameIntervalLocked(Device& device, unsigned long request, v4l2_streamparm& parm);
    int EnumerateLocked(const Device& device, unsigned long request, void* arg) const;
    void StopStreamingLocked(Device& device);
    void FreeBuffersIfUnusedLocked(Device& device);
    int ControlIoctlLocked(Device& device, unsigned long request, void* arg);
    int ExtendedControlsLocked(Device& device, unsigned long request, v4l2_ext_controls& list);
    int GetControlLocked(const Device& device, std::uint32_t id, std::int64_t& value) const;
    int SetControlLocked(Device& device, std::uint32_t id, std::int64_t value);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Device> devices_;
    std::map<int, int> files_;  // fd -> device id
    int listError_ = 0;
    Failure pollFailure_;
    std::uint64_t pollCalls_ = 0;
};

}  // namespace vistrel::test
