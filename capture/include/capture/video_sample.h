// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/device_enum.h"
#include "capture/format_enum.h"
#include "capture/sample_grabber.h"
#include "capture/status.h"
#include "capture/v4l2_io.h"

namespace vistrel {

// What the capture thread counted since the device was started.
struct TCaptureStats {
    std::uint64_t delivered = 0;        // samples handed to the callback object
    std::uint64_t errorBuffers = 0;     // buffers flagged V4L2_BUF_FLAG_ERROR, dropped
    std::uint64_t emptyBuffers = 0;     // buffers with no bytes, dropped
    std::uint64_t requeueFailures = 0;  // buffers the driver refused back
};

// Told once, on the capture thread, that streaming ended for good without a
// stop: the camera vanished (ENODEV, POLLERR/POLLHUP) or the driver put the
// stream into a permanent error. reason is the errno status of the failure
// (StatusFromErrno(ENODEV) for an unplug). By then the capture thread no
// longer touches the device and delivers no more samples.
//
// The handler must return quickly and must not wait for the thread that owns
// the TVideoSample (for example with a blocking queued call): that thread may
// be inside a stop that waits for the capture thread. Post a notification to
// the owner instead. Destroying the TVideoSample from inside the handler is
// allowed.
using TDeviceLostRoutine = std::function<void(TStatus reason)>;

// One capture device opened for streaming, with its own capture thread.
//
// Lifecycle: construct; StartVideo (at most once in normal use); when that
// succeeded, GetStreamInfo; when that succeeded, SetFrameCallback. From
// StartVideo on, the capture thread dequeues each filled driver buffer,
// hands it to the callback object and queues it again; samples that arrive
// before a routine is set are dropped. Destruction stops the thread, stops
// streaming, unmaps the buffers and closes the device.
//
// All operations run on one owner thread. Destruction and GetStreamInfo
// return only when no sample is being delivered; the routine must therefore
// not wait for the owner thread.
class TVideoSample {
public:
    // status: 0; E_FAIL when io is null, and StartVideo then fails too.
    // Nothing is opened before StartVideo.
    TVideoSample(TDeviceLostRoutine onDeviceLost, TStatus& status,
                 std::shared_ptr<V4L2Io> io = SystemV4L2Io());
    ~TVideoSample();
    TVideoSample(const TVideoSample&) = delete;
    TVideoSample& operator=(const TVideoSample&) = delete;

    // Finds the device, applies request (nothing for an empty one: the
    // device's current format is taken as it is) and starts streaming.
    // deviceName is trimmed of characters 0 to 32 at both ends; empty means
    // "#1". It matches a device whose trimmed friendly name equals it with the
    // letters a-z taken as A-Z, or it is "#" + the device's 1-based position
    // in decimal without leading zeros. The first device of the walk that
    // matches wins. friendlyName is cleared, then set to the matched device's
    // trimmed friendly name.
    //
    // The request's format and size go to VIDIOC_S_FMT, its interval to
    // VIDIOC_S_PARM, before any buffer is requested. The driver may adjust
    // either; StreamFormat then tells what it took. A driver that cannot set
    // the frame rate keeps its own (logged).
    //
    // Status: 0 streaming; E_FAIL when no device matches (or the driver
    // gives no buffers); when none matches but a node could not be opened
    // or queried, that node's errno status (DevicePath names it); the errno
    // status of the first failing set-up call (VIDIOC_S_FMT gives EBUSY
    // while another program streams from the device).
    TStatus StartVideo(const std::string& deviceName, std::string& friendlyName,
                       const TFormatRequest& request = {});

    // Pauses the capture thread (returns only once no sample is being
    // delivered), reads the current format and lets the thread run again.
    // width and height are set to 0 first, then to the frame size; compression
    // is written only on success. Status: 0, E_FAIL before a successful
    // StartVideo, or the errno status of the format query.
    TStatus GetStreamInfo(std::int32_t& width, std::int32_t& height, std::uint32_t& compression);

    // Publishes routine and userData as one unit; may be called while samples
    // flow. Returns once no sample is being delivered with the previous pair.
    void SetFrameCallback(TFrameRoutine routine, void* userData);

    // The format streaming started with; false before a successful StartVideo.
    bool StreamFormat(TStreamFormat& format) const;
    // What the streaming device offers, listed on its open descriptor.
    // E_FAIL before a successful StartVideo.
    TStatus EnumFormats(TDeviceFormats& formats) const;
    // Runs use on the streaming device's descriptor, on the caller's thread,
    // for calls V4L2 takes beside streaming (controls). E_FAIL before a
    // successful StartVideo.
    TStatus UseDevice(const TDeviceUse& use) const;
    // The opened device node ("/dev/video0"), or after a failed search the
    // node that could not be opened; empty when the search reached none.
    std::string DevicePath() const;
    // Card name and bus info of the opened device; empty before StartVideo matched.
    const TCameraIdentity& Identity() const { return identity_; }
    TCaptureStats Stats() const;
    // True once the capture thread ended by itself (device lost or failed).
    bool DeviceLost() const;

    const std::shared_ptr<TSampleGrabberCB>& CallbackObject() const { return callback_; }

private:
    class Engine;

    std::shared_ptr<V4L2Io> io_;
    TDeviceLostRoutine onDeviceLost_;
    TStatus constructionStatus_ = 0;
    std::shared_ptr<TSampleGrabberCB> callback_;
    std::shared_ptr<Engine> engine_;  // none until a device was opened
    std::string devicePath_;
    TCameraIdentity identity_;
    bool streamingStarted_ = false;
};

}  // namespace vistrel
