// The fast plasma painter's inner loop with SSE2: the palette indices of a
// run, four pixels to a vector; the pixels are then written as in the
// portable loop. Compiled for the baseline of each library with a target
// attribute on the vector code, so the i386 library loads, and takes the
// portable loop, on CPUs without SSE2.
#include <emmintrin.h>
#include <stdint.h>

#include "plasma_kernels.h"

namespace tcap {

namespace {

// FoldIndices of plasma_fast.cpp, four pixels to a vector.
__attribute__((target("sse2"))) bool FoldIndicesSse2(const uint32_t* low, int32_t n, uint32_t bias,
                                                     uint32_t window, uint8_t* idx, uint16_t* masks) {
    int any = 0;
    const __m128i vBias = _mm_set1_epi32(static_cast<int32_t>(bias));
    // Unsigned f << 8 < window << 8, as a signed comparison after flipping the sign bits.
    const __m128i vFlip = _mm_set1_epi32(INT32_MIN);
    const __m128i vWindow = _mm_set1_epi32(static_cast<int32_t>((window << 8) ^ 0x80000000u));
    for (int32_t g = 0; g * kGroup < n; ++g) {
        const uint32_t* q = low + static_cast<size_t>(g) * kGroup;
        __m128i top[4];
        __m128i near[4];
        for (int k = 0; k < 4; ++k) {
            const __m128i v = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + static_cast<size_t>(4 * k))), vBias);
            top[k] = _mm_srli_epi32(v, kFracBits);
            near[k] = _mm_cmplt_epi32(_mm_xor_si128(_mm_slli_epi32(v, 32 - kFracBits), vFlip), vWindow);
        }
        const __m128i bytes =
            _mm_packus_epi16(_mm_packs_epi32(top[0], top[1]), _mm_packs_epi32(top[2], top[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(idx + static_cast<size_t>(g) * kGroup), bytes);
        const __m128i flags =
            _mm_packs_epi16(_mm_packs_epi32(near[0], near[1]), _mm_packs_epi32(near[2], near[3]));
        masks[g] = static_cast<uint16_t>(_mm_movemask_epi8(flags));
        any |= masks[g];
    }
    return any != 0;
}

}  // namespace

bool PaintRunSse2(const uint32_t* low, int32_t n, uint32_t bias, uint32_t window, const FoldedPalette& t,
                  RunScratch* w, uint8_t* p) {
    const bool near = FoldIndicesSse2(low, n, bias, window, w->idx, w->masks);
    WritePixels(t.pixel, w->idx, n, p);
    return near;
}

}  // namespace tcap
