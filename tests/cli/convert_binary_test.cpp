// SPDX-License-Identifier: MIT
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "imaging/jpeg_image.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Bgr = std::array<int, 3>;

struct CliResult {
    int status = -1;
    QString err;
    QString out;
};

// Runs the real program without QT_QPA_PLATFORM, as a user on a machine
// without a display would.
CliResult RunCli(const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VISTREL_CLI_PATH), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        return {};
    }
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError()),
            QString::fromLocal8Bit(process.readAllStandardOutput())};
}

Bgr PixelAt(const QImage& image, int x, int y) {
    const QRgb c = image.pixel(x, y);
    return {qBlue(c), qGreen(c), qRed(c)};
}

class ConvertBinary : public testing::Test {
protected:
    QString Write(const QString& name, const Bytes& bytes) {
        const QString path = dir_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        return path;
    }
    QString Path(const QString& name) const { return dir_.filePath(name); }

    QTemporaryDir dir_;
};

TEST_F(ConvertBinary, HelpAndUsage) {
    const CliResult help = RunCli({"convert", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("--format FOURCC")));
    EXPECT_EQ(RunCli({"--help"}).status, 0);

    const CliResult usage = RunCli({"convert", "--size", "2x2", "a", "b.jpg"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(usage.err.contains(QStringLiteral("--format is required")))
        << usage.err.toStdString();
    EXPECT_EQ(RunCli({}).status, 2);
}

TEST_F(ConvertBinary, Yuy2ToLosslessPictures) {
    // 2 x 2: top row black, bottom row white (Y 16 and 235, neutral chroma).
    const QString input = Write("frame.yuy2", {16, 128, 16, 128, 235, 128, 235, 128});
    for (const char* suffix : {"bmp", "ppm"}) {
        const QString output = Path(QStringLiteral("out.") + suffix);
        const CliResult run =
            RunCli({"convert", "--format", "YUY2", "--size", "2x2", input, output});
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const QImage picture(output);
        ASSERT_EQ(picture.size(), QSize(2, 2)) << suffix;
        EXPECT_EQ(PixelAt(picture, 1, 0), (Bgr{0, 0, 0}));
        EXPECT_EQ(PixelAt(picture, 0, 1), (Bgr{255, 255, 255}));
    }
}

TEST_F(ConvertBinary, RgbRowOrder) {
    // 1 x 2 RGB: first row blue, second row red (bytes blue, green, red).
    const QString input = Write("frame.rgb", {255, 0, 0, 0, 0, 255});
    const QString bottomUp = Path("bottom-up.ppm");
    const QString topDown = Path("top-down.ppm");
    ASSERT_EQ(RunCli({"convert", "--format", "RGB", "--size", "1x2", input, bottomUp}).status, 0);
    ASSERT_EQ(RunCli({"convert", "--format", "0x0", "--size", "1x2", "--top-down", input, topDown})
                  .status,
              0);
    EXPECT_EQ(PixelAt(QImage(bottomUp), 0, 1), (Bgr{255, 0, 0}));  // first row at the bottom
    EXPECT_EQ(PixelAt(QImage(topDown), 0, 0), (Bgr{255, 0, 0}));
}

TEST_F(ConvertBinary, JpegOutputAtTheGivenQuality) {
    Bytes frame(64 * 48 * 3 / 2, 128);  // I420 mid grey
    const QString input = Write("frame.i420", frame);
    const QString output = Path("grey.jpg");
    const CliResult run = RunCli(
        {"convert", "--format", "I420", "--size", "64x48", "--quality", "100", input, output});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    QFile file(output);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    vistrel::TJPEGImage decoder;
    decoder.LoadData(file);
    QImage picture(64, 48, QImage::Format_BGR888);
    picture.fill(Qt::black);
    decoder.DrawOn(picture, 0, 0);
    const Bgr centre = PixelAt(picture, 32, 24);
    for (const int channel : centre) {
        EXPECT_NEAR(channel, 130, 2);  // (128, 128, 128) converts to 130 grey
    }
}

TEST_F(ConvertBinary, WrongLengthStillGivesTheDiagnosticPicture) {
    const QString input = Write("short.yuy2", Bytes(1000, 128));
    const QString output = Path("diagnostic.bmp");
    const CliResult run =
        RunCli({"convert", "--format", "YUY2", "--size", "320x240", input, output});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.err.contains(QStringLiteral("1000"))) << run.err.toStdString();
    const QImage picture(output);
    ASSERT_EQ(picture.size(), QSize(320, 240));
    int white = 0;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 100; ++x) {
            white += PixelAt(picture, x, y) == Bgr{255, 255, 255} ? 1 : 0;
        }
    }
    EXPECT_GT(white, 500) << "the text's white background at the top left";
    EXPECT_EQ(PixelAt(picture, 319, 239), (Bgr{0, 0, 0}));
}

TEST_F(ConvertBinary, FailuresExitWithOne) {
    const CliResult missing = RunCli(
        {"convert", "--format", "YUY2", "--size", "2x2", Path("missing.raw"), Path("o.jpg")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.contains(QStringLiteral("missing.raw")));

    const QString input = Write("frame.yuy2", Bytes(8, 128));
    const CliResult unwritable =
        RunCli({"convert", "--format", "YUY2", "--size", "2x2", input, Path("no/such/dir/o.jpg")});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_TRUE(unwritable.err.contains(QStringLiteral("o.jpg"))) << unwritable.err.toStdString();
    EXPECT_EQ(RunCli({"convert", "--format", "YUY2", "--size", "2x2", input, Path("no/dir/o.bmp")})
                  .status,
              1);

    const QString empty = Write("empty.raw", {});
    EXPECT_EQ(RunCli({"convert", "--format", "YUY2", "--size", "2x2", empty, Path("e.bmp")}).status,
              1);
}

}  // namespace
