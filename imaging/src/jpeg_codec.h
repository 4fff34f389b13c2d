// SPDX-License-Identifier: MIT
#pragma once

// The libjpeg plumbing both the picture codec and the frame decoder use: the
// error manager, the guard around library calls, the one context holder, the
// memory source and the decode settings. Private to imaging.

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

#include "imaging/errors.h"
#include "logging.h"

namespace vistrel::jpeg {

// libjpeg reports a fatal error by calling error_exit, which must not return.
// We leave the library with longjmp back to RunGuarded and raise EJPEG there,
// outside any C frame. Warnings, traces and messages are dropped.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void InstallErrorManager(ErrorManager& err, jpeg_common_struct& cinfo);

// Runs body, which calls into libjpeg, and reports whether it finished
// without a fatal error. A fatal error leaves body by longjmp, so body must
// hold no local objects with destructors.
template <typename Body>
[[nodiscard]] bool RunGuarded(ErrorManager& err, Body&& body) {
    if (setjmp(err.jump) != 0) {
        return false;
    }
    body();
    return true;
}

// Owns one libjpeg context, compression or decompression, with our error
// manager; destroyed on every exit, error or not. jpeg_destroy serves both
// kinds, and a context that was never created is left alone by it.
template <typename Struct>
struct JpegContext {
    Struct cinfo{};
    ErrorManager err{};
    JpegContext() { InstallErrorManager(err, *Common()); }
    ~JpegContext() { jpeg_destroy(Common()); }
    JpegContext(const JpegContext&) = delete;
    JpegContext& operator=(const JpegContext&) = delete;

    // Raises the library's fatal error with the library's own text.
    [[noreturn]] void Raise() {
        char text[JMSG_LENGTH_MAX] = {};
        err.pub.format_message(Common(), text);
        qCInfo(lcImaging, "libjpeg error %d: %s", err.pub.msg_code, text);
        throw EJPEG(err.pub.msg_code, text);
    }

    j_common_ptr Common() { return reinterpret_cast<j_common_ptr>(&cinfo); }
};

using CompressContext = JpegContext<jpeg_compress_struct>;
using DecompressContext = JpegContext<jpeg_decompress_struct>;

// Hands a stream in memory to the library in blocks of up to 4096 bytes.
// When the data runs out after something was delivered, an end-of-image
// marker is supplied with a warning, so a stream cut short still decodes to a
// full picture; with nothing delivered at all it is the library's
// empty-input error.
struct MemorySource {
    jpeg_source_mgr pub{};
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t delivered = 0;
};

void AttachSource(jpeg_decompress_struct& cinfo, MemorySource& src, const std::uint8_t* data,
                  std::size_t size);

// libjpeg's working memory for a picture of up to maxWidth x maxHeight.
long WorkingMemoryLimit(int maxWidth, int maxHeight);

// After jpeg_read_header: refuses a picture beyond maxWidth x maxHeight and
// any colour model but grey and three-component colour, and chooses the
// output (BGR rows, or palette indices for grey streams and palette output).
// Raises through the library, so it runs inside RunGuarded.
void ChooseDecodeOutput(jpeg_decompress_struct& cinfo, int maxWidth, int maxHeight, bool palette);

// After jpeg_start_decompress: reads every output row into rows of stride
// bytes at pixels. Raises through the library, so it runs inside RunGuarded.
void ReadRows(jpeg_decompress_struct& cinfo, std::uint8_t* pixels, std::size_t stride);

}  // namespace vistrel::jpeg
