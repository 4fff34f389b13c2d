// SPDX-License-Identifier: MIT
#include "pipeline/yuv_tables.h"

#include "yuv_formula.h"

namespace vistrel {

namespace {

// Coefficients in thousandths: entry i is (i * slope + offset) / 1000.
struct Coefficient {
    std::int64_t slope;
    std::int64_t offset;
};

constexpr Coefficient kY{298082, 0};
constexpr Coefficient kUG{-100291, 0};
constexpr Coefficient kUB{516412, -70870016};
constexpr Coefficient kVR{408583, -57067776};
constexpr Coefficient kVG{-208120, 34707456};

// numerator / 1000 rounded to the nearest integer, halves to the even one.
constexpr std::int32_t RoundThousandthsHalfEven(std::int64_t numerator) {
    std::int64_t quotient = numerator / 1000;
    std::int64_t remainder = numerator % 1000;
    if (remainder < 0) {  // make it a floor division with remainder in [0, 999]
        remainder += 1000;
        quotient -= 1;
    }
    if (remainder > 500 || (remainder == 500 && quotient % 2 != 0)) {
        quotient += 1;
    }
    return static_cast<std::int32_t>(quotient);
}

static_assert(RoundThousandthsHalfEven(74520500) == 74520);
static_assert(RoundThousandthsHalfEven(74521500) == 74522);
static_assert(RoundThousandthsHalfEven(-1500) == -2);
static_assert(RoundThousandthsHalfEven(-2500) == -2);
static_assert(RoundThousandthsHalfEven(-2501) == -3);

// The entries as a multiply, add and shift: equal for every index, with a
// shift of 8 to 10 bits and no 32-bit overflow on the way.
constexpr bool FormulaMatches(Coefficient c, TTableFormula f) {
    if (f.shift < 8 || f.shift > 10) {
        return false;
    }
    for (std::int64_t i = 0; i < 256; ++i) {
        const std::int64_t wide = i * f.multiplier + f.offset;
        if (wide < INT32_MIN || wide > INT32_MAX ||
            f(static_cast<std::int32_t>(i)) != RoundThousandthsHalfEven(i * c.slope + c.offset)) {
            return false;
        }
    }
    return true;
}

static_assert(FormulaMatches(kY, kTableYFormula));
static_assert(FormulaMatches(kUG, kTableUGFormula));
static_assert(FormulaMatches(kUB, kTableUBFormula));
static_assert(FormulaMatches(kVR, kTableVRFormula));
static_assert(FormulaMatches(kVG, kTableVGFormula));

void Fill(std::array<std::int32_t, 256>& table, Coefficient c) {
    for (std::int64_t i = 0; i < 256; ++i) {
        table[i] = RoundThousandthsHalfEven(i * c.slope + c.offset);
    }
}

}  // namespace

void FillYuvTables(TYuvTables& tables) {
    Fill(tables.TableY, kY);
    Fill(tables.TableUG, kUG);
    Fill(tables.TableUB, kUB);
    Fill(tables.TableVR, kVR);
    Fill(tables.TableVG, kVG);
    for (int i = -TYuvTables::kClampReach; i <= TYuvTables::kClampReach; ++i) {
        tables.ClampTable[TYuvTables::kClampReach + i] =
            static_cast<std::uint8_t>(i < 0 ? 0 : (i > 255 ? 255 : i));
    }
}

}  // namespace vistrel
