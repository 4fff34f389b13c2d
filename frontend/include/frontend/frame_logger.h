// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "capture/capture_time.h"
#include "imaging/jpeg_image.h"
#include "imaging/picture_stamp.h"
#include "storage/frame_writer.h"

namespace vistrel {

// Takes every N-th frame the video session announces, shows it (size text and
// thumbnail, through OnFrameShown) and, while logging is on, writes it as a
// JPEG file named after the local time of its capture into the output
// directory, through
// its TFrameWriter (never replacing a file, pausing on a failing disk). Needs
// no window: the main window and the command-line front end both drive it.
// All members run on the GUI thread.
class TFrameLogger {
public:
    // Fetches the newest frame as a 24-bit picture (the session's CopyFrameTo).
    using CopyFrame = std::function<void(QImage&)>;
    // The same, with the time the frame was captured (the session's
    // CopyFrameTo with a capture time).
    using CopyTimedFrame = std::function<void(QImage&, TCaptureTime&)>;
    // What a taken frame shows: "W x H" and the thumbnail picture.
    using FrameShown = std::function<void(const QString& sizeText, const QImage& thumbnail)>;
    using Clock = std::function<QDateTime()>;

    // An untimed fetch takes the moment of the fetch as the capture time.
    explicit TFrameLogger(CopyFrame copyFrame);
    explicit TFrameLogger(CopyTimedFrame copyFrame);

    // The session's OnNewVideoFrame handler. A failed write pauses writing
    // (reported by the writer) and raises nothing; other errors, the
    // encoder's, leave it as exceptions (EVistrelError). The lock and the
    // re-entrancy flag are released all the same, so later frames are
    // processed again.
    void OnNewFrame();
    // What becomes of a received frame: fetched and shown, and also written.
    struct TTake {
        bool show = false;
        bool write = false;
    };
    // Decides for a received frame, told whether it is an N-th one; called
    // once per frame while the session is ready.
    using FrameChoice = std::function<TTake(bool nthFrame)>;
    // OnNewFrame with the choice made by the caller instead of by the count
    // alone: a frame may be written although it is not an N-th one, or shown
    // only. At most one fetch per frame.
    void OnNewFrame(const FrameChoice& choose);

    // N = skipped frames + 1; Run sets it and resets the count.
    void SetFrameDivisor(int divisor) { frameDivisor_ = divisor; }
    int FrameDivisor() const { return frameDivisor_; }
    void ResetFrameCounter() { frameCounter_ = 0; }
    int FrameCounter() const { return frameCounter_; }

    void SetSessionReady(bool ready) { isSessionReady_ = ready; }
    bool IsSessionReady() const { return isSessionReady_; }

    void SetLogging(bool on) { logging_ = on; }
    bool Logging() const { return logging_; }

    void SetOutputDirectory(const QString& dir) { writer_.SetDirectory(dir); }
    const QString& OutputDirectory() const { return writer_.Directory(); }
    // Where the files go, and how writing rides out faults.
    TFrameWriter& Writer() { return writer_; }

    // The one encoder; its quality is latched once at start-up by the owner.
    TJPEGImage& JpegEncoder() { return jpegEncoder_; }

    // Burnt into each written picture (never into the thumbnail), after the
    // conversion and before encoding; off by default.
    void SetStamp(TStampOptions stamp) { stamp_ = std::move(stamp); }
    const TStampOptions& Stamp() const { return stamp_; }

    // Fetches the newest frame as the camera's own JPEG with its capture
    // time (the session's CopyJpegFrameTo); false when the camera sends
    // none.
    using CopyJpegFrame = std::function<bool(std::vector<std::uint8_t>&, TCaptureTime&)>;
    // Passthrough: a frame to be written is written as the camera's JPEG,
    // with the standard Huffman tables put in when it lacks them
    // (CompleteHuffmanTables), not decoded and encoded again; the quality
    // and the stamp do not apply to it. It is decoded only to be shown. A
    // fetch that gives no JPEG, or a stream that is not whole, is encoded
    // from its picture as usual. Empty (the default): off.
    void SetPassthrough(CopyJpegFrame copy) { copyJpeg_ = std::move(copy); }
    bool Passthrough() const { return static_cast<bool>(copyJpeg_); }
    // Held while a taken frame is processed; window close takes it too.
    std::recursive_mutex& FrameLock() { return frameLock_; }
    // The last taken frame.
    const QImage& FrameBitmap() const { return frameBitmap_; }

    void SetFrameShown(FrameShown handler) { frameShown_ = std::move(handler); }
    void SetClock(Clock clock) { clock_ = std::move(clock); }

    std::uint64_t FramesTaken() const { return framesTaken_; }
    std::uint64_t FilesWritten() const { return filesWritten_; }
    const QString& LastFile() const { return lastFile_; }
    // When the camera captured the last taken frame (the epoch before the
    // first); the file is named after it. A fetch that gives no time (the
    // epoch) takes the clock's at the take.
    TCaptureTime LastCaptureTime() const { return lastCaptureTime_; }

    // "yymmddhhnnsszzz": two-digit year, month, day, 24-hour hour, minute,
    // second and three-digit millisecond, independent of the locale.
    static QString TimeStamp(const QDateTime& time);
    // Largest size within 128 by 128 with the frame's aspect, truncated.
    static QSize ThumbnailSize(int width, int height);
    // The frame stretched onto the thumbnail size by nearest pixel.
    static QImage Thumbnail(const QImage& frame);

private:
    void TakeFrame(bool write);
    bool FetchJpeg();
    const std::vector<std::uint8_t>& EncodePicture();

    CopyTimedFrame copyFrame_;
    FrameShown frameShown_;
    Clock clock_;
    bool inFrameHandler_ = false;
    int frameCounter_ = 0;
    int frameDivisor_ = 1;
    bool isSessionReady_ = false;
    bool logging_ = true;
    TFrameWriter writer_;
    std::recursive_mutex frameLock_;
    QImage frameBitmap_;
    // The other picture: the two take turns while the encoder holds one.
    QImage spareBitmap_;
    TJPEGImage jpegEncoder_;
    TStampOptions stamp_;
    CopyJpegFrame copyJpeg_;
    std::vector<std::uint8_t> jpegFrame_;  // the camera's JPEG of the frame in hand
    std::uint64_t framesTaken_ = 0;
    std::uint64_t filesWritten_ = 0;
    QString lastFile_;
    TCaptureTime lastCaptureTime_{};
};

}  // namespace vistrel
