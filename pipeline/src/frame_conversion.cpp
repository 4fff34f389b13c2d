#include "frame_conversion.h"

#include <algorithm>
#include <cstring>

// Odd sizes. Chroma comes per 2 x 2 block (4:2:0) or per horizontal pair
// (4:2:2), and the frame lengths assume even sizes, so a last odd column or
// row has no chroma of its own. It is still converted, from its own luma and
// the chroma of its neighbour: the last column takes the chroma of the pair
// to its left, the last row of a 4:2:0 frame the chroma of the row pair above
// it. A frame one pixel wide (or, in 4:2:0, one pixel high) has no chroma at
// all and is shown grey, with neutral chroma 128. No byte outside the frame
// or the picture is touched.

namespace vistrel {

namespace {

constexpr std::uint8_t kNeutralChroma = 128;

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

}  // namespace

void CopyRgbRows(const std::uint8_t* data, int width, int height, bool bottomUp,
                 std::uint8_t* target, std::int64_t stride) {
    // Picture rows are padded to 4 bytes, so the rows are copied one by one.
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    for (int row = 0; row < height; ++row) {
        const int displayRow = bottomUp ? height - 1 - row : row;
        std::memcpy(target + displayRow * stride, data + row * rowBytes, rowBytes);
    }
}

void ConvertPlanar420Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          bool cbFirst, std::uint8_t* target, std::int64_t stride) {
    const std::int64_t lumaSize = static_cast<std::int64_t>(width) * height;
    const std::uint8_t* first = data + lumaSize;
    const std::uint8_t* second = data + lumaSize + lumaSize / 4;
    const std::uint8_t* planeU = cbFirst ? first : second;
    const std::uint8_t* planeV = cbFirst ? second : first;
    const int chromaWidth = width / 2;
    const int chromaHeight = height / 2;
    const bool haveChroma = chromaWidth > 0 && chromaHeight > 0;
    const Chroma neutral = ChromaOf(tables, kNeutralChroma, kNeutralChroma);

    for (int row = 0; row < height; ++row) {
        const std::uint8_t* luma = data + static_cast<std::int64_t>(row) * width;
        std::uint8_t* out = target + row * stride;
        if (!haveChroma) {
            for (int x = 0; x < width; ++x) {
                StorePixel(tables, luma[x], neutral, out + 3 * x);
            }
            continue;
        }
        const std::int64_t chromaRow = std::min(row / 2, chromaHeight - 1);
        const std::uint8_t* u = planeU + chromaRow * chromaWidth;
        const std::uint8_t* v = planeV + chromaRow * chromaWidth;
        for (int k = 0; k < chromaWidth; ++k) {
            const Chroma c = ChromaOf(tables, u[k], v[k]);
            StorePixel(tables, luma[2 * k], c, out + 6 * k);
            StorePixel(tables, luma[2 * k + 1], c, out + 6 * k + 3);
        }
        if (width % 2 != 0) {
            const Chroma c = ChromaOf(tables, u[chromaWidth - 1], v[chromaWidth - 1]);
            StorePixel(tables, luma[width - 1], c, out + 3 * (width - 1));
        }
    }
}

void ConvertPacked422Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          std::uint8_t* target, std::int64_t stride) {
    const int pairs = width / 2;
    const Chroma neutral = ChromaOf(tables, kNeutralChroma, kNeutralChroma);
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* group = data + static_cast<std::int64_t>(row) * width * 2;
        std::uint8_t* out = target + row * stride;
        Chroma c = neutral;
        for (int k = 0; k < pairs; ++k) {
            c = ChromaOf(tables, group[1], group[3]);
            StorePixel(tables, group[0], c, out);
            StorePixel(tables, group[2], c, out + 3);
            group += 4;
            out += 6;
        }
        if (width % 2 != 0) {
            // The row's last two bytes: the odd pixel's luma and a lone Cb.
            StorePixel(tables, group[0], c, out);
        }
    }
}

}  // namespace vistrel
