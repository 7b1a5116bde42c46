// The fast plasma painter's inner loop with AVX-512 (F, BW and VBMI), in the
// x86-64 library: the palette lookups are byte permutes over three 256-byte
// planes, 64 pixels at a time. The vector code carries target attributes;
// the rest of the library stays at the baseline.
#include <immintrin.h>
#include <stdint.h>

#include "plasma_kernels.h"

#if defined(__x86_64__)

namespace tcap {

namespace {

// Where each byte of three 64-byte output vectors comes from: pixel m of the
// group, channel ch. byteOf[j][q] indexes blue (m) or green (64 + m) for a
// two-table permute; red bytes are merged in with a mask.
struct Interleave {
    alignas(64) uint8_t fromBlueGreen[3][64];
    alignas(64) uint8_t fromRed[3][64];
    uint64_t redMask[3];
    constexpr Interleave() : fromBlueGreen(), fromRed(), redMask() {
        for (int j = 0; j < 3; ++j) {
            for (int q = 0; q < 64; ++q) {
                const int t = 64 * j + q;
                const int m = t / 3;
                const int ch = t % 3;
                fromBlueGreen[j][q] = static_cast<uint8_t>(ch == 1 ? 64 + m : m);
                fromRed[j][q] = static_cast<uint8_t>(m);
                if (ch == 2) redMask[j] |= uint64_t{1} << q;
            }
        }
    }
};
constexpr Interleave kInterleave;

}  // namespace

// What FoldIndices and WritePixels do together, 64 pixels at a time: the
// palette bytes come from byte permutes over the three 256-byte planes, so
// no index leaves the vector registers. Partial groups use masked loads and
// stores, so nothing past the run is read from low[] beyond its padding or
// written at all.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) bool PaintRunAvx512(
    const uint32_t* low, int32_t n, uint32_t bias, uint32_t window, const FoldedPalette& t, RunScratch* w,
    uint8_t* p) {
    const uint8_t (*planes)[256] = t.planes;
    uint16_t* masks = w->masks;
    const __m512i vBias = _mm512_set1_epi32(static_cast<int32_t>(bias));
    const __m512i vWindow = _mm512_set1_epi32(static_cast<int32_t>(window << 8));
    __m512i table[3][4];
    for (int ch = 0; ch < 3; ++ch) {
        for (int k = 0; k < 4; ++k) table[ch][k] = _mm512_load_si512(planes[ch] + static_cast<size_t>(64 * k));
    }
    __m512i fromBlueGreen[3];
    __m512i fromRed[3];
    for (int j = 0; j < 3; ++j) {
        fromBlueGreen[j] = _mm512_load_si512(kInterleave.fromBlueGreen[j]);
        fromRed[j] = _mm512_load_si512(kInterleave.fromRed[j]);
    }
    uint64_t any = 0;
    for (int32_t i = 0; i < n; i += 64) {
        const int32_t left = n - i;  // pixels of this group: min(left, 64)
        __m128i quarter[4];
        uint64_t near = 0;
        for (int k = 0; k < 4; ++k) {
            const int32_t count = left - 16 * k;
            const __mmask16 lanes =
                count >= 16 ? static_cast<__mmask16>(0xffff)
                            : static_cast<__mmask16>(count > 0 ? (1u << count) - 1 : 0);
            const __m512i v = _mm512_add_epi32(_mm512_maskz_loadu_epi32(lanes, low + i + static_cast<size_t>(16 * k)), vBias);
            // (The zero-masking forms avoid the undefined vectors GCC 12 warns about.)
            quarter[k] = _mm512_maskz_cvtepi32_epi8(lanes, _mm512_maskz_srli_epi32(lanes, v, kFracBits));
            const __mmask16 close =
                _mm512_mask_cmplt_epu32_mask(lanes, _mm512_maskz_slli_epi32(lanes, v, 32 - kFracBits), vWindow);
            near |= static_cast<uint64_t>(close) << (16 * k);
        }
        __m512i idx = _mm512_castsi128_si512(quarter[0]);
        idx = _mm512_inserti32x4(idx, quarter[1], 1);
        idx = _mm512_inserti32x4(idx, quarter[2], 2);
        idx = _mm512_inserti32x4(idx, quarter[3], 3);
        const __mmask64 upper = _mm512_movepi8_mask(idx);  // index bit 7: entries 128..255
        __m512i plane[3];
        for (int ch = 0; ch < 3; ++ch) {
            plane[ch] = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(table[ch][0], idx, table[ch][1]),
                                               _mm512_permutex2var_epi8(table[ch][2], idx, table[ch][3]));
        }
        const int32_t bytes = 3 * (left < 64 ? left : 64);
        for (int j = 0; j < 3; ++j) {
            __m512i out = _mm512_permutex2var_epi8(plane[0], fromBlueGreen[j], plane[1]);
            out = _mm512_mask_permutexvar_epi8(out, kInterleave.redMask[j], fromRed[j], plane[2]);
            const int32_t inChunk = bytes - 64 * j;
            if (inChunk >= 64) {
                _mm512_storeu_si512(p + 3 * static_cast<size_t>(i) + static_cast<size_t>(64 * j), out);
            } else if (inChunk > 0) {
                _mm512_mask_storeu_epi8(p + 3 * static_cast<size_t>(i) + static_cast<size_t>(64 * j),
                                        (uint64_t{1} << inChunk) - 1, out);
            }
        }
        for (int k = 0; k < 4; ++k) masks[i / kGroup + k] = static_cast<uint16_t>(near >> (16 * k));
        any |= near;
    }
    return any != 0;
}

}  // namespace tcap

#endif
