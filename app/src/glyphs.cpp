// SPDX-License-Identifier: MIT
#include "app/glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>

namespace vistrel {

namespace {

constexpr int kGlyphSize = 16;

const char* ThemeName(Glyph glyph) {
    switch (glyph) {
        case Glyph::Update:
            return "view-refresh";
        case Glyph::Run:
            return "media-playback-start";
        case Glyph::Stop:
            return "media-playback-stop";
        case Glyph::SaveSettings:
            return "document-save";
        case Glyph::Exit:
            return "application-exit";
        case Glyph::SelectDirectory:
            return "folder-open";
        case Glyph::System:
            return "computer";
        case Glyph::Web:
            return "web-browser";
        case Glyph::Mail:
            return "internet-mail";
    }
    return "";
}

// The grey frame round the run and stop glyphs.
void DrawFrame(QPainter& p) {
    p.setPen(QPen(QColor(96, 96, 96), 1));
    p.setBrush(QColor(236, 236, 236));
    p.drawRect(QRectF(1.5, 1.5, 13, 13));
}

void DrawFolder(QPainter& p, qreal x, qreal y) {
    p.setPen(QPen(QColor(128, 96, 16), 1));
    p.setBrush(QColor(240, 200, 80));
    QPainterPath folder;
    folder.moveTo(x, y + 1);
    folder.lineTo(x + 2, y + 1);
    folder.lineTo(x + 3, y);
    folder.lineTo(x + 5, y);
    folder.lineTo(x + 5, y + 1);
    folder.lineTo(x + 7, y + 1);
    folder.lineTo(x + 7, y + 5);
    folder.lineTo(x, y + 5);
    folder.closeSubpath();
    p.drawPath(folder);
}

}  // namespace

QImage DrawGlyph(Glyph glyph) {
    QImage image(kGlyphSize, kGlyphSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
        case Glyph::Update: {
            p.setPen(QPen(QColor(200, 0, 0), 2, Qt::SolidLine, Qt::FlatCap));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(2, 2, 12, 12), 120 * 16, 300 * 16);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(200, 0, 0));
            p.drawPolygon(QPolygonF({{1.0, 1.5}, {7.0, 2.0}, {3.0, 7.0}}));
            p.setBrush(Qt::black);
            p.drawRect(QRectF(7.2, 4.5, 1.6, 4.5));
            p.drawRect(QRectF(7.2, 10.2, 1.6, 1.6));
            break;
        }
        case Glyph::Run:
            DrawFrame(p);
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::black);
            p.drawPolygon(QPolygonF({{5.5, 4.0}, {11.5, 8.0}, {5.5, 12.0}}));
            break;
        case Glyph::Stop:
            DrawFrame(p);
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::black);
            p.drawRect(QRectF(5, 5, 6, 6));
            break;
        case Glyph::SaveSettings:
            p.setPen(QPen(QColor(210, 0, 0), 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(QPolygonF({{2.5, 8.5}, {6.0, 12.5}, {13.5, 3.0}}));
            break;
        case Glyph::Exit: {
            // Door frame, the open door swung towards the viewer, its knob.
            p.setPen(QPen(QColor(80, 50, 20), 1));
            p.setBrush(QColor(40, 40, 40));
            p.drawRect(QRectF(4.5, 1.5, 8, 13));
            p.setBrush(QColor(170, 110, 50));
            p.drawPolygon(QPolygonF({{4.5, 1.5}, {9.5, 3.5}, {9.5, 15.5}, {4.5, 14.5}}));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(250, 220, 80));
            p.drawEllipse(QPointF(8.2, 9.0), 0.9, 0.9);
            break;
        }
        case Glyph::SelectDirectory:
            p.setRenderHint(QPainter::Antialiasing, false);
            p.setPen(QPen(QColor(80, 80, 80), 1));
            p.drawLine(3, 6, 3, 13);
            p.drawLine(3, 9, 7, 9);
            p.drawLine(3, 13, 7, 13);
            DrawFolder(p, 0, 0);
            DrawFolder(p, 7, 6);
            DrawFolder(p, 7, 10);
            break;
        case Glyph::System:
            p.setPen(QPen(QColor(60, 60, 60), 1));
            p.setBrush(QColor(70, 130, 200));
            p.drawRoundedRect(QRectF(1.5, 2.5, 13, 9), 1, 1);
            p.setBrush(QColor(160, 160, 160));
            p.drawRect(QRectF(6.5, 11.5, 3, 2));
            p.drawRect(QRectF(4.5, 13.5, 7, 1.5));
            break;
        case Glyph::Web:
            p.setPen(QPen(QColor(20, 80, 160), 1));
            p.setBrush(QColor(150, 200, 250));
            p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QRectF(5, 1.5, 6, 13));
            p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
            p.drawLine(QPointF(8, 1.5), QPointF(8, 14.5));
            break;
        case Glyph::Mail:
            p.setPen(QPen(QColor(90, 90, 90), 1));
            p.setBrush(QColor(250, 250, 235));
            p.drawRect(QRectF(1.5, 3.5, 13, 9));
            p.drawPolyline(QPolygonF({{1.5, 3.5}, {8.0, 9.0}, {14.5, 3.5}}));
            break;
    }
    return image;
}

QImage GreyedGlyph(const QImage& image) {
    QImage grey = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < grey.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(grey.scanLine(y));
        for (int x = 0; x < grey.width(); ++x) {
            const QRgb pixel = line[x];
            // Lighter grey, so the picture reads as switched off.
            const int g = 128 + qGray(pixel) / 2;
            line[x] = qRgba(g, g, g, qAlpha(pixel) * 3 / 5);
        }
    }
    return grey;
}

QIcon DrawnGlyphIcon(Glyph glyph) {
    const QImage normal = DrawGlyph(glyph);
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(normal), QIcon::Normal);
    icon.addPixmap(QPixmap::fromImage(GreyedGlyph(normal)), QIcon::Disabled);
    return icon;
}

QIcon GlyphIcon(Glyph glyph) {
    return QIcon::fromTheme(QString::fromLatin1(ThemeName(glyph)), DrawnGlyphIcon(glyph));
}

QImage DrawProgramIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // Rounded dark-blue tile, a camera body, its lens and a red light.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(28, 58, 110));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    p.setBrush(QColor(235, 238, 242));
    p.drawRoundedRect(QRectF(8, 18, 48, 34), 6, 6);
    p.drawRoundedRect(QRectF(20, 12, 18, 10), 3, 3);
    p.setBrush(QColor(40, 40, 48));
    p.drawEllipse(QPointF(32, 35), 13, 13);
    p.setBrush(QColor(70, 130, 200));
    p.drawEllipse(QPointF(32, 35), 8, 8);
    p.setBrush(QColor(255, 255, 255, 200));
    p.drawEllipse(QPointF(29, 32), 2.5, 2.5);
    p.setBrush(QColor(220, 30, 30));
    p.drawEllipse(QPointF(49, 24), 3.5, 3.5);
    return image;
}

QImage DrawFlag() {
    QImage image(32, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // A pennant in the program's colours.
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.drawLine(QPointF(1.5, 0.5), QPointF(1.5, 15.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(28, 58, 110));
    p.drawPolygon(QPolygonF({{2.0, 1.0}, {31.0, 5.5}, {2.0, 10.0}}));
    p.setBrush(QColor(220, 30, 30));
    p.drawEllipse(QPointF(9, 5.5), 2.2, 2.2);
    return image;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString name = QStringLiteral(":/vistrel/icons/vistrel-%1.png").arg(size);
        QPixmap pixmap(name);
        if (!pixmap.isNull()) {
            icon.addPixmap(pixmap);
        }
    }
    if (icon.isNull()) {
        icon.addPixmap(QPixmap::fromImage(DrawProgramIcon(64)));
    }
    return icon;
}

}  // namespace vistrel
