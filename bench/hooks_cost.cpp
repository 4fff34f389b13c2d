// SPDX-License-Identifier: MIT
// What the hooks of "vistrel-cli log" cost the capture thread: handing a
// written file to the --exec queue (here always full: one path in, the
// oldest out), starting its command when none runs, and one write of the
// status and metrics files, which happens at most once a second whatever
// the frame rate.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "file_command.h"
#include "run_status.h"

namespace vistrel::cli {
namespace {

void BM_ExecQueueAddWhileFull(benchmark::State& state) {
    QTemporaryDir dir;
    TFileCommand command({.command = QStringLiteral("sleep 60"), .camera = QStringLiteral("Cam")},
                         [](const QString&) {});
    const QString path = dir.filePath(QStringLiteral("261209130000000.jpg"));
    for (std::size_t i = 0; i <= TFileCommand::kQueueLimit; ++i) {
        command.Add(path);
    }
    for (auto _ : state) {
        command.Add(path);
    }
    state.counters["dropped"] = static_cast<double>(command.Dropped());
}
BENCHMARK(BM_ExecQueueAddWhileFull);

// The start of a command, on the capture's thread: QProcess forks and waits
// for the exec. Timed alone; the command's run and its end are not.
void BM_ExecStart(benchmark::State& state) {
    QTemporaryDir dir;
    TFileCommand command({.command = QStringLiteral("exit 0"), .camera = QStringLiteral("Cam")},
                         [](const QString&) {});
    const QString path = dir.filePath(QStringLiteral("261209130000000.jpg"));
    for (auto _ : state) {
        command.Add(path);
        state.PauseTiming();
        while (!command.Idle()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ExecStart)->Unit(benchmark::kMicrosecond);

TRunSnapshot Snapshot() {
    TRunSnapshot snapshot;
    snapshot.camera = QStringLiteral("Shelf Cam");
    snapshot.node = QStringLiteral("/dev/video0");
    snapshot.format = QStringLiteral("YUY2");
    snapshot.width = 1280;
    snapshot.height = 720;
    snapshot.counters.received = 123456;
    snapshot.counters.written = 23456;
    snapshot.lastFile = QStringLiteral("/home/u/Pictures/Vistrel/261209130000000.jpg");
    snapshot.lastFileTime = QDateTime::currentDateTime();
    snapshot.startTime = QDateTime::currentDateTime();
    snapshot.version = QStringLiteral("1.0");
    return snapshot;
}

// On the disk of the build directory (BENCH_SYNC_DIR), as a status file
// under ~/.local/state would be.
void BM_StatusAndMetricsWrite(benchmark::State& state) {
    QTemporaryDir dir(qEnvironmentVariable("BENCH_SYNC_DIR", QDir::tempPath()) +
                      QStringLiteral("/hooks-XXXXXX"));
    TRunSnapshot snapshot = Snapshot();
    TStatusFiles files(
        dir.filePath(QStringLiteral("status.json")), dir.filePath(QStringLiteral("vistrel.prom")),
        [&] { return snapshot; }, [](const QString&) {});
    for (auto _ : state) {
        ++snapshot.counters.received;
        files.WriteNow();
    }
}
BENCHMARK(BM_StatusAndMetricsWrite)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vistrel::cli

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
