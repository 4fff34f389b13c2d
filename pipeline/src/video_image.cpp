// SPDX-License-Identifier: MIT
#include "pipeline/video_image.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

#include "base/error_handler.h"
#include "capture/device_enum.h"
#include "capture/format_enum.h"
#include "capture/status.h"
#include "capture/v4l2_io.h"
#include "capture/video_sample.h"
#include "imaging/jpeg_decoder.h"
#include "logging.h"

namespace vistrel {

namespace {

constexpr auto kFrameEventType = static_cast<QEvent::Type>(TVideoImage::kFrameMessage);
constexpr auto kDeviceLostEventType = static_cast<QEvent::Type>(TVideoImage::kDeviceLostMessage);

// Carries which capture the loss belongs to, so that a late message of a
// capture already replaced by a new one is ignored, and the capture layer's
// reason for it.
class DeviceLostEvent : public QEvent {
public:
    DeviceLostEvent(unsigned generation, TStatus reason)
        : QEvent(kDeviceLostEventType), generation_(generation), reason_(reason) {}
    unsigned Generation() const { return generation_; }
    TStatus Reason() const { return reason_; }

private:
    unsigned generation_;
    TStatus reason_;
};
static_assert(TVideoImage::kFrameMessage >= QEvent::User &&
              TVideoImage::kFrameMessage <= QEvent::MaxUser);

// The row stride a stream's frames are converted with: the driver's bytes per
// line. A driver whose largest frame is shorter than such rows need is
// logged: its frames will show the diagnostic picture.
std::int32_t StrideOf(const TStreamFormat& format) {
    const auto stride = static_cast<std::int32_t>(
        std::min<std::uint32_t>(format.bytesPerLine, std::numeric_limits<std::int32_t>::max()));
    const FrameLayout layout = LayoutOf(format.compression);
    const std::int64_t required = stride > RowLength(layout, format.width)
                                      ? RequiredPaddedLength(layout, stride, format.height)
                                      : RequiredFrameLength(layout, format.width, format.height);
    if (format.sizeImage != 0 && required > format.sizeImage) {
        qCWarning(lcPipeline,
                  "the driver's frames of %u bytes are shorter than the %lld bytes of %dx%d "
                  "with %d bytes per line",
                  format.sizeImage, static_cast<long long>(required), format.width, format.height,
                  stride);
    }
    return stride;
}

std::uint32_t MonotonicMilliseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Truncation to 32 bits is the wrap the stale-GUI rule expects.
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

// Receives the posted frame events on the GUI thread.
class TFrameWindow : public QObject {
public:
    explicit TFrameWindow(TVideoImage& session) : session_(&session) {}
    // After this, frame events are dropped.
    void Detach() { session_ = nullptr; }

protected:
    bool event(QEvent* e) override {
        if (session_ == nullptr) {
            return e->type() == kFrameEventType || QObject::event(e);
        }
        return session_->FrameWindowProc(e) || QObject::event(e);
    }

private:
    TVideoImage* session_;
};

// ---- Construction and disposal ---------------------------------------------

TVideoImage::TVideoImage() : TVideoImage(Options{}) {}

TVideoImage::TVideoImage(Options options)
    : io_(options.io ? std::move(options.io) : SystemV4L2Io()),
      clock_(options.clock ? std::move(options.clock) : Clock(MonotonicMilliseconds)) {
    frameWindow_ = std::make_unique<TFrameWindow>(*this);
    if (options.installIdleHook) {
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
            idleHook_ = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                                         frameWindow_.get(), [this] { RecordIdleTime(); });
        }
    }
}

TVideoImage::~TVideoImage() {
    Dispose();
}

void TVideoImage::Dispose() {
    // The capture thread must be gone before the slots and the frame window.
    // Joining it also orders its last writes to the slots, and the frame
    // events it made, before their release below; a caller that feeds
    // ReceiveSample from a thread of its own stops that thread (joins it, for
    // example) before calling Dispose, for the same order.
    StopCapture();
    displayCanvas_ = nullptr;
    videoBitmap_ = QImage();
    bitmapCaptureTime_ = {};
    QObject::disconnect(idleHook_);
    idleHook_ = {};
    converter_.ReleaseDecoder();
    slots_.Release();
    if (frameWindow_ != nullptr) {
        auto* window = static_cast<TFrameWindow*>(frameWindow_.get());
        window->Detach();
        if (busy_) {
            // Disposed from inside a frame handler, for example by a close
            // handled in a nested event loop: the window is still in its
            // event handling, so it goes once that has returned.
            frameWindow_.release()->deleteLater();
        } else {
            frameWindow_.reset();  // discards the frame events still queued
        }
    }
}

void TVideoImage::SetFormat(std::int32_t width, std::int32_t height, std::uint32_t compression,
                            bool topDownRgb, std::int32_t stride) {
    if (width < 0 || height < 0 || stride < 0) {
        throw std::invalid_argument("frame size must not be negative");
    }
    QImage bitmap;
    if (width > 0 && height > 0) {
        bitmap = QImage(width, height, QImage::Format_BGR888);
        if (bitmap.isNull()) {
            throw std::bad_alloc();
        }
        bitmap.fill(Qt::black);
    }
    videoBitmap_ = std::move(bitmap);
    width_ = width;
    height_ = height;
    compression_ = compression;
    topDownRgb_ = topDownRgb;
    stride_ = stride;
    bitmapCaptureTime_ = {};
    slots_.ClearConverted();
}

bool TVideoImage::ReceiveSample(const std::uint8_t* data, std::int32_t length) noexcept {
    return ReceiveSample(data, length, std::chrono::system_clock::now());
}

bool TVideoImage::ReceiveSample(const std::uint8_t* data, std::int32_t length,
                                TCaptureTime captureTime) noexcept {
    if (length < 0 || (length > 0 && data == nullptr) || !frameWindow_) {
        return false;
    }
    if (IsBadFrame(data, length)) {
        samplesBad_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    try {
        // Stale-GUI rule: the difference is taken modulo 2^32 as a signed
        // number, so the clock's wrap does no harm.
        const std::uint32_t now = clock_();
        const auto sinceIdle =
            static_cast<std::int32_t>(now - lastIdleTime_.load(std::memory_order_relaxed));
        if (sinceIdle > kStaleMilliseconds || sinceIdle < -kStaleMilliseconds) {
            return false;
        }

        // Made before the publication so that its allocation, too, is ordered
        // before the GUI thread's handling.
        auto event = std::make_unique<QEvent>(kFrameEventType);
        if (!slots_.Write(data, length, captureTime)) {
            return false;  // the GUI thread holds both other slots
        }
        QCoreApplication::postEvent(frameWindow_.get(), event.release());
    } catch (...) {
        // No memory for the slot or the event: the sample is dropped.
        return false;
    }
    std::this_thread::yield();
    return true;
}

bool TVideoImage::IsBadFrame(const std::uint8_t* data, std::int32_t length) const noexcept {
    // Checked here, on the capture thread, rather than at conversion: a bad
    // frame then never becomes the newest, so no front end shows or logs it.
    // The check walks the markers to the frame header, with no libjpeg
    // context and no allocation; the one libjpeg header read is the
    // conversion's, which checks the size again. The format is set before
    // the capture delivers its first sample and stays while it runs. A
    // stream whose header the walk cannot find passes: the conversion shows
    // its diagnostic, as for any undecodable frame.
    if (compression_ != fourcc::kMJPG || length == 0) {
        return false;
    }
    const auto header = ScanJpegSize(data, static_cast<std::size_t>(length));
    if (!header || (header->width == width_ && header->height == height_)) {
        return false;
    }
    if (samplesBad_.load(std::memory_order_relaxed) == 0) {
        try {
            qCInfo(lcPipeline, "MJPG frame says %dx%d, the capture format is %dx%d: dropped",
                   header->width, header->height, width_, height_);
        } catch (...) {
            // No memory for the message: the frame is dropped all the same.
        }
    }
    return true;
}

// ---- GUI thread ------------------------------------------------------------

bool TVideoImage::FrameWindowProc(QEvent* message) {
    // These loads only order; their results are not needed. Qt's posted-
    // event queue already puts the capture thread's making of this event
    // before its handling here and its deletion by Qt, but through a lock
    // inside the Qt library, where ThreadSanitizer cannot see it and would
    // report the event as a data race. Each load pairs with the release the
    // capture thread made before posting (the frame publication, the
    // lostPosted_ store) and states the same order in code the sanitizer
    // watches.
    slots_.Acquire();
    lostPosted_.load(std::memory_order_acquire);
    if (message->type() == kDeviceLostEventType) {
        const auto* lost = static_cast<DeviceLostEvent*>(message);
        HandleDeviceLost(lost->Generation(), lost->Reason());
        return true;
    }
    if (message->type() != kFrameEventType) {
        return false;
    }
    if (busy_) {
        return true;  // a nested event loop inside the handler: skip it
    }
    busy_ = true;
    try {
        slots_.ClearConverted();
        PaintFrame();
        if (OnNewVideoFrame) {
            const TFrameSlots::Claim claim(slots_);
            OnNewVideoFrame(*this, width_, height_, claim.Data());
        }
    } catch (...) {
        HandleApplicationError(std::current_exception(), this);
    }
    busy_ = false;
    return true;
}

// ---- Capture start and stop -------------------------------------------------

void TVideoImage::GetDeviceList(QStringList& list) {
    list.clear();
    std::vector<std::string> names;
    EnumCaptureDevices(names, *io_);  // a failed walk simply lists fewer devices
    for (const std::string& name : names) {
        list << QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size()));
    }
}

TStatus TVideoImage::GetDeviceFormats(const QString& deviceName, TDeviceFormats& formats) {
    std::string friendlyName;
    return EnumDeviceFormats(deviceName.toLocal8Bit().toStdString(), formats, friendlyName, *io_);
}

TStatus TVideoImage::CaptureFormats(TDeviceFormats& formats) const {
    formats = {};
    return captureGraph_ ? captureGraph_->EnumFormats(formats) : kStatusFail;
}

TStatus TVideoImage::UseCaptureDevice(const TDeviceUse& use) const {
    return captureGraph_ ? captureGraph_->UseDevice(use) : kStatusFail;
}

int TVideoImage::StartCapture(const QString& deviceName, const TFormatRequest& request) {
    slots_.ClearConverted();
    StopCapture();
    lastStartFailure_ = {};
    const unsigned generation = ++captureGeneration_;
    // Runs on the capture thread: it must not wait for this thread, so it
    // only posts a message.
    auto onLost = [this, generation](TStatus reason) { PostDeviceLost(generation, reason); };
    TStatus status = kStatusOk;
    captureGraph_ = std::make_unique<TVideoSample>(onLost, status, io_);

    std::string friendlyName;
    try {
        status = captureGraph_->StartVideo(deviceName.toLocal8Bit().toStdString(), friendlyName,
                                           request);
    } catch (const std::exception& e) {
        return FailStart(kStatusFail, deviceName, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        return FailStart(kStatusFail, deviceName, QStringLiteral("an unknown error"));
    }
    if (Failed(status)) {
        return FailStart(status, deviceName, {});
    }
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t compression = 0;
    status = captureGraph_->GetStreamInfo(width, height, compression);
    if (Failed(status)) {
        return FailStart(status, deviceName, QStringLiteral("the stream format is unknown"));
    }
    TStreamFormat format;
    const bool known = captureGraph_->StreamFormat(format);
    const std::int32_t stride = known ? StrideOf(format) : 0;
    try {
        SetFormat(width, height, compression, known && format.topDownRows, stride);
    } catch (...) {
        StopCapture();  // never leave a running capture behind a failed start
        throw;
    }
    captureFormat_ = format;
    captureGraph_->SetFrameCallback(&TVideoImage::ReceiveSampleRoutine, this);
    cameraIdentity_ = captureGraph_->Identity();
    devicePath_ = QString::fromLocal8Bit(captureGraph_->DevicePath());
    qCInfo(lcPipeline, "capturing from %s (\"%s\"): %dx%d %s", captureGraph_->DevicePath().c_str(),
           friendlyName.c_str(), width, height,
           qPrintable(QString::fromLatin1(FourCCName(compression))));
    return 0;
}

// what: the cause when the status alone does not tell it.
int TVideoImage::FailStart(TStatus status, const QString& deviceName, const QString& what) {
    const QString path =
        captureGraph_ ? QString::fromLocal8Bit(captureGraph_->DevicePath()) : QString();
    StopCapture();
    QString text = QStringLiteral("cannot start capturing from \"%1\"").arg(deviceName);
    if (!path.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(path);
    }
    QString cause = what;
    if (cause.isEmpty()) {
        cause = status != kStatusFail ? StatusForLog(status)
                : path.isEmpty()      ? QStringLiteral("no camera has that name or position")
                                      : QStringLiteral("the device gives no buffers");
    }
    text += QStringLiteral(": ") + cause;
    lastStartFailure_ = {status, text, deviceName, path};
    qCWarning(lcPipeline, "%s", qUtf8Printable(text));
    return 1;
}

void TVideoImage::StopCapture() noexcept {
    static_assert(std::is_nothrow_destructible_v<TVideoSample>);
    // Destroying the graph joins the capture thread: no sample after this.
    // reset empties captureGraph_ before the graph goes, so the session
    // already counts as not capturing while it is torn down.
    captureGraph_.reset();
}

void TVideoImage::ReceiveSampleRoutine(void* session, const std::uint8_t* data,
                                       std::int32_t& length, TCaptureTime captureTime) {
    auto* self = static_cast<TVideoImage*>(session);
    self->samplesReceived_.fetch_add(1, std::memory_order_relaxed);
    if (!self->ReceiveSample(data, length, captureTime)) {
        self->samplesDropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

void TVideoImage::PostDeviceLost(unsigned generation, TStatus reason) noexcept {
    if (!frameWindow_) {
        return;
    }
    try {
        auto event = std::make_unique<DeviceLostEvent>(generation, reason);
        // Orders the event's construction before its handling, as the frame
        // publication does for frame events.
        lostPosted_.store(generation, std::memory_order_release);
        QCoreApplication::postEvent(frameWindow_.get(), event.release());
    } catch (...) {
        // Without memory for the message the loss goes unannounced; the
        // capture has ended all the same and no more frames arrive.
    }
}

void TVideoImage::HandleDeviceLost(unsigned generation, TStatus reason) {
    if (generation != captureGeneration_.load() || !captureGraph_) {
        return;  // an earlier capture, already stopped or replaced
    }
    // Info, not a warning: the front ends tell of the loss in their own words.
    qCInfo(lcPipeline, "capture from %s ended: %s", captureGraph_->DevicePath().c_str(),
           qUtf8Printable(StatusForLog(reason)));
    StopCapture();
    if (OnDeviceLost) {
        try {
            OnDeviceLost(*this, reason);
        } catch (...) {
            HandleApplicationError(std::current_exception(), this);
        }
    }
}

void TVideoImage::RecordIdleTime() {
    lastIdleTime_.store(clock_(), std::memory_order_relaxed);
}

void TVideoImage::PaintFrame() {
    if (displayCanvas_ == nullptr) {
        return;
    }
    if (!Converted()) {
        ConvertNewest();
    }
    if (displayCanvas_->paintingActive()) {
        return;
    }
    QPainter painter(displayCanvas_);
    painter.drawImage(0, 0, videoBitmap_);
}

void TVideoImage::CopyFrameTo(QImage& image) {
    TCaptureTime captureTime;
    CopyFrameTo(image, captureTime);
}

void TVideoImage::CopyFrameTo(QImage& image, TCaptureTime& captureTime) {
    if (!Converted()) {
        ConvertNewest();
    }
    // Copy into the caller's pixels when they fit, so that a caller who keeps
    // its image costs no allocation per frame; the two never share memory.
    // Pixels the caller shares (with the encoder holding the last logged
    // frame) get a fresh copy instead: writing into them would copy them first.
    if (!image.isNull() && image.size() == videoBitmap_.size() &&
        image.format() == videoBitmap_.format() && image.isDetached()) {
        const auto rowBytes = static_cast<std::size_t>(videoBitmap_.width()) * 3;
        for (int row = 0; row < videoBitmap_.height(); ++row) {
            std::memcpy(image.scanLine(row), videoBitmap_.constScanLine(row), rowBytes);
        }
    } else {
        image = videoBitmap_.copy();
    }
    captureTime = bitmapCaptureTime_;
}

TCaptureTime TVideoImage::NewestCaptureTime() {
    const TFrameSlots::Claim claim(slots_);
    return claim.CaptureTime();
}

bool TVideoImage::CopyJpegFrameTo(std::vector<std::uint8_t>& bytes, TCaptureTime& captureTime) {
    const TFrameSlots::Claim claim(slots_);
    if (compression_ != fourcc::kMJPG || claim.Data() == nullptr || claim.Size() <= 0) {
        return false;
    }
    bytes.assign(claim.Data(), claim.Data() + claim.Size());
    captureTime = claim.CaptureTime();
    return true;
}

void TVideoImage::ConvertNewest() {
    const TFrameSlots::Claim claim(slots_);
    ConvertFrameFor(claim, claim.Size(), claim.Data());
}

void TVideoImage::ConvertFrame(std::int32_t length, const std::uint8_t* data) {
    const TFrameSlots::Claim claim(slots_);
    ConvertFrameFor(claim, length, data);
}

void TVideoImage::ConvertFrameFor(const TFrameSlots::Claim& claim, std::int32_t length,
                                  const std::uint8_t* data) {
    if (data == nullptr) {
        return;
    }
    const TRawFrame frame{.data = data,
                          .length = length,
                          .compression = compression_,
                          .width = width_,
                          .height = height_,
                          .topDownRgb = topDownRgb_,
                          .stride = stride_};
    if (converter_.Convert(frame, videoBitmap_).Completed()) {
        bitmapCaptureTime_ = claim.CaptureTime();
        slots_.MarkConverted(claim.Slot());
    }
}

}  // namespace vistrel
