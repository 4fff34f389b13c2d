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
// lies within -18.2e6..35.1e6, so its upper 16 bits hold the signed result,
// which a saturating narrowing clamps to 0..255.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "yuv_vector.cpp"
#include <hwy/foreach_target.h>  // before highway.h
#include <hwy/highway.h>

#include "yuv_formula.h"
#include "yuv_vector.h"

HWY_BEFORE_NAMESPACE();
namespace vistrel {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

// No vector unit: the table code is faster than emulated vectors.
std::size_t Packed422RowKernel(const std::uint8_t*, std::size_t, std::uint8_t*) {
    return 0;
}

std::size_t Planar420RowsKernel(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                                const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t*) {
    return 0;
}

#else

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
struct TChroma {
    V32 blue;
    V32 green;
    V32 red;
};

HWY_INLINE TChroma ChromaTerms(V32 u, V32 v) {
    return {hn::ShiftLeft<8>(Entry<kTableUBFormula>(u)),
            hn::ShiftLeft<8>(hn::Add(Entry<kTableUGFormula>(u), Entry<kTableVGFormula>(v))),
            hn::ShiftLeft<8>(Entry<kTableVRFormula>(v))};
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
#elif HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    return VU8{_mm512_permutexvar_epi64(order, _mm512_packus_epi16(lower.raw, upper.raw))};
#else
    const DU8 du8;
    const DU8Half half;
    return hn::Combine(du8, hn::DemoteTo(half, upper), hn::DemoteTo(half, lower));
#endif
}

// Luma terms of the even and odd pixels and chroma terms of one vector of
// pixel pairs.
struct TPairs {
    V32 even;
    V32 odd;
    TChroma chroma;
};

// Saturates one channel of two vectors of pairs to bytes, in pixel order.
template <V32 TChroma::*kChannel>
HWY_INLINE VU8 ChannelBytes(const TPairs& a, const TPairs& b) {
    return Bytes(Channel(a.even, a.odd, a.chroma.*kChannel),
                 Channel(b.even, b.odd, b.chroma.*kChannel));
}

// Writes 3 bytes per pixel of two vectors of pairs.
HWY_INLINE void StorePixels(const TPairs& a, const TPairs& b, std::uint8_t* HWY_RESTRICT out) {
    const DU8 du8;
    hn::StoreInterleaved3(ChannelBytes<&TChroma::blue>(a, b), ChannelBytes<&TChroma::green>(a, b),
                          ChannelBytes<&TChroma::red>(a, b), du8, out);
}

// One vector of packed pairs: a 32-bit lane per group, Y0 in the low byte,
// then U, Y1, V.
HWY_INLINE TPairs PackedPairs(const std::uint8_t* HWY_RESTRICT groups) {
    const D32 d;
    const DU32 du;
    const VU32 g = hn::LoadU(du, reinterpret_cast<const std::uint32_t*>(groups));
    const VU32 byteMask = hn::Set(du, 0xFFu);
    const V32 y0 = hn::BitCast(d, hn::And(g, byteMask));
    const V32 u = hn::BitCast(d, hn::And(hn::ShiftRight<8>(g), byteMask));
    const V32 y1 = hn::BitCast(d, hn::And(hn::ShiftRight<16>(g), byteMask));
    const V32 v = hn::BitCast(d, hn::ShiftRight<24>(g));
    return {LumaTerm(y0), LumaTerm(y1), ChromaTerms(u, v)};
}

std::size_t Packed422RowKernel(const std::uint8_t* HWY_RESTRICT groups, std::size_t pairs,
                               std::uint8_t* HWY_RESTRICT out) {
    const std::size_t lanes = hn::Lanes(D32());
    std::size_t done = 0;
    for (; done + 2 * lanes <= pairs; done += 2 * lanes) {
        const TPairs a = PackedPairs(groups + 4 * done);
        const TPairs b = PackedPairs(groups + 4 * (done + lanes));
        StorePixels(a, b, out + 6 * done);
    }
    return done;
}

// Luma terms of the 2 * lanes pixels at `luma`, with given chroma terms.
HWY_INLINE TPairs PlanarPairs(const std::uint8_t* HWY_RESTRICT luma, const TChroma& chroma) {
    const D32 d;
    const DU32 du;
    const hn::Rebind<std::uint16_t, D32> du16;
    const VU32 pairs =
        hn::PromoteTo(du, hn::LoadU(du16, reinterpret_cast<const std::uint16_t*>(luma)));
    return {LumaTerm(hn::BitCast(d, hn::And(pairs, hn::Set(du, 0xFFu)))),
            LumaTerm(hn::BitCast(d, hn::ShiftRight<8>(pairs))), chroma};
}

HWY_INLINE TChroma PlanarChroma(const std::uint8_t* HWY_RESTRICT cb,
                                const std::uint8_t* HWY_RESTRICT cr) {
    const D32 d;
    const hn::Rebind<std::uint8_t, D32> du8;
    return ChromaTerms(hn::PromoteTo(d, hn::LoadU(du8, cb)), hn::PromoteTo(d, hn::LoadU(du8, cr)));
}

template <bool kTwoRows>
std::size_t Planar420Loop(const std::uint8_t* HWY_RESTRICT lumaA,
                          const std::uint8_t* HWY_RESTRICT lumaB,
                          const std::uint8_t* HWY_RESTRICT cb, const std::uint8_t* HWY_RESTRICT cr,
                          std::size_t pairs, std::uint8_t* HWY_RESTRICT outA,
                          std::uint8_t* HWY_RESTRICT outB) {
    const std::size_t lanes = hn::Lanes(D32());
    std::size_t done = 0;
    for (; done + 2 * lanes <= pairs; done += 2 * lanes) {
        const TChroma c0 = PlanarChroma(cb + done, cr + done);
        const TChroma c1 = PlanarChroma(cb + done + lanes, cr + done + lanes);
        StorePixels(PlanarPairs(lumaA + 2 * done, c0), PlanarPairs(lumaA + 2 * (done + lanes), c1),
                    outA + 6 * done);
        if constexpr (kTwoRows) {
            StorePixels(PlanarPairs(lumaB + 2 * done, c0),
                        PlanarPairs(lumaB + 2 * (done + lanes), c1), outB + 6 * done);
        }
    }
    return done;
}

std::size_t Planar420RowsKernel(const std::uint8_t* lumaA, const std::uint8_t* lumaB,
                                const std::uint8_t* cb, const std::uint8_t* cr, std::size_t pairs,
                                std::uint8_t* outA, std::uint8_t* outB) {
    return lumaB != nullptr ? Planar420Loop<true>(lumaA, lumaB, cb, cr, pairs, outA, outB)
                            : Planar420Loop<false>(lumaA, nullptr, cb, cr, pairs, outA, nullptr);
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
