// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>

namespace vistrel {

// Fixed-point coefficient tables for YCbCr -> BGR with 8 fraction bits, and
// the saturation table that maps a sum divided by 256 to a byte.
struct TYuvTables {
    std::array<std::int32_t, 256> TableY{};   // luma contribution, all channels
    std::array<std::int32_t, 256> TableUG{};  // Cb contribution to green
    std::array<std::int32_t, 256> TableUB{};  // Cb contribution to blue, with the blue offset
    std::array<std::int32_t, 256> TableVR{};  // Cr contribution to red, with the red offset
    std::array<std::int32_t, 256> TableVG{};  // Cr contribution to green, with the green offset

    static constexpr int kClampReach = 1023;
    // Entry kClampReach + i is the saturated value of i, for i in [-1023, 1023].
    std::array<std::uint8_t, 2 * kClampReach + 1> ClampTable{};

    // Saturated byte of a fixed-point sum. The division truncates toward
    // zero, as the tables were made for; sums stay within -70870..136826.
    std::uint8_t Clamp(std::int32_t sum) const { return ClampTable[kClampReach + sum / 256]; }
};

// Fills every table. Entries are rounded half to even from the exact decimal
// coefficients, computed in integers so that no binary rounding creeps in.
void FillYuvTables(TYuvTables& tables);

// The pixel formula: writes blue, green, red of (y, u, v) to out[0..2].
inline void YuvToBgr(const TYuvTables& t, std::uint8_t y, std::uint8_t u, std::uint8_t v,
                     std::uint8_t* out) {
    const std::int32_t base = t.TableY[y];
    out[0] = t.Clamp(base + t.TableUB[u]);
    out[1] = t.Clamp(base + t.TableUG[u] + t.TableVG[v]);
    out[2] = t.Clamp(base + t.TableVR[v]);
}

}  // namespace vistrel
