// AVX-512 forms of the fast painters, in the x86-64 library: the plasma with
// its palette lookups as byte permutes (VBMI) over three 256-byte planes, 64
// pixels at a time, and the solid fill with 64-byte stores. Each function
// carries a target attribute; the rest of the library stays at the baseline.
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#include "fast_kernels.h"

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
// no index leaves the vector registers. The loads may read into the strip's
// padding; the last group's stores are masked, so nothing past the run is
// written.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) bool PaintRunAvx512(
    const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r, const FoldedPalette& t,
    RunScratch* w, uint8_t* p) {
    const uint8_t (*planes)[256] = t.planes;
    uint16_t* masks = w->masks;
    const __m512i vAdd = _mm512_set1_epi16(r.fracAdd);
    const __m512i vCarry = _mm512_set1_epi16(r.carryAbove);
    const __m512i vNear = _mm512_set1_epi16(r.nearBelow);
    const __m512i vRow = _mm512_set1_epi8(static_cast<char>(r.rowWhole));
    const __m512i vOne = _mm512_set1_epi8(1);
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
        const __m512i f0 = _mm512_loadu_si512(frac + i);
        const __m512i f1 = _mm512_loadu_si512(frac + i + 32);
        const uint64_t near = uint64_t{_mm512_cmplt_epi16_mask(_mm512_add_epi16(f0, vAdd), vNear)} |
                              uint64_t{_mm512_cmplt_epi16_mask(_mm512_add_epi16(f1, vAdd), vNear)} << 32;
        const __mmask64 carry = _mm512_kunpackd(_mm512_cmpgt_epi16_mask(f1, vCarry), _mm512_cmpgt_epi16_mask(f0, vCarry));
        __m512i idx = _mm512_add_epi8(_mm512_loadu_si512(whole + i), vRow);
        idx = _mm512_mask_add_epi8(idx, carry, idx, vOne);
        const __mmask64 upper = _mm512_movepi8_mask(idx);  // index bit 7: entries 128..255
        const __m512i blue = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(table[0][0], idx, table[0][1]),
                                                    _mm512_permutex2var_epi8(table[0][2], idx, table[0][3]));
        const __m512i green = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(table[1][0], idx, table[1][1]),
                                                     _mm512_permutex2var_epi8(table[1][2], idx, table[1][3]));
        const __m512i red = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(table[2][0], idx, table[2][1]),
                                                   _mm512_permutex2var_epi8(table[2][2], idx, table[2][3]));
        const __m512i out0 = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, fromBlueGreen[0], green),
                                                          kInterleave.redMask[0], fromRed[0], red);
        const __m512i out1 = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, fromBlueGreen[1], green),
                                                          kInterleave.redMask[1], fromRed[1], red);
        const __m512i out2 = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, fromBlueGreen[2], green),
                                                          kInterleave.redMask[2], fromRed[2], red);
        uint8_t* q = p + 3 * static_cast<size_t>(i);
        if (left >= 64) {
            _mm512_storeu_si512(q, out0);
            _mm512_storeu_si512(q + 64, out1);
            _mm512_storeu_si512(q + 128, out2);
        } else {
            const int32_t bytes = 3 * left;  // below 192: masked stores end the run exactly
            const auto maskOf = [bytes](int32_t j) -> __mmask64 {
                const int32_t inChunk = bytes - 64 * j;
                return inChunk >= 64 ? ~__mmask64{0} : inChunk > 0 ? (__mmask64{1} << inChunk) - 1 : 0;
            };
            _mm512_mask_storeu_epi8(q, maskOf(0), out0);
            _mm512_mask_storeu_epi8(q + 64, maskOf(1), out1);
            _mm512_mask_storeu_epi8(q + 128, maskOf(2), out2);
        }
        memcpy(masks + i / kGroup, &near, sizeof near);  // four flag words, in pixel order
        any |= near;
    }
    return any != 0;
}

// 64 pixels (192 bytes) fill three vectors; the stores are aligned.
__attribute__((target("avx512f"))) void FillSolidAvx512(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g,
                                                   uint8_t r) {
    alignas(64) uint8_t pattern[4 * 64];
    SolidFill fill{};
    if (!StartSolidFill(pData, nBytes, b, g, r, 64, pattern, &fill)) return;
    const __m512i v0 = _mm512_loadu_si512(fill.phase);
    const __m512i v1 = _mm512_loadu_si512(fill.phase + 64);
    const __m512i v2 = _mm512_loadu_si512(fill.phase + 128);
    size_t i = fill.start;
    for (; i + 192 <= fill.n; i += 192) {
        _mm512_store_si512(pData + i, v0);
        _mm512_store_si512(pData + i + 64, v1);
        _mm512_store_si512(pData + i + 128, v2);
    }
    EndSolidFill(pData, fill, i);
}

}  // namespace tcap

#endif
