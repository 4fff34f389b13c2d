// SPDX-License-Identifier: MIT
#include "writer_bench.h"

#include <QCoreApplication>
#include <QFile>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bare_chain.h"
#include "frontend/frame_logger.h"
#include "frontend/write_queue.h"
#include "imaging/jpeg_image.h"
#include "pipeline/frame_converter.h"
#include "pipeline/video_image.h"
#include "storage/frame_writer.h"

namespace vistrel::bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kQuality = 70;
constexpr double kStreamFps = 30;
constexpr std::chrono::milliseconds kRunTime{1000};

double ProcessMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

TRawFrame RawOf(const ParallelInput& input) {
    return {.data = input.sample->data(),
            .length = static_cast<std::int32_t>(input.sample->size()),
            .compression = input.code,
            .width = input.size.width,
            .height = input.size.height};
}

struct Throughput {
    double fps = 0;
    double cpuMsPerFrame = 0;  // of the whole process, per frame
};

// Frames through the writer as the frame logger sends them: converted on
// this thread into a picture of their own, encoded, synced and published by
// the workers. A full queue is waited on, not left out, to measure the rate.
Throughput OursThroughput(const ParallelInput& input, int workers) {
    TFrameWriter writer;
    writer.SetDirectory(QFile::decodeName(input.directory.c_str()));
    std::uint64_t published = 0;
    TWriteQueue queue(writer, workers,
                      [&](const TWriteResult& result) { published += result.outcome.path ? 1 : 0; },
                      {});
    TFrameConverter converter;
    const TRawFrame raw = RawOf(input);
    int frames = 0;
    const double cpuStart = ProcessMilliseconds();
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < kRunTime) {
        QImage picture(input.size.width, input.size.height, QImage::Format_BGR888);
        if (converter.Convert(raw, picture).outcome != TConversionResult::Outcome::Converted) {
            throw std::runtime_error("frame was not converted");
        }
        const std::size_t bytes = static_cast<std::size_t>(picture.sizeInBytes());
        while (!queue.HasRoom(bytes)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        // Distinct names: the stamp carries the frame's number.
        queue.Submit({.stamp = QStringLiteral("%1").arg(frames, 15, 10, QLatin1Char('0')),
                      .ticket = *writer.Admit(),
                      .picture = std::move(picture),
                      .quality = kQuality});
        ++frames;
        QCoreApplication::processEvents();
    }
    queue.Drain(std::chrono::minutes(1));
    const double elapsed = Seconds(Clock::now() - start);
    const double cpu = ProcessMilliseconds() - cpuStart;
    input.tidy();
    if (published != static_cast<std::uint64_t>(frames)) {
        throw std::runtime_error("files went missing");
    }
    return {frames / elapsed, cpu / frames};
}

// The bare chain in as many threads, each on its own frames and files.
Throughput RefThroughput(const ParallelInput& input, int threads) {
    std::atomic<int> frames{0};
    std::atomic<bool> failed{false};
    const double cpuStart = ProcessMilliseconds();
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            LibyuvYuy2 yuy2(input.size.width);
            BareDecoder decoder;
            BareEncoder encoder(kQuality, input.size.width, input.size.height);
            QImage picture(input.size.width, input.size.height, QImage::Format_BGR888);
            for (int n = 0; Clock::now() - start < kRunTime; ++n) {
                input.convertRef(yuy2, decoder, picture);
                const auto stream = encoder.Encode(picture.constBits(), picture.bytesPerLine(),
                                                   picture.width(), picture.height());
                const std::string name =
                    "ref-" + std::to_string(t) + "-" + std::to_string(n) + ".jpg";
                if (!PublishFile(input.directory, name, stream).empty()) {
                    failed = true;
                    return;
                }
                frames.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : running) {
        thread.join();
    }
    const double elapsed = Seconds(Clock::now() - start);
    const double cpu = ProcessMilliseconds() - cpuStart;
    input.tidy();
    if (failed) {
        throw std::runtime_error("a bare file was not written");
    }
    return {frames / elapsed, cpu / frames};
}

}  // namespace

std::optional<double> PrintParallelCase(const std::string& name, const ParallelInput& input) {
    const int most = TWriteQueue::DefaultWorkers();
    std::vector<int> counts = {1, 2};
    if (most > 2) {
        counts.push_back(most);
    }
    std::optional<double> oneWorkerMs;
    for (const int workers : counts) {
        try {
            const Throughput ours = OursThroughput(input, workers);
            const Throughput ref = RefThroughput(input, workers);
            if (workers == 1) {
                oneWorkerMs = ours.cpuMsPerFrame;
            }
            std::printf(
                "PARALLEL %s workers=%d ours_fps=%.1f ref_fps=%.1f ratio=%.2f "
                "ours_cpu_ms=%.2f ref_cpu_ms=%.2f\n",
                name.c_str(), workers, ours.fps, ref.fps, ref.fps / ours.fps, ours.cpuMsPerFrame,
                ref.cpuMsPerFrame);
        } catch (const std::exception& e) {
            std::printf("PARALLEL %s workers=%d failed: %s\n", name.c_str(), workers, e.what());
        }
        std::fflush(stdout);
    }
    return oneWorkerMs;
}

namespace {

// A session whose frames all go to a logger that takes none: the frame
// event reaches the counter step and ends there.
struct UntakenFrames {
    UntakenFrames(const Size& size, std::uint32_t code)
        : logger([](QImage&) {}), divisor(1'000'000'000) {
        session.SetFormat(size.width, size.height, code, true);
        logger.SetSessionReady(true);
        logger.SetFrameDivisor(divisor);
        session.OnNewVideoFrame = [this](TVideoImage&, std::int32_t, std::int32_t,
                                         const std::uint8_t*) { logger.OnNewFrame(); };
    }
    TVideoImage session;
    TFrameLogger logger;
    int divisor;
};

}  // namespace

TUntakenCost MeasureUntakenFrame(const Size& size, std::uint32_t code, const Bytes& sample) {
    UntakenFrames frames(size, code);
    constexpr int kFrames = 400;
    const auto length = static_cast<std::int32_t>(sample.size());
    // Ours: the sample routine (a copy into a free slot, the newest named,
    // an event posted), then the event handled as the GUI thread does.
    double ours = 0;
    for (int i = 0; i < kFrames; ++i) {
        frames.session.RecordIdleTime();  // the GUI thread is keeping up
        const double start = ProcessMilliseconds();
        if (!frames.session.ReceiveSample(sample.data(), length)) {
            throw std::runtime_error("a sample was dropped");
        }
        QCoreApplication::sendPostedEvents(frames.session.FrameWindow(),
                                           TVideoImage::kFrameMessage);
        ours += ProcessMilliseconds() - start;
    }
    // The copy alone, into memory of its own, as the slot copy costs it.
    Bytes slot(sample.size());
    double copy = 0;
    for (int i = 0; i < kFrames; ++i) {
        const double start = ProcessMilliseconds();
        std::memcpy(slot.data(), sample.data(), sample.size());
        benchmark::DoNotOptimize(slot.data());
        copy += ProcessMilliseconds() - start;
    }
    return {ours / kFrames, copy / kFrames};
}

void PrintUntakenCost(const std::string& name, const TUntakenCost& cost) {
    std::printf("UNTAKEN %s ours_ms=%.3f copy_ms=%.3f copy_share=%.2f\n", name.c_str(), cost.oursMs,
                cost.copyMs, cost.oursMs > 0 ? cost.copyMs / cost.oursMs : 0.0);
}

void PrintStreamShares(const std::string& name, double writtenMs, const TUntakenCost& untaken) {
    const double everyFrame = writtenMs * kStreamFps / 1000;
    const double oneASecond = (writtenMs + (kStreamFps - 1) * untaken.oursMs) / 1000;
    std::printf("SHARE %s 30fps every_frame=%.2f one_file_a_second=%.3f (cores)\n", name.c_str(),
                everyFrame, oneASecond);
}

}  // namespace vistrel::bench
