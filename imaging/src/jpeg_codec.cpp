// SPDX-License-Identifier: MIT
#include "jpeg_codec.h"

#include <jerror.h>

#include <algorithm>
#include <limits>

#include "imaging/jpeg_image.h"

namespace vistrel::jpeg {

namespace {

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}

constexpr std::size_t kBlockSize = 4096;
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

MemorySource& SourceOf(j_decompress_ptr cinfo) {
    return *reinterpret_cast<MemorySource*>(cinfo->src);
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
    MemorySource& src = SourceOf(cinfo);
    if (src.delivered >= src.size) {
        if (src.delivered == 0) {
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        }
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src.pub.next_input_byte = kEndOfImage;
        src.pub.bytes_in_buffer = sizeof kEndOfImage;
        return TRUE;
    }
    const std::size_t count = std::min(kBlockSize, src.size - src.delivered);
    src.pub.next_input_byte = src.data + src.delivered;
    src.pub.bytes_in_buffer = count;
    src.delivered += count;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    if (count <= 0) {
        return;
    }
    MemorySource& src = SourceOf(cinfo);
    auto skip = static_cast<std::size_t>(count);
    if (skip <= src.pub.bytes_in_buffer) {
        src.pub.next_input_byte += skip;
        src.pub.bytes_in_buffer -= skip;
        return;
    }
    // Skip past the current block straight into the rest of the data; the
    // next fill then delivers from there, or the end marker.
    skip -= src.pub.bytes_in_buffer;
    src.pub.bytes_in_buffer = 0;
    src.delivered = std::min(src.size, src.delivered + skip);
}

}  // namespace

void InstallErrorManager(ErrorManager& err, jpeg_common_struct& cinfo) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = ErrorExit;
    err.pub.emit_message = EmitMessage;
    err.pub.output_message = OutputMessage;
    cinfo.err = &err.pub;
}

void AttachSource(jpeg_decompress_struct& cinfo, MemorySource& src, const std::uint8_t* data,
                  std::size_t size) {
    src.data = data;
    src.size = size;
    src.delivered = 0;
    src.pub.init_source = InitSource;
    src.pub.fill_input_buffer = FillInputBuffer;
    src.pub.skip_input_data = SkipInputData;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = TermSource;
    src.pub.next_input_byte = nullptr;
    src.pub.bytes_in_buffer = 0;
    cinfo.src = &src.pub;
}

// The coefficient buffers of a progressive stream (three full-resolution
// components, 6 bytes a pixel) and the two-pass colour quantiser's picture (3
// bytes a pixel), beside tables and row buffers. Beyond it a decode fails
// with the library's own error instead of taking the memory.
long WorkingMemoryLimit(int maxWidth, int maxHeight) {
    constexpr std::int64_t kFixed = 32 << 20;
    constexpr std::int64_t kPerPixel = 9;
    const std::int64_t pixels = static_cast<std::int64_t>(maxWidth) * maxHeight;
    return static_cast<long>(
        std::min<std::int64_t>(kFixed + kPerPixel * pixels, std::numeric_limits<long>::max()));
}

void ChooseDecodeOutput(jpeg_decompress_struct& cinfo, int maxWidth, int maxHeight, bool palette) {
    const auto widthLimit = static_cast<JDIMENSION>(maxWidth);
    const auto heightLimit = static_cast<JDIMENSION>(maxHeight);
    // Checked before the library takes any memory for the picture.
    if (cinfo.image_width > widthLimit || cinfo.image_height > heightLimit) {
        ERREXIT1(&cinfo, JERR_IMAGE_TOO_BIG, std::max(widthLimit, heightLimit));
    }
    // Only grey and three-component colour fit our pictures; CMYK and YCCK
    // would give four bytes per pixel.
    const bool colour = cinfo.num_components == 3 && cinfo.out_color_space == JCS_RGB;
    const bool grey = cinfo.num_components == 1 && cinfo.out_color_space == JCS_GRAYSCALE;
    if (!colour && !grey) {
        ERREXIT(&cinfo, JERR_CONVERSION_NOTIMPL);
    }
    cinfo.scale_num = 1;
    cinfo.scale_denom = 1;
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.do_fancy_upsampling = TRUE;
    cinfo.do_block_smoothing = TRUE;
    cinfo.buffered_image = FALSE;
    if (grey || palette) {
        cinfo.quantize_colors = TRUE;
        cinfo.desired_number_of_colors = TJPEGImage::kPaletteColours;
    } else {
        cinfo.out_color_space = JCS_EXT_BGR;
    }
}

void ReadRows(jpeg_decompress_struct& cinfo, std::uint8_t* pixels, std::size_t stride) {
    constexpr JDIMENSION kRowsPerCall = 16;
    JSAMPROW rows[kRowsPerCall];
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        const JDIMENSION count = std::min(kRowsPerCall, cinfo.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i) {
            rows[i] = pixels + stride * (first + i);
        }
        jpeg_read_scanlines(&cinfo, rows, count);
    }
}

}  // namespace vistrel::jpeg
