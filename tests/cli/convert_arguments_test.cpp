// SPDX-License-Identifier: MIT
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTextStream>

#include <gtest/gtest.h>

#include "cli.h"
#include "convert_command.h"
#include "imaging/jpeg_image.h"
#include "pipeline/frame_format.h"

namespace vistrel::cli {
namespace {

ConvertOptions Parse(const QStringList& arguments) {
    return ParseConvertArguments(arguments);
}

TEST(ConvertArguments, FourCCForms) {
    EXPECT_EQ(ParseFourCC(QStringLiteral("RGB")), fourcc::kRGB);
    EXPECT_EQ(ParseFourCC(QStringLiteral("rgb")), fourcc::kRGB);
    EXPECT_EQ(ParseFourCC(QStringLiteral("YUY2")), fourcc::kYUY2);
    EXPECT_EQ(ParseFourCC(QStringLiteral("MJPG")), fourcc::kMJPG);
    EXPECT_EQ(ParseFourCC(QStringLiteral("H264")), 0x34363248u);
    EXPECT_EQ(ParseFourCC(QStringLiteral("yuyv")), FourCCFromChars('y', 'u', 'y', 'v'));
    EXPECT_EQ(ParseFourCC(QStringLiteral("0x34363248")), 0x34363248u);
    EXPECT_EQ(ParseFourCC(QStringLiteral("0XfF")), 0xFFu);
    EXPECT_EQ(ParseFourCC(QStringLiteral("0x0")), fourcc::kRGB);
    for (const char* bad : {"", "YUY", "YUY22", "0x", "0x123456789", "0xG1", "0x-1", "Y\tY2"}) {
        EXPECT_THROW(ParseFourCC(QString::fromLatin1(bad)), UsageError) << bad;
    }
    EXPECT_THROW(ParseFourCC(QStringLiteral("YUÄ2")), UsageError);
}

TEST(ConvertArguments, FullCommandLine) {
    const ConvertOptions o = Parse({"--format", "I420", "--size=640x480", "--quality", "85",
                                    "--top-down", "in.raw", "out.JPEG"});
    EXPECT_EQ(o.compression, fourcc::kI420);
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.height, 480);
    EXPECT_EQ(o.quality, 85);
    EXPECT_TRUE(o.topDown);
    EXPECT_EQ(o.input, QStringLiteral("in.raw"));
    EXPECT_EQ(o.output, QStringLiteral("out.JPEG"));
    EXPECT_EQ(o.outputKind, OutputKind::Jpeg);

    const ConvertOptions d = Parse({"in.raw", "--size", "3X5", "--format=RGB", "--", "-out.bmp"});
    EXPECT_EQ(d.quality, 70);
    EXPECT_FALSE(d.topDown);
    EXPECT_EQ(d.width, 3);
    EXPECT_EQ(d.height, 5);
    EXPECT_EQ(d.output, QStringLiteral("-out.bmp"));
    EXPECT_EQ(d.outputKind, OutputKind::Bmp);
    EXPECT_EQ(Parse({"--format", "RGB", "--size", "1x1", "a", "b.ppm"}).outputKind,
              OutputKind::Ppm);
    EXPECT_FALSE(d.stamp.Enabled());
    const ConvertOptions t =
        Parse({"--format=RGB", "--size=1x1", "--timestamp=%T.%f", "--title", "Cam", "a", "b.jpg"});
    EXPECT_TRUE(t.stamp.time);
    EXPECT_EQ(t.stamp.format, "%T.%f");
    EXPECT_EQ(t.stamp.title, "Cam");
}

// The stamp's time: the one a logged file's name gives, else the modification time.
TEST(ConvertArguments, StampTimeFromTheNameElseTheFile) {
    const auto modified = std::chrono::system_clock::time_point(std::chrono::hours(1000));
    const QDateTime named(QDate(2026, 12, 9), QTime(13, 8, 37, 123));
    EXPECT_EQ(FrameTime("/x/261209130837123-1.yuv", modified).time_since_epoch(),
              std::chrono::milliseconds(named.toMSecsSinceEpoch()));
    for (const char* other : {"frame.raw", "261309130837123.yuv", "2612091308371.yuv"}) {
        EXPECT_EQ(FrameTime(other, modified), modified) << other;
    }
}

TEST(ConvertArguments, BadUsage) {
    const QStringList base = {"--format", "YUY2", "--size", "4x2"};
    const QList<QStringList> bad = {
        {"--size", "4x2", "in", "out.jpg"},                      // no format
        {"--format", "YUY2", "in", "out.jpg"},                   // no size
        base + QStringList{"in"},                                // one file
        base + QStringList{"in", "out.jpg", "more"},             // three files
        base + QStringList{"in", "out.png"},                     // unknown picture type
        base + QStringList{"in", "out"},                         // no suffix
        base + QStringList{"--quality", "49", "in", "out.jpg"},  // below the slider
        base + QStringList{"--quality", "101", "in", "out.jpg"},
        base + QStringList{"--quality", "high", "in", "out.jpg"},
        base + QStringList{"--quality"},                 // no value
        base + QStringList{"--speed", "in", "out.jpg"},  // unknown option
        {"--format", "YUY2", "--size", "0x2", "in", "out.jpg"},
        {"--format", "YUY2", "--size", "4x", "in", "out.jpg"},
        {"--format", "YUY2", "--size", "4x2x1", "in", "out.jpg"},
        {"--format", "YUY2", "--size", "-4x2", "in", "out.jpg"},
        {"--format", "YUY2", "--size", "40000x2", "in", "out.jpg"},
    };
    for (const QStringList& arguments : bad) {
        EXPECT_THROW(Parse(arguments), UsageError) << arguments.join(' ').toStdString();
    }
}

TEST(ConvertArguments, ExitStatusOfTheFrontEnd) {
    QString outText;
    QString errText;
    QTextStream out(&outText);
    QTextStream err(&errText);
    EXPECT_EQ(RunCli({"vistrel-cli"}, out, err), kExitUsage);
    EXPECT_EQ(RunCli({"vistrel-cli", "render"}, out, err), kExitUsage);
    EXPECT_EQ(RunCli({"vistrel-cli", "convert", "--format", "YUY2"}, out, err), kExitUsage);
    EXPECT_EQ(RunCli({"vistrel-cli", "convert", "--format", "YUY2", "--size", "2x2",
                      "/nonexistent/in.raw", "out.jpg"},
                     out, err),
              kExitFailure);
    err.flush();
    EXPECT_TRUE(errText.contains(QStringLiteral("/nonexistent/in.raw"))) << errText.toStdString();
    EXPECT_EQ(RunCli({"vistrel-cli", "convert", "--help"}, out, err), kExitSuccess);
    out.flush();
    EXPECT_TRUE(outText.contains(QStringLiteral("--top-down")));
}

// Input is read no further than a frame of the format and size can reach.
TEST(ConvertInput, MoreThanAFrameIsRefusedAndALyingHeaderGetsANote) {
    QTemporaryDir dir;
    const QString out = dir.filePath("out.bmp");
    const auto run = [&](const QStringList& arguments) {
        QString outText;
        QString errText;
        QTextStream o(&outText);
        QTextStream e(&errText);
        const int status = RunCli(QStringList{"vistrel-cli", "convert"} + arguments, o, e);
        e.flush();
        return std::pair{status, errText};
    };
    // An endless input, for a raw and a compressed format.
    for (const char* format : {"YUY2", "MJPG"}) {
        const auto [status, err] = run({"--format", format, "--size", "64x48", "/dev/zero", out});
        EXPECT_EQ(status, kExitFailure) << format;
        EXPECT_TRUE(err.contains("holds more than a 64x48")) << err.toStdString();
    }
    // One byte too many for a raw frame.
    QFile longer(dir.filePath("long.yuy2"));
    ASSERT_TRUE(longer.open(QIODevice::WriteOnly));
    longer.write(QByteArray(4 * 2 * 2 + 1, '\x80'));
    longer.close();
    EXPECT_EQ(run({"--format", "YUY2", "--size", "4x2", longer.fileName(), out}).first,
              kExitFailure);

    // A JPEG whose header claims another size is not decoded; the picture
    // shows the diagnostic and the note says why.
    TJPEGImage encoder;
    encoder.SetImage(QImage(32, 16, QImage::Format_BGR888));
    const QString jpeg = dir.filePath("frame.jpg");
    encoder.SaveFile(jpeg);
    const auto [status, err] = run({"--format", "MJPG", "--size", "640x480", jpeg, out});
    EXPECT_EQ(status, kExitSuccess);
    EXPECT_TRUE(err.contains("the JPEG header says 32x16, the frame is 640x480"))
        << err.toStdString();
    EXPECT_EQ(QImage(out).size(), QSize(640, 480));
}

}  // namespace
}  // namespace vistrel::cli
