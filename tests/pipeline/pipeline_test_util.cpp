// SPDX-License-Identifier: MIT
#include "pipeline_test_util.h"

#include <QFontMetrics>
#include <QPainter>

#include <cstring>

namespace vistrel::test {

const TYuvTables& Tables() {
    static const TYuvTables tables = [] {
        TYuvTables t;
        FillYuvTables(t);
        return t;
    }();
    return tables;
}

TVideoImage::Options QuietOptions() {
    return {.clock = [] { return std::uint32_t{0}; }, .installIdleHook = false};
}

QImage DiagnosticPicture(QImage base, const QString& secondLine) {
    QPainter painter(&base);
    painter.setPen(Qt::black);
    painter.setBackground(Qt::white);
    painter.setBackgroundMode(Qt::OpaqueMode);
    const int lineHeight = QFontMetrics(painter.font()).height();
    const QRect area(0, 0, base.width(), base.height());
    painter.drawText(area, Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Unknown compression"));
    painter.drawText(area.adjusted(0, lineHeight, 0, 0), Qt::AlignLeft | Qt::AlignTop, secondLine);
    return base;
}

Bgr PixelAt(const QImage& image, int x, int y) {
    const std::uint8_t* p = image.constScanLine(y) + 3 * x;
    return {p[0], p[1], p[2]};
}

QImage Filled(int width, int height, Bgr colour) {
    QImage image(width, height, QImage::Format_BGR888);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::memcpy(image.scanLine(y) + 3 * x, colour.data(), 3);
        }
    }
    return image;
}

bool SameRows(const QImage& a, const QImage& b, int first, int last) {
    if (a.size() != b.size() || a.format() != b.format()) {
        return false;
    }
    const auto rowBytes = static_cast<std::size_t>(a.width()) * 3;
    for (int y = first; y < last && y < a.height(); ++y) {
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y), rowBytes) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace vistrel::test
