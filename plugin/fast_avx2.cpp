// AVX2 forms of the fast painters: the plasma's palette indices 32 pixels at
// a time (the pixels are then written as in the portable loop), and the
// solid fill with 32-byte stores. Each function carries a target attribute;
// the rest of the library stays at the baseline.
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#include "fast_kernels.h"

namespace tcap {

namespace {

// FoldIndices of plasma_fast.cpp, 32 pixels to a step.
__attribute__((target("avx2"))) bool FoldIndicesAvx2(const uint8_t* whole, const int16_t* frac, int32_t n,
                                                     const RowBias& r, uint8_t* idx, uint16_t* masks) {
    const __m256i vAdd = _mm256_set1_epi16(r.fracAdd);
    const __m256i vCarry = _mm256_set1_epi16(r.carryAbove);
    const __m256i vNear = _mm256_set1_epi16(r.nearBelow);
    const __m256i vRow = _mm256_set1_epi8(static_cast<char>(r.rowWhole));
    uint32_t any = 0;
    for (int32_t i = 0; i < n; i += 32) {
        const __m256i f0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frac + i));
        const __m256i f1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frac + i + 16));
        // The packs work within 128-bit lanes: the quadword permute puts the
        // 32 bytes back in pixel order.
        const __m256i near = _mm256_permute4x64_epi64(
            _mm256_packs_epi16(_mm256_cmpgt_epi16(vNear, _mm256_add_epi16(f0, vAdd)),
                               _mm256_cmpgt_epi16(vNear, _mm256_add_epi16(f1, vAdd))),
            0xd8);
        const __m256i carry = _mm256_permute4x64_epi64(
            _mm256_packs_epi16(_mm256_cmpgt_epi16(f0, vCarry), _mm256_cmpgt_epi16(f1, vCarry)), 0xd8);
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(whole + i));
        // carry is -1 where set: subtracting it adds one.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(idx + i), _mm256_sub_epi8(_mm256_add_epi8(w, vRow), carry));
        const uint32_t m = static_cast<uint32_t>(_mm256_movemask_epi8(near));
        masks[i / kGroup] = static_cast<uint16_t>(m);
        masks[i / kGroup + 1] = static_cast<uint16_t>(m >> 16);
        any |= m;
    }
    return any != 0;
}


__attribute__((target("avx2"))) inline __m256i LoadU256(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) inline void StoreA256(uint8_t* p, __m256i v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
}

}  // namespace

bool PaintRunAvx2(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r, const FoldedPalette& t,
                  RunScratch* w, uint8_t* p) {
    const bool near = FoldIndicesAvx2(whole, frac, n, r, w->idx, w->masks);
    WritePixels(t.pixel, w->idx, n, p);
    return near;
}

// 32 pixels (96 bytes) fill three vectors; the stores are aligned.
__attribute__((target("avx2"))) void FillSolidAvx2(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g,
                                                   uint8_t r) {
    alignas(32) uint8_t pattern[4 * 32];
    SolidFill fill{};
    if (!StartSolidFill(pData, nBytes, b, g, r, 32, pattern, &fill)) return;
    const __m256i v0 = LoadU256(fill.phase);
    const __m256i v1 = LoadU256(fill.phase + 32);
    const __m256i v2 = LoadU256(fill.phase + 64);
    size_t i = fill.start;
    for (; i + 96 <= fill.n; i += 96) {
        StoreA256(pData + i, v0);
        StoreA256(pData + i + 32, v1);
        StoreA256(pData + i + 64, v2);
    }
    EndSolidFill(pData, fill, i);
}

}  // namespace tcap
