// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QMetaObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "capture/capture_time.h"
#include "capture/device_enum.h"
#include "capture/format_enum.h"
#include "capture/status.h"
#include "capture/v4l2_io.h"
#include "pipeline/frame_converter.h"
#include "pipeline/frame_slots.h"

class QEvent;
class QObject;
class QPaintDevice;

namespace vistrel {

class TVideoSample;

// The video session: takes raw frames from the capture thread, announces
// them on the GUI thread, and converts the newest one into a 24-bit picture
// (QImage::Format_BGR888) when somebody asks for it.
//
// Threads: ReceiveSample may run on any one thread at a time (the capture
// thread). Everything else runs on the GUI thread that made the session.
//
// Frames pass through three slots (TFrameSlots). The capture thread writes a
// slot, then names it the newest and posts a frame event (type
// kFrameMessage) to the session's frame window. The GUI thread claims the
// slot it reads for as long as it reads it, so a frame is never rewritten or
// freed while the GUI thread converts it or an OnNewVideoFrame handler looks
// at it. Each frame carries the wall-clock time it was captured at.
class TVideoImage {
public:
    // A 32-bit millisecond count that wraps at 2^32. Called on the capture
    // thread, so it must be safe to call from there.
    using Clock = std::function<std::uint32_t()>;
    // Fired on the GUI thread for every handled frame event. frameData is the
    // newest raw frame; it stays valid and unchanged for the call only.
    using NewVideoFrameHandler =
        std::function<void(TVideoImage& sender, std::int32_t width, std::int32_t height,
                           const std::uint8_t* frameData)>;

    // Told on the GUI thread, once, that the camera of the running capture
    // vanished or failed for good; the capture is already stopped by then.
    // reason is the capture layer's status for it, an errno status such as
    // StatusFromErrno(ENODEV) for an unplugged camera.
    using DeviceLostHandler = std::function<void(TVideoImage& sender, TStatus reason)>;

    struct Options {
        Clock clock{};                 // empty: the monotonic clock
        bool installIdleHook = true;   // stamp idle time on the GUI thread's aboutToBlock
        std::shared_ptr<V4L2Io> io{};  // empty: the system's V4L2 devices
    };

    static constexpr int kFrameMessage = 1686;
    // Posted by the capture thread when the camera is lost.
    static constexpr int kDeviceLostMessage = 1687;
    // A GUI thread not idle for longer than this is taken as stalled.
    static constexpr std::int32_t kStaleMilliseconds = 1000;

    TVideoImage();
    explicit TVideoImage(Options options);
    ~TVideoImage();
    TVideoImage(const TVideoImage&) = delete;
    TVideoImage& operator=(const TVideoImage&) = delete;

    // Releases everything the session holds; the destructor calls it too.
    // The capture thread must not call ReceiveSample any more: a thread other
    // than the session's own capture is stopped (joined) before.
    void Dispose();

    // Takes on a capture format as a successful start does: the size and
    // code, a black 24-bit VideoBitmap of that size, Converted cleared.
    // topDownRgb: code-0 frames hold their top row first (V4L2 BGR24) instead
    // of their bottom row. stride: bytes from one row to the next when the
    // rows are padded, 0 for unpadded rows (see TRawFrame). Throws
    // std::invalid_argument for a negative size or stride and std::bad_alloc
    // when the picture cannot be made; nothing changes then.
    void SetFormat(std::int32_t width, std::int32_t height, std::uint32_t compression,
                   bool topDownRgb = false, std::int32_t stride = 0);
    std::int32_t Width() const { return width_; }
    std::int32_t Height() const { return height_; }
    std::uint32_t Compression() const { return compression_; }
    bool TopDownRgb() const { return topDownRgb_; }
    std::int32_t Stride() const { return stride_; }

    // Converts the newest frame unless that is done already, then makes image
    // a deep copy of VideoBitmap (empty before any format was set).
    void CopyFrameTo(QImage& image);
    // The same, and captureTime the capture time of the frame copied (the
    // epoch before any frame was converted).
    void CopyFrameTo(QImage& image, TCaptureTime& captureTime);
    // When the newest frame was captured, without converting it (the epoch
    // before any frame arrived): what a time-lapse decides a frame on.
    TCaptureTime NewestCaptureTime();
    // For an MJPG capture: bytes the newest frame as the camera sent it and
    // captureTime when it was captured, with no decoding. false, with
    // nothing copied, for any other format and before any frame.
    bool CopyJpegFrameTo(std::vector<std::uint8_t>& bytes, TCaptureTime& captureTime);

    // Where PaintFrame draws each frame; not owned; none by default.
    void SetDisplayCanvas(QPaintDevice* canvas) { displayCanvas_ = canvas; }
    QPaintDevice* DisplayCanvas() const { return displayCanvas_; }

    // Assigned directly by the client; unset by default.
    NewVideoFrameHandler OnNewVideoFrame;
    DeviceLostHandler OnDeviceLost;

    // The V4L2 interface the session opens its cameras through.
    const std::shared_ptr<V4L2Io>& Io() const { return io_; }
    // Capture devices by friendly name, in the order "#n" counts them.
    void GetDeviceList(QStringList& list);
    // Starts capturing from the device named by friendly name or "#n" (its
    // 1-based position), in the format, size and frame rate the request asks
    // for; an empty request takes the device's current format as it is. 0:
    // capturing, with Width, Height, Compression, Stride, CaptureFormat and
    // VideoBitmap set from what the device took (the driver may have
    // adjusted the request); 1: not capturing, nothing left open and the
    // format unchanged, and LastStartFailure says why.
    int StartCapture(const QString& deviceName, const TFormatRequest& request = {});
    // The format the last successful start streams in, as the driver reports it.
    const TStreamFormat& CaptureFormat() const { return captureFormat_; }
    // What the named device offers (it is opened for the listing), or the
    // running capture's device (listed on its open descriptor; E_FAIL when
    // not capturing). Status as the capture layer's.
    TStatus GetDeviceFormats(const QString& deviceName, TDeviceFormats& formats);
    TStatus CaptureFormats(TDeviceFormats& formats) const;
    // Runs use on the running capture's open device (its controls may be
    // read and set while it streams). E_FAIL when not capturing.
    TStatus UseCaptureDevice(const TDeviceUse& use) const;
    // Why the last StartCapture returned 1: the failing call's status (an
    // errno status where the system gave one), a line for the log, the
    // device name asked for and the node that failed (empty when none was
    // reached). Status 0 and no text after a successful start.
    struct StartFailure {
        TStatus status = kStatusOk;
        QString text;
        QString deviceName;
        QString path;
    };
    const StartFailure& LastStartFailure() const { return lastStartFailure_; }
    // Stops capturing; no sample arrives after it returns. Never fails.
    void StopCapture() noexcept;
    bool IsCapturing() const { return captureGraph_ != nullptr; }
    // Card name and bus info of the camera the last successful StartCapture
    // opened; kept after a stop or a loss, so the camera can be found again.
    const TCameraIdentity& CameraIdentity() const { return cameraIdentity_; }
    // The node that start opened ("/dev/video2"), kept after a stop as well.
    const QString& DevicePath() const { return devicePath_; }
    // Samples the capture delivered to the session since it was made, how
    // many of them it dropped (a stalled GUI thread, no free slot, a bad
    // frame), and how many of those were bad frames.
    struct SampleCounts {
        std::uint64_t received = 0;
        std::uint64_t dropped = 0;
        std::uint64_t bad = 0;
    };
    SampleCounts Samples() const {
        return {samplesReceived_.load(std::memory_order_relaxed),
                samplesDropped_.load(std::memory_order_relaxed),
                samplesBad_.load(std::memory_order_relaxed)};
    }

    // The per-sample routine, for any one thread: copies length bytes into a
    // free slot, names it the newest and posts a frame event. Returns false
    // when the sample was dropped: a GUI thread stalled for more than
    // kStaleMilliseconds, a null buffer with a positive or a negative length,
    // no free slot, no memory for the slot, or a bad frame: an MJPG frame
    // whose JPEG header gives another size than the format's (counted in
    // Samples().bad; it is never shown, converted or logged). Never throws.
    // captureTime travels with the frame; without one, the frame takes the
    // time it arrives at.
    bool ReceiveSample(const std::uint8_t* data, std::int32_t length,
                       TCaptureTime captureTime) noexcept;
    bool ReceiveSample(const std::uint8_t* data, std::int32_t length) noexcept;

    // Stamps the GUI thread's last idle time; called by the idle hook.
    void RecordIdleTime();

    // Converts the newest frame if needed and draws it on the display canvas
    // at (0, 0), unless there is no canvas or a painter is active on it.
    void PaintFrame();

    // Converts one frame into VideoBitmap by Compression with the session's
    // frame converter: frames of the wrong length, unsupported codes and
    // undecodable JPEG data get a two-line diagnostic text instead. Sets
    // Converted unless data is null or the conversion failed unexpectedly
    // (then the next request tries again).
    void ConvertFrame(std::int32_t length, const std::uint8_t* data);

    const QImage& VideoBitmap() const { return videoBitmap_; }
    int CurrentSlot() const { return slots_.CurrentSlot(); }
    bool Converted() const { return slots_.Converted(); }
    bool Busy() const { return busy_; }
    std::uint32_t LastIdleTime() const { return lastIdleTime_.load(std::memory_order_relaxed); }

    // The raw slots, for inspection while no sample can arrive.
    std::int32_t SlotSize(int slot) const { return slots_.SlotSize(slot); }
    const std::uint8_t* SlotData(int slot) const { return slots_.SlotData(slot); }

    // The object the frame events are posted to.
    QObject* FrameWindow() const { return frameWindow_.get(); }

private:
    friend class TFrameWindow;
    friend struct TVideoImageTestAccess;
    // Handles the frame event; other events get the default handling.
    bool FrameWindowProc(QEvent* message);

    void ConvertNewest();
    void ConvertFrameFor(const TFrameSlots::Claim& claim, std::int32_t length,
                         const std::uint8_t* data);
    bool IsBadFrame(const std::uint8_t* data, std::int32_t length) const noexcept;

    bool busy_ = false;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::uint32_t compression_ = fourcc::kRGB;
    bool topDownRgb_ = false;
    std::int32_t stride_ = 0;
    TStreamFormat captureFormat_;
    QImage videoBitmap_;
    TCaptureTime bitmapCaptureTime_{};  // of the frame videoBitmap_ shows
    QPaintDevice* displayCanvas_ = nullptr;

    // The capture thread's entry: user data is the session.
    static void ReceiveSampleRoutine(void* session, const std::uint8_t* data, std::int32_t& length,
                                     TCaptureTime captureTime);
    int FailStart(TStatus status, const QString& deviceName, const QString& what);
    void PostDeviceLost(unsigned generation, TStatus reason) noexcept;  // capture thread
    void HandleDeviceLost(unsigned generation, TStatus reason);

    std::shared_ptr<V4L2Io> io_;
    std::unique_ptr<TVideoSample> captureGraph_;
    StartFailure lastStartFailure_;
    TCameraIdentity cameraIdentity_;
    QString devicePath_;
    // Tells a lost-device message of an earlier capture from the current one.
    std::atomic<unsigned> captureGeneration_{0};
    std::atomic<unsigned> lostPosted_{0};  // released before each lost-device message
    std::atomic<std::uint64_t> samplesReceived_{0};
    std::atomic<std::uint64_t> samplesDropped_{0};
    std::atomic<std::uint64_t> samplesBad_{0};

    TFrameSlots slots_;  // written by the capture thread, read by the GUI thread

    std::unique_ptr<QObject> frameWindow_;
    QMetaObject::Connection idleHook_;
    Clock clock_;
    std::atomic<std::uint32_t> lastIdleTime_{0};

    TFrameConverter converter_;
};

}  // namespace vistrel
