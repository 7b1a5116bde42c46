// The fast painters' inner loop in plain integer code: the path for CPUs
// without SSE2 (the i386 library loads there too), and the pixel writer the
// SSE2 and AVX2 loops share.
#include <stdint.h>
#include <string.h>

#include "fast_kernels.h"

namespace tcap {

// p[0 .. 3n) = the pixels pixel[idx[0]], ..., pixel[idx[n - 1]], three bytes
// each; whole words are assembled from several pixels so that each store
// writes only bytes of this run.
void WritePixels(const uint32_t* pixel, const uint8_t* idx, int32_t n, uint8_t* p) {
    int32_t i = 0;
#if UINTPTR_MAX > 0xffffffffu
    for (; i + 8 <= n; i += 8, p += 24) {
        const uint64_t t0 = pixel[idx[i]], t1 = pixel[idx[i + 1]], t2 = pixel[idx[i + 2]], t3 = pixel[idx[i + 3]];
        const uint64_t t4 = pixel[idx[i + 4]], t5 = pixel[idx[i + 5]], t6 = pixel[idx[i + 6]], t7 = pixel[idx[i + 7]];
        const uint64_t q0 = t0 | t1 << 24 | t2 << 48;
        const uint64_t q1 = t2 >> 16 | t3 << 8 | t4 << 32 | t5 << 56;
        const uint64_t q2 = t5 >> 8 | t6 << 16 | t7 << 40;
        memcpy(p, &q0, 8);
        memcpy(p + 8, &q1, 8);
        memcpy(p + 16, &q2, 8);
    }
#else
    for (; i + 4 <= n; i += 4, p += 12) {
        const uint32_t t0 = pixel[idx[i]], t1 = pixel[idx[i + 1]], t2 = pixel[idx[i + 2]], t3 = pixel[idx[i + 3]];
        const uint32_t w0 = t0 | t1 << 24;
        const uint32_t w1 = t1 >> 8 | t2 << 16;
        const uint32_t w2 = t2 >> 16 | t3 << 8;
        memcpy(p, &w0, 4);
        memcpy(p + 4, &w1, 4);
        memcpy(p + 8, &w2, 4);
    }
#endif
    for (; i < n; ++i, p += 3) memcpy(p, &pixel[idx[i]], 3);  // bytes b, g, r of a little-endian word
}

// The run in plain integer code, eight pixels to a step: their indices, their
// pixels from the folded table, assembled into whole words as WritePixels
// does (stores of 3 bytes, or overlapping ones of 4, are slower). Flagged
// pixels are rare (a few in 65 536), so the flag words are built only for
// runs that have one.
bool PaintRunScalar(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r, const FoldedPalette& t,
                    RunScratch* w, uint8_t* p) {
    // Copies: the stores to p could otherwise alias them.
    const uint16_t fracAdd = static_cast<uint16_t>(r.fracAdd);
    const int16_t carryAbove = r.carryAbove;
    const int16_t nearBelow = r.nearBelow;
    const uint32_t rowWhole = r.rowWhole;
    const uint32_t* pixel = t.pixel;
    const auto flagged = [&](int32_t i) {
        return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(frac[i]) + fracAdd)) < nearBelow;
    };
    const auto at = [&](int32_t i) -> uint32_t {
        return pixel[(whole[i] + rowWhole + (frac[i] > carryAbove ? 1u : 0u)) & 255u];
    };
    uint32_t any = 0;
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint8_t* q = p + 3 * static_cast<size_t>(i);
        const uint32_t t0 = at(i), t1 = at(i + 1), t2 = at(i + 2), t3 = at(i + 3);
        const uint32_t t4 = at(i + 4), t5 = at(i + 5), t6 = at(i + 6), t7 = at(i + 7);
        const uint32_t w0 = t0 | t1 << 24, w1 = t1 >> 8 | t2 << 16, w2 = t2 >> 16 | t3 << 8;
        const uint32_t w3 = t4 | t5 << 24, w4 = t5 >> 8 | t6 << 16, w5 = t6 >> 16 | t7 << 8;
        memcpy(q, &w0, 4);
        memcpy(q + 4, &w1, 4);
        memcpy(q + 8, &w2, 4);
        memcpy(q + 12, &w3, 4);
        memcpy(q + 16, &w4, 4);
        memcpy(q + 20, &w5, 4);
        for (int32_t j = 0; j < 8; ++j) any |= flagged(i + j) ? 1u : 0u;
    }
    for (; i < n; ++i) {
        const uint32_t px = at(i);
        memcpy(p + 3 * static_cast<size_t>(i), &px, 3);  // bytes b, g, r of a little-endian word
        any |= flagged(i) ? 1u : 0u;
    }
    if (any == 0) return false;
    for (int32_t i0 = 0; i0 < n; i0 += kGroup) {
        uint32_t m = 0;
        for (int32_t j = 0; j < kGroup && i0 + j < n; ++j) m |= (flagged(i0 + j) ? 1u : 0u) << j;
        w->masks[i0 / kGroup] = static_cast<uint16_t>(m);
    }
    return true;
}

}  // namespace tcap
