// SPDX-License-Identifier: MIT
// What a frame costs on its way from a sample in memory to a JPEG file, in
// milliseconds of processor time per frame, next to a yardstick doing the
// same work in the same run on the same picture:
//
//   convert-YUY2, convert-I420  TFrameConverter against libyuv, on the best
//                               instruction set, and once more on each lower
//                               one (name suffix "-AVX2" etc.) with libyuv
//                               restricted to the same level
//   decode-MJPG                 TFrameConverter against bare libjpeg-turbo
//   save-q70                    TJPEGImage::ShareImage + SaveFile, as the
//                               frame logger saves, against bare libjpeg-turbo
//                               and the same file steps
//   path-YUY2/I420/MJPG         the code the frame logger uses (conversion
//                               into a picture, ShareImage, SaveFile) against
//                               the bare chain
//   passthrough-MJPG-1920x1080  the frame logger's passthrough (the camera's
//                               JPEG copied from its slot, the standard
//                               Huffman tables put in, the same file steps)
//                               against its own decode and encode of that
//                               frame (path-MJPG's side)
//
// Each case "<case>-<W>x<H>" is one benchmark that runs frames through our
// side and the yardstick alternately and reports both as the counters ours_ms
// and ref_ms. Run through scripts/run-bench, the repetitions of all cases are
// interleaved too, and the run ends with the cost of fdatasync on a real disk,
// the share of a core that 30 frames per second take, and one SUMMARY line
// per case built from the medians.

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bare_chain.h"
#include "imaging/jpeg_image.h"
#include "imaging/jpeg_tables.h"
#include "pipeline/frame_converter.h"
#include "storage/output_file.h"
#include "summary.h"
#include "sync_cost.h"
#include "test_frames.h"
#include "yuv_vector.h"

namespace vistrel::bench {

namespace {

constexpr Size kSizes[] = {{1280, 720}, {1920, 1080}, {3840, 2160}};
constexpr int kJpegQuality = 70;
constexpr double kConversionTarget = 1.00;
constexpr double kCodecTarget = 1.10;
// Passthrough skips the decoding and encoding, the bulk of the frame's work.
constexpr double kPassthroughTarget = 0.10;
// Frames above this many pixels get repetitions of at least this many seconds
// of processor time, whatever --benchmark_min_time says.
constexpr int kLongFramePixels = 1920 * 1080;
constexpr double kLongFrameMinTime = 0.4;

// The frames of one size, made once and kept for the whole run.
struct Frames {
    Size size;
    QImage picture;
    Bytes yuy2, i420, jpeg;

    const Bytes& Of(std::uint32_t code) const {
        return code == fourcc::kYUY2 ? yuy2 : code == fourcc::kI420 ? i420 : jpeg;
    }
    TRawFrame Raw(std::uint32_t code) const {
        const Bytes& data = Of(code);
        return {.data = data.data(),
                .length = static_cast<std::int32_t>(data.size()),
                .compression = code,
                .width = size.width,
                .height = size.height};
    }
};

// Where the files go: a tmpfs, so that the cases time our work and not a disk.
const std::string& ScratchDirectory() {
    static const QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                       ? QStringLiteral("/dev/shm/vistrel-bench-XXXXXX")
                                       : QDir::tempPath() +
                                             QStringLiteral("/vistrel-bench-XXXXXX"));
    static const std::string path = QFile::encodeName(dir.path()).toStdString();
    return path;
}

// A new final name for every file a side writes, never used before in this
// run. The files are removed in batches between frames, outside the timed
// work, so the tmpfs does not fill.
class ScratchFiles {
public:
    explicit ScratchFiles(std::string prefix) : prefix_(std::move(prefix)) {
        names_.reserve(kBatch);
    }
    ~ScratchFiles() { RemoveAll(); }
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

    const std::string& NextName() {
        static unsigned serial = 0;
        names_.push_back(prefix_ + "-" + std::to_string(serial++) + ".jpg");
        return names_.back();
    }
    QString NextPath() {
        return QFile::decodeName((ScratchDirectory() + "/" + NextName()).c_str());
    }
    void Tidy() {
        if (names_.size() >= kBatch) {
            RemoveAll();
        }
    }

private:
    static constexpr std::size_t kBatch = 16;
    void RemoveAll() {
        for (const std::string& name : names_) {
            ::unlink((ScratchDirectory() + "/" + name).c_str());
        }
        names_.clear();
    }

    std::string prefix_;
    std::vector<std::string> names_;
};

QImage BlankPicture(const Size& size) {
    QImage picture(size.width, size.height, QImage::Format_BGR888);
    picture.fill(Qt::black);
    return picture;
}

// Each side of a case is an object made once per repetition whose call does
// one frame's work and throws on failure; Tidy runs between frames, untimed.

// ---- Our side ---------------------------------------------------------------

struct ConvertOurs {
    ConvertOurs(const Frames& frames, std::uint32_t code)
        : picture(BlankPicture(frames.size)), raw(frames.Raw(code)) {}
    void operator()() {
        if (converter.Convert(raw, picture).outcome != TConversionResult::Outcome::Converted) {
            throw std::runtime_error("frame was not converted");
        }
        benchmark::DoNotOptimize(picture.constBits());
    }
    void Tidy() {}

    TFrameConverter converter;
    QImage picture;
    TRawFrame raw;
};

// The frame logger's save: the frame is shared with the encoder and saved.
struct SaveOurs {
    explicit SaveOurs(const Frames& frames) : picture(frames.picture), files("save-ours") {
        encoder.SetEncodingQuality(kJpegQuality);
    }
    void operator()() {
        encoder.ShareImage(picture);
        encoder.SaveFile(files.NextPath());
    }
    void Tidy() { files.Tidy(); }

    const QImage& picture;
    TJPEGImage encoder;
    ScratchFiles files;
};

// What TFrameLogger does with a frame: the session converts the sample into
// its picture, the logger hands the picture to the encoder and saves it. (The
// session's copy of its picture for the logger is left out.)
struct PathOurs {
    PathOurs(const Frames& frames, std::uint32_t code) : convert(frames, code), files("path-ours") {
        encoder.SetEncodingQuality(kJpegQuality);
    }
    void operator()() {
        convert();
        encoder.ShareImage(convert.picture);
        encoder.SaveFile(files.NextPath());
    }
    void Tidy() { files.Tidy(); }

    ConvertOurs convert;
    TJPEGImage encoder;
    ScratchFiles files;
};

// The stream as many cameras send it: without its DHT segments.
Bytes WithoutHuffmanTables(const Bytes& stream) {
    Bytes out(stream.begin(), stream.begin() + 2);  // SOI
    std::size_t pos = 2;
    while (pos + 4 <= stream.size() && stream[pos + 1] != 0xDA) {
        const std::size_t next = pos + 2 + (std::size_t{stream[pos + 2]} << 8 | stream[pos + 3]);
        if (stream[pos + 1] != 0xC4) {
            out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(pos),
                       stream.begin() + static_cast<std::ptrdiff_t>(next));
        }
        pos = next;
    }
    out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(pos), stream.end());
    return out;
}

// What TFrameLogger does with a frame it passes through: the session copies
// the camera's bytes out of their slot, the tables are completed and the
// stream goes through the same file steps as an encoded one.
struct PassthroughOurs {
    PassthroughOurs(const Frames& frames, std::uint32_t)
        : camera(WithoutHuffmanTables(frames.jpeg)), files("passthrough-ours") {}
    void operator()() {
        stream.assign(camera.begin(), camera.end());
        if (CompleteHuffmanTables(stream) != TJpegTables::Added) {
            throw std::runtime_error("the tables were not put in");
        }
        ReplaceFile(files.NextPath().toStdString(), stream);
    }
    void Tidy() { files.Tidy(); }

    Bytes camera;
    std::vector<std::uint8_t> stream;
    ScratchFiles files;
};

// ---- The yardstick ------------------------------------------------------------

// libyuv for raw frames, bare libjpeg-turbo for MJPG.
struct ConvertRef {
    ConvertRef(const Frames& frames, std::uint32_t code)
        : frames(frames), code(code), yuy2(frames.size.width), picture(BlankPicture(frames.size)) {}
    void operator()() {
        const int w = frames.size.width;
        const int h = frames.size.height;
        if (code == fourcc::kYUY2) {
            yuy2.Convert(frames.yuy2.data(), w, h, picture.bits(), picture.bytesPerLine());
        } else if (code == fourcc::kI420) {
            LibyuvI420(frames.i420.data(), w, h, picture.bits(), picture.bytesPerLine());
        } else {
            decoder.Decode(frames.jpeg, picture.bits(), picture.bytesPerLine(), h);
        }
        benchmark::DoNotOptimize(picture.constBits());
    }
    void Tidy() {}

    const Frames& frames;
    std::uint32_t code;
    LibyuvYuy2 yuy2;
    BareDecoder decoder;
    QImage picture;
};

// Encodes picture and publishes the stream under a new name.
void SaveBare(BareEncoder& encoder, const QImage& picture, ScratchFiles& files) {
    const auto stream = encoder.Encode(picture.constBits(), picture.bytesPerLine(), picture.width(),
                                       picture.height());
    const std::string failure = PublishFile(ScratchDirectory(), files.NextName(), stream);
    if (!failure.empty()) {
        throw std::runtime_error(failure);
    }
}

struct SaveRef {
    explicit SaveRef(const Frames& frames)
        : picture(frames.picture),
          encoder(kJpegQuality, frames.size.width, frames.size.height),
          files("save-ref") {}
    void operator()() { SaveBare(encoder, picture, files); }
    void Tidy() { files.Tidy(); }

    const QImage& picture;
    BareEncoder encoder;
    ScratchFiles files;
};

struct PathRef {
    PathRef(const Frames& frames, std::uint32_t code)
        : convert(frames, code),
          encoder(kJpegQuality, frames.size.width, frames.size.height),
          files("path-ref") {}
    void operator()() {
        convert();
        SaveBare(encoder, convert.picture, files);
    }
    void Tidy() { files.Tidy(); }

    ConvertRef convert;
    BareEncoder encoder;
    ScratchFiles files;
};

// ---- One case: both sides, alternately ------------------------------------------

double ThreadMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

template <typename Side>
double Timed(Side& side) {
    const double start = ThreadMilliseconds();
    side();
    return ThreadMilliseconds() - start;
}

// Runs a frame through each side in turn, the first side alternating, so that
// load from elsewhere and cache effects fall on both alike. Processor time of
// this thread, not wall time: the machine is shared, and processor time per
// frame is what a share of a core is made of.
template <typename Ours, typename Ref>
void RunCase(benchmark::State& state, Ours& ours, Ref& ref) {
    try {
        ours();  // first frames: tables, decoders, buffers, files
        ref();
        double oursMs = 0;
        double refMs = 0;
        bool oursFirst = true;
        for (auto _ : state) {
            if (oursFirst) {
                oursMs += Timed(ours);
                refMs += Timed(ref);
            } else {
                refMs += Timed(ref);
                oursMs += Timed(ours);
            }
            oursFirst = !oursFirst;
            ours.Tidy();
            ref.Tidy();
        }
        state.counters["ours_ms"] = benchmark::Counter(oursMs, benchmark::Counter::kAvgIterations);
        state.counters["ref_ms"] = benchmark::Counter(refMs, benchmark::Counter::kAvgIterations);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// ---- Instruction sets --------------------------------------------------------

// The vector instruction set both sides run on: ours (0: the best) and the
// matching libyuv flags (-1: all).
struct Level {
    std::string suffix;  // of the case name, empty for the best
    std::int64_t target = 0;
    int libyuvFlags = -1;
};

// Restricts both sides to one level while it lives.
class LevelScope {
public:
    explicit LevelScope(const Level& level) : libyuv_(level.libyuvFlags) {
        yuv_vector::RestrictToTarget(level.target);
    }
    ~LevelScope() { yuv_vector::RestrictToTarget(0); }
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;

private:
    LibyuvLevelScope libyuv_;
};

// The instruction sets below the best that this processor runs and libyuv
// has a level for, best first.
std::vector<Level> LowerLevels() {
    std::vector<Level> levels;
    const std::vector<std::int64_t> targets = yuv_vector::AvailableTargets();
    for (std::size_t i = 1; i < targets.size(); ++i) {
        const std::string name = yuv_vector::TargetName(targets[i]);
        if (const int flags = LibyuvFlagsOfLevel(name); flags != 0) {
            levels.push_back({"-" + name, targets[i], flags});
        }
    }
    return levels;
}

// ---- Registration ---------------------------------------------------------------

std::unique_ptr<Frames> MakeFrames(const Size& size) {
    auto frames = std::make_unique<Frames>();
    frames->size = size;
    frames->picture = TestPicture(size);
    frames->yuy2 = ToYuy2(frames->picture);
    frames->i420 = ToI420(frames->picture);
    BareEncoder encoder(kJpegQuality, size.width, size.height);
    const auto stream = encoder.Encode(frames->picture.constBits(), frames->picture.bytesPerLine(),
                                       size.width, size.height);
    frames->jpeg.assign(stream.begin(), stream.end());
    return frames;
}

template <typename Ours, typename Ref, typename... Args>
void AddCase(std::vector<Case>& cases, const std::string& name, double target, const Frames* frames,
             const Level& level, Args... args) {
    benchmark::internal::Benchmark* benchmark =
        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
            const LevelScope scope(level);
            Ours ours(*frames, args...);
            Ref ref(*frames, args...);
            RunCase(state, ours, ref);
        });
    benchmark->Unit(benchmark::kMillisecond);
    if (frames->size.width * frames->size.height > kLongFramePixels) {
        // A 2160p frame through both sides takes up to 0.1 s: a repetition of
        // the usual length would hold one or two, too few for a median.
        benchmark->MinTime(kLongFrameMinTime);
    }
    cases.push_back({name, target});
}

std::vector<Case> RegisterCases(const std::vector<std::unique_ptr<Frames>>& all) {
    const struct {
        const char* name;
        std::uint32_t code;
    } kFormats[] = {{"YUY2", fourcc::kYUY2}, {"I420", fourcc::kI420}, {"MJPG", fourcc::kMJPG}};
    const Level best;
    std::vector<Level> levels = LowerLevels();
    levels.insert(levels.begin(), best);
    std::vector<Case> cases;
    for (const auto& format : kFormats) {
        for (const Level& level : levels) {
            for (const auto& f : all) {
                if (format.code != fourcc::kMJPG) {
                    AddCase<ConvertOurs, ConvertRef>(
                        cases,
                        std::string("convert-") + format.name + "-" + f->size.Name() + level.suffix,
                        kConversionTarget, f.get(), level, format.code);
                }
            }
        }
    }
    for (const auto& f : all) {
        AddCase<ConvertOurs, ConvertRef>(cases, "decode-MJPG-" + f->size.Name(), kCodecTarget,
                                         f.get(), best, fourcc::kMJPG);
    }
    for (const auto& f : all) {
        AddCase<SaveOurs, SaveRef>(cases, "save-q70-" + f->size.Name(), kCodecTarget, f.get(),
                                   best);
    }
    for (const auto& format : kFormats) {
        for (const auto& f : all) {
            AddCase<PathOurs, PathRef>(cases,
                                       std::string("path-") + format.name + "-" + f->size.Name(),
                                       kCodecTarget, f.get(), best, format.code);
        }
    }
    for (const auto& f : all) {
        if (f->size.width == 1920) {
            AddCase<PassthroughOurs, PathOurs>(cases, "passthrough-MJPG-" + f->size.Name(),
                                               kPassthroughTarget, f.get(), best, fourcc::kMJPG);
        }
    }
    return cases;
}

void ReportScratchDirectory() {
    std::printf("Files of the save and path cases go to %s (%s)\n", ScratchDirectory().c_str(),
                FileSystemName(ScratchDirectory()).c_str());
}

}  // namespace

}  // namespace vistrel::bench

int main(int argc, char** argv) {
    using namespace vistrel::bench;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }

    std::vector<std::unique_ptr<Frames>> frames;
    for (const Size& size : kSizes) {
        frames.push_back(MakeFrames(size));
    }
    const std::vector<Case> cases = RegisterCases(frames);
    ReportScratchDirectory();

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const char* syncDir = std::getenv("BENCH_SYNC_DIR");
    PrintSyncCost(syncDir != nullptr && *syncDir != '\0' ? syncDir : ".", frames[1]->jpeg,
                  frames[1]->size.Name());
    std::vector<std::string> sizes;
    for (const Size& size : kSizes) {
        sizes.push_back(size.Name());
    }
    PrintCoreShares(reporter, sizes, {"YUY2", "I420", "MJPG"});
    PrintSummary(reporter, cases);
    benchmark::Shutdown();
    return 0;
}
