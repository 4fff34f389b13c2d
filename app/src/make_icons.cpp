// SPDX-License-Identifier: MIT
// Writes the program icon at the sizes the desktop uses, as PNG files, into
// the directory given as the only argument (app/resources/icons). The
// drawing has no text, so no display is needed.
#include <QDir>
#include <QImage>

#include <cstdio>

#include "app/glyphs.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vistrel-make-icons DIRECTORY\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString path = dir.filePath(QStringLiteral("vistrel-%1.png").arg(size));
        if (!vistrel::DrawProgramIcon(size).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(path));
            return 1;
        }
    }
    return 0;
}
