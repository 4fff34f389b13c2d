// SPDX-License-Identifier: MIT
#include "imaging/jpeg_decoder.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "imaging/jpeg_image.h"
#include "jpeg_codec.h"

namespace vistrel {

using jpeg::RunGuarded;

struct TJpegDecoder::Context {
    enum class Stream {
        None,        // nothing begun, or done with
        HeaderRead,  // jpeg_read_header has run on it
        Empty,       // no bytes: nothing for libjpeg yet
    };

    jpeg::DecompressContext jpeg;
    jpeg::MemorySource source;
    Stream stream = Stream::None;
    int maxWidth = 0;
    int maxHeight = 0;
    // Palette indices of a quantised decode, reused from frame to frame.
    std::vector<std::uint8_t> indices;

    jpeg_decompress_struct& Info() { return jpeg.cinfo; }

    // The library's context is made once and kept; a failed creation is
    // undone, so the next stream tries again.
    void EnsureCreated() {
        if (Info().mem != nullptr) {
            return;
        }
        if (!RunGuarded(jpeg.err, [&] { jpeg_create_decompress(&Info()); })) {
            jpeg_destroy(jpeg.Common());
            jpeg.Raise();
        }
    }

    // Returns the context to its idle state, after an error too, so that it
    // serves the next stream.
    void Abort() noexcept {
        stream = Stream::None;
        if (Info().mem != nullptr) {
            (void)RunGuarded(jpeg.err, [&] { jpeg_abort_decompress(&Info()); });
        }
    }

    [[noreturn]] void Fail() {
        Abort();
        jpeg.Raise();
    }

    void ReadHeader(const std::uint8_t* data, std::size_t size) {
        EnsureCreated();
        jpeg_decompress_struct& cinfo = Info();
        const long memoryLimit = jpeg::WorkingMemoryLimit(maxWidth, maxHeight);
        const bool ok = RunGuarded(jpeg.err, [&] {
            cinfo.mem->max_memory_to_use = memoryLimit;
            jpeg::AttachSource(cinfo, source, data, size);
            jpeg_read_header(&cinfo, TRUE);
        });
        if (!ok) {
            Fail();
        }
        stream = Stream::HeaderRead;
    }

    void DecodeRows(QImage& target);
};

namespace {

// Palette indices to BGR pixels with the decode's colour map, as TJPEGImage
// draws an indexed picture.
void ExpandPalette(const jpeg_decompress_struct& cinfo, const std::uint8_t* indices,
                   QImage& target) {
    const JSAMPARRAY map = cinfo.colormap;
    const bool grey = cinfo.out_color_components == 1;
    const auto width = static_cast<std::size_t>(target.width());
    for (int row = 0; row < target.height(); ++row) {
        const std::uint8_t* from = indices + width * static_cast<std::size_t>(row);
        uchar* to = target.scanLine(row);
        for (std::size_t i = 0; i < width; ++i, to += 3) {
            const int index = from[i];
            to[0] = map[grey ? 0 : 2][index];
            to[1] = map[grey ? 0 : 1][index];
            to[2] = map[0][index];
        }
    }
}

}  // namespace

void TJpegDecoder::Context::DecodeRows(QImage& target) {
    jpeg_decompress_struct& cinfo = Info();
    const bool palette = TJPEGImage::PaletteOutput();
    const int limitWidth = maxWidth;
    const int limitHeight = maxHeight;
    if (!RunGuarded(jpeg.err, [&] {
            jpeg::ChooseDecodeOutput(cinfo, limitWidth, limitHeight, palette);
            jpeg_start_decompress(&cinfo);
        })) {
        Fail();
    }
    // The index rows' memory is made outside the guarded code, which must
    // not own objects.
    std::uint8_t* rows = target.bits();
    auto stride = static_cast<std::size_t>(target.bytesPerLine());
    if (cinfo.quantize_colors) {
        stride = static_cast<std::size_t>(target.width());
        indices.resize(stride * static_cast<std::size_t>(target.height()));
        rows = indices.data();
    }
    if (!RunGuarded(jpeg.err, [&] { jpeg::ReadRows(cinfo, rows, stride); })) {
        Fail();
    }
    if (cinfo.quantize_colors) {
        ExpandPalette(cinfo, indices.data(), target);  // the map lives until the finish
    }
    if (!RunGuarded(jpeg.err, [&] { jpeg_finish_decompress(&cinfo); })) {
        Fail();
    }
    stream = Stream::None;
}

TJpegDecoder::TJpegDecoder() : context_(std::make_unique<Context>()) {}
TJpegDecoder::~TJpegDecoder() = default;

TJpegDecoder::TSize TJpegDecoder::ReadHeader(const std::uint8_t* data, std::size_t size,
                                             int maxWidth, int maxHeight) {
    Context& c = *context_;
    c.Abort();
    c.maxWidth = std::max(0, maxWidth);
    c.maxHeight = std::max(0, maxHeight);
    if (data == nullptr || size == 0) {
        c.stream = Context::Stream::Empty;
        return {};
    }
    c.ReadHeader(data, size);
    return {static_cast<int>(c.Info().image_width), static_cast<int>(c.Info().image_height)};
}

void TJpegDecoder::Decode(QImage& target) {
    Context& c = *context_;
    if (c.stream == Context::Stream::Empty) {
        c.ReadHeader(nullptr, 0);  // raises libjpeg's own empty-input error
    }
    if (c.stream != Context::Stream::HeaderRead) {
        throw std::logic_error("no JPEG header read before the decode");
    }
    if (target.format() != QImage::Format_BGR888 ||
        static_cast<JDIMENSION>(target.width()) != c.Info().image_width ||
        static_cast<JDIMENSION>(target.height()) != c.Info().image_height) {
        c.Abort();
        throw std::logic_error("the picture does not match the JPEG header");
    }
    try {
        c.DecodeRows(target);
    } catch (...) {
        c.Abort();
        throw;
    }
}

void TJpegDecoder::Abort() noexcept {
    context_->Abort();
}

// ---- Marker scan -------------------------------------------------------------

namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;

std::size_t BigEndian16(const std::uint8_t* at) {
    return static_cast<std::size_t>(at[0]) << 8 | at[1];
}

bool IsFrameHeader(std::uint8_t marker) {
    // 0xC4 (Huffman tables), 0xC8 (reserved) and 0xCC (arithmetic
    // conditioning) share the range without being frame headers.
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The kinds libjpeg decodes: baseline, extended and progressive, Huffman or
// arithmetic coded.
bool IsDecodableFrameHeader(std::uint8_t marker) {
    return marker == 0xC0 || marker == 0xC1 || marker == 0xC2 || marker == 0xC9 || marker == 0xCA;
}

}  // namespace

std::optional<TJpegDecoder::TSize> ScanJpegSize(const std::uint8_t* data,
                                                std::size_t size) noexcept {
    if (data == nullptr || size < 2 || data[0] != kMarkerPrefix || data[1] != 0xD8) {
        return std::nullopt;
    }
    std::size_t pos = 2;
    for (;;) {
        // As libjpeg does, bytes before a marker and fill bytes are skipped,
        // and so is a stuffed zero.
        while (pos < size && data[pos] != kMarkerPrefix) {
            ++pos;
        }
        while (pos < size && data[pos] == kMarkerPrefix) {
            ++pos;
        }
        if (pos >= size) {
            return std::nullopt;
        }
        const std::uint8_t marker = data[pos++];
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            continue;  // no segment follows
        }
        if (marker >= 0xD8 && marker <= 0xDA) {
            return std::nullopt;  // SOI, EOI or the scan before any frame header
        }
        if (size - pos < 2) {
            return std::nullopt;
        }
        const std::size_t length = BigEndian16(data + pos);
        if (IsFrameHeader(marker)) {
            // length, precision, height, width
            if (!IsDecodableFrameHeader(marker) || length < 7 || size - pos < 7) {
                return std::nullopt;
            }
            const auto height = static_cast<int>(BigEndian16(data + pos + 3));
            const auto width = static_cast<int>(BigEndian16(data + pos + 5));
            if (width == 0 || height == 0) {
                return std::nullopt;
            }
            return TJpegDecoder::TSize{width, height};
        }
        if (length < 2 || size - pos < length) {
            return std::nullopt;
        }
        pos += length;
    }
}

}  // namespace vistrel
