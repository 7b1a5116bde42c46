// SSE2 forms of the fast painters: the plasma's palette indices sixteen
// pixels at a time (the pixels are then written as in the portable loop),
// and the solid fill with 16-byte stores. Each function carries a target
// attribute; the rest of the library stays at the baseline, so the i386
// library loads, and takes the portable forms, on CPUs without SSE2.
#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "fast_kernels.h"

namespace tcap {

namespace {

// FoldIndices of plasma_fast.cpp, sixteen pixels to a step: eight 16-bit
// fractions to a vector, sixteen whole parts to another.
__attribute__((target("sse2"))) bool FoldIndicesSse2(const uint8_t* whole, const int16_t* frac, int32_t n,
                                                     const RowBias& r, uint8_t* idx, uint16_t* masks) {
    const __m128i vAdd = _mm_set1_epi16(r.fracAdd);
    const __m128i vCarry = _mm_set1_epi16(r.carryAbove);
    const __m128i vNear = _mm_set1_epi16(r.nearBelow);
    const __m128i vRow = _mm_set1_epi8(static_cast<char>(r.rowWhole));
    int any = 0;
    for (int32_t i = 0; i < n; i += 16) {
        const __m128i f0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frac + i));
        const __m128i f1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frac + i + 8));
        const __m128i near = _mm_packs_epi16(_mm_cmplt_epi16(_mm_add_epi16(f0, vAdd), vNear),
                                             _mm_cmplt_epi16(_mm_add_epi16(f1, vAdd), vNear));
        const __m128i carry = _mm_packs_epi16(_mm_cmpgt_epi16(f0, vCarry), _mm_cmpgt_epi16(f1, vCarry));
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(whole + i));
        // carry is -1 where set: subtracting it adds one.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(idx + i), _mm_sub_epi8(_mm_add_epi8(w, vRow), carry));
        const int m = _mm_movemask_epi8(near);
        masks[i / kGroup] = static_cast<uint16_t>(m);
        any |= m;
    }
    return any != 0;
}


__attribute__((target("sse2"))) inline __m128i LoadU128(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
__attribute__((target("sse2"))) inline void StoreA128(uint8_t* p, __m128i v) {
    _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
}

}  // namespace

bool PaintRunSse2(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r, const FoldedPalette& t,
                  RunScratch* w, uint8_t* p) {
    const bool near = FoldIndicesSse2(whole, frac, n, r, w->idx, w->masks);
    WritePixels(t.pixel, w->idx, n, p);
    return near;
}

// 16 pixels (48 bytes) fill three vectors; the stores are aligned.
__attribute__((target("sse2"))) void FillSolidSse2(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g,
                                                   uint8_t r) {
    alignas(16) uint8_t pattern[4 * 16];
    SolidFill fill{};
    if (!StartSolidFill(pData, nBytes, b, g, r, 16, pattern, &fill)) return;
    const __m128i v0 = LoadU128(fill.phase);
    const __m128i v1 = LoadU128(fill.phase + 16);
    const __m128i v2 = LoadU128(fill.phase + 32);
    size_t i = fill.start;
    for (; i + 48 <= fill.n; i += 48) {
        StoreA128(pData + i, v0);
        StoreA128(pData + i + 16, v1);
        StoreA128(pData + i + 32, v2);
    }
    EndSolidFill(pData, fill, i);
}

}  // namespace tcap
