// SPDX-License-Identifier: MIT
#include "sync_cost.h"

#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bare_chain.h"

namespace vistrel::bench {

namespace {

constexpr int kRounds = 15;

// Wall milliseconds of one publication, or a negative value after printing
// why it failed. The file is removed afterwards, untimed.
double TimeOnce(const std::string& dir, const std::string& name, std::span<const std::uint8_t> jpeg,
                bool sync) {
    const auto start = std::chrono::steady_clock::now();
    const std::string failure = PublishFile(dir, name, jpeg, sync);
    const auto end = std::chrono::steady_clock::now();
    if (!failure.empty()) {
        std::printf("\nfdatasync cost not measured: %s\n", failure.c_str());
        return -1;
    }
    ::unlink((dir + "/" + name).c_str());
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

std::string FileSystemName(const std::string& dir) {
    struct statfs info {};
    if (::statfs(dir.c_str(), &info) != 0) {
        return "file system unknown";
    }
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0xEF53:
            return "ext2/3/4";
        case 0x01021994:
            return "tmpfs";
        case 0x58465342:
            return "xfs";
        case 0x9123683E:
            return "btrfs";
        case 0x794C7630:
            return "overlayfs";
        case 0x6969:
            return "nfs";
        case 0x65735546:
            return "fuse";
        default:
            break;
    }
    char hex[48];
    std::snprintf(hex, sizeof hex, "file system 0x%lx", static_cast<unsigned long>(info.f_type));
    return hex;
}

void PrintSyncCost(const std::string& dir, std::span<const std::uint8_t> jpeg,
                   const std::string& frameSize) {
    std::vector<double> with, without;
    for (int round = 0; round < kRounds; ++round) {
        const std::string name =
            "vistrel-sync-" + std::to_string(::getpid()) + "-" + std::to_string(round);
        const double plain = TimeOnce(dir, name + "-n.jpg", jpeg, false);
        const double synced = TimeOnce(dir, name + "-s.jpg", jpeg, true);
        if (plain < 0 || synced < 0) {
            return;
        }
        without.push_back(plain);
        with.push_back(synced);
    }
    const double cost = Median(with) - Median(without);
    std::printf(
        "\nfdatasync per %s frame (%zu bytes) in %s (%s), wall time, median of %d:\n"
        "  file steps %.3f ms without fdatasync, %.3f ms with it: %.3f ms more per "
        "frame; at 30 frames per second the file steps with it take %.0f%% of the writing "
        "thread's time\n",
        frameSize.c_str(), jpeg.size(), dir.c_str(), FileSystemName(dir).c_str(), kRounds,
        Median(without), Median(with), cost, Median(with) * 30 / 10);
}

}  // namespace vistrel::bench
