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
// in 32-bit lanes: 76309 y + 125 per pixel, 256 c per pixel pair. The sum
// lies within -18.2e6..35.1e6, so its upper 16 bits hold the signed result
// (-277..534), which a saturating narrowing clamps to 0..255.

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
    std::size_t done = 0;
    for (; done + 32 <= pairs; done += 32) {
        TLuma512 a, b;
        TChroma512 ca, cb;
        PackedHalf(groups + 4 * done, a, ca);
        PackedHalf(groups + 4 * done + 64, b, cb);
        Store512(a, ca, b, cb, out + 6 * done);
    }
    return done;
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
    std::size_t done = 0;
    for (; done + 32 <= pairs; done += 32) {
        const TChroma512 c0 = Chroma512(PlanarChroma512(cb + done), PlanarChroma512(cr + done));
        const TChroma512 c1 =
            Chroma512(PlanarChroma512(cb + done + 16), PlanarChroma512(cr + done + 16));
        Store512(PlanarLuma512(lumaA + 2 * done), c0, PlanarLuma512(lumaA + 2 * done + 32), c1,
                 outA + 6 * done);
        if (lumaB != nullptr) {
            Store512(PlanarLuma512(lumaB + 2 * done), c0, PlanarLuma512(lumaB + 2 * done + 32), c1,
                     outB + 6 * done);
        }
    }
    return done;
}

#ifdef VISTREL_YUV_DPWSSD
#pragma GCC pop_options
#undef VISTREL_YUV_DPWSSD
#endif

#else

// Portable code for the other instruction sets. Vectors travel as separate
// values: scalable vectors cannot be members of a struct.

namespace hn = hwy::HWY_NAMESPACE;

using D32 = hn::ScalableTag<std::int32_t>;
using DU32 = hn::RebindToUnsigned<D32>;
using D16 = hn::Repartition<std::int16_t, D32>;
using DU8 = hn::Repartition<std::uint8_t, D32>;
using DU8Half = hn::Rebind<std::uint8_t, D16>;
using V32 = hn::Vec<D32>;
using VU32 = hn::Vec<DU32>;
using V16 = hn::Vec<D16>;
using VU8 = hn::Vec<DU8>;

static_assert(kTableYFormula.shift == 8, "the merged shift below is 16 bits");

// Table entry i, computed.
template <const TTableFormula& kFormula>
HWY_INLINE V32 Entry(V32 i) {
    const D32 d;
    return hn::ShiftRight<kFormula.shift>(
        hn::Add(hn::Mul(i, hn::Set(d, kFormula.multiplier)), hn::Set(d, kFormula.offset)));
}

// 256 times the chroma terms of a vector of pixel pairs.
HWY_INLINE void ChromaTerms(V32 u, V32 v, V32& blue, V32& green, V32& red) {
    blue = hn::ShiftLeft<8>(Entry<kTableUBFormula>(u));
    green = hn::ShiftLeft<8>(hn::Add(Entry<kTableUGFormula>(u), Entry<kTableVGFormula>(v)));
    red = hn::ShiftLeft<8>(Entry<kTableVRFormula>(v));
}

// 76309 y + 125: TableY[y] with its 8 fraction bits kept.
HWY_INLINE V32 LumaTerm(V32 y) {
    const D32 d;
    return hn::Add(hn::Mul(y, hn::Set(d, kTableYFormula.multiplier)),
                   hn::Set(d, kTableYFormula.offset));
}

// One channel of the even and odd pixels of a vector of pairs, as signed
// 16-bit lanes in pixel order: the upper halves of the two sums.
HWY_INLINE V16 Channel(V32 lumaEven, V32 lumaOdd, V32 chroma) {
    const D16 d16;
    const V32 even = hn::ShiftRight<16>(hn::Add(lumaEven, chroma));
    const V32 odd = hn::Add(lumaOdd, chroma);
    return hn::OddEven(hn::BitCast(d16, odd), hn::BitCast(d16, even));
}

// Saturates two halves of a channel to bytes, in pixel order.
HWY_INLINE VU8 Bytes(V16 lower, V16 upper) {
#if HWY_TARGET == HWY_SSSE3 || HWY_TARGET == HWY_SSE4
    return VU8{_mm_packus_epi16(lower.raw, upper.raw)};
#elif HWY_TARGET == HWY_AVX2
    // The pack works within 128-bit blocks; one permute restores the order.
    return VU8{_mm256_permute4x64_epi64(_mm256_packus_epi16(lower.raw, upper.raw), 0xD8)};
#elif HWY_TARGET == HWY_AVX3
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    return VU8{_mm512_permutexvar_epi64(order, _mm512_packus_epi16(lower.raw, upper.raw))};
#else
    const DU8 du8;
    const DU8Half half;
    return hn::Combine(du8, hn::DemoteTo(half, upper), hn::DemoteTo(half, lower));
#endif
}

// Writes the pixels of two vectors of pairs, a then b: luma terms of the even
// and odd pixels, chroma terms of each pair.
HWY_INLINE void StorePixels(V32 evenA, V32 oddA, V32 blueA, V32 greenA, V32 redA, V32 evenB,
                            V32 oddB, V32 blueB, V32 greenB, V32 redB,
                            std::uint8_t* HWY_RESTRICT out) {
    const DU8 du8;
    hn::StoreInterleaved3(Bytes(Channel(evenA, oddA, blueA), Channel(evenB, oddB, blueB)),
                          Bytes(Channel(evenA, oddA, greenA), Channel(evenB, oddB, greenB)),
                          Bytes(Channel(evenA, oddA, redA), Channel(evenB, oddB, redB)), du8, out);
}

// One vector of packed pairs: a 32-bit lane per group, Y0 in the low byte,
// then U, Y1, V.
HWY_INLINE void PackedPairs(const std::uint8_t* HWY_RESTRICT groups, V32& even, V32& odd, V32& blue,
                            V32& green, V32& red) {
    const D32 d;
    const DU32 du;
    const VU32 g = hn::LoadU(du, reinterpret_cast<const std::uint32_t*>(groups));
    const VU32 byteMask = hn::Set(du, 0xFFu);
    even = LumaTerm(hn::BitCast(d, hn::And(g, byteMask)));
    odd = LumaTerm(hn::BitCast(d, hn::And(hn::ShiftRight<16>(g), byteMask)));
    ChromaTerms(hn::BitCast(d, hn::And(hn::ShiftRight<8>(g), byteMask)),
                hn::BitCast(d, hn::ShiftRight<24>(g)), blue, green, red);
}

// Local to this file, like every target's kernels: only the dispatch table refers to them.
static std::size_t Packed422RowKernel(const std::uint8_t* HWY_RESTRICT groups, std::size_t pairs,
                                      std::uint8_t* HWY_RESTRICT out) {
    const std::size_t lanes = hn::Lanes(D32());
    std::size_t done = 0;
    for (; done + 2 * lanes <= pairs; done += 2 * lanes) {
        V32 evenA, oddA, blueA, greenA, redA, evenB, oddB, blueB, greenB, redB;
        PackedPairs(groups + 4 * done, evenA, oddA, blueA, greenA, redA);
        PackedPairs(groups + 4 * (done + lanes), evenB, oddB, blueB, greenB, redB);
        StorePixels(evenA, oddA, blueA, greenA, redA, evenB, oddB, blueB, greenB, redB,
                    out + 6 * done);
    }
    return done;
}

// Luma terms of the 2 * lanes pixels at `luma`.
HWY_INLINE void PlanarLuma(const std::uint8_t* HWY_RESTRICT luma, V32& even, V32& odd) {
    const D32 d;
    const DU32 du;
    const hn::Rebind<std::uint16_t, D32> du16;
    const VU32 pairs =
        hn::PromoteTo(du, hn::LoadU(du16, reinterpret_cast<const std::uint16_t*>(luma)));
    even = LumaTerm(hn::BitCast(d, hn::And(pairs, hn::Set(du, 0xFFu))));
    odd = LumaTerm(hn::BitCast(d, hn::ShiftRight<8>(pairs)));
}

HWY_INLINE void PlanarChroma(const std::uint8_t* HWY_RESTRICT cb,
                             const std::uint8_t* HWY_RESTRICT cr, V32& blue, V32& green, V32& red) {
    const D32 d;
    const hn::Rebind<std::uint8_t, D32> du8;
    ChromaTerms(hn::PromoteTo(d, hn::LoadU(du8, cb)), hn::PromoteTo(d, hn::LoadU(du8, cr)), blue,
                green, red);
}

static std::size_t Planar420RowsKernel(const std::uint8_t* lumaA, const std::uint8_t* lumaB,
                                       const std::uint8_t* cb, const std::uint8_t* cr,
                                       std::size_t pairs, std::uint8_t* outA, std::uint8_t* outB) {
    const std::size_t lanes = hn::Lanes(D32());
    std::size_t done = 0;
    for (; done + 2 * lanes <= pairs; done += 2 * lanes) {
        V32 blueA, greenA, redA, blueB, greenB, redB, evenA, oddA, evenB, oddB;
        PlanarChroma(cb + done, cr + done, blueA, greenA, redA);
        PlanarChroma(cb + done + lanes, cr + done + lanes, blueB, greenB, redB);
        for (const auto& [luma, out] : {std::pair{lumaA, outA}, std::pair{lumaB, outB}}) {
            if (luma != nullptr) {
                PlanarLuma(luma + 2 * done, evenA, oddA);
                PlanarLuma(luma + 2 * (done + lanes), evenB, oddB);
                StorePixels(evenA, oddA, blueA, greenA, redA, evenB, oddB, blueB, greenB, redB,
                            out + 6 * done);
            }
        }
    }
    return done;
}

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
