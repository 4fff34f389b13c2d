// Frame conversion and JPEG saving, in milliseconds per frame, next to
// libyuv's converters on the same frames.
//
// Names: "ConvertFrame/<code>/<WxH>", "SaveFile/q70/<WxH>" and
// "libyuv/<function>/<WxH>". After the run a table gives ours / libyuv.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "imaging/jpeg_image.h"
#include "pipeline/frame_converter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Size {
    int width;
    int height;
    std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};

constexpr Size kSizes[] = {{1280, 720}, {1920, 1080}, {3840, 2160}};
constexpr int kJpegQuality = 70;

// A picture with smooth areas and texture, so that JPEG has work to do.
QImage TestPicture(const Size& size) {
    QImage picture(size.width, size.height, QImage::Format_BGR888);
    std::uint32_t noise = 12345;
    for (int y = 0; y < size.height; ++y) {
        std::uint8_t* p = picture.scanLine(y);
        for (int x = 0; x < size.width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = static_cast<int>(noise >> 28);
            p[3 * x] = static_cast<std::uint8_t>((x * 255 / size.width + grain) & 0xFF);
            p[3 * x + 1] = static_cast<std::uint8_t>((y * 255 / size.height + grain) & 0xFF);
            p[3 * x + 2] = static_cast<std::uint8_t>(((x + y) / 8 % 2 ? 200 : 60) + grain);
        }
    }
    return picture;
}

struct Yuv {
    std::uint8_t y, u, v;
};

Yuv ToYuv(const std::uint8_t* bgr) {
    const int b = bgr[0], g = bgr[1], r = bgr[2];
    return {static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16),
            static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128),
            static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128)};
}

Bytes ToYuy2(const QImage& picture) {
    const int w = picture.width();
    Bytes frame(static_cast<std::size_t>(w) * picture.height() * 2);
    std::uint8_t* out = frame.data();
    for (int y = 0; y < picture.height(); ++y) {
        const std::uint8_t* row = picture.constScanLine(y);
        for (int x = 0; x + 1 < w; x += 2) {
            const Yuv a = ToYuv(row + 3 * x);
            const Yuv b = ToYuv(row + 3 * x + 3);
            *out++ = a.y;
            *out++ = a.u;
            *out++ = b.y;
            *out++ = a.v;
        }
    }
    return frame;
}

Bytes ToI420(const QImage& picture) {
    const int w = picture.width();
    const int h = picture.height();
    Bytes frame(static_cast<std::size_t>(w) * h * 3 / 2);
    std::uint8_t* luma = frame.data();
    std::uint8_t* cb = luma + static_cast<std::size_t>(w) * h;
    std::uint8_t* cr = cb + static_cast<std::size_t>(w) * h / 4;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = picture.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            const Yuv p = ToYuv(row + 3 * x);
            luma[static_cast<std::size_t>(y) * w + x] = p.y;
            if (y % 2 == 0 && x % 2 == 0) {
                cb[static_cast<std::size_t>(y / 2) * (w / 2) + x / 2] = p.u;
                cr[static_cast<std::size_t>(y / 2) * (w / 2) + x / 2] = p.v;
            }
        }
    }
    return frame;
}

// Where SaveFile writes: memory-backed when the system offers it.
QString ScratchDirectory() {
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/vistrel-bench-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/vistrel-bench-XXXXXX"));
    return dir.path();
}

Bytes ToJpeg(const QImage& picture) {
    vistrel::TJPEGImage encoder;
    encoder.SetEncodingQuality(kJpegQuality);
    encoder.SetImage(picture);
    encoder.SaveFile(ScratchDirectory() + QStringLiteral("/frame.jpg"));
    return *encoder.CompressedData();
}

void BenchConvertFrame(benchmark::State& state, Size size, std::uint32_t code, const Bytes* frame) {
    vistrel::TFrameConverter converter;
    QImage picture(size.width, size.height, QImage::Format_BGR888);
    picture.fill(Qt::black);
    const vistrel::TRawFrame raw{.data = frame->data(),
                                 .length = static_cast<std::int32_t>(frame->size()),
                                 .compression = code,
                                 .width = size.width,
                                 .height = size.height};
    converter.Convert(raw, picture);  // tables built, decoder made, caches warm
    vistrel::TConversionResult result;
    for (auto _ : state) {
        result = converter.Convert(raw, picture);
        benchmark::DoNotOptimize(picture.constBits());
    }
    if (result.outcome != vistrel::TConversionResult::Outcome::Converted) {
        state.SkipWithError("frame was not converted");
    }
}

void SaveFile(benchmark::State& state, const QImage* picture) {
    vistrel::TJPEGImage encoder;
    encoder.SetEncodingQuality(kJpegQuality);
    const QString path = ScratchDirectory() + QStringLiteral("/save.jpg");
    for (auto _ : state) {
        encoder.SetImage(*picture);
        encoder.SaveFile(path);
    }
}

void LibyuvYuy2(benchmark::State& state, Size size, const Bytes* frame) {
    // This libyuv has no direct YUY2 to RGB24; its way is through ARGB. Row by
    // row keeps the ARGB row in cache.
    QImage target(size.width, size.height, QImage::Format_BGR888);
    std::vector<std::uint8_t> argb(static_cast<std::size_t>(size.width) * 4);
    const int sourceStride = size.width * 2;
    for (auto _ : state) {
        std::uint8_t* out = target.bits();
        for (int y = 0; y < size.height; ++y) {
            libyuv::YUY2ToARGB(frame->data() + static_cast<std::size_t>(y) * sourceStride,
                               sourceStride, argb.data(), size.width * 4, size.width, 1);
            libyuv::ARGBToRGB24(argb.data(), size.width * 4, out + y * target.bytesPerLine(),
                                static_cast<int>(target.bytesPerLine()), size.width, 1);
        }
        benchmark::DoNotOptimize(target.constBits());
    }
}

void LibyuvI420(benchmark::State& state, Size size, const Bytes* frame) {
    QImage target(size.width, size.height, QImage::Format_BGR888);
    const std::uint8_t* luma = frame->data();
    const std::uint8_t* cb = luma + static_cast<std::size_t>(size.width) * size.height;
    const std::uint8_t* cr = cb + static_cast<std::size_t>(size.width) * size.height / 4;
    for (auto _ : state) {
        libyuv::I420ToRGB24(luma, size.width, cb, size.width / 2, cr, size.width / 2, target.bits(),
                            static_cast<int>(target.bytesPerLine()), size.width, size.height);
        benchmark::DoNotOptimize(target.constBits());
    }
}

// Console output as usual, and the times kept for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                milliseconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }

    void PrintRatios() const {
        struct Pair {
            const char* ours;
            const char* theirs;
        };
        const Pair pairs[] = {{"ConvertFrame/YUY2", "libyuv/YUY2ToARGB+ARGBToRGB24"},
                              {"ConvertFrame/I420", "libyuv/I420ToRGB24"}};
        std::printf("\n%-32s %12s %12s %8s\n", "ours / libyuv", "ours ms", "libyuv ms", "ratio");
        for (const Pair& pair : pairs) {
            for (const Size& size : kSizes) {
                const auto ours =
                    milliseconds_.find(std::string(pair.ours) + "/" + size.Name() + "/real_time");
                const auto theirs =
                    milliseconds_.find(std::string(pair.theirs) + "/" + size.Name() + "/real_time");
                if (ours == milliseconds_.end() || theirs == milliseconds_.end()) {
                    continue;
                }
                std::printf("%-32s %12.3f %12.3f %8.2f\n",
                            (std::string(pair.ours) + "/" + size.Name()).c_str(), ours->second,
                            theirs->second, ours->second / theirs->second);
            }
        }
    }

private:
    std::map<std::string, double> milliseconds_;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);

    // Frames live for the whole run; the benchmarks keep pointers to them.
    struct Frames {
        QImage picture;
        Bytes yuy2, i420, jpeg;
    };
    std::vector<std::unique_ptr<Frames>> frames;
    for (const Size& size : kSizes) {
        auto f = std::make_unique<Frames>();
        f->picture = TestPicture(size);
        f->yuy2 = ToYuy2(f->picture);
        f->i420 = ToI420(f->picture);
        f->jpeg = ToJpeg(f->picture);
        const std::string name = size.Name();
        const auto ms = [](benchmark::internal::Benchmark* b) {
            b->Unit(benchmark::kMillisecond)->UseRealTime();
        };
        ms(benchmark::RegisterBenchmark(("ConvertFrame/YUY2/" + name).c_str(), BenchConvertFrame,
                                        size, vistrel::fourcc::kYUY2, &f->yuy2));
        ms(benchmark::RegisterBenchmark(("libyuv/YUY2ToARGB+ARGBToRGB24/" + name).c_str(),
                                        LibyuvYuy2, size, &f->yuy2));
        ms(benchmark::RegisterBenchmark(("ConvertFrame/I420/" + name).c_str(), BenchConvertFrame,
                                        size, vistrel::fourcc::kI420, &f->i420));
        ms(benchmark::RegisterBenchmark(("libyuv/I420ToRGB24/" + name).c_str(), LibyuvI420, size,
                                        &f->i420));
        ms(benchmark::RegisterBenchmark(("ConvertFrame/MJPG/" + name).c_str(), BenchConvertFrame,
                                        size, vistrel::fourcc::kMJPG, &f->jpeg));
        ms(benchmark::RegisterBenchmark(("SaveFile/q70/" + name).c_str(), SaveFile, &f->picture));
        frames.push_back(std::move(f));
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
