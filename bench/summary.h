// SPDX-License-Identifier: MIT
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vistrel::bench {

// One line of the summary: the benchmark of that name times our code and the
// yardstick doing the same work, alternately, and reports their milliseconds
// of processor time per frame as the counters "ours_ms" and "ref_ms".
struct Case {
    std::string name;
    double target;  // the largest ours / ref allowed
};

// Console output of the medians only (or of each run when there are no
// repetitions), keeping the medians of each case's two counters.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter();
    void ReportRuns(const std::vector<Run>& runs) override;

    struct Times {
        double ours;
        double ref;
    };
    // The medians of the named case's repetitions, if it ran.
    std::optional<Times> Milliseconds(const std::string& name) const;

private:
    std::map<std::string, Times> medians_;
    std::map<std::string, std::vector<Times>> repetitions_;
};

// "SUMMARY <case> ours_ms=<x.xxx> ref_ms=<x.xxx> ratio=<x.xx> target=<x.xx> <ok|OVER>".
// Tools read this form. The ratio is judged as printed, to two decimals.
std::string SummaryLine(const std::string& name, double ours, double ref, double target);

// One summary line for each case that ran, in the order given.
void PrintSummary(const MedianReporter& reporter, const std::vector<Case>& cases);

// For each size, what 30 frames per second with none skipped costs through
// each whole-path case, as a share of one core: path ms * 30 / 1000.
void PrintCoreShares(const MedianReporter& reporter, const std::vector<std::string>& sizes,
                     const std::vector<std::string>& formats);

}  // namespace vistrel::bench
