// SPDX-License-Identifier: MIT
// The JPEG codec's load and decode.
//
// Input: flags (bit 0: palette output, bit 1: decode straight into a target
// of the header's size, bit 2: encode the decoded picture again), the decode
// limit (0..1023 each way), then the stream. Properties: only EJPEG escapes,
// the header LoadData reads is the one ReadHeader reads, and nothing larger
// than the limit is decoded.
#include <QImage>

#include "fuzz_support.h"
#include "imaging/jpeg_image.h"

using namespace vistrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::EnsureApplication();
    fuzz::TInput input(data, size);
    const std::uint8_t flags = input.Byte();
    const int maxWidth = input.Word() % 1024;
    const int maxHeight = input.Word() % 1024;
    const std::uint8_t* stream = input.Rest();
    const std::size_t length = input.RestSize();

    TJPEGImage::SetPaletteOutput((flags & 1) != 0);
    TJPEGImage decoder;
    decoder.SetDecodeLimit(maxWidth, maxHeight);
    try {
        decoder.LoadData(stream, length);
    } catch (const EJPEG&) {
        if (TJPEGImage::ReadHeader(stream, length)) {
            fuzz::Fail("ReadHeader read a header LoadData rejected");
        }
        return 0;
    }
    const auto header = TJPEGImage::ReadHeader(stream, length);
    if (length > 0 &&
        (!header || header->width != decoder.Width() || header->height != decoder.Height())) {
        fuzz::Fail("ReadHeader and LoadData disagree");
    }
    try {
        QImage target;
        if ((flags & 2) != 0 && decoder.Width() <= maxWidth && decoder.Height() <= maxHeight) {
            target = QImage(decoder.Width(), decoder.Height(), QImage::Format_BGR888);
            decoder.DecodeInto(target);
        } else {
            target = QImage(64, 64, QImage::Format_BGR888);
            decoder.DrawOn(target, 0, 0);
        }
        if (decoder.Width() > maxWidth || decoder.Height() > maxHeight) {
            fuzz::Fail("a picture beyond the limit was decoded");
        }
        if ((flags & 4) != 0) {
            TJPEGImage encoder;
            encoder.SetImage(std::move(target));
            encoder.SaveFile(QStringLiteral("/dev/null"));
        }
    } catch (const EJPEG&) {
    }
    TJPEGImage::SetPaletteOutput(false);
    return 0;
}
