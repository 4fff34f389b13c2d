// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>

#include <array>
#include <cstdint>
#include <vector>

#include "pipeline/video_image.h"
#include "pipeline/yuv_tables.h"

namespace vistrel {

// Reaches into the session for the faults no public call can cause.
struct TVideoImageTestAccess {
    static QImage& Bitmap(TVideoImage& session) { return session.videoBitmap_; }
    // The end of a conversion of slot's frame.
    static void MarkConverted(TVideoImage& session, int slot) {
        session.slots_.MarkConverted(slot);
    }
};

namespace test {

using Bytes = std::vector<std::uint8_t>;
using Bgr = std::array<std::uint8_t, 3>;

// The coefficient tables, built once.
const TYuvTables& Tables();

// A fixed clock and no idle hook: nothing is ever stale.
TVideoImage::Options QuietOptions();

// base with the two diagnostic lines drawn on it, made independently of the
// session's drawing code: top-aligned black text on white in the default font.
QImage DiagnosticPicture(QImage base, const QString& secondLine);

Bgr PixelAt(const QImage& image, int x, int y);
// A Format_BGR888 picture filled with one colour.
QImage Filled(int width, int height, Bgr colour);
// Rows [first, last) of two pictures of one size hold the same pixels.
bool SameRows(const QImage& a, const QImage& b, int first, int last);

}  // namespace test
}  // namespace vistrel
