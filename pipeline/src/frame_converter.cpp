// SPDX-License-Identifier: MIT
#include "pipeline/frame_converter.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "frame_conversion.h"
#include "imaging/jpeg_decoder.h"
#include "logging.h"

namespace vistrel {

namespace {

using Outcome = TConversionResult::Outcome;
using Reason = TConversionResult::Reason;

TConversionResult Diagnostic(Reason reason, std::int64_t requiredLength = -1) {
    return {Outcome::Diagnostic, reason, requiredLength};
}

void DrawDiagnostic(QImage& target, std::int32_t length, std::uint32_t compression) {
    if (target.isNull()) {
        return;  // no format yet: there is no picture to write on
    }
    QPainter painter(&target);
    // Black on white, so the text reads on any picture, the black start
    // picture included.
    painter.setPen(Qt::black);
    painter.setBackground(Qt::white);
    painter.setBackgroundMode(Qt::OpaqueMode);
    const QFontMetrics metrics = painter.fontMetrics();
    // drawText places the baseline; the lines start at y = 0 and y = h, h
    // being the height of "X" in this font.
    const int lineHeight = metrics.size(Qt::TextSingleLine, QStringLiteral("X")).height();
    painter.drawText(0, metrics.ascent(), QStringLiteral("Unknown compression"));
    painter.drawText(0, lineHeight + metrics.ascent(), DiagnosticLine(length, compression));
}

void CheckTargetFits(const TRawFrame& frame, const QImage& target) {
    // Writing rows into any other picture would run past its end.
    const bool empty = frame.width == 0 || frame.height == 0;
    if (empty ? !target.isNull()
              : (target.width() != frame.width || target.height() != frame.height ||
                 target.format() != QImage::Format_BGR888)) {
        throw std::logic_error("the picture does not match the frame format");
    }
}

// The frame's row stride when its rows are padded, else 0 (unpadded rows:
// the exact-length rule). A stride shorter than a row cannot be right and is
// taken as unpadded too.
std::int64_t SourceStride(FrameLayout layout, const TRawFrame& frame) {
    return frame.stride > RowLength(layout, frame.width) ? frame.stride : 0;
}

void LogFailure(const char* what) noexcept {
    try {
        qCWarning(lcPipeline, "frame conversion failed: %s", what);
    } catch (...) {
        // Out of memory even for the message: the result still says Failed.
    }
}

}  // namespace

TFrameConverter::TFrameConverter() = default;
TFrameConverter::~TFrameConverter() = default;

TConversionResult TFrameConverter::Convert(const TRawFrame& frame, QImage& target) noexcept {
    if (frame.data == nullptr) {
        LogFailure("no frame data");
        return {};
    }
    try {
        const TConversionResult result = Produce(frame, target);
        if (result.outcome == Outcome::Diagnostic) {
            DrawDiagnostic(target, frame.length, frame.compression);
        }
        return result;
    } catch (const std::exception& e) {
        LogFailure(e.what());
    } catch (...) {
        LogFailure("unknown error");
    }
    return {};
}

TConversionResult TFrameConverter::Produce(const TRawFrame& frame, QImage& target) {
    const FrameLayout layout = LayoutOf(frame.compression);
    if (layout == FrameLayout::Unsupported) {
        return Diagnostic(Reason::UnsupportedCode);
    }
    if (layout == FrameLayout::Jpeg) {
        return DecodeJpeg(frame, target);
    }
    const std::int64_t stride = SourceStride(layout, frame);
    if (stride == 0) {
        const std::int64_t required = RequiredFrameLength(layout, frame.width, frame.height);
        if (frame.length != required) {
            return Diagnostic(Reason::LengthMismatch, required);
        }
    } else if (const std::int64_t required = RequiredPaddedLength(layout, stride, frame.height);
               frame.length < required) {
        return Diagnostic(Reason::LengthMismatch, required);
    }
    CheckTargetFits(frame, target);
    if (frame.width > 0 && frame.height > 0) {
        ConvertRows(layout, frame, target);
    }
    return {Outcome::Converted};
}

// When target's pixels are shared (with the encoder holding the last logged
// frame, say), writing into them would copy them first. Every pixel is
// rewritten anyway, so target takes other memory instead: the pixels it gave
// up before once nobody else holds them, else new memory. The two pictures
// take turns, with neither copies nor new memory per frame.
void TFrameConverter::Unshare(QImage& target) {
    if (target.isDetached()) {
        return;
    }
    if (!sparePicture_.isDetached() || sparePicture_.size() != target.size() ||
        sparePicture_.format() != target.format()) {
        QImage fresh(target.size(), target.format());
        if (fresh.isNull()) {
            throw std::bad_alloc();  // the old picture stays
        }
        sparePicture_ = std::move(fresh);
    }
    std::swap(target, sparePicture_);
}

void TFrameConverter::ConvertRows(FrameLayout layout, const TRawFrame& frame, QImage& target) {
    Unshare(target);
    std::uint8_t* const bits = target.bits();
    const std::int64_t stride = target.bytesPerLine();
    const std::int64_t source = SourceStride(layout, frame);
    if (layout == FrameLayout::Rgb) {
        CopyRgbRows(frame.data, frame.width, frame.height, !frame.topDownRgb, bits, stride, source);
        return;
    }
    BuildYuvTables();
    if (layout == FrameLayout::Planar420) {
        ConvertPlanar420Rows(tables_, frame.data, frame.width, frame.height,
                             !FindFrameFormat(frame.compression)->crFirst, bits, stride, source);
    } else {
        ConvertPacked422Rows(tables_, frame.data, frame.width, frame.height, bits, stride, source);
    }
}

TConversionResult TFrameConverter::DecodeJpeg(const TRawFrame& frame, QImage& target) {
    if (frame.length < 0) {
        return Diagnostic(Reason::UndecodableJpeg);
    }
    try {
        if (!jpeg_) {
            jpeg_ = std::make_unique<TJpegDecoder>();
        }
        // Read from the frame's own bytes, once: the size check and the
        // decode work on this one header. Nothing larger than the frame is
        // ever decoded, whatever the header says.
        const TJpegDecoder::TSize header = jpeg_->ReadHeader(
            frame.data, static_cast<std::size_t>(frame.length), frame.width, frame.height);
        if (header.width != frame.width || header.height != frame.height) {
            // A header that disagrees with the capture format: a bad frame,
            // never decoded.
            jpeg_->Abort();
            qCInfo(lcPipeline, "MJPG frame of %d bytes says %dx%d, the format is %dx%d",
                   frame.length, header.width, header.height, frame.width, frame.height);
            TConversionResult result = Diagnostic(Reason::JpegSizeMismatch);
            result.jpegWidth = header.width;
            result.jpegHeight = header.height;
            return result;
        }
        // Decoded straight into target, which first takes pixels of its own
        // if they are shared.
        Unshare(target);
        jpeg_->Decode(target);
        return {Outcome::Converted};
    } catch (const std::exception& e) {
        // EJPEG or any other failure shows the diagnostic.
        qCInfo(lcPipeline, "MJPG frame of %d bytes not decoded: %s", frame.length, e.what());
    } catch (...) {
        ++unknownDecodeErrors_;
        qCWarning(lcPipeline, "MJPG frame of %d bytes not decoded: an unknown error (%llu so far)",
                  frame.length, static_cast<unsigned long long>(unknownDecodeErrors_));
    }
    return Diagnostic(Reason::UndecodableJpeg);
}

void TFrameConverter::ReleaseDecoder() noexcept {
    jpeg_.reset();
}

void TFrameConverter::BuildYuvTables() {
    if (tablesReady_) {
        return;
    }
    FillYuvTables(tables_);
    tablesReady_ = true;
}

}  // namespace vistrel
