// SPDX-License-Identifier: MIT
#include "frame_conversion.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "capture/pixel_format.h"
#include "yuv_vector.h"

// Odd sizes. Chroma comes per 2 x 2 block (4:2:0) or per horizontal pair
// (4:2:2), and the frame lengths assume even sizes, so a last odd column or
// row has no chroma of its own. It is still converted, from its own luma and
// the chroma of its neighbour: the last column takes the chroma of the pair
// to its left, the last row of a 4:2:0 frame the chroma of the row pair above
// it. A frame one pixel wide (or, in 4:2:0, one pixel high) has no chroma at
// all and is shown grey, with neutral chroma 128. No byte outside the frame
// or the picture is touched.
//
// The vector code converts whole vector steps of pixel pairs from the start
// of each row; the tables convert the rest of the row.

namespace vistrel {

namespace {

constexpr std::uint8_t kNeutralChroma = 128;

enum class Path { Vector, Tables };

// One pixel from its luma and precomputed chroma contributions.
struct Chroma {
    std::int32_t blue;
    std::int32_t green;
    std::int32_t red;
};

inline Chroma ChromaOf(const TYuvTables& t, std::uint8_t u, std::uint8_t v) {
    return {t.TableUB[u], t.TableUG[u] + t.TableVG[v], t.TableVR[v]};
}

inline void StorePixel(const TYuvTables& t, std::uint8_t y, const Chroma& c, std::uint8_t* out) {
    const std::int32_t base = t.TableY[y];
    out[0] = t.Clamp(base + c.blue);
    out[1] = t.Clamp(base + c.green);
    out[2] = t.Clamp(base + c.red);
}

std::int64_t SourceStride(std::int64_t given, std::int64_t rowBytes) {
    if (given == 0) {
        return rowBytes;
    }
    if (given < rowBytes) {
        throw std::invalid_argument("source rows are shorter than the picture");
    }
    return given;
}

// A packed row from pair `first` on.
void Packed422RowTail(const TYuvTables& t, const std::uint8_t* row, int width, int first,
                      std::uint8_t* out) {
    const int pairs = width / 2;
    for (int k = first; k < pairs; ++k) {
        const std::uint8_t* group = row + 4 * k;
        const Chroma c = ChromaOf(t, group[1], group[3]);
        StorePixel(t, group[0], c, out + 6 * k);
        StorePixel(t, group[2], c, out + 6 * k + 3);
    }
    if (width % 2 != 0) {
        // The row's last two bytes: the odd pixel's luma and a lone Cb.
        const std::uint8_t* last = row + 4 * (pairs - 1);
        const Chroma c = pairs == 0 ? ChromaOf(t, kNeutralChroma, kNeutralChroma)
                                    : ChromaOf(t, last[1], last[3]);
        StorePixel(t, row[4 * pairs], c, out + 6 * pairs);
    }
}

void Packed422(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
               std::uint8_t* target, std::int64_t stride, std::int64_t sourceStride, Path path) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const std::int64_t rowStride = SourceStride(sourceStride, 2 * static_cast<std::int64_t>(width));
    const auto pairs = static_cast<std::size_t>(width / 2);
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* groups = data + row * rowStride;
        std::uint8_t* out = target + row * stride;
        const std::size_t done =
            path == Path::Vector ? yuv_vector::Packed422Row(groups, pairs, out) : 0;
        Packed422RowTail(tables, groups, width, static_cast<int>(done), out);
    }
}

// A planar row from pair `first` on, with its row of chroma pairs.
void Planar420RowTail(const TYuvTables& t, const std::uint8_t* luma, const std::uint8_t* u,
                      const std::uint8_t* v, int width, int first, std::uint8_t* out) {
    const int pairs = width / 2;
    for (int k = first; k < pairs; ++k) {
        const Chroma c = ChromaOf(t, u[k], v[k]);
        StorePixel(t, luma[2 * k], c, out + 6 * k);
        StorePixel(t, luma[2 * k + 1], c, out + 6 * k + 3);
    }
    if (width % 2 != 0) {
        const Chroma c = ChromaOf(t, u[pairs - 1], v[pairs - 1]);
        StorePixel(t, luma[width - 1], c, out + 3 * (width - 1));
    }
}

void Planar420(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
               bool cbFirst, std::uint8_t* target, std::int64_t stride, std::int64_t sourceStride,
               Path path) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const std::int64_t lumaStride = SourceStride(sourceStride, width);
    const std::int64_t chromaStride = lumaStride / 2;
    const std::int64_t lumaSize = lumaStride * height;
    const std::uint8_t* first = data + lumaSize;
    const std::uint8_t* second =
        first + ChromaPlaneLength(FrameLayout::Planar420, lumaStride, height);
    const std::uint8_t* planeU = cbFirst ? first : second;
    const std::uint8_t* planeV = cbFirst ? second : first;
    const int pairs = width / 2;
    const int chromaHeight = height / 2;

    if (pairs == 0 || chromaHeight == 0) {
        const Chroma neutral = ChromaOf(tables, kNeutralChroma, kNeutralChroma);
        for (int row = 0; row < height; ++row) {
            const std::uint8_t* luma = data + row * lumaStride;
            std::uint8_t* out = target + row * stride;
            for (int x = 0; x < width; ++x) {
                StorePixel(tables, luma[x], neutral, out + 3 * x);
            }
        }
        return;
    }
    // Two rows at a time share their row of chroma pairs.
    for (int row = 0; row < height; row += 2) {
        const bool two = row + 1 < height;
        const std::int64_t chromaRow = std::min(row / 2, chromaHeight - 1);
        const std::uint8_t* u = planeU + chromaRow * chromaStride;
        const std::uint8_t* v = planeV + chromaRow * chromaStride;
        const std::uint8_t* lumaA = data + row * lumaStride;
        const std::uint8_t* lumaB = two ? lumaA + lumaStride : nullptr;
        std::uint8_t* outA = target + row * stride;
        std::uint8_t* outB = two ? outA + stride : nullptr;
        const std::size_t done =
            path == Path::Vector
                ? yuv_vector::Planar420Rows(lumaA, lumaB, u, v, static_cast<std::size_t>(pairs),
                                            outA, outB)
                : 0;
        Planar420RowTail(tables, lumaA, u, v, width, static_cast<int>(done), outA);
        if (two) {
            Planar420RowTail(tables, lumaB, u, v, width, static_cast<int>(done), outB);
        }
    }
}

}  // namespace

void CopyRgbRows(const std::uint8_t* data, int width, int height, bool bottomUp,
                 std::uint8_t* target, std::int64_t stride, std::int64_t sourceStride) {
    if (width <= 0 || height <= 0) {
        return;
    }
    // Picture rows are padded to 4 bytes, so the rows are copied one by one.
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    const std::int64_t rowStride = SourceStride(sourceStride, static_cast<std::int64_t>(rowBytes));
    for (int row = 0; row < height; ++row) {
        const int displayRow = bottomUp ? height - 1 - row : row;
        std::memcpy(target + displayRow * stride, data + row * rowStride, rowBytes);
    }
}

void ConvertPlanar420Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          bool cbFirst, std::uint8_t* target, std::int64_t stride,
                          std::int64_t sourceStride) {
    Planar420(tables, data, width, height, cbFirst, target, stride, sourceStride, Path::Vector);
}

void ConvertPlanar420RowsReference(const TYuvTables& tables, const std::uint8_t* data, int width,
                                   int height, bool cbFirst, std::uint8_t* target,
                                   std::int64_t stride, std::int64_t sourceStride) {
    Planar420(tables, data, width, height, cbFirst, target, stride, sourceStride, Path::Tables);
}

void ConvertPacked422Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          std::uint8_t* target, std::int64_t stride, std::int64_t sourceStride) {
    Packed422(tables, data, width, height, target, stride, sourceStride, Path::Vector);
}

void ConvertPacked422RowsReference(const TYuvTables& tables, const std::uint8_t* data, int width,
                                   int height, std::uint8_t* target, std::int64_t stride,
                                   std::int64_t sourceStride) {
    Packed422(tables, data, width, height, target, stride, sourceStride, Path::Tables);
}

}  // namespace vistrel
