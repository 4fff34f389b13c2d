// SPDX-License-Identifier: MIT
#include "frontend/frame_logger.h"

#include <chrono>
#include <utility>

#include "base/flag_scope.h"
#include "imaging/jpeg_tables.h"
#include "logging.h"

namespace vistrel {

TFrameLogger::TFrameLogger(CopyFrame copyFrame)
    : TFrameLogger(
          CopyTimedFrame([copy = std::move(copyFrame)](QImage& image, TCaptureTime& captureTime) {
              copy(image);
              captureTime = {};  // not known: the clock at the take stands in
          })) {}

TFrameLogger::TFrameLogger(CopyTimedFrame copyFrame)
    : copyFrame_(std::move(copyFrame)),
      clock_([] { return QDateTime::currentDateTime(); }),
      frameBitmap_(0, 0, QImage::Format_BGR888) {}

void TFrameLogger::OnNewFrame() {
    OnNewFrame(nullptr);
}

void TFrameLogger::OnNewFrame(const FrameChoice& choose) {
    // A nested call (from a message loop entered while a frame is processed)
    // returns at once and is not counted.
    if (inFrameHandler_) {
        return;
    }
    const FlagScope inHandler(inFrameHandler_);

    ++frameCounter_;
    const bool nthFrame = frameCounter_ >= frameDivisor_;
    if (nthFrame) {
        frameCounter_ = 0;
    }
    if (!choose && !nthFrame) {
        return;  // skipped: costs one counter step, nothing is converted
    }
    if (!isSessionReady_) {
        return;
    }
    const TTake take = choose ? choose(nthFrame) : TTake{true, true};
    // Without a view (the command line) a frame that is only to be shown has
    // nowhere to go: it is neither converted nor counted as taken.
    if (take.write || (take.show && frameShown_)) {
        std::lock_guard<std::recursive_mutex> hold(frameLock_);
        TakeFrame(take.write);
    }
}

void TFrameLogger::TakeFrame(bool write) {
    write = write && logging_;
    // Written as the camera sent it: then the picture is only needed to be shown.
    const bool asSent = write && FetchJpeg();
    if (!asSent || frameShown_) {
        if (!frameBitmap_.isDetached()) {
            // The encoder still holds the last frame: this one goes into the
            // picture the encoder gave up then, neither copied first nor new.
            std::swap(frameBitmap_, spareBitmap_);
        }
        TCaptureTime pictureTime{};
        copyFrame_(frameBitmap_, asSent ? pictureTime : lastCaptureTime_);
    }
    if (lastCaptureTime_ == TCaptureTime{}) {
        lastCaptureTime_ = TCaptureTime(std::chrono::milliseconds(clock_().toMSecsSinceEpoch()));
    }
    // The local time at which the camera captured it, not the later moment
    // this thread got to it.
    const auto captureMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastCaptureTime_.time_since_epoch());
    const QString stamp = TimeStamp(QDateTime::fromMSecsSinceEpoch(captureMs.count()));
    ++framesTaken_;
    if (frameShown_) {
        frameShown_(QStringLiteral("%1 x %2").arg(frameBitmap_.width()).arg(frameBitmap_.height()),
                    Thumbnail(frameBitmap_));
    }
    if (!write) {
        return;
    }
    if (queue_) {
        Queue(stamp, asSent);
    } else {
        WriteHere(stamp, asSent);
    }
}

void TFrameLogger::WriteHere(const QString& stamp, bool asSent) {
    if (fileLimit_ > 0 && filesWritten_ >= fileLimit_) {
        return;
    }
    // Encoded only when the writer will write it: not while writing pauses.
    const auto jpeg = [this, asSent]() -> const std::vector<std::uint8_t>& {
        return asSent ? jpegFrame_ : EncodePicture();
    };
    const std::optional<QString> path = writer_.Write(stamp, jpeg);
    if (path) {
        FileDone(*path, lastCaptureTime_);
    }
}

void TFrameLogger::Queue(const QString& stamp, bool asSent) {
    if (fileLimit_ > 0 && filesWritten_ + writesPending_ >= fileLimit_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto bytes =
        asSent ? jpegFrame_.size() : static_cast<std::size_t>(frameBitmap_.sizeInBytes());
    if (!queue_->HasRoom(bytes)) {
        if (tooSlow_++ == 0) {
            burstStart_ = now;
        }
        ++tooSlowTotal_;
        lastRefused_ = now;
        if (now - burstStart_ >= kNotWrittenReportEvery) {
            TellNotWritten();  // a disk that stays too slow is told now and then
        }
        return;
    }
    TellNotWrittenAfterBurst(now);
    std::optional<TWriteTicket> ticket = writer_.Admit();
    if (!ticket) {
        return;  // paused: counted by the writer
    }
    TWriteJob job;
    job.stamp = stamp;
    job.ticket = std::move(*ticket);
    job.quality = jpegEncoder_.EncodingQuality();
    job.captured = lastCaptureTime_;
    if (asSent) {
        job.jpeg = std::move(jpegFrame_);
    } else {
        StampPicture();
        // Shared, not copied: the next frame goes into another picture.
        job.picture = frameBitmap_;
    }
    if (queue_->Submit(std::move(job))) {
        ++writesPending_;
    }
}

void TFrameLogger::SetWriteThreads(int threads, TWriteQueue::Limits limits) {
    FinishWriting();
    queue_.reset();
    if (threads > 0) {
        queue_ = std::make_unique<TWriteQueue>(
            writer_, threads, [this](const TWriteResult& result) { Delivered(result); }, limits);
    }
}

void TFrameLogger::FinishWriting(std::chrono::milliseconds bound) {
    if (queue_) {
        queue_->Drain(bound);
    }
    TellNotWritten();
}

void TFrameLogger::Delivered(const TWriteResult& result) {
    --writesPending_;
    if (result.error) {
        if (writeFailed_) {
            writeFailed_(result.error);
        } else {
            LogWriteFailure(result.error);
        }
        return;
    }
    if (result.outcome.path) {
        FileDone(*result.outcome.path, result.captured);
    }
    writer_.Report(result.outcome);
    TellNotWrittenAfterBurst(std::chrono::steady_clock::now());
}

void TFrameLogger::TellNotWrittenAfterBurst(std::chrono::steady_clock::time_point now) {
    if (tooSlow_ > 0 && now - lastRefused_ >= kBurstGap) {
        TellNotWritten();
    }
}

void TFrameLogger::LogWriteFailure(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        qCWarning(lcFrontend, "a taken frame was not written: %s", e.what());
    } catch (...) {
        qCWarning(lcFrontend, "a taken frame was not written");
    }
}

void TFrameLogger::FileDone(const QString& path, TCaptureTime captured) {
    ++filesWritten_;
    lastFile_ = path;
    if (fileWritten_) {
        fileWritten_(path, captured);
    }
}

void TFrameLogger::TellNotWritten() {
    const std::uint64_t count = std::exchange(tooSlow_, 0);
    if (count == 0) {
        return;
    }
    qCInfo(lcFrontend, "%llu taken frames found the writer full",
           static_cast<unsigned long long>(count));
    if (notWritten_) {
        notWritten_(count);
    }
}

// The camera's JPEG of the newest frame, with its tables made whole, and
// its capture time; false when there is none to write as it is.
bool TFrameLogger::FetchJpeg() {
    TCaptureTime captureTime{};
    if (!copyJpeg_ || !copyJpeg_(jpegFrame_, captureTime)) {
        return false;
    }
    if (CompleteHuffmanTables(jpegFrame_) == TJpegTables::Malformed) {
        qCInfo(lcFrontend, "MJPG frame of %zu bytes is not a whole JPEG stream: encoded instead",
               jpegFrame_.size());
        return false;
    }
    lastCaptureTime_ = captureTime;
    return true;
}

// The stamp goes into the picture in hand, never into the thumbnail made before.
void TFrameLogger::StampPicture() {
    if (stamp_.Enabled()) {
        BurnStamp(frameBitmap_, StampText(stamp_, lastCaptureTime_));
    }
}

const std::vector<std::uint8_t>& TFrameLogger::EncodePicture() {
    StampPicture();
    // Shared, not copied: the next frame goes into the other picture.
    jpegEncoder_.ShareImage(frameBitmap_);
    return jpegEncoder_.Encoded();
}

QString TFrameLogger::TimeStamp(const QDateTime& time) {
    const QDate date = time.date();
    const QTime clock = time.time();
    return QString::asprintf("%02d%02d%02d%02d%02d%02d%03d", date.year() % 100, date.month(),
                             date.day(), clock.hour(), clock.minute(), clock.second(),
                             clock.msec());
}

QSize TFrameLogger::ThumbnailSize(int width, int height) {
    constexpr int kSide = 128;
    // The product is 32-bit, the division floating point, the result truncated.
    if (width > height) {
        return {kSide, static_cast<int>(static_cast<double>(height * kSide) / width)};
    }
    if (height > width) {
        return {static_cast<int>(static_cast<double>(width * kSide) / height), kSide};
    }
    return {kSide, kSide};
}

QImage TFrameLogger::Thumbnail(const QImage& frame) {
    // A sliver of a frame (1 by 2000) still gets a picture one pixel wide.
    const QSize size = ThumbnailSize(frame.width(), frame.height()).expandedTo(QSize(1, 1));
    if (frame.isNull()) {
        QImage blank(size, QImage::Format_BGR888);
        blank.fill(Qt::black);
        return blank;
    }
    return frame.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation)
        .convertToFormat(QImage::Format_BGR888);
}

}  // namespace vistrel
