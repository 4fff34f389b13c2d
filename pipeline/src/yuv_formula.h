// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace vistrel {

// Every entry i of a coefficient table equals (i * multiplier + offset) >> shift
// in 32-bit arithmetic, for i from 0 to 255; yuv_tables.cpp proves it at
// compile time against the decimal coefficients. The vector converter
// computes entries this way instead of looking them up.
struct TTableFormula {
    std::int32_t multiplier;
    std::int32_t offset;
    int shift;

    constexpr std::int32_t operator()(std::int32_t i) const {
        return (i * multiplier + offset) >> shift;
    }
};

inline constexpr TTableFormula kTableYFormula{76309, 125, 8};
inline constexpr TTableFormula kTableUGFormula{-51349, 256, 9};
inline constexpr TTableFormula kTableUBFormula{264403, -36285201, 9};
inline constexpr TTableFormula kTableVRFormula{418389, -58436895, 10};
inline constexpr TTableFormula kTableVGFormula{-213115, 35540945, 10};

}  // namespace vistrel
