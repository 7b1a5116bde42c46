// The fast plasma painter's inner loops, one per instruction set
// (plasma_fast.cpp, plasma_sse2.cpp, plasma_avx512.cpp), and what they share
// with the portable part that drives them. Private to those files.
//
// The wide forms are compiled with per-function target attributes, not with
// per-file flags, so nothing here, and no inline function of the portable
// part, is ever compiled for an instruction set the CPU may lack.
#ifndef TCAP_PLASMA_KERNELS_H
#define TCAP_PLASMA_KERNELS_H

#include <stdint.h>

#include "tcap_internal.h"

namespace tcap {

constexpr int kFracBits = 24;
constexpr uint32_t kFracOne = uint32_t{1} << kFracBits;
constexpr uint32_t kFracMask = kFracOne - 1;
// Columns set up at once: a 2048-pixel-wide frame is one strip.
constexpr int32_t kFastStrip = 2048;
constexpr int32_t kGroup = 16;  // pixels per index group (one vector of bytes)

// Three palettes folded for one pair of offsets: pixel k is blue[k],
// green[k + gOff], red[k + rOff] (mod 256) in bytes 0, 1, 2.
struct FoldedPalette {
    bool valid;
    uint32_t gOff;
    uint32_t rOff;
    uint32_t pixel[256];
    alignas(64) uint8_t planes[3][256];  // the same as three byte tables: blue, green, red
};

// Working space of one run: palette indices and near-whole flags.
struct RunScratch {
    uint8_t idx[kFastStrip + kGroup];
    uint16_t masks[(kFastStrip + kGroup) / kGroup];
};

// One run of n pixels of a row from one folded palette. Pixel i takes the
// palette entry in the top byte of low[i] + bias and goes to p[3i .. 3i + 3).
// Bit i % 16 of w->masks[i / 16] is set where the 24 bits below that byte are
// under `window`: those pixels are repainted afterwards with the exact
// arithmetic. Reads low[] in whole groups of 16 (up to 15 values past n,
// which the strip pads); writes nothing past p[3n). Answers whether any mask
// bit is set.
using PaintRunFn = bool (*)(const uint32_t* low, int32_t n, uint32_t bias, uint32_t window,
                            const FoldedPalette& t, RunScratch* w, uint8_t* p);

bool PaintRunScalar(const uint32_t* low, int32_t n, uint32_t bias, uint32_t window, const FoldedPalette& t,
                    RunScratch* w, uint8_t* p);
// Need a CPU that has the instruction set; fast_paths.cpp checks.
bool PaintRunSse2(const uint32_t* low, int32_t n, uint32_t bias, uint32_t window, const FoldedPalette& t,
                  RunScratch* w, uint8_t* p);
bool PaintRunAvx512(const uint32_t* low, int32_t n, uint32_t bias, uint32_t window, const FoldedPalette& t,
                    RunScratch* w, uint8_t* p);

// p[0 .. 3n) = t.pixel[idx[0]], ..., t.pixel[idx[n - 1]], three bytes each.
void WritePixels(const uint32_t* pixel, const uint8_t* idx, int32_t n, uint8_t* p);

// The whole frame with the given inner loop (plasma_fast.cpp).
void PaintPlasmaWith(PaintRunFn paintRun, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                     const SineTable* pSines);

}  // namespace tcap

#endif  // TCAP_PLASMA_KERNELS_H
