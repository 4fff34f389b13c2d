// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

// The yardstick: the same work done by libyuv and libjpeg-turbo called
// directly, with the settings Vistrel uses, and the file steps of Vistrel's
// JPEG writer written out by hand.
namespace vistrel::bench {

// libyuv's fastest YUY2 to 24-bit chain in the Debian version (it has no
// direct YUY2ToRGB24): YUY2ToARGB, then ARGBToRGB24, one row at a time so
// that the 32-bit row stays in cache. Row by row measured faster than bands
// of rows, whole frames, or the chain through I422.
class LibyuvYuy2 {
public:
    explicit LibyuvYuy2(int width);
    void Convert(const std::uint8_t* yuy2, int width, int height, std::uint8_t* bgr,
                 std::ptrdiff_t stride);

private:
    std::vector<std::uint8_t> argbRow_;
};

void LibyuvI420(const std::uint8_t* i420, int width, int height, std::uint8_t* bgr,
                std::ptrdiff_t stride);

// The libyuv processor flags of the x86 level that a vector instruction set
// of ours stands for ("SSSE3", "SSE4", "AVX2", "AVX3", "AVX3_DL"), for
// libyuv::MaskCpuFlags; 0 for a name without one.
int LibyuvFlagsOfLevel(const std::string& level);

// Runs libyuv with only the given flags while it lives (all again after).
class LibyuvLevelScope {
public:
    explicit LibyuvLevelScope(int flags);
    ~LibyuvLevelScope();
    LibyuvLevelScope(const LibyuvLevelScope&) = delete;
    LibyuvLevelScope& operator=(const LibyuvLevelScope&) = delete;
};

// libjpeg-turbo decoding to BGR pixels with Vistrel's settings: floating-
// point DCT, fancy upsampling, block smoothing, full scale. One context is
// kept for all frames. The input must be a good colour JPEG: libjpeg's
// standard error handler ends the program on a fatal error.
class BareDecoder {
public:
    BareDecoder();
    ~BareDecoder();
    BareDecoder(const BareDecoder&) = delete;
    BareDecoder& operator=(const BareDecoder&) = delete;

    // Decodes jpeg into height rows of stride bytes at bgr.
    void Decode(std::span<const std::uint8_t> jpeg, std::uint8_t* bgr, std::ptrdiff_t stride,
                int height);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// libjpeg-turbo encoding of BGR pixels with Vistrel's settings (baseline,
// standard tables, floating-point DCT, JFIF 1.1 without density) into a
// buffer made once, big enough that it never grows. One context is kept for
// all frames; fatal errors end the program as for BareDecoder.
class BareEncoder {
public:
    BareEncoder(int quality, int width, int height);
    ~BareEncoder();
    BareEncoder(const BareEncoder&) = delete;
    BareEncoder& operator=(const BareEncoder&) = delete;

    // The stream, valid until the next Encode.
    std::span<const std::uint8_t> Encode(const std::uint8_t* bgr, std::ptrdiff_t stride, int width,
                                         int height);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// Publishes data as dir/name the way Vistrel's JPEG writer does, so that the
// save and path cases compare like with like. It must follow the codec's file
// steps (TJPEGImage::SaveFile in imaging/src/jpeg_image.cpp): a new temporary
// file beside the final name (O_CREAT | O_EXCL), the whole stream written,
// fdatasync (unless sync is false), close, then renameat2 with
// RENAME_NOREPLACE, or link and unlink where the file system has no such
// rename. The final name must not exist. Returns "" or what failed.
std::string PublishFile(const std::string& dir, const std::string& name,
                        std::span<const std::uint8_t> data, bool sync = true);

}  // namespace vistrel::bench
