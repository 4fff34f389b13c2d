// SPDX-License-Identifier: MIT
#include "bare_chain.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/cpu_id.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/errors.h"
#include "base/unique_fd.h"

namespace vistrel::bench {

LibyuvYuy2::LibyuvYuy2(int width) : argbRow_(static_cast<std::size_t>(width) * 4) {}

void LibyuvYuy2::Convert(const std::uint8_t* yuy2, int width, int height, std::uint8_t* bgr,
                         std::ptrdiff_t stride) {
    const int sourceStride = width * 2;
    for (int y = 0; y < height; ++y) {
        libyuv::YUY2ToARGB(yuy2 + static_cast<std::ptrdiff_t>(y) * sourceStride, sourceStride,
                           argbRow_.data(), width * 4, width, 1);
        libyuv::ARGBToRGB24(argbRow_.data(), width * 4, bgr + y * stride, static_cast<int>(stride),
                            width, 1);
    }
}

void LibyuvI420(const std::uint8_t* i420, int width, int height, std::uint8_t* bgr,
                std::ptrdiff_t stride) {
    const std::uint8_t* cb = i420 + static_cast<std::size_t>(width) * height;
    const std::uint8_t* cr = cb + static_cast<std::size_t>(width) * height / 4;
    libyuv::I420ToRGB24(i420, width, cb, width / 2, cr, width / 2, bgr, static_cast<int>(stride),
                        width, height);
}

int LibyuvFlagsOfLevel(const std::string& level) {
    using namespace libyuv;
    const int ssse3 = kCpuHasX86 | kCpuHasSSE2 | kCpuHasSSSE3;
    const int sse4 = ssse3 | kCpuHasSSE41 | kCpuHasSSE42;
    const int avx2 = sse4 | kCpuHasAVX | kCpuHasAVX2 | kCpuHasERMS | kCpuHasFMA3 | kCpuHasF16C;
    const int avx3 = avx2 | kCpuHasAVX512BW | kCpuHasAVX512VL;
    const int avx3dl = avx3 | kCpuHasGFNI | kCpuHasAVX512VNNI | kCpuHasAVX512VBMI |
                       kCpuHasAVX512VBMI2 | kCpuHasAVX512VBITALG | kCpuHasAVX512VPOPCNTDQ;
    return level == "SSSE3"     ? ssse3
           : level == "SSE4"    ? sse4
           : level == "AVX2"    ? avx2
           : level == "AVX3"    ? avx3
           : level == "AVX3_DL" ? avx3dl
                                : 0;
}

LibyuvLevelScope::LibyuvLevelScope(int flags) {
    libyuv::MaskCpuFlags(flags);
}

LibyuvLevelScope::~LibyuvLevelScope() {
    libyuv::MaskCpuFlags(-1);
}

// ---- Decoder --------------------------------------------------------------

struct BareDecoder::Context {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    std::vector<JSAMPROW> rows;
};

BareDecoder::BareDecoder() : context_(std::make_unique<Context>()) {
    context_->cinfo.err = jpeg_std_error(&context_->err);
    jpeg_create_decompress(&context_->cinfo);
}

BareDecoder::~BareDecoder() {
    jpeg_destroy_decompress(&context_->cinfo);
}

void BareDecoder::Decode(std::span<const std::uint8_t> jpeg, std::uint8_t* bgr,
                         std::ptrdiff_t stride, int height) {
    jpeg_decompress_struct& cinfo = context_->cinfo;
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 1;
    cinfo.scale_denom = 1;
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.do_fancy_upsampling = TRUE;
    cinfo.do_block_smoothing = TRUE;
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    std::vector<JSAMPROW>& rows = context_->rows;
    rows.resize(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        rows[static_cast<std::size_t>(y)] = bgr + y * stride;
    }
    const auto last = std::min<JDIMENSION>(cinfo.output_height, static_cast<JDIMENSION>(height));
    while (cinfo.output_scanline < last) {
        jpeg_read_scanlines(&cinfo, rows.data() + cinfo.output_scanline,
                            last - cinfo.output_scanline);
    }
    if (cinfo.output_scanline == cinfo.output_height) {
        jpeg_finish_decompress(&cinfo);
    } else {
        jpeg_abort_decompress(&cinfo);  // the target had fewer rows than the picture
    }
}

// ---- Encoder --------------------------------------------------------------

struct BareEncoder::Context {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    int quality = 0;
    std::vector<std::uint8_t> buffer;
    std::vector<JSAMPROW> rows;
};

BareEncoder::BareEncoder(int quality, int width, int height)
    : context_(std::make_unique<Context>()) {
    context_->cinfo.err = jpeg_std_error(&context_->err);
    jpeg_create_compress(&context_->cinfo);
    context_->quality = quality;
    // Larger than any stream of the picture: the library never has to grow it.
    context_->buffer.resize(static_cast<std::size_t>(width) * height * 3 + 65536);
}

BareEncoder::~BareEncoder() {
    jpeg_destroy_compress(&context_->cinfo);
}

std::span<const std::uint8_t> BareEncoder::Encode(const std::uint8_t* bgr, std::ptrdiff_t stride,
                                                  int width, int height) {
    jpeg_compress_struct& cinfo = context_->cinfo;
    unsigned char* out = context_->buffer.data();
    unsigned long size = context_->buffer.size();
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, context_->quality, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.optimize_coding = FALSE;
    cinfo.smoothing_factor = 0;
    cinfo.restart_interval = 0;
    cinfo.write_JFIF_header = TRUE;
    cinfo.JFIF_major_version = 1;
    cinfo.JFIF_minor_version = 1;
    cinfo.density_unit = 0;
    cinfo.X_density = 1;
    cinfo.Y_density = 1;
    cinfo.write_Adobe_marker = FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPROW>& rows = context_->rows;
    rows.resize(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        rows[static_cast<std::size_t>(y)] = const_cast<JSAMPROW>(bgr + y * stride);
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        jpeg_write_scanlines(&cinfo, rows.data() + cinfo.next_scanline,
                             cinfo.image_height - cinfo.next_scanline);
    }
    jpeg_finish_compress(&cinfo);
    return {out, static_cast<std::size_t>(size)};
}

// ---- File steps -----------------------------------------------------------

namespace {

std::string Failure(const char* call, const std::string& file, int errorNumber) {
    return std::string(call) + " " + file + ": " + ErrnoText(errorNumber);
}

}  // namespace

std::string PublishFile(const std::string& dir, const std::string& name,
                        std::span<const std::uint8_t> data, bool sync) {
    static unsigned counter = 0;
    const std::string final = dir + "/" + name;
    const std::string temp = dir + "/." + name + "." + std::to_string(::getpid()) + "-" +
                             std::to_string(counter++) + ".part";
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd) {
        return Failure("open", temp, errno);
    }
    const auto fail = [&](const char* call) {
        const int error = errno;
        fd.Reset();
        ::unlink(temp.c_str());
        return Failure(call, temp, error);
    };
    const std::uint8_t* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd.Get(), next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return fail("write");
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    if (sync && ::fdatasync(fd.Get()) != 0) {
        return fail("fdatasync");
    }
    if (::close(fd.Release()) != 0) {
        return fail("close");
    }
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return fail("renameat2");
    }
    if (::link(temp.c_str(), final.c_str()) != 0) {
        return fail("link");
    }
    ::unlink(temp.c_str());
    return {};
}

}  // namespace vistrel::bench
