// SPDX-License-Identifier: MIT
#include "imaging/jpeg_image.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <jerror.h>
#include <jpeglib.h>
#include <cstdio>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <algorithm>
#include <csignal>

#include "imaging/jpeg_test_util.h"

namespace vistrel {
namespace {

using test::Bytes;
using test::ParseSegments;
using test::ReadBytes;

constexpr std::uint8_t kSOI = 0xD8, kEOI = 0xD9, kAPP0 = 0xE0, kDQT = 0xDB, kSOF0 = 0xC0,
                       kDHT = 0xC4, kSOS = 0xDA;

class JpegImageTest : public ::testing::Test {
protected:
    QString PathOf(const QString& name) const { return dir_.filePath(name); }

    Bytes Encode(const QImage& image, int quality) {
        TJPEGImage jpeg;
        jpeg.SetEncodingQuality(quality);
        jpeg.SetImage(image);
        jpeg.SaveFile(PathOf("encoded.jpg"));
        return ReadBytes(PathOf("encoded.jpg"));
    }

    // Leftovers of an interrupted save would show up here.
    QStringList FilesInDir() const {
        return QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    static TJPEGImage Loaded(const Bytes& stream) {
        QByteArray data(reinterpret_cast<const char*>(stream.data()),
                        static_cast<qsizetype>(stream.size()));
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        TJPEGImage jpeg;
        jpeg.LoadData(buffer);
        return jpeg;
    }

    QTemporaryDir dir_;
};

TEST_F(JpegImageTest, QuantisationTablesFollowTheQuality) {
    const std::array<int, 64> luminance = {
        16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
        14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
        18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
        49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
    std::array<int, 64> chrominance;
    chrominance.fill(99);
    const int chromaTop[4][4] = {
        {17, 18, 24, 47}, {18, 21, 26, 66}, {24, 26, 56, 99}, {47, 66, 99, 99}};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            chrominance[r * 8 + c] = chromaTop[r][c];
        }
    }
    std::array<int, 64> ones;
    ones.fill(1);

    struct Case {
        int quality;
        std::array<int, 64> table0, table1;
    };
    for (const Case& c : {Case{50, luminance, chrominance}, Case{100, ones, ones}}) {
        SCOPED_TRACE(c.quality);
        const auto segments = ParseSegments(Encode(test::Gradient(32, 32), c.quality));
        std::vector<std::array<int, 64>> tables;
        for (const auto& s : segments) {
            if (s.marker == kDQT) {
                for (const auto& t : test::QuantTables(s))
                    tables.push_back(t);
            }
            EXPECT_NE(s.marker, 0xC2) << "progressive frame";
            EXPECT_NE(s.marker, 0xC1) << "extended frame";
        }
        ASSERT_EQ(tables.size(), 2u);
        EXPECT_EQ(tables[0], c.table0);
        EXPECT_EQ(tables[1], c.table1);
    }

    const auto segments = ParseSegments(Encode(test::Gradient(32, 32), 70));
    std::vector<std::array<int, 64>> tables;
    for (const auto& s : segments) {
        if (s.marker == kDQT) {
            for (const auto& t : test::QuantTables(s))
                tables.push_back(t);
        }
    }
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(std::vector<int>(tables[0].begin(), tables[0].begin() + 8),
              (std::vector<int>{10, 7, 6, 10, 14, 24, 31, 37}));
    EXPECT_EQ(std::vector<int>(tables[1].begin(), tables[1].begin() + 8),
              (std::vector<int>{10, 11, 14, 28, 59, 59, 59, 59}));
}

TEST_F(JpegImageTest, FileLayoutIsBaselineJfifWithStandardTables) {
    const auto segments = ParseSegments(Encode(test::Gradient(640, 480), 70));
    std::vector<std::uint8_t> markers;
    for (const auto& s : segments)
        markers.push_back(s.marker);
    EXPECT_EQ(markers, (std::vector<std::uint8_t>{kSOI, kAPP0, kDQT, kDQT, kSOF0, kDHT, kDHT, kDHT,
                                                  kDHT, kSOS, kEOI}));

    const Bytes& app0 = segments[1].payload;
    ASSERT_EQ(app0.size(), 14u);
    EXPECT_EQ(std::string(app0.begin(), app0.begin() + 5), std::string("JFIF\0", 5));
    EXPECT_EQ(app0[5], 1);  // version 1.01
    EXPECT_EQ(app0[6], 1);
    EXPECT_EQ(app0[7], 0);  // density unit: aspect ratio only
    EXPECT_EQ((app0[8] << 8) | app0[9], 1);
    EXPECT_EQ((app0[10] << 8) | app0[11], 1);
    EXPECT_EQ(app0[12], 0);  // no thumbnail
    EXPECT_EQ(app0[13], 0);

    // SOF0: 8-bit, 480 rows, 640 columns, Y 2x2 with table 0, Cb and Cr 1x1 with table 1,
    // so 16x16 MCUs: 40 across, 30 down.
    EXPECT_EQ(segments[4].payload,
              (Bytes{8, 0x01, 0xE0, 0x02, 0x80, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
    const int maxH = 2, maxV = 2;
    EXPECT_EQ((640 + 8 * maxH - 1) / (8 * maxH), 40);
    EXPECT_EQ((480 + 8 * maxV - 1) / (8 * maxV), 30);

    // DHT order DC0, AC0, DC1, AC1; the luminance DC table has the standard code counts.
    const std::vector<std::uint8_t> classes = {segments[5].payload[0], segments[6].payload[0],
                                               segments[7].payload[0], segments[8].payload[0]};
    EXPECT_EQ(classes, (std::vector<std::uint8_t>{0x00, 0x10, 0x01, 0x11}));
    EXPECT_EQ(Bytes(segments[5].payload.begin() + 1, segments[5].payload.begin() + 17),
              (Bytes{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}));
    // AC luminance of the standard has 162 codes, chrominance DC 12.
    EXPECT_EQ(segments[6].payload.size(), 1u + 16u + 162u);
    EXPECT_EQ(segments[7].payload.size(), 1u + 16u + 12u);
}

TEST_F(JpegImageTest, RedStaysRedInOtherDecoders) {
    // Every pixel stored as the bytes 0, 0, 255 (blue, green, red).
    const Bytes file = Encode(test::Filled(64, 48, 0, 0, 255), 70);
    const QImage qt = QImage::fromData(file.data(), static_cast<int>(file.size()), "JPEG");
    ASSERT_FALSE(qt.isNull());
    const QColor centre = qt.pixelColor(32, 24);
    EXPECT_GE(centre.red(), 245);
    EXPECT_LE(centre.green(), 10);
    EXPECT_LE(centre.blue(), 10);

    const QString djpeg = QStandardPaths::findExecutable("djpeg");
    if (djpeg.isEmpty()) {
        GTEST_SKIP() << "djpeg not installed";
    }
    QProcess process;
    process.start(djpeg, {"-pnm", PathOf("encoded.jpg")});
    ASSERT_TRUE(process.waitForFinished(30000));
    const QImage ppm = QImage::fromData(process.readAllStandardOutput(), "PPM");
    ASSERT_FALSE(ppm.isNull());
    EXPECT_GE(ppm.pixelColor(10, 10).red(), 245);
    EXPECT_LE(ppm.pixelColor(10, 10).blue(), 10);
}

TEST_F(JpegImageTest, SavingTwiceWritesTheSameBytesFromOneEncode) {
    TJPEGImage jpeg;
    QImage image = test::Gradient(100, 60);
    jpeg.SetImage(image);
    image.fill(Qt::black);  // must not reach the copy the object holds
    jpeg.SaveFile(PathOf("a.jpg"));
    jpeg.SaveFile(PathOf("b.jpg"));
    EXPECT_EQ(jpeg.EncodeCount(), 1u);
    EXPECT_EQ(ReadBytes(PathOf("a.jpg")), ReadBytes(PathOf("b.jpg")));

    // The quality in force at the first encode sticks until the next SetImage.
    jpeg.SetEncodingQuality(50);
    jpeg.SaveFile(PathOf("c.jpg"));
    EXPECT_EQ(ReadBytes(PathOf("a.jpg")), ReadBytes(PathOf("c.jpg")));
    jpeg.SetImage(test::Gradient(100, 60));
    jpeg.SaveFile(PathOf("d.jpg"));
    EXPECT_EQ(jpeg.EncodeCount(), 2u);
    EXPECT_NE(ReadBytes(PathOf("a.jpg")), ReadBytes(PathOf("d.jpg")));

    const QImage decoded(PathOf("a.jpg"));
    ASSERT_EQ(decoded.size(), QSize(100, 60));
    EXPECT_LE(test::MaxDifference(decoded.convertToFormat(QImage::Format_BGR888),
                                  test::Gradient(100, 60)),
              24);
}

TEST_F(JpegImageTest, CopyIsTakenEvenOfBorrowedPixelMemory) {
    QImage source = test::Gradient(48, 32);
    std::vector<uchar> memory(source.constBits(), source.constBits() + source.sizeInBytes());
    const QImage borrowed(memory.data(), 48, 32, static_cast<qsizetype>(source.bytesPerLine()),
                          QImage::Format_BGR888);
    TJPEGImage jpeg;
    jpeg.SetImage(borrowed);
    std::fill(memory.begin(), memory.end(), 0);
    EXPECT_EQ(test::MaxDifference(jpeg.SourceImage(), source), 0);
}

// The frame logger's and the MJPG path's way: pixels pass without a copy,
// and Qt's copy-on-write still keeps later writes of either side apart.
TEST_F(JpegImageTest, ShareImageAndShareOntoPassPixelsWithoutCopying) {
    QImage frame = test::Gradient(64, 48);
    TJPEGImage jpeg;
    jpeg.ShareImage(frame);
    EXPECT_EQ(jpeg.SourceImage().constBits(), frame.constBits());
    frame.fill(Qt::black);  // the caller's next frame
    EXPECT_EQ(test::MaxDifference(jpeg.SourceImage(), test::Gradient(64, 48)), 0);
    jpeg.SaveFile(PathOf("shared.jpg"));
    EXPECT_EQ(ReadBytes(PathOf("shared.jpg")), Encode(test::Gradient(64, 48), 90));
    jpeg.ShareImage(QImage(8, 8, QImage::Format_RGB32));
    EXPECT_EQ(jpeg.SourceImage().format(), QImage::Format_BGR888);

    // A picture of the target's size becomes the target's pixels.
    const Bytes stream = Encode(test::Gradient(64, 48), 95);
    QImage drawn = test::Filled(64, 48, 0, 0, 0);
    Loaded(stream).DrawOn(drawn, 0, 0);
    TJPEGImage decoder = Loaded(stream);
    QImage target = test::Filled(64, 48, 0, 0, 0);
    decoder.ShareOnto(target);
    EXPECT_EQ(target.constBits(), decoder.SourceImage().constBits());
    EXPECT_EQ(test::MaxDifference(target, drawn), 0);
    target.fill(Qt::white);
    EXPECT_EQ(test::MaxDifference(decoder.SourceImage(), drawn), 0);

    // Any other target is drawn on as by DrawOn.
    QImage larger = test::Filled(70, 50, 1, 2, 3);
    decoder.ShareOnto(larger);
    EXPECT_EQ(test::MaxDifference(larger.copy(0, 0, 64, 48), drawn), 0);
    EXPECT_EQ(larger.pixelColor(69, 49), QColor(3, 2, 1));
}

TEST_F(JpegImageTest, EmptyPictureGivesEmptyFileAndReplacesOldOne) {
    test::WriteBytes(PathOf("old.jpg"), Bytes(1000, 0x55));
    TJPEGImage jpeg;
    jpeg.SetImage(QImage());
    jpeg.SaveFile(PathOf("old.jpg"));
    EXPECT_EQ(QFileInfo(PathOf("old.jpg")).size(), 0);

    TJPEGImage never;  // nothing set at all
    never.SaveFile(PathOf("never.jpg"));
    EXPECT_EQ(QFileInfo(PathOf("never.jpg")).size(), 0);
    EXPECT_EQ(FilesInDir(), (QStringList{"never.jpg", "old.jpg"}));
}

TEST_F(JpegImageTest, SymbolicLinkIsWrittenThroughAndKept) {
    test::WriteBytes(PathOf("real.jpg"), Bytes(10, 1));
    ASSERT_TRUE(QFile::link(PathOf("real.jpg"), PathOf("link.jpg")));
    TJPEGImage jpeg;
    jpeg.SetImage(test::Gradient(16, 16));
    jpeg.SaveFile(PathOf("link.jpg"));
    EXPECT_TRUE(QFileInfo(PathOf("link.jpg")).isSymLink());
    EXPECT_EQ(ReadBytes(PathOf("real.jpg")), ReadBytes(PathOf("link.jpg")));
    EXPECT_GT(QFileInfo(PathOf("real.jpg")).size(), 10);
}

TEST_F(JpegImageTest, MissingDirectoryRaisesCreateErrorWithAbsolutePath) {
    const QString relative = QDir::current().relativeFilePath(PathOf("missing/frame.jpg"));
    TJPEGImage jpeg;
    jpeg.SetImage(test::Gradient(8, 8));
    try {
        jpeg.SaveFile(relative);
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        const QString expected = QString("Cannot create file \"%1\". No such file or directory")
                                     .arg(PathOf("missing/frame.jpg"));
        EXPECT_EQ(QString::fromStdString(e.what()), expected);
    }
    // Encoded before the file is made, so a kill while encoding leaves no file.
    EXPECT_EQ(jpeg.EncodeCount(), 1u);
}

TEST_F(JpegImageTest, FailedWriteIsReportedAndLeavesNoFile) {
    // A file size limit makes write() fail part-way, as a full disk does.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    TJPEGImage jpeg;
    jpeg.SetImage(test::Gradient(320, 240));
    std::string message;
    try {
        jpeg.SaveFile(PathOf("full.jpg"));
    } catch (const EVistrelError& e) {
        message = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_EQ(
        message,
        QString("Cannot write file \"%1\". File too large").arg(PathOf("full.jpg")).toStdString());
    EXPECT_TRUE(FilesInDir().isEmpty()) << FilesInDir().join(", ").toStdString();

    // Once space is back the same object saves the picture it holds.
    jpeg.SaveFile(PathOf("full.jpg"));
    EXPECT_GT(QFileInfo(PathOf("full.jpg")).size(), 1000);
    EXPECT_EQ(jpeg.EncodeCount(), 1u);
}

TEST_F(JpegImageTest, DevFullIsReported) {
    if (!QFileInfo::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    // A device is written in place, never replaced by a renamed file.
    TJPEGImage jpeg;
    jpeg.SetImage(test::Gradient(16, 16));
    try {
        jpeg.SaveFile("/dev/full");
        FAIL() << "no error";
    } catch (const EFWriteError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot write file \"/dev/full\". No space left on device");
    }
    EXPECT_FALSE(QFileInfo("/dev/full").isFile());
}

TEST_F(JpegImageTest, EncoderErrorRaisesEJpegAndIsRetriedNextTime) {
    TJPEGImage jpeg;
    jpeg.SetImage(QImage(70000, 1, QImage::Format_BGR888));  // beyond JPEG's 65500 limit
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            jpeg.SaveFile(PathOf("big.jpg"));
            FAIL() << "no error";
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Code(), JERR_IMAGE_TOO_BIG);
            // The library's own text follows as a second sentence.
            EXPECT_EQ(std::string(e.what()), "JPEG error #" + std::to_string(JERR_IMAGE_TOO_BIG) +
                                                 ". Maximum supported image dimension is 65500 "
                                                 "pixels.");
        }
    }
    EXPECT_EQ(jpeg.EncodeCount(), 2u);
    EXPECT_TRUE(FilesInDir().isEmpty());
}

TEST_F(JpegImageTest, LoadReadsHeaderOnlyAndDrawDecodes) {
    const QImage original = test::Gradient(200, 120);
    TJPEGImage decoder = Loaded(Encode(original, 95));
    EXPECT_EQ(decoder.Width(), 200);
    EXPECT_EQ(decoder.Height(), 120);
    EXPECT_FALSE(decoder.Grayscale());
    EXPECT_FALSE(decoder.Progressive());
    EXPECT_TRUE(decoder.SourceImage().isNull()) << "decoded before it was drawn";

    QImage target(200, 120, QImage::Format_BGR888);
    target.fill(Qt::black);
    decoder.DrawOn(target, 0, 0);
    EXPECT_LE(test::MaxDifference(target, original), 12);

    // Straight into a target of the stream's size: the same pixels, no
    // picture kept.
    TJPEGImage straight = Loaded(Encode(original, 95));
    QImage direct(200, 120, QImage::Format_BGR888);
    straight.DecodeInto(direct);
    EXPECT_TRUE(straight.SourceImage().isNull());
    EXPECT_EQ(test::MaxDifference(direct, target), 0);

    // Loading again drops the picture; the stream position is honoured.
    const Bytes stream = Encode(test::Gradient(30, 20), 90);
    QByteArray data(8, 'x');
    data.append(reinterpret_cast<const char*>(stream.data()),
                static_cast<qsizetype>(stream.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    buffer.seek(8);
    decoder.LoadData(buffer);
    EXPECT_TRUE(decoder.SourceImage().isNull());
    EXPECT_EQ(decoder.Width(), 30);
}

TEST_F(JpegImageTest, ProgressiveStreamDecodesInOneGo) {
    const QImage original = test::Gradient(96, 64);
    TJPEGImage decoder = Loaded(test::EncodeProgressive(original));
    EXPECT_TRUE(decoder.Progressive());
    QImage target(96, 64, QImage::Format_BGR888);
    decoder.DrawOn(target, 0, 0);
    EXPECT_LE(test::MaxDifference(target, original), 12);

    QByteArray empty;
    QBuffer buffer(&empty);
    buffer.open(QIODevice::ReadOnly);
    decoder.LoadData(buffer);
    EXPECT_FALSE(decoder.Progressive()) << "flags belong to the stream held now";
}

TEST_F(JpegImageTest, DrawClipsAtTheTargetEdges) {
    TJPEGImage decoder = Loaded(Encode(test::Filled(16, 16, 255, 255, 255), 100));
    QImage target = test::Filled(20, 10, 0, 0, 0);
    decoder.DrawOn(target, 12, -4);  // covers columns 12..19, rows 0..11
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 20; ++x) {
            const int expected = (x >= 12 && y < 12) ? 255 : 0;
            ASSERT_NEAR(target.pixelColor(x, y).red(), expected, 2) << x << "," << y;
        }
    }
    QImage untouched = test::Filled(4, 4, 1, 2, 3);
    decoder.DrawOn(untouched, 100, 100);
    EXPECT_EQ(test::MaxDifference(untouched, test::Filled(4, 4, 1, 2, 3)), 0);

    TJPEGImage empty;  // holds nothing: drawing does nothing
    empty.DrawOn(untouched, 0, 0);
    EXPECT_EQ(test::MaxDifference(untouched, test::Filled(4, 4, 1, 2, 3)), 0);
}

TEST_F(JpegImageTest, StreamCutOffHalfwayDecodesToFullSize) {
    Bytes stream = Encode(test::Gradient(160, 120), 80);
    stream.resize(stream.size() / 2);
    TJPEGImage decoder = Loaded(stream);
    QImage target = test::Filled(160, 120, 9, 9, 9);
    EXPECT_NO_THROW(decoder.DrawOn(target, 0, 0));
    EXPECT_EQ(decoder.SourceImage().size(), QSize(160, 120));
    // The top rows came through intact.
    EXPECT_LE(test::MaxDifference(target.copy(0, 0, 160, 16),
                                  test::Gradient(160, 120).copy(0, 0, 160, 16)),
              16);
}

TEST_F(JpegImageTest, BadStreamsRaiseEJpeg) {
    // Nothing at all: the header is not read, decoding finds no data.
    TJPEGImage empty = Loaded({});
    EXPECT_EQ(empty.Width(), 0);
    QImage target = test::Filled(8, 8, 7, 7, 7);
    try {
        empty.DrawOn(target, 0, 0);
        FAIL() << "no error";
    } catch (const EJPEG& e) {
        EXPECT_EQ(e.Code(), JERR_INPUT_EMPTY);
    }

    // Not a JPEG.
    EXPECT_THROW(Loaded(Bytes(5000, 0x42)), EJPEG);

    // Four components cannot be held in a 24-bit picture.
    TJPEGImage cmyk = Loaded(test::EncodeCmyk(32, 16));
    EXPECT_EQ(cmyk.Width(), 32);
    try {
        cmyk.DrawOn(target, 0, 0);
        FAIL() << "no error";
    } catch (const EJPEG& e) {
        EXPECT_EQ(e.Code(), JERR_CONVERSION_NOTIMPL);
    }
    EXPECT_EQ(test::MaxDifference(target, test::Filled(8, 8, 7, 7, 7)), 0);
}

TEST_F(JpegImageTest, HeaderBeyondTheDecodeLimitIsRefusedBeforeDecoding) {
    // A 10 KB-class progressive stream whose SOF claims 30000x30000 would
    // take gigabytes of coefficient memory; so would a baseline one at
    // 65500x65500 for its picture.
    Bytes stream = test::EncodeProgressive(test::Gradient(96, 64));
    const auto sof = std::find_if(stream.begin(), stream.end() - 1, [&](const std::uint8_t& b) {
        return b == 0xFF && (&b)[1] == 0xC2;
    });
    ASSERT_NE(sof, stream.end() - 1);
    const std::uint8_t size[] = {0x75, 0x30, 0x75, 0x30};  // height, width 30000
    std::copy(std::begin(size), std::end(size), sof + 5);
    TJPEGImage decoder = Loaded(stream);
    EXPECT_EQ(decoder.Width(), 30000) << "the header alone is read";
    QImage target = test::Filled(8, 8, 7, 7, 7);
    for (const int limit : {TJPEGImage::kDefaultDecodeLimit, 96, 0}) {
        decoder.SetDecodeLimit(limit, limit);
        try {
            decoder.DrawOn(target, 0, 0);
            FAIL() << "no error";
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Code(), JERR_IMAGE_TOO_BIG);
        }
    }
    EXPECT_TRUE(decoder.SourceImage().isNull());
    EXPECT_EQ(test::MaxDifference(target, test::Filled(8, 8, 7, 7, 7)), 0);
}

TEST_F(JpegImageTest, StreamWithoutHuffmanTablesUsesTheStandardOnes) {
    const Bytes full = Encode(test::Gradient(64, 48), 75);
    const Bytes bare = test::WithoutSegments(full, kDHT);
    ASSERT_LT(bare.size(), full.size());
    for (const auto& s : ParseSegments(bare))
        ASSERT_NE(s.marker, kDHT);

    TJPEGImage withTables = Loaded(full);
    TJPEGImage withoutTables = Loaded(bare);
    QImage a(64, 48, QImage::Format_BGR888), b(64, 48, QImage::Format_BGR888);
    withTables.DrawOn(a, 0, 0);
    ASSERT_NO_THROW(withoutTables.DrawOn(b, 0, 0));
    EXPECT_EQ(test::MaxDifference(a, b), 0);
}

TEST_F(JpegImageTest, GreyStreamDecodesThroughAPaletteOfAtMost236Levels) {
    TJPEGImage decoder = Loaded(test::EncodeGrey(256, 8, 100));
    EXPECT_TRUE(decoder.Grayscale());
    QImage target = test::Filled(256, 8, 0, 0, 255);
    decoder.DrawOn(target, 0, 0);
    const QImage& picture = decoder.SourceImage();
    EXPECT_EQ(picture.format(), QImage::Format_Indexed8);
    EXPECT_LE(picture.colorCount(), TJPEGImage::kPaletteColours);
    EXPECT_GE(picture.colorCount(), 200);
    for (int x = 0; x < 256; x += 15) {
        const QColor c = target.pixelColor(x, 4);
        EXPECT_EQ(c.red(), c.green());
        EXPECT_EQ(c.green(), c.blue());
        EXPECT_NEAR(c.red(), x, 6) << "column " << x;
    }
}

TEST_F(JpegImageTest, PaletteOutputQuantisesColourStreams) {
    TJPEGImage::SetPaletteOutput(true);
    TJPEGImage decoder = Loaded(Encode(test::Gradient(64, 64), 90));
    QImage target(64, 64, QImage::Format_BGR888);
    decoder.DrawOn(target, 0, 0);
    TJPEGImage::SetPaletteOutput(false);
    EXPECT_EQ(decoder.SourceImage().format(), QImage::Format_Indexed8);
    EXPECT_LE(decoder.SourceImage().colorCount(), TJPEGImage::kPaletteColours);
    EXPECT_LE(test::MaxDifference(target, test::Gradient(64, 64)), 48);
}

}  // namespace
}  // namespace vistrel
