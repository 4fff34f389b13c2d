// SPDX-License-Identifier: MIT
// Vector YCbCr -> 24-bit BGR conversion, compiled once per instruction set
// and dispatched at run time.
//
// Arithmetic. A channel of the pixel formula is Clamp((TableY[y] + c) / 256)
// with c the chroma term of the channel (TableUB[u] for blue, TableUG[u] +
// TableVG[v] for green, TableVR[v] for red). A negative sum clamps to 0
// whether its quotient is truncated or floored, so the channel is also
// clamp(floor((TableY[y] + c) / 256)). With TableY[y] = (76309 y + 125) >> 8,
// nested floors merge into one:
//     channel = clamp((76309 y + 125 + 256 c) >> 16)
// The AVX-512 kernel works in 32-bit lanes: 76309 y + 125 per pixel, 256 c
// per pixel pair. The sum lies within -18.2e6..35.1e6, so its upper 16 bits
// hold the signed result (-277..534), which a saturating narrowing clamps to
// 0..255. The portable code splits the sum into bytes instead (see there).
// Every product is of a byte and a 16-bit weight, taken as multiply-adds of
// 16-bit pairs: 76309 y = 65536 y + 10773 y, and m c = low c + high (128 c).

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "yuv_vector.cpp"
#include <hwy/foreach_target.h>  // before highway.h
#include <hwy/highway.h>

#include <utility>

#include "yuv_formula.h"
#include "yuv_vector.h"

HWY_BEFORE_NAMESPACE();
namespace vistrel {
namespace HWY_NAMESPACE {

// A multiplier m as the 16-bit weights (low, high), m = low + 128 * high, for
// a multiply-add with the pair (x, 128 x).
constexpr std::int32_t PairWeights(std::int32_t m) {
    const std::int32_t low = (m % 128 + 128) % 128;
    const std::int32_t high = (m - low) / 128;
    return high < -32768 || high > 32767
               ? throw "multiplier out of range"
               : static_cast<std::int32_t>((static_cast<std::uint32_t>(high) << 16) |
                                           static_cast<std::uint32_t>(low));
}

// 76309 = 65536 + 10773: the 65536 y part is y moved to the upper half.
constexpr std::int32_t kLumaRest = kTableYFormula.multiplier - 65536;
static_assert(kLumaRest > 0 && kLumaRest < 32768);

// Runs step(k), which converts the `width` pairs from pair k, over a row of
// `pairs` pairs in whole steps. A last step that would run past the row ends
// with it instead and converts some pairs a second time, to the same bytes,
// so no pair is left to the table code. Returns the pairs converted: all, or
// none in a row shorter than one step.
template <class Step>
HWY_INLINE std::size_t WholeSteps(std::size_t pairs, std::size_t width, const Step& step) {
    if (pairs < width) {
        return 0;
    }
    std::size_t done = 0;
    for (; done + width <= pairs; done += width) {
        step(done);
    }
    if (done < pairs) {
        step(pairs - width);
    }
    return pairs;
}

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

// No vector unit: the table code is faster than emulated vectors. Local to
// this file: only the dispatch table below refers to them.
static std::size_t Packed422RowKernel(const std::uint8_t*, std::size_t, std::uint8_t*) {
    return 0;
}

static std::size_t Planar420RowsKernel(const std::uint8_t*, const std::uint8_t*,
                                       const std::uint8_t*, const std::uint8_t*, std::size_t,
                                       std::uint8_t*, std::uint8_t*) {
    return 0;
}

#elif HWY_TARGET == HWY_AVX3_DL

// 512-bit vectors with byte permutes and funnel shifts, written with the
// instruction set's own intrinsics: the same arithmetic as the portable code
// below, with the multiplies done as multiply-adds of 16-bit pairs.

// Processors with this instruction set also have the 512-bit multiply-add
// with accumulator (Highway's run-time check asks for it, but its list of
// compiler features names only the 256-bit form) and the byte permutes.
// Other compilers than GCC use a multiply-add and an add.
#if HWY_COMPILER_GCC_ACTUAL
#pragma GCC push_options
#pragma GCC target("avx512vnni")
#define VISTREL_YUV_DPWSSD 1
#endif

// Multiply-add of signed 16-bit pairs into 32-bit lanes: acc + a.lo * b.lo + a.hi * b.hi.
HWY_INLINE __m512i MulAddPairs(__m512i acc, __m512i a, __m512i b) {
#ifdef VISTREL_YUV_DPWSSD
    return _mm512_dpwssd_epi32(acc, a, b);
#else
    return _mm512_add_epi32(acc, _mm512_madd_epi16(a, b));
#endif
}

// The luma terms 76309 y + 125 of the even and odd pixels of 16 pairs, from
// the (y even, y odd) 16-bit pairs.
struct TLuma512 {
    __m512i even;
    __m512i odd;
};

HWY_INLINE TLuma512 Luma512(__m512i y) {
    const __m512i offset = _mm512_set1_epi32(kTableYFormula.offset);
    // (y even << 16) | 125 and (y odd << 16) | 125.
    const __m512i evenBase = _mm512_shldi_epi32(y, _mm512_slli_epi32(offset, 16), 16);
    const __m512i oddBase =
        _mm512_ternarylogic_epi32(y, _mm512_set1_epi32(static_cast<int>(0xFFFF0000u)), offset,
                                  0xEA);  // (a & b) | c
    return {MulAddPairs(evenBase, y, _mm512_set1_epi32(kLumaRest)),
            MulAddPairs(oddBase, y, _mm512_set1_epi32(kLumaRest << 16))};
}

// 256 times the chroma terms of 16 pairs, from the (u, 128 u) and (v, 128 v)
// 16-bit pairs.
struct TChroma512 {
    __m512i blue;
    __m512i green;
    __m512i red;
};

template <const TTableFormula& kFormula>
HWY_INLINE __m512i Entry512(__m512i pairs) {
    return _mm512_srai_epi32(MulAddPairs(_mm512_set1_epi32(kFormula.offset), pairs,
                                         _mm512_set1_epi32(PairWeights(kFormula.multiplier))),
                             kFormula.shift);
}

HWY_INLINE TChroma512 Chroma512(__m512i u, __m512i v) {
    return {_mm512_slli_epi32(Entry512<kTableUBFormula>(u), 8),
            _mm512_slli_epi32(
                _mm512_add_epi32(Entry512<kTableUGFormula>(u), Entry512<kTableVGFormula>(v)), 8),
            _mm512_slli_epi32(Entry512<kTableVRFormula>(v), 8)};
}

// One channel of 32 pixels as signed 16-bit lanes in pixel order: the upper
// halves of the sums.
HWY_INLINE __m512i Channel512(__m512i even, __m512i odd, __m512i chroma) {
    return _mm512_mask_blend_epi16(0xAAAAAAAAu,
                                   _mm512_srli_epi32(_mm512_add_epi32(even, chroma), 16),
                                   _mm512_add_epi32(odd, chroma));
}

// Where each of 192 output bytes comes from. A channel of 64 pixels is packed
// to bytes from two vectors of 32 within 128-bit blocks, which puts pixel p
// at byte 16 * (q / 8) + 8 * (p / 32) + q % 8, q = p % 32. Output byte o is
// channel o % 3 of pixel o / 3; blue and green come from one two-vector
// permute (green indices from 64 up), red from a masked second one.
struct TBgrOrder {
    std::uint8_t index[3][64];
    std::uint64_t red[3];
};

constexpr TBgrOrder MakeBgrOrder() {
    TBgrOrder order{};
    for (int o = 0; o < 192; ++o) {
        const int p = o / 3;
        const int q = p % 32;
        const int at = 16 * (q / 8) + 8 * (p / 32) + q % 8;
        order.index[o / 64][o % 64] = static_cast<std::uint8_t>(o % 3 == 1 ? 64 + at : at);
        if (o % 3 == 2) {
            order.red[o / 64] |= std::uint64_t{1} << (o % 64);
        }
    }
    return order;
}

inline constexpr TBgrOrder kBgrOrder = MakeBgrOrder();

// Writes 64 pixels: the pairs of `a` first, then those of `b`.
HWY_INLINE void Store512(const TLuma512& a, const TChroma512& ca, const TLuma512& b,
                         const TChroma512& cb, std::uint8_t* HWY_RESTRICT out) {
    const __m512i blue =
        _mm512_packus_epi16(Channel512(a.even, a.odd, ca.blue), Channel512(b.even, b.odd, cb.blue));
    const __m512i green = _mm512_packus_epi16(Channel512(a.even, a.odd, ca.green),
                                              Channel512(b.even, b.odd, cb.green));
    const __m512i red =
        _mm512_packus_epi16(Channel512(a.even, a.odd, ca.red), Channel512(b.even, b.odd, cb.red));
    const auto store = [&](int k) HWY_ATTR {
        const __m512i index = _mm512_loadu_si512(kBgrOrder.index[k]);
        const __m512i blueGreen = _mm512_permutex2var_epi8(blue, index, green);
        _mm512_storeu_si512(out + 64 * k,
                            _mm512_mask_permutexvar_epi8(blueGreen, kBgrOrder.red[k], index, red));
    };
    store(0);
    store(1);
    store(2);
}

// The pair (c, 128 c) in the upper word from (c, c).
HWY_INLINE __m512i Times128Above(__m512i pairs) {
    return _mm512_mullo_epi16(pairs, _mm512_set1_epi32(1 | (128 << 16)));
}

// 16 groups Y0 U Y1 V: luma pairs and chroma terms.
HWY_INLINE void PackedHalf(const std::uint8_t* HWY_RESTRICT groups, TLuma512& luma,
                           TChroma512& chroma) {
    const __m512i g = _mm512_loadu_si512(groups);
    // Within each 4-byte group: (U, U) from byte 1, (V, V) from byte 3.
    const __m512i spreadU = _mm512_broadcast_i32x4(
        _mm_setr_epi8(1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1));
    const __m512i spreadV = _mm512_broadcast_i32x4(
        _mm_setr_epi8(3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15, -1));
    luma = Luma512(_mm512_and_si512(g, _mm512_set1_epi32(0x00FF00FF)));
    chroma = Chroma512(Times128Above(_mm512_shuffle_epi8(g, spreadU)),
                       Times128Above(_mm512_shuffle_epi8(g, spreadV)));
}

std::size_t Packed422RowKernel(const std::uint8_t* HWY_RESTRICT groups, std::size_t pairs,
                               std::uint8_t* HWY_RESTRICT out) {
    return WholeSteps(pairs, 32, [&](std::size_t done) HWY_ATTR {
        TLuma512 a, b;
        TChroma512 ca, cb;
        PackedHalf(groups + 4 * done, a, ca);
        PackedHalf(groups + 4 * done + 64, b, cb);
        Store512(a, ca, b, cb, out + 6 * done);
    });
}

// 16 chroma bytes as (c, 128 c) pairs.
HWY_INLINE __m512i PlanarChroma512(const std::uint8_t* HWY_RESTRICT c) {
    const __m512i bytes =
        _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
    // Byte j of the result is byte j / 4 of the input, odd bytes zero.
    const __m512i index =
        _mm512_set_epi32(0x0F0F0F0F, 0x0E0E0E0E, 0x0D0D0D0D, 0x0C0C0C0C, 0x0B0B0B0B, 0x0A0A0A0A,
                         0x09090909, 0x08080808, 0x07070707, 0x06060606, 0x05050505, 0x04040404,
                         0x03030303, 0x02020202, 0x01010101, 0x00000000);
    return Times128Above(_mm512_maskz_permutexvar_epi8(0x5555555555555555ull, index, bytes));
}

// 32 luma bytes as (y even, y odd) pairs.
HWY_INLINE TLuma512 PlanarLuma512(const std::uint8_t* HWY_RESTRICT luma) {
    return Luma512(
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma))));
}

std::size_t Planar420RowsKernel(const std::uint8_t* lumaA, const std::uint8_t* lumaB,
                                const std::uint8_t* cb, const std::uint8_t* cr, std::size_t pairs,
                                std::uint8_t* outA, std::uint8_t* outB) {
    return WholeSteps(pairs, 32, [&](std::size_t done) HWY_ATTR {
        const TChroma512 c0 = Chroma512(PlanarChroma512(cb + done), PlanarChroma512(cr + done));
        const TChroma512 c1 =
            Chroma512(PlanarChroma512(cb + done + 16), PlanarChroma512(cr + done + 16));
        Store512(PlanarLuma512(lumaA + 2 * done), c0, PlanarLuma512(lumaA + 2 * done + 32), c1,
                 outA + 6 * done);
        if (lumaB != nullptr) {
            Store512(PlanarLuma512(lumaB + 2 * done), c0, PlanarLuma512(lumaB + 2 * done + 32), c1,
                     outB + 6 * done);
        }
    });
}

#ifdef VISTREL_YUV_DPWSSD
#pragma GCC pop_options
#undef VISTREL_YUV_DPWSSD
#endif

#else

// Portable code for the other instruction sets. Vectors travel as separate
// values: scalable vectors can be neither members of a struct nor elements of
// an array, hence the macros for the six split chroma terms below.
//
// The sum TableY[y] + c is split into bytes: with TableY[y] = 256 yh + yl
// and c = 256 ca + cr (0 <= yl, cr < 256), the channel is
//     clamp(yh + ca + carry),  carry = 1 if yl + cr >= 256,
// which fits signed 16-bit lanes, one pixel per lane in pixel order: yh and
// 255 - yl per pixel from 16-bit multiplies, ca and cr per pair from the
// 32-bit table entries, each copied into the lanes of both pixels of its pair.

namespace hn = hwy::HWY_NAMESPACE;

using D32 = hn::ScalableTag<std::int32_t>;
using DU32 = hn::RebindToUnsigned<D32>;
using D16 = hn::Repartition<std::int16_t, D32>;
using DU16 = hn::RebindToUnsigned<D16>;
using DU8 = hn::Repartition<std::uint8_t, D32>;
using DU8Half = hn::Rebind<std::uint8_t, D16>;
using V32 = hn::Vec<D32>;
using VU32 = hn::Vec<DU32>;
using V16 = hn::Vec<D16>;
using VU16 = hn::Vec<DU16>;
using VU8 = hn::Vec<DU8>;

static_assert(kTableYFormula.shift == 8, "the luma bytes below are those of 76309 y + 125");

// Where an unsigned 16-bit compare is one instruction (all but x86 before
// AVX-512), the carry is found with cr and 255 - yl in the upper bytes of
// their lanes, as they come, which saves a shift; below lanes are compared
// as signed numbers, with the bytes moved to the lower halves.
#if !HWY_ARCH_X86 || HWY_TARGET <= HWY_AVX3
#define VISTREL_YUV_UPPER_BYTE_CARRY 1
#endif

// Per 32-bit lane, the sum of the products of its two signed 16-bit halves:
// a.lo * b.lo + a.hi * b.hi. One multiply-add of 16-bit pairs on most
// instruction sets, where a 32-bit multiply takes two or more.
HWY_INLINE V32 MulPairs(V32 a, V32 b) {
    const D32 d;
    const D16 d16;
    V32 odd = hn::Zero(d);
    const V32 even = hn::ReorderWidenMulAccumulate(d, hn::BitCast(d16, a), hn::BitCast(d16, b),
                                                   hn::Zero(d), odd);
    return hn::RearrangeToOddPlusEven(even, odd);
}

// Table entry i, computed, from the pairs (i, 128 i).
template <const TTableFormula& kFormula>
HWY_INLINE V32 Entry(V32 pairs) {
    const D32 d;
    constexpr std::int32_t kWeights = PairWeights(kFormula.multiplier);
    return hn::ShiftRight<kFormula.shift>(
        hn::Add(MulPairs(pairs, hn::Set(d, kWeights)), hn::Set(d, kFormula.offset)));
}

// One chroma term of a vector of pairs, split into bytes for the 16-bit lanes
// of both pixels of each pair: the upper part ca (signed) and the low byte cr
// (with VISTREL_YUV_UPPER_BYTE_CARRY: 256 cr).
HWY_INLINE void SplitTerm(V32 term, V16& upper, V16& low) {
    const D16 d16;
    const DU8 du8;
    // Within each 32-bit lane: bytes 1-2 (the term >> 8, which fits 16 bits)
    // twice, and byte 0 twice beside a zero byte.
    alignas(16) static constexpr std::uint8_t kUpper[16] = {1, 2,  1, 2,  5,  6,  5,  6,
                                                            9, 10, 9, 10, 13, 14, 13, 14};
#ifdef VISTREL_YUV_UPPER_BYTE_CARRY
    alignas(16) static constexpr std::uint8_t kLow[16] = {0x80, 0, 0x80, 0, 0x80, 4,  0x80, 4,
                                                          0x80, 8, 0x80, 8, 0x80, 12, 0x80, 12};
#else
    alignas(16) static constexpr std::uint8_t kLow[16] = {0, 0x80, 0, 0x80, 4,  0x80, 4,  0x80,
                                                          8, 0x80, 8, 0x80, 12, 0x80, 12, 0x80};
#endif
    const VU8 bytes = hn::BitCast(du8, term);
    upper = hn::BitCast(d16, hn::TableLookupBytes(bytes, hn::LoadDup128(du8, kUpper)));
    low = hn::BitCast(d16, hn::TableLookupBytesOr0(bytes, hn::LoadDup128(du8, kLow)));
}

// The chroma terms of a vector of pairs, from the (u, 128 u) and (v, 128 v)
// pairs, split for the pixels (blue, green, red).
#define VISTREL_CHROMA_PARAMS(x)                                                                \
    V16 &x##BlueUpper, V16 &x##BlueLow, V16 &x##GreenUpper, V16 &x##GreenLow, V16 &x##RedUpper, \
        V16 &x##RedLow
HWY_INLINE void ChromaTerms(V32 u, V32 v, VISTREL_CHROMA_PARAMS(c)) {
    SplitTerm(Entry<kTableUBFormula>(u), cBlueUpper, cBlueLow);
    SplitTerm(hn::Add(Entry<kTableUGFormula>(u), Entry<kTableVGFormula>(v)), cGreenUpper,
              cGreenLow);
    SplitTerm(Entry<kTableVRFormula>(v), cRedUpper, cRedLow);
}

// (76309 y + 125) >> 16, the upper part of TableY[y], equals y + (10774 y >> 16)
// for every luma value.
constexpr bool LumaUpperByMulHigh() {
    for (std::int32_t y = 0; y < 256; ++y) {
        if (kTableYFormula(y) >> 8 != y + ((y * (kLumaRest + 1)) >> 16)) {
            return false;
        }
    }
    return true;
}
static_assert(LumaUpperByMulHigh());

// The luma bytes of TableY[y] = (76309 y + 125) >> 8 for 16-bit lanes of y:
// the upper part, and 255 less the low byte, which is bits 8-15 of
// 10773 y + 125 (65536 y adds nothing there). With
// VISTREL_YUV_UPPER_BYTE_CARRY the latter stays in bits 8-15, above 8 bits
// of no meaning: 256 cr is greater exactly when cr > 255 - yl.
HWY_INLINE void LumaBytes(VU16 y, V16& upper, V16& notLow) {
    const D16 d16;
    const DU16 du16;
    upper = hn::BitCast(d16, hn::Add(y, hn::MulHigh(y, hn::Set(du16, kLumaRest + 1))));
    const VU16 notSum =
        hn::Sub(hn::Set(du16, static_cast<std::uint16_t>(0xFFFF - kTableYFormula.offset)),
                hn::Mul(y, hn::Set(du16, static_cast<std::uint16_t>(kLumaRest))));
#ifdef VISTREL_YUV_UPPER_BYTE_CARRY
    notLow = hn::BitCast(d16, notSum);
#else
    notLow = hn::BitCast(d16, hn::ShiftRight<8>(notSum));
#endif
}

// One channel: yh + ca, plus one where yl + cr carries (cr > 255 - yl).
HWY_INLINE V16 Channel(V16 lumaUpper, V16 lumaNotLow, V16 chromaUpper, V16 chromaLow) {
#if HWY_TARGET == HWY_AVX3
    // The compare gives a mask register: the one is added under it, without
    // first turning the mask into a vector.
    const __m512i sum = _mm512_add_epi16(lumaUpper.raw, chromaUpper.raw);
    const __mmask32 carry = _mm512_cmpgt_epu16_mask(chromaLow.raw, lumaNotLow.raw);
    return V16{_mm512_mask_sub_epi16(sum, carry, sum, _mm512_set1_epi16(-1))};
#elif defined(VISTREL_YUV_UPPER_BYTE_CARRY)
    const D16 d16;
    const DU16 du16;
    const auto carry = hn::Gt(hn::BitCast(du16, chromaLow), hn::BitCast(du16, lumaNotLow));
    return hn::Sub(hn::Add(lumaUpper, chromaUpper),
                   hn::VecFromMask(d16, hn::RebindMask(d16, carry)));
#else
    const D16 d16;
    return hn::Sub(hn::Add(lumaUpper, chromaUpper),
                   hn::VecFromMask(d16, hn::Gt(chromaLow, lumaNotLow)));
#endif
}

// On x86 the packs and byte shuffles work within 128-bit blocks, and block j
// of the two vectors of a step holds pixels 16 j to 16 j + 15, the first 8 in
// the first vector. Saturating, interleaving and storing then need no
// lane-crossing permute.
#if HWY_TARGET == HWY_SSSE3 || HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_AVX2 || \
    HWY_TARGET == HWY_AVX3
#define VISTREL_YUV_BLOCKS 1
#endif

#ifdef VISTREL_YUV_BLOCKS

// Where the 48 bytes of 16 pixels come from, in three shuffles per output
// vector: of blue and green of the first 8 pixels (b0..b7 g0..g7), of those
// of the last 8, and of red (r0..r15); 0x80 for none.
struct TBgrBlockOrder {
    std::uint8_t first[3][16];
    std::uint8_t second[3][16];
    std::uint8_t red[3][16];
};

constexpr TBgrBlockOrder MakeBgrBlockOrder() {
    TBgrBlockOrder order{};
    for (int o = 0; o < 48; ++o) {
        const int p = o / 3;
        const int channel = o % 3;
        std::uint8_t& first = order.first[o / 16][o % 16];
        std::uint8_t& second = order.second[o / 16][o % 16];
        std::uint8_t& red = order.red[o / 16][o % 16];
        first = second = red = 0x80;
        if (channel == 2) {
            red = static_cast<std::uint8_t>(p);
        } else if (p < 8) {
            first = static_cast<std::uint8_t>(8 * channel + p);
        } else {
            second = static_cast<std::uint8_t>(8 * channel + p - 8);
        }
    }
    return order;
}

inline constexpr TBgrBlockOrder kBgrBlockOrder = MakeBgrBlockOrder();

// The first output vector holds only pixels 0..5, the last only 10..15.
constexpr bool OuterVectorsTakeOneHalf() {
    for (int i = 0; i < 16; ++i) {
        if (kBgrBlockOrder.second[0][i] != 0x80 || kBgrBlockOrder.first[2][i] != 0x80) {
            return false;
        }
    }
    return true;
}
static_assert(OuterVectorsTakeOneHalf());

#if HWY_TARGET == HWY_AVX3
HWY_INLINE VU8 PackBytes(V16 lower, V16 upper) {
    return VU8{_mm512_packus_epi16(lower.raw, upper.raw)};
}
#elif HWY_TARGET == HWY_AVX2
HWY_INLINE VU8 PackBytes(V16 lower, V16 upper) {
    return VU8{_mm256_packus_epi16(lower.raw, upper.raw)};
}
#else
HWY_INLINE VU8 PackBytes(V16 lower, V16 upper) {
    return VU8{_mm_packus_epi16(lower.raw, upper.raw)};
}
#endif

#if HWY_TARGET == HWY_AVX3
// The 64-bit lane indices that put blocks of the three output vectors in
// memory order: block q of store k is memory block 4 k + q, which is block
// (4 k + q) / 3 of output (4 k + q) % 3. The first permute gathers the blocks
// of out0 and out1 in order of use, the second puts those of out2 among them.
struct TBlockMemoryOrder {
    alignas(64) std::int64_t firstTwo[3][8];
    alignas(64) std::int64_t third[3][8];
};

constexpr TBlockMemoryOrder MakeBlockMemoryOrder() {
    TBlockMemoryOrder order{};
    for (int k = 0; k < 3; ++k) {
        int gathered = 0;
        for (int q = 0; q < 4; ++q) {
            const int block = (4 * k + q) / 3;
            const int output = (4 * k + q) % 3;
            int from = 0;  // the 64-bit lane of the first half of the block
            if (output == 2) {
                from = 8 + 2 * block;
            } else {
                const int lane = 8 * output + 2 * block;
                order.firstTwo[k][2 * gathered] = lane;
                order.firstTwo[k][2 * gathered + 1] = lane + 1;
                from = 2 * gathered++;
            }
            order.third[k][2 * q] = from;
            order.third[k][2 * q + 1] = from + 1;
        }
    }
    return order;
}

inline constexpr TBlockMemoryOrder kBlockMemoryOrder = MakeBlockMemoryOrder();
#endif

// Writes the pixels of the channels of the first vector (blue, green, red:
// bA, gA, rA) and of the second, 48 bytes per block.
HWY_INLINE void StoreBgr(V16 bA, V16 gA, V16 rA, V16 bB, V16 gB, V16 rB,
                         std::uint8_t* HWY_RESTRICT out) {
    const DU8 du8;
    const VU8 first = PackBytes(bA, gA);
    const VU8 second = PackBytes(bB, gB);
    const VU8 red = PackBytes(rA, rB);
    const auto shuffle = [&](VU8 bytes, const std::uint8_t* order) HWY_ATTR {
        return hn::TableLookupBytesOr0(bytes, hn::LoadDup128(du8, order));
    };
    const TBgrBlockOrder& o = kBgrBlockOrder;
    const VU8 out0 = hn::Or(shuffle(first, o.first[0]), shuffle(red, o.red[0]));
    const VU8 out1 = hn::Or(hn::Or(shuffle(first, o.first[1]), shuffle(second, o.second[1])),
                            shuffle(red, o.red[1]));
    const VU8 out2 = hn::Or(shuffle(second, o.second[2]), shuffle(red, o.red[2]));
#if HWY_TARGET == HWY_AVX3
    // Block j of out0, out1 and out2 holds bytes 48 j to 48 j + 47: the 12
    // blocks are put in memory order by two two-vector permutes per store.
    const auto store = [&](int k, std::uint8_t* at) HWY_ATTR {
        const __m512i firstTwo = _mm512_permutex2var_epi64(
            out0.raw, _mm512_load_si512(kBlockMemoryOrder.firstTwo[k]), out1.raw);
        _mm512_storeu_si512(
            at, _mm512_permutex2var_epi64(firstTwo, _mm512_load_si512(kBlockMemoryOrder.third[k]),
                                          out2.raw));
    };
    store(0, out);
    store(1, out + 64);
    store(2, out + 128);
#elif HWY_TARGET == HWY_AVX2
    const auto store = [&](VU8 v, std::uint8_t* at) HWY_ATTR {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm256_castsi256_si128(v.raw));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 48), _mm256_extracti128_si256(v.raw, 1));
    };
    store(out0, out);
    store(out1, out + 16);
    store(out2, out + 32);
#else
    hn::StoreU(out0, du8, out);
    hn::StoreU(out1, du8, out + 16);
    hn::StoreU(out2, du8, out + 32);
#endif
}

#else

// Saturates two halves of a channel to bytes, in pixel order.
HWY_INLINE VU8 Bytes(V16 lower, V16 upper) {
    const DU8 du8;
    const DU8Half half;
    return hn::Combine(du8, hn::DemoteTo(half, upper), hn::DemoteTo(half, lower));
}

// Writes the pixels of the channels of the first vector (blue, green, red:
// bA, gA, rA), then those of the second.
HWY_INLINE void StoreBgr(V16 bA, V16 gA, V16 rA, V16 bB, V16 gB, V16 rB,
                         std::uint8_t* HWY_RESTRICT out) {
    hn::StoreInterleaved3(Bytes(bA, bB), Bytes(gA, gB), Bytes(rA, rB), DU8(), out);
}

#endif

// Declares the split chroma terms of vector x.
#define VISTREL_CHROMA_VARS(x) \
    V16 x##BlueUpper, x##BlueLow, x##GreenUpper, x##GreenLow, x##RedUpper, x##RedLow
#define VISTREL_CHROMA_ARGS(x) \
    x##BlueUpper, x##BlueLow, x##GreenUpper, x##GreenLow, x##RedUpper, x##RedLow

// The channels of a vector of luma with the split chroma terms of its pairs.
// The kernels finish the channels of one vector before they split the chroma
// terms of the next, so that fewer values are live at once.
HWY_INLINE void Channels(VU16 luma, VISTREL_CHROMA_PARAMS(c), V16& blue, V16& green, V16& red) {
    V16 yh, nyl;
    LumaBytes(luma, yh, nyl);
    blue = Channel(yh, nyl, cBlueUpper, cBlueLow);
    green = Channel(yh, nyl, cGreenUpper, cGreenLow);
    red = Channel(yh, nyl, cRedUpper, cRedLow);
}

// The two vectors of packed groups of a step of 2 * lanes pairs: with
// blocks, the even 16-byte pieces, then the odd ones.
HWY_INLINE void LoadGroups(const std::uint8_t* HWY_RESTRICT groups, VU8& first, VU8& second) {
#if HWY_TARGET == HWY_AVX3
    const __m512i a = _mm512_loadu_si512(groups);
    const __m512i b = _mm512_loadu_si512(groups + 64);
    first = VU8{_mm512_shuffle_i64x2(a, b, 0x88)};   // pieces 0, 2 of a, then of b
    second = VU8{_mm512_shuffle_i64x2(a, b, 0xDD)};  // pieces 1, 3
#elif HWY_TARGET == HWY_AVX2
    const auto piece = [groups](int k) {
        return reinterpret_cast<const __m128i*>(groups + 16 * k);
    };
    first = VU8{_mm256_loadu2_m128i(piece(2), piece(0))};
    second = VU8{_mm256_loadu2_m128i(piece(3), piece(1))};
#else
    const DU8 du8;
    first = hn::LoadU(du8, groups);
    second = hn::LoadU(du8, groups + hn::Lanes(du8));
#endif
}

// One vector of packed pairs, Y0 U Y1 V each: the channels of its pixels in
// pixel order.
HWY_INLINE void PackedChannels(VU8 g, V16& blue, V16& green, V16& red) {
    const D32 d;
    const DU16 du16;
    const DU8 du8;
    // (U, U) and (V, V) in the halves of each group's lane, then times
    // (1, 128).
    alignas(16) static constexpr std::uint8_t kU[16] = {1, 0x80, 1, 0x80, 5,  0x80, 5,  0x80,
                                                        9, 0x80, 9, 0x80, 13, 0x80, 13, 0x80};
    alignas(16) static constexpr std::uint8_t kV[16] = {3,  0x80, 3,  0x80, 7,  0x80, 7,  0x80,
                                                        11, 0x80, 11, 0x80, 15, 0x80, 15, 0x80};
    const VU16 times128Above = hn::BitCast(du16, hn::Set(d, 1 | (128 << 16)));
    const VU16 u = hn::Mul(hn::BitCast(du16, hn::TableLookupBytesOr0(g, hn::LoadDup128(du8, kU))),
                           times128Above);
    const VU16 v = hn::Mul(hn::BitCast(du16, hn::TableLookupBytesOr0(g, hn::LoadDup128(du8, kV))),
                           times128Above);
    VISTREL_CHROMA_VARS(c);
    ChromaTerms(hn::BitCast(d, u), hn::BitCast(d, v), VISTREL_CHROMA_ARGS(c));
    Channels(hn::And(hn::BitCast(du16, g), hn::Set(du16, 0x00FF)), VISTREL_CHROMA_ARGS(c), blue,
             green, red);
}

// Local to this file, like every target's kernels: only the dispatch table refers to them.
static std::size_t Packed422RowKernel(const std::uint8_t* HWY_RESTRICT groups, std::size_t pairs,
                                      std::uint8_t* HWY_RESTRICT out) {
    return WholeSteps(pairs, 2 * hn::Lanes(D32()), [&](std::size_t done) HWY_ATTR {
        VU8 first, second;
        LoadGroups(groups + 4 * done, first, second);
        V16 blueA, greenA, redA, blueB, greenB, redB;
        PackedChannels(first, blueA, greenA, redA);
        PackedChannels(second, blueB, greenB, redB);
        StoreBgr(blueA, greenA, redA, blueB, greenB, redB, out + 6 * done);
    });
}

// The 4 * lanes luma bytes at `luma` as 16-bit lanes, in two vectors (with
// more than one block: the lower and upper halves of each block of bytes).
HWY_INLINE void PlanarLuma(const std::uint8_t* HWY_RESTRICT luma, VU16& first, VU16& second) {
    const DU16 du16;
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3
    const DU8 du8;
    const VU8 bytes = hn::LoadU(du8, luma);
    first = hn::ZipLower(du16, bytes, hn::Zero(du8));
    second = hn::ZipUpper(du16, bytes, hn::Zero(du8));
#else
    const hn::Rebind<std::uint8_t, DU16> du8;
    first = hn::PromoteTo(du16, hn::LoadU(du8, luma));
    second = hn::PromoteTo(du16, hn::LoadU(du8, luma + hn::Lanes(du16)));
#endif
}

// 2 * lanes chroma bytes as (c, 128 c) pairs, in two vectors (with more than
// one block: the lower and upper halves of each block of 8 chroma values).
HWY_INLINE void PlanarChroma(const std::uint8_t* HWY_RESTRICT c, V32& first, V32& second) {
    const D32 d;
#ifdef VISTREL_YUV_BLOCKS
    const DU16 du16;
    const DU8 du8;
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSSE3 || HWY_TARGET == HWY_SSE4
    // The first vector takes chroma values 0-3 (AVX2: and 8-11, from the
    // second block, which holds the 16 bytes too), the second 4-7 (and 12-15).
#if HWY_TARGET == HWY_AVX2
    const VU8 bytes =
        VU8{_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)))};
#else
    const VU8 bytes = VU8{_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c))};
#endif
    alignas(32) static constexpr std::uint8_t kFirst[32] = {
        0, 0x80, 0, 0x80, 1, 0x80, 1, 0x80, 2,  0x80, 2,  0x80, 3,  0x80, 3,  0x80,
        8, 0x80, 8, 0x80, 9, 0x80, 9, 0x80, 10, 0x80, 10, 0x80, 11, 0x80, 11, 0x80};
    alignas(32) static constexpr std::uint8_t kSecond[32] = {
        4,  0x80, 4,  0x80, 5,  0x80, 5,  0x80, 6,  0x80, 6,  0x80, 7,  0x80, 7,  0x80,
        12, 0x80, 12, 0x80, 13, 0x80, 13, 0x80, 14, 0x80, 14, 0x80, 15, 0x80, 15, 0x80};
    const auto order = [&](const std::uint8_t* table) HWY_ATTR { return hn::Load(du8, table); };
#else
    // Block j holds chroma values 8 j to 8 j + 7 as 16-bit lanes.
    const VU8 bytes = hn::BitCast(du8, hn::PromoteTo(du16, hn::LoadU(DU8Half(), c)));
    alignas(16) static constexpr std::uint8_t kFirst[16] = {0, 0x80, 0, 0x80, 2, 0x80, 2, 0x80,
                                                            4, 0x80, 4, 0x80, 6, 0x80, 6, 0x80};
    alignas(16) static constexpr std::uint8_t kSecond[16] = {
        8, 0x80, 8, 0x80, 10, 0x80, 10, 0x80, 12, 0x80, 12, 0x80, 14, 0x80, 14, 0x80};
    const auto order = [&](const std::uint8_t* table)
                           HWY_ATTR { return hn::LoadDup128(du8, table); };
#endif
    // (c, c) per 32-bit lane, then times (1, 128).
    const VU16 times128Above = hn::BitCast(du16, hn::Set(d, 1 | (128 << 16)));
    const auto spread = [&](const std::uint8_t* table) HWY_ATTR {
        const VU8 pairs = hn::TableLookupBytesOr0(bytes, order(table));
        return hn::BitCast(d, hn::Mul(hn::BitCast(du16, pairs), times128Above));
    };
    first = spread(kFirst);
    second = spread(kSecond);
#else
    const hn::Rebind<std::uint8_t, D32> du8;
    const V32 a = hn::PromoteTo(d, hn::LoadU(du8, c));
    const V32 b = hn::PromoteTo(d, hn::LoadU(du8, c + hn::Lanes(d)));
    first = hn::Or(a, hn::ShiftLeft<23>(a));
    second = hn::Or(b, hn::ShiftLeft<23>(b));
#endif
}

// Converts the pairs from pair `done` of row a and, with kTwoRows, of row b,
// which share their chroma: the channels of the first vector of each row,
// then of the second.
template <bool kTwoRows>
HWY_INLINE void PlanarStep(const std::uint8_t* lumaA, const std::uint8_t* lumaB,
                           const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* outA,
                           std::uint8_t* outB, std::size_t done) {
    V32 uFirst, uSecond, vFirst, vSecond;
    PlanarChroma(cb + done, uFirst, uSecond);
    PlanarChroma(cr + done, vFirst, vSecond);
    VU16 a0, a1, b0, b1;
    V16 blueA0, greenA0, redA0, blueA1, greenA1, redA1;
    V16 blueB0, greenB0, redB0, blueB1, greenB1, redB1;
    PlanarLuma(lumaA + 2 * done, a0, a1);
    {
        VISTREL_CHROMA_VARS(c);
        ChromaTerms(uFirst, vFirst, VISTREL_CHROMA_ARGS(c));
        Channels(a0, VISTREL_CHROMA_ARGS(c), blueA0, greenA0, redA0);
        if constexpr (kTwoRows) {
            PlanarLuma(lumaB + 2 * done, b0, b1);
            Channels(b0, VISTREL_CHROMA_ARGS(c), blueB0, greenB0, redB0);
        }
    }
    VISTREL_CHROMA_VARS(c);
    ChromaTerms(uSecond, vSecond, VISTREL_CHROMA_ARGS(c));
    Channels(a1, VISTREL_CHROMA_ARGS(c), blueA1, greenA1, redA1);
    StoreBgr(blueA0, greenA0, redA0, blueA1, greenA1, redA1, outA + 6 * done);
    if constexpr (kTwoRows) {
        Channels(b1, VISTREL_CHROMA_ARGS(c), blueB1, greenB1, redB1);
        StoreBgr(blueB0, greenB0, redB0, blueB1, greenB1, redB1, outB + 6 * done);
    }
}

static std::size_t Planar420RowsKernel(const std::uint8_t* lumaA, const std::uint8_t* lumaB,
                                       const std::uint8_t* cb, const std::uint8_t* cr,
                                       std::size_t pairs, std::uint8_t* outA, std::uint8_t* outB) {
    const std::size_t width = 2 * hn::Lanes(D32());
    if (lumaB == nullptr) {
        return WholeSteps(pairs, width, [&](std::size_t done) HWY_ATTR {
            PlanarStep<false>(lumaA, lumaB, cb, cr, outA, outB, done);
        });
    }
    return WholeSteps(pairs, width, [&](std::size_t done) HWY_ATTR {
        PlanarStep<true>(lumaA, lumaB, cb, cr, outA, outB, done);
    });
}

#undef VISTREL_CHROMA_PARAMS
#undef VISTREL_CHROMA_VARS
#undef VISTREL_CHROMA_ARGS
#ifdef VISTREL_YUV_UPPER_BYTE_CARRY
#undef VISTREL_YUV_UPPER_BYTE_CARRY
#endif
#ifdef VISTREL_YUV_BLOCKS
#undef VISTREL_YUV_BLOCKS
#endif

#endif

}  // namespace HWY_NAMESPACE
}  // namespace vistrel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vistrel {

HWY_EXPORT(Packed422RowKernel);
HWY_EXPORT(Planar420RowsKernel);

namespace yuv_vector {

std::size_t Packed422Row(const std::uint8_t* groups, std::size_t pairs, std::uint8_t* out) {
    return HWY_DYNAMIC_DISPATCH(Packed422RowKernel)(groups, pairs, out);
}

std::size_t Planar420Rows(const std::uint8_t* lumaA, const std::uint8_t* lumaB,
                          const std::uint8_t* cb, const std::uint8_t* cr, std::size_t pairs,
                          std::uint8_t* outA, std::uint8_t* outB) {
    return HWY_DYNAMIC_DISPATCH(Planar420RowsKernel)(lumaA, lumaB, cb, cr, pairs, outA, outB);
}

std::vector<std::int64_t> AvailableTargets() {
    return hwy::SupportedAndGeneratedTargets();
}

void RestrictToTarget(std::int64_t target) {
    hwy::SetSupportedTargetsForTest(target);
}

std::string TargetName(std::int64_t target) {
    return hwy::TargetName(target);
}

}  // namespace yuv_vector
}  // namespace vistrel
#endif
