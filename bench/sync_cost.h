// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vistrel::bench {

// "tmpfs", "ext2/3/4", ... or the file system's magic number.
std::string FileSystemName(const std::string& dir);

// Times the file steps of one frame's stream in dir with and without
// fdatasync, alternately, in wall time (the sync waits for the device), and
// prints the medians and what the sync adds per frame. For deciding whether
// unattended logging can afford a sync per file on that file system.
void PrintSyncCost(const std::string& dir, std::span<const std::uint8_t> jpeg,
                   const std::string& frameSize);

}  // namespace vistrel::bench
