// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Vector YCbCr -> 24-bit BGR rows, for the instruction set the processor
// runs best (chosen once, at the first call). The entries of the coefficient
// tables are computed instead of looked up, and every output byte equals what
// the tables give. Each call converts pixel pairs in whole vector steps (the
// last one may overlap the one before it) and returns how many pairs it
// converted: all of them, or none in a row shorter than one step; the caller
// converts the rest, and any last odd pixel, with the tables. Without a
// vector unit the calls convert nothing.
namespace vistrel::yuv_vector {

// One packed 4:2:2 row: `pairs` groups of Y0 U Y1 V at `groups`.
std::size_t Packed422Row(const std::uint8_t* groups, std::size_t pairs, std::uint8_t* out);

// One or two planar 4:2:0 luma rows that share a row of chroma pairs. lumaB
// and outB are null for a single row.
std::size_t Planar420Rows(const std::uint8_t* lumaA, const std::uint8_t* lumaB,
                          const std::uint8_t* cb, const std::uint8_t* cr, std::size_t pairs,
                          std::uint8_t* outA, std::uint8_t* outB);

// For tests: the instruction sets this build has code for that the processor
// runs, each as a bit; running only one of them (0: the best again); names.
std::vector<std::int64_t> AvailableTargets();
void RestrictToTarget(std::int64_t target);
std::string TargetName(std::int64_t target);

}  // namespace vistrel::yuv_vector
