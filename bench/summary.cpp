// SPDX-License-Identifier: MIT
#include "summary.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vistrel::bench {

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::optional<MedianReporter::Times> CountersOf(const benchmark::BenchmarkReporter::Run& run) {
    const auto ours = run.counters.find("ours_ms");
    const auto ref = run.counters.find("ref_ms");
    if (ours == run.counters.end() || ref == run.counters.end()) {
        return std::nullopt;
    }
    return MedianReporter::Times{ours->second.value, ref->second.value};
}

constexpr double kFramesPerSecond = 30;

}  // namespace

MedianReporter::MedianReporter()
    : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

void MedianReporter::ReportRuns(const std::vector<Run>& runs) {
    std::vector<Run> shown;
    for (const Run& run : runs) {
        const std::string& name = run.run_name.function_name;
        const auto times = run.error_occurred ? std::nullopt : CountersOf(run);
        if (run.run_type == Run::RT_Iteration) {
            if (times) {
                repetitions_[name].push_back(*times);
            }
            if (run.repetitions <= 1 || run.error_occurred) {
                shown.push_back(run);
            }
        } else if (run.aggregate_name == "median") {
            if (times) {
                medians_[name] = *times;
            }
            shown.push_back(run);
        }
    }
    if (!shown.empty()) {
        ConsoleReporter::ReportRuns(shown);
    }
}

std::optional<MedianReporter::Times> MedianReporter::Milliseconds(const std::string& name) const {
    if (const auto median = medians_.find(name); median != medians_.end()) {
        return median->second;
    }
    const auto runs = repetitions_.find(name);
    if (runs == repetitions_.end() || runs->second.empty()) {
        return std::nullopt;
    }
    std::vector<double> ours, ref;
    for (const Times& times : runs->second) {
        ours.push_back(times.ours);
        ref.push_back(times.ref);
    }
    return Times{Median(ours), Median(ref)};
}

std::string SummaryLine(const std::string& name, double ours, double ref, double target) {
    const double ratio = ref > 0 ? ours / ref : INFINITY;
    const bool ok = std::round(ratio * 100) <= std::round(target * 100);
    char line[256];
    std::snprintf(line, sizeof line,
                  "SUMMARY %s ours_ms=%.3f ref_ms=%.3f ratio=%.2f target=%.2f %s", name.c_str(),
                  ours, ref, ratio, target, ok ? "ok" : "OVER");
    return line;
}

void PrintSummary(const MedianReporter& reporter, const std::vector<Case>& cases) {
    std::printf("\n");
    for (const Case& c : cases) {
        if (const auto times = reporter.Milliseconds(c.name)) {
            std::printf("%s\n", SummaryLine(c.name, times->ours, times->ref, c.target).c_str());
        }
    }
    std::fflush(stdout);
}

void PrintCoreShares(const MedianReporter& reporter, const std::vector<std::string>& sizes,
                     const std::vector<std::string>& formats) {
    std::printf(
        "\n30 frames per second, none skipped, as a share of one core "
        "(path ms * 30 / 1000; the bare chain in brackets):\n");
    for (const std::string& size : sizes) {
        std::string line;
        for (const std::string& format : formats) {
            const auto times = reporter.Milliseconds("path-" + format + "-" + size);
            if (!times) {
                continue;
            }
            char part[96];
            std::snprintf(part, sizeof part, "   %s %.2f (%.2f)", format.c_str(),
                          times->ours * kFramesPerSecond / 1000,
                          times->ref * kFramesPerSecond / 1000);
            line += part;
        }
        if (!line.empty()) {
            std::printf("  %-9s%s\n", size.c_str(), line.c_str());
        }
    }
}

}  // namespace vistrel::bench
