// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace vistrel {

// Decodes a run of JPEG streams, such as a camera's MJPG frames, straight
// from the caller's memory with one libjpeg context kept from stream to
// stream. The header is read once, by ReadHeader; Decode goes on from it.
// After a libjpeg error the context is reset and serves the next stream.
// Decodes as TJPEGImage does (the same settings, TJPEGImage's palette
// output), so the pictures are the same bytes. Not thread-safe: one object
// belongs to one thread.
class TJpegDecoder {
public:
    TJpegDecoder();
    ~TJpegDecoder();
    TJpegDecoder(const TJpegDecoder&) = delete;
    TJpegDecoder& operator=(const TJpegDecoder&) = delete;

    struct TSize {
        int width = 0;
        int height = 0;
    };

    // Starts on the stream of size bytes at data, dropping any stream begun
    // before, and returns the picture size its header gives. The stream is
    // read from data until Decode or the next ReadHeader, so the bytes must
    // stay until then. libjpeg's working memory is capped to what a picture
    // of maxWidth x maxHeight needs, and Decode refuses a larger picture.
    // An empty stream has the size 0x0 (Decode then raises). Raises EJPEG
    // when libjpeg rejects the header.
    TSize ReadHeader(const std::uint8_t* data, std::size_t size, int maxWidth, int maxHeight);

    // Decodes the stream whose header was read last into target, which must
    // be a Format_BGR888 picture of that header's size (std::logic_error
    // otherwise, with nothing read). Raises EJPEG for libjpeg's errors; a
    // decode that fails part-way may leave target partly written. Either
    // way the stream is done with: another Decode needs a ReadHeader first.
    void Decode(QImage& target);

    // Drops the stream begun by ReadHeader, if any.
    void Abort() noexcept;

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// The picture size in the frame header (SOF0, SOF1 or SOF2) of a JPEG
// stream, found by walking its markers, without libjpeg and without
// allocating: cheap enough for every frame on a capture thread. nullopt when
// the stream does not start with SOI, another kind of frame header or the
// scan comes first, a segment runs past the end, or the size is 0.
std::optional<TJpegDecoder::TSize> ScanJpegSize(const std::uint8_t* data,
                                                std::size_t size) noexcept;

}  // namespace vistrel
