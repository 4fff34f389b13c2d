// SPDX-License-Identifier: MIT
#pragma once

#include <QIODevice>
#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/errors.h"
#include "storage/file_errors.h"

namespace vistrel {

// A JPEG picture that is held either compressed, uncompressed, or both.
//
// The encoder side takes a 24-bit picture (QImage::Format_BGR888) with
// SetImage and writes it as a baseline JFIF file with SaveFile. The decoder
// side takes a JPEG stream with LoadData (header only) and decodes it on the
// first DrawOn. Every encode or decode makes and destroys its own libjpeg
// context; the object itself is meant to live for the whole run and be reused
// for every frame (camera frames decode with TJpegDecoder, imaging/
// jpeg_decoder.h, which keeps one context). Not thread-safe: one object
// belongs to one thread.
//
// Failures are raised: EJPEG for libjpeg's fatal errors, the EFileError kinds
// (storage/file_errors.h) for the output file.
class TJPEGImage {
public:
    TJPEGImage();

    int EncodingQuality() const { return encodingQuality_; }
    // Takes effect at the next encode; data already held is not re-encoded.
    void SetEncodingQuality(int quality) { encodingQuality_ = quality; }

    // Keeps a copy of image (converted to Format_BGR888 when it has another
    // format) and drops any compressed data. Nothing is encoded yet.
    void SetImage(const QImage& image);
    // The same without a copy, for a caller that hands its picture over and
    // keeps no pointer into its pixels (not for a QImage made around memory
    // of the caller's, which would go on sharing it).
    void SetImage(QImage&& image);

    // As SetImage, but a Format_BGR888 image is shared, not copied: Qt copies
    // the pixels only when the caller writes to its image while this object
    // still holds them, so later changes still do not reach the held picture.
    // Saves a copy of every logged frame. image must own its pixel memory;
    // for an image made over a buffer the caller goes on writing, use
    // SetImage.
    void ShareImage(const QImage& image);

    // Encodes the picture if no compressed data is held yet, then writes the
    // compressed data to path, replacing a file of that name (ReplaceFile in
    // storage/output_file.h: a temporary file, synced, renamed over path), so
    // a failed encode or a full disk never leaves a truncated picture under
    // the final name.
    void SaveFile(const QString& path);

    // The JPEG stream of the picture, encoded now if none is held yet.
    const std::vector<std::uint8_t>& Encoded();

    // Takes the bytes from the stream's position to its end and reads the
    // JPEG header from them (unless there are none). Drops the picture.
    void LoadData(QIODevice& stream);
    // The same for size bytes at data.
    void LoadData(const std::uint8_t* data, std::size_t size);

    // Decodes the held stream on first use and copies the picture onto
    // target (Format_BGR888) with its top-left corner at (x, y), clipped to
    // the target. Does nothing when neither a stream nor a picture is held.
    void DrawOn(QImage& target, int x, int y);

    // As DrawOn(target, 0, 0), but a Format_BGR888 picture of exactly the
    // target's size is shared with the target instead of copied onto it
    // (target then holds the picture's pixels; Qt copies them only on a later
    // write while both hold them). Saves a copy of every decoded frame.
    // target must own its pixel memory: one made over a caller's buffer would
    // be pointed away from that buffer.
    void ShareOnto(QImage& target);

    // DrawOn(target, 0, 0) that keeps no picture of its own when target is a
    // Format_BGR888 picture of the stream's size and the stream decodes to
    // colour without a palette: the rows are decoded straight into target, so
    // a large picture is held once. Other streams and targets go through
    // DrawOn. A decode that fails part-way may leave target partly written.
    void DecodeInto(QImage& target);

    // The largest picture a decode accepts. A stream whose header claims a
    // wider or higher picture is refused with EJPEG (JERR_IMAGE_TOO_BIG)
    // before anything is decoded, and libjpeg's own working memory is capped
    // to what a picture of this size needs, so a lying header costs nothing.
    // kDefaultDecodeLimit by default; applies from the next LoadData or decode.
    void SetDecodeLimit(int maxWidth, int maxHeight);
    static constexpr int kDefaultDecodeLimit = 16384;

    // What a stream's header says, read without keeping anything; nullopt
    // when libjpeg rejects the header. Safe on any thread.
    struct THeader {
        int width = 0;
        int height = 0;
        bool grayscale = false;
        bool progressive = false;
    };
    static std::optional<THeader> ReadHeader(const std::uint8_t* data, std::size_t size) noexcept;

    // Size of the picture when one is held, else of the loaded header.
    int Width() const;
    int Height() const;

    bool Grayscale() const { return grayscale_; }
    bool Progressive() const { return progressive_; }

    // The held JPEG stream, if any (empty after encoding a 0-sized picture).
    const std::optional<std::vector<std::uint8_t>>& CompressedData() const {
        return compressedData_;
    }
    // The held picture: Format_BGR888, or Format_Indexed8 after a decode
    // with palette output. Null when there is none.
    const QImage& SourceImage() const { return sourceImage_; }

    // How many times this object has run the encoder.
    std::uint64_t EncodeCount() const { return encodeCount_; }

    // Decoding into a palette of at most 236 colours for every colour stream,
    // as for displays of 8 bits per pixel or fewer. Decided once at start-up
    // for the whole process; off by default.
    static void SetPaletteOutput(bool on);
    static bool PaletteOutput();

    // Largest colour count of a quantised (palette) decode.
    static constexpr int kPaletteColours = 236;

private:
    void Encode();
    // Into direct when it fits (see DecodeInto), else into sourceImage_.
    void Decode(QImage* direct);
    void ReadHeldHeader();
    void DropCompressedData();

    std::optional<std::vector<std::uint8_t>> compressedData_;
    // The memory of dropped compressed data, for the next encode: no
    // growing and copying of the stream once the frames' size is reached.
    std::vector<std::uint8_t> spareData_;
    // The pixels ShareOnto took the target off, for the next decode: two
    // pictures take turns instead of a new one per frame.
    QImage spareImage_;
    int headerWidth_ = 0;
    int headerHeight_ = 0;
    bool grayscale_ = false;
    bool progressive_ = false;
    QImage sourceImage_;
    int encodingQuality_ = 90;
    std::uint64_t encodeCount_ = 0;
    int maxWidth_ = kDefaultDecodeLimit;
    int maxHeight_ = kDefaultDecodeLimit;
};

}  // namespace vistrel
