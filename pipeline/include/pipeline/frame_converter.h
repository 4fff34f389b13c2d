// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>

#include <cstdint>
#include <memory>

#include "pipeline/frame_format.h"
#include "pipeline/yuv_tables.h"

namespace vistrel {

class TJpegDecoder;

// One raw frame and the format it was captured in.
struct TRawFrame {
    const std::uint8_t* data = nullptr;
    std::int32_t length = 0;
    std::uint32_t compression = fourcc::kRGB;  // the FourCC; 0 is RGB
    std::int32_t width = 0;
    std::int32_t height = 0;
    // Code 0 only: the first row is the top row (V4L2 BGR24), not the bottom.
    bool topDownRgb = false;
    // Bytes from the start of one row to the next (a driver's bytes per
    // line); 0, or no more than the unpadded row, means unpadded rows.
    // 4:2:0 chroma rows are stride / 2 apart. Not used for MJPG.
    std::int32_t stride = 0;
};

// What a conversion left in the picture.
struct TConversionResult {
    enum class Outcome {
        Converted,   // the frame's picture
        Diagnostic,  // the two-line diagnostic text; reason says why
        Failed,      // an unexpected failure; see TFrameConverter::Convert
    };
    enum class Reason {
        None,
        LengthMismatch,   // the frame's length is not requiredLength (padded: less)
        UnsupportedCode,  // no conversion for this FourCC
        UndecodableJpeg,  // the JPEG decoder rejected an MJPG frame
        // An MJPG frame whose header gives another size than the frame's: a
        // bad frame, not decoded (a live capture never even shows it).
        JpegSizeMismatch,
    };

    Outcome outcome = Outcome::Failed;
    Reason reason = Reason::None;
    std::int64_t requiredLength = -1;  // LengthMismatch: what the format needs
    std::int32_t jpegWidth = 0;        // JpegSizeMismatch: what the header says
    std::int32_t jpegHeight = 0;

    // The picture shows the frame or its diagnostic: the work is done.
    bool Completed() const { return outcome != Outcome::Failed; }
};

// Converts raw frames into 24-bit pictures (QImage::Format_BGR888).
//
// Owns what conversion reuses from frame to frame: the YUV coefficient
// tables, built at the first YUV frame, and the JPEG decoder with its one
// libjpeg context, made at the first MJPG frame and kept until
// ReleaseDecoder. One converter belongs to one thread.
class TFrameConverter {
public:
    TFrameConverter();
    ~TFrameConverter();
    TFrameConverter(const TFrameConverter&) = delete;
    TFrameConverter& operator=(const TFrameConverter&) = delete;

    // Converts frame into target by its FourCC.
    //
    // RGB, 4:2:0 and 4:2:2 frames of exactly RequiredFrameLength bytes
    // rewrite every pixel; target must be a Format_BGR888 picture of the
    // frame's size (a null picture for a size of 0). Frames with padded rows
    // (a stride beyond the unpadded row) need at least RequiredPaddedLength
    // bytes; more are accepted, as drivers may round their frame size up. An
    // MJPG frame is decoded onto target only when its header gives the
    // frame's size; it never takes more memory than a picture of that size.
    // Any other length, an unsupported code, JPEG data the decoder rejects or
    // a JPEG header of another size gets the diagnostic text drawn over target
    // (nothing when target is null).
    //
    // No copy of the picture is made on the way: target may be given new
    // memory (when its pixels are shared) or the decoder's picture (an MJPG
    // frame of its size). So target must own its pixel memory, not wrap a
    // caller's buffer.
    //
    // Failed: frame.data is null, target does not fit a raw frame (it is
    // then left untouched), or something unexpected such as no memory; the
    // failure is logged. Never throws.
    TConversionResult Convert(const TRawFrame& frame, QImage& target) noexcept;

    // Frees the JPEG decoder; the next MJPG frame makes a new one.
    void ReleaseDecoder() noexcept;

    bool TablesReady() const { return tablesReady_; }
    const TYuvTables& YuvTables() const { return tables_; }

private:
    TConversionResult Produce(const TRawFrame& frame, QImage& target);
    void ConvertRows(FrameLayout layout, const TRawFrame& frame, QImage& target);
    void Unshare(QImage& target);
    TConversionResult DecodeJpeg(const TRawFrame& frame, QImage& target);
    void BuildYuvTables();

    bool tablesReady_ = false;
    TYuvTables tables_;
    std::unique_ptr<TJpegDecoder> jpeg_;
    std::uint64_t unknownDecodeErrors_ = 0;  // failures that were no std::exception
    // The pixels Unshare took the target off, for a later frame.
    QImage sparePicture_;
};

}  // namespace vistrel
