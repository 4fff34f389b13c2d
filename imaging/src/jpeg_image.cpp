// SPDX-License-Identifier: MIT
#include "imaging/jpeg_image.h"

#include <QFile>

#include <jerror.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/errors.h"
#include "base/file_name.h"
#include "jpeg_codec.h"
#include "logging.h"
#include "storage/output_file.h"

namespace vistrel {

namespace {

std::atomic<bool> paletteOutput{false};

using jpeg::CompressContext;
using jpeg::DecompressContext;
using jpeg::MemorySource;
using jpeg::RunGuarded;
using jpeg::WorkingMemoryLimit;

// ---- Memory destination ---------------------------------------------------
//
// The library fills a 4096-byte block; each full block, and the remainder at
// the end, is appended to the output vector.

constexpr std::size_t kBlockSize = 4096;

struct MemoryDestination {
    jpeg_destination_mgr pub{};
    std::vector<std::uint8_t>* out = nullptr;
    std::array<JOCTET, kBlockSize> block{};
};

MemoryDestination& DestinationOf(j_compress_ptr cinfo) {
    return *reinterpret_cast<MemoryDestination*>(cinfo->dest);
}

// No exception may cross the library, so an allocation failure becomes the
// library's own out-of-memory error.
bool AppendBlock(MemoryDestination& dest, std::size_t count) noexcept {
    try {
        dest.out->insert(dest.out->end(), dest.block.begin(), dest.block.begin() + count);
        return true;
    } catch (...) {
        return false;
    }
}

void InitDestination(j_compress_ptr cinfo) {
    MemoryDestination& dest = DestinationOf(cinfo);
    dest.pub.next_output_byte = dest.block.data();
    dest.pub.free_in_buffer = dest.block.size();
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    MemoryDestination& dest = DestinationOf(cinfo);
    if (!AppendBlock(dest, dest.block.size())) {
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
    InitDestination(cinfo);
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    MemoryDestination& dest = DestinationOf(cinfo);
    if (!AppendBlock(dest, dest.block.size() - dest.pub.free_in_buffer)) {
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
}

// Reads the header of size bytes at data into a fresh context; false when
// libjpeg rejects it (the context then holds the error).
[[nodiscard]] bool ReadHeaderOf(DecompressContext& ctx, MemorySource& src, const std::uint8_t* data,
                                std::size_t size, long memoryLimit) {
    jpeg_decompress_struct& cinfo = ctx.cinfo;
    return RunGuarded(ctx.err, [&] {
        jpeg_create_decompress(&cinfo);
        cinfo.mem->max_memory_to_use = memoryLimit;
        jpeg::AttachSource(cinfo, src, data, size);
        jpeg_read_header(&cinfo, TRUE);
    });
}

}  // namespace

// ---- TJPEGImage -------------------------------------------------------------

TJPEGImage::TJPEGImage() = default;

void TJPEGImage::SetPaletteOutput(bool on) {
    paletteOutput.store(on);
}
bool TJPEGImage::PaletteOutput() {
    return paletteOutput.load();
}

void TJPEGImage::SetImage(const QImage& image) {
    DropCompressedData();
    // A deep copy: the caller's image may wrap memory it goes on changing.
    sourceImage_ = image.format() == QImage::Format_BGR888
                       ? image.copy()
                       : image.convertToFormat(QImage::Format_BGR888);
}

void TJPEGImage::ShareImage(const QImage& image) {
    DropCompressedData();
    sourceImage_ = image.format() == QImage::Format_BGR888
                       ? image
                       : image.convertToFormat(QImage::Format_BGR888);
}

void TJPEGImage::DropCompressedData() {
    if (compressedData_) {
        spareData_ = std::move(*compressedData_);
        compressedData_.reset();
    }
}

void TJPEGImage::SetImage(QImage&& image) {
    DropCompressedData();
    sourceImage_ = QImage();  // the old picture goes before a conversion makes a new one
    if (image.format() == QImage::Format_BGR888) {
        sourceImage_ = std::move(image);
    } else {
        sourceImage_ = image.convertToFormat(QImage::Format_BGR888);
        image = QImage();
    }
}

void TJPEGImage::SetDecodeLimit(int maxWidth, int maxHeight) {
    maxWidth_ = std::max(0, maxWidth);
    maxHeight_ = std::max(0, maxHeight);
}

std::optional<TJPEGImage::THeader> TJPEGImage::ReadHeader(const std::uint8_t* data,
                                                          std::size_t size) noexcept {
    if (data == nullptr || size == 0) {
        return std::nullopt;
    }
    DecompressContext ctx;
    MemorySource src;
    if (!ReadHeaderOf(ctx, src, data, size, WorkingMemoryLimit(0, 0))) {
        return std::nullopt;
    }
    return THeader{static_cast<int>(ctx.cinfo.image_width),
                   static_cast<int>(ctx.cinfo.image_height), ctx.cinfo.num_components == 1,
                   jpeg_has_multiple_scans(&ctx.cinfo) != FALSE};
}

int TJPEGImage::Width() const {
    return sourceImage_.isNull() ? headerWidth_ : sourceImage_.width();
}

int TJPEGImage::Height() const {
    return sourceImage_.isNull() ? headerHeight_ : sourceImage_.height();
}

void TJPEGImage::SaveFile(const QString& path) {
    // Encoded before the file is made: a process killed while encoding
    // leaves nothing behind.
    ReplaceFile(EncodeFileName(path).toStdString(), Encoded());
}

const std::vector<std::uint8_t>& TJPEGImage::Encoded() {
    if (!compressedData_) {
        Encode();
    }
    return *compressedData_;
}

void TJPEGImage::Encode() {
    compressedData_.emplace(std::move(spareData_));
    compressedData_->clear();
    if (sourceImage_.isNull() || sourceImage_.width() == 0 || sourceImage_.height() == 0) {
        return;  // nothing to encode: the file stays empty
    }
    headerWidth_ = sourceImage_.width();
    headerHeight_ = sourceImage_.height();
    ++encodeCount_;

    CompressContext ctx;
    MemoryDestination dest;
    dest.out = &*compressedData_;
    dest.out->reserve(static_cast<std::size_t>(headerWidth_) * headerHeight_ / 4 + kBlockSize);
    dest.pub.init_destination = InitDestination;
    dest.pub.empty_output_buffer = EmptyOutputBuffer;
    dest.pub.term_destination = TermDestination;

    const uchar* pixels = sourceImage_.constBits();
    const auto stride = static_cast<std::size_t>(sourceImage_.bytesPerLine());
    jpeg_compress_struct& cinfo = ctx.cinfo;
    const int quality = encodingQuality_;

    const bool ok = RunGuarded(ctx.err, [&] {
        jpeg_create_compress(&cinfo);
        cinfo.dest = &dest.pub;
        cinfo.image_width = static_cast<JDIMENSION>(headerWidth_);
        cinfo.image_height = static_cast<JDIMENSION>(headerHeight_);
        cinfo.input_components = 3;
        // Our pixels are stored blue, green, red; the library reads them so.
        cinfo.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, quality, TRUE);
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
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(pixels + stride * cinfo.next_scanline);
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
    });
    if (!ok) {
        // Forget the partial stream so that the next save encodes again
        // instead of writing an empty file.
        DropCompressedData();
        ctx.Raise();
    }
}

void TJPEGImage::LoadData(QIODevice& stream) {
    const qint64 count = std::max<qint64>(0, stream.size() - stream.pos());
    sourceImage_ = QImage();
    // Reuse the buffer of the previous stream: MJPG frames arrive one per
    // frame and are mostly of similar size.
    if (!compressedData_) {
        compressedData_.emplace();
    }
    compressedData_->resize(static_cast<std::size_t>(count));
    const qint64 got =
        count > 0 ? stream.read(reinterpret_cast<char*>(compressedData_->data()), count) : 0;
    compressedData_->resize(static_cast<std::size_t>(std::max<qint64>(0, got)));
    ReadHeldHeader();
}

void TJPEGImage::LoadData(const std::uint8_t* data, std::size_t size) {
    sourceImage_ = QImage();
    if (!compressedData_) {
        compressedData_.emplace();
    }
    compressedData_->assign(data, data + (data != nullptr ? size : 0));
    ReadHeldHeader();
}

void TJPEGImage::ReadHeldHeader() {
    headerWidth_ = 0;
    headerHeight_ = 0;
    grayscale_ = false;
    progressive_ = false;
    if (compressedData_->empty()) {
        return;
    }
    DecompressContext ctx;
    MemorySource src;
    if (!ReadHeaderOf(ctx, src, compressedData_->data(), compressedData_->size(),
                      WorkingMemoryLimit(maxWidth_, maxHeight_))) {
        ctx.Raise();
    }
    jpeg_decompress_struct& cinfo = ctx.cinfo;
    headerWidth_ = static_cast<int>(cinfo.image_width);
    headerHeight_ = static_cast<int>(cinfo.image_height);
    grayscale_ = cinfo.num_components == 1;
    progressive_ = jpeg_has_multiple_scans(&cinfo) != FALSE;
}

void TJPEGImage::Decode(QImage* direct) {
    DecompressContext ctx;
    MemorySource src;
    jpeg_decompress_struct& cinfo = ctx.cinfo;
    const bool palette = paletteOutput.load();
    const int maxWidth = maxWidth_;
    const int maxHeight = maxHeight_;
    const long memoryLimit = WorkingMemoryLimit(maxWidth_, maxHeight_);

    // Header and settings; the picture's memory is made outside the guarded
    // code, which must not own objects.
    bool ok = RunGuarded(ctx.err, [&] {
        jpeg_create_decompress(&cinfo);
        cinfo.mem->max_memory_to_use = memoryLimit;
        jpeg::AttachSource(cinfo, src, compressedData_->data(), compressedData_->size());
        jpeg_read_header(&cinfo, TRUE);
        jpeg::ChooseDecodeOutput(cinfo, maxWidth, maxHeight, palette);
        jpeg_start_decompress(&cinfo);
    });
    if (!ok) {
        ctx.Raise();
    }

    const int width = static_cast<int>(cinfo.output_width);
    const int height = static_cast<int>(cinfo.output_height);
    const bool straight = direct != nullptr && !cinfo.quantize_colors &&
                          direct->format() == QImage::Format_BGR888 && direct->width() == width &&
                          direct->height() == height;
    if (straight) {
        sourceImage_ = QImage();  // the rows go to direct; no picture is kept
    } else if (cinfo.quantize_colors) {
        sourceImage_ = QImage(width, height, QImage::Format_Indexed8);
        const int colours = cinfo.actual_number_of_colors;
        QList<QRgb> table(colours);
        for (int i = 0; i < colours; ++i) {
            if (cinfo.out_color_components == 1) {
                const int level = cinfo.colormap[0][i];
                table[i] = qRgb(level, level, level);
            } else {
                table[i] = qRgb(cinfo.colormap[0][i], cinfo.colormap[1][i], cinfo.colormap[2][i]);
            }
        }
        sourceImage_.setColorTable(table);
    } else if (spareImage_.isDetached() && spareImage_.size() == QSize(width, height) &&
               spareImage_.format() == QImage::Format_BGR888) {
        sourceImage_ = std::exchange(spareImage_, QImage());  // memory already in use: no faults
    } else {
        sourceImage_ = QImage(width, height, QImage::Format_BGR888);
    }
    QImage& picture = straight ? *direct : sourceImage_;
    if (picture.isNull()) {
        // QImage could not allocate the picture
        throw EJPEG(JERR_OUT_OF_MEMORY, "Insufficient memory for the picture");
    }

    uchar* pixels = picture.bits();
    const auto stride = static_cast<std::size_t>(picture.bytesPerLine());
    ok = RunGuarded(ctx.err, [&] {
        jpeg::ReadRows(cinfo, pixels, stride);
        jpeg_finish_decompress(&cinfo);
    });
    if (!ok) {
        sourceImage_ = QImage();
        ctx.Raise();
    }
}

void TJPEGImage::ShareOnto(QImage& target) {
    if (sourceImage_.isNull() && compressedData_) {
        Decode(nullptr);
    }
    if (!sourceImage_.isNull() && sourceImage_.format() == QImage::Format_BGR888 &&
        target.format() == QImage::Format_BGR888 && sourceImage_.size() == target.size()) {
        // The target's old pixels are the next decode's memory once nobody
        // else holds them.
        spareImage_ = std::exchange(target, sourceImage_);
        return;
    }
    DrawOn(target, 0, 0);
}

void TJPEGImage::DrawOn(QImage& target, int x, int y) {
    const bool havePicture =
        !sourceImage_.isNull() && sourceImage_.width() > 0 && sourceImage_.height() > 0;
    if (!compressedData_ && !havePicture) {
        return;
    }
    if (sourceImage_.isNull()) {
        if (!compressedData_) {
            return;
        }
        Decode(nullptr);
    }
    if (target.format() != QImage::Format_BGR888) {
        target = target.convertToFormat(QImage::Format_BGR888);
    }

    // The part of the picture that lands inside the target.
    const int left = std::max(0, x);
    const int top = std::max(0, y);
    const int right = std::min(target.width(), x + sourceImage_.width());
    const int bottom = std::min(target.height(), y + sourceImage_.height());
    if (left >= right || top >= bottom) {
        return;
    }
    const int columns = right - left;
    const bool indexed = sourceImage_.format() == QImage::Format_Indexed8;
    std::array<std::array<uchar, 3>, 256> palette{};
    if (indexed) {
        const QList<QRgb> table = sourceImage_.colorTable();
        for (qsizetype i = 0; i < table.size() && i < 256; ++i) {
            palette[i] = {static_cast<uchar>(qBlue(table[i])), static_cast<uchar>(qGreen(table[i])),
                          static_cast<uchar>(qRed(table[i]))};
        }
    }
    for (int row = top; row < bottom; ++row) {
        const uchar* from = sourceImage_.constScanLine(row - y);
        uchar* to = target.scanLine(row) + 3 * left;
        if (indexed) {
            from += left - x;
            for (int i = 0; i < columns; ++i) {
                std::memcpy(to + 3 * i, palette[from[i]].data(), 3);
            }
        } else {
            std::memcpy(to, from + 3 * (left - x), 3 * static_cast<std::size_t>(columns));
        }
    }
}

void TJPEGImage::DecodeInto(QImage& target) {
    if (sourceImage_.isNull() && compressedData_ && !compressedData_->empty() &&
        target.format() == QImage::Format_BGR888 && target.width() == headerWidth_ &&
        target.height() == headerHeight_) {
        Decode(&target);
        if (sourceImage_.isNull()) {
            return;  // decoded straight into target
        }
    }
    DrawOn(target, 0, 0);
}

}  // namespace vistrel
