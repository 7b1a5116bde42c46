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
__attribute__((target("sse2"))) inline void StoreU128(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
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

// 16 pixels (48 bytes) fill three vectors. The stores are aligned: one
// unaligned vector covers the head, and the pattern is taken from the phase
// the first aligned address falls on.
__attribute__((target("sse2"))) void FillSolidSse2(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g,
                                                   uint8_t r) {
    const size_t n = nBytes > 0 ? static_cast<size_t>(nBytes) / 3 * 3 : 0;
    alignas(16) uint8_t pattern[48 + 16];  // every phase of the pixel, a block long
    for (size_t i = 0; i < sizeof pattern; i += 3) {
        pattern[i] = b;
        if (i + 1 < sizeof pattern) pattern[i + 1] = g;
        if (i + 2 < sizeof pattern) pattern[i + 2] = r;
    }
    if (n < 48 + 16) {
        for (size_t i = 0; i < n; i += 48) memcpy(pData + i, pattern, n - i < 48 ? n - i : 48);
        return;
    }
    StoreU128(pData, LoadU128(pattern));
    const size_t head = (0u - reinterpret_cast<uintptr_t>(pData)) & 15u;  // bytes up to the aligned address
    const uint8_t* phase = pattern + head % 3;
    const __m128i v0 = LoadU128(phase);
    const __m128i v1 = LoadU128(phase + 16);
    const __m128i v2 = LoadU128(phase + 32);
    size_t i = head;
    for (; i + 48 <= n; i += 48) {
        StoreA128(pData + i, v0);
        StoreA128(pData + i + 16, v1);
        StoreA128(pData + i + 32, v2);
    }
    memcpy(pData + i, phase, n - i);
}

}  // namespace tcap
