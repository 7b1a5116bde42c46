// The fast painters' inner loops, one set per instruction set (fast_scalar.cpp,
// fast_sse2.cpp, fast_avx2.cpp, fast_avx512.cpp), their working areas, and
// what they share with the portable part that drives them (plasma_fast.cpp,
// fast_paths.cpp). Private to the plug-in.
//
// The wide forms are compiled with per-function target attributes, not with
// per-file flags, so nothing here, and no inline function of the portable
// part, is ever compiled for an instruction set the CPU may lack.
#ifndef TCAP_FAST_KERNELS_H
#define TCAP_FAST_KERNELS_H

#include <stddef.h>
#include <stdint.h>

#include "tcap_internal.h"

namespace tcap {

// Fixed point of the column and row sums: 8.24 for the arithmetic the strip
// sets up, 8.16 (the top 24 bits of the same values) in the inner loops.
constexpr int kFracBits = 24;
constexpr uint32_t kFracOne = uint32_t{1} << kFracBits;
constexpr uint32_t kFracMask = kFracOne - 1;
// Fractions of the 8.16 sums this close to a whole number (in units of
// 2^-16) are repainted with the extended arithmetic; the argument at the top
// of plasma_fast.cpp needs at least 3.
constexpr int32_t kGuard16 = 3;
// Columns set up at once: a 2048-pixel-wide frame is one strip.
constexpr int32_t kFastStrip = 2048;
constexpr int32_t kGroup = 16;   // pixels per flag word
constexpr int32_t kPadding = 64; // column entries past a strip that the loops may read
// Past this column every sum is positive: u >= x - 150 and R >= -150.
constexpr int32_t kLowColumns = 320;

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
    alignas(64) uint8_t idx[kFastStrip + kPadding];
    uint16_t masks[(kFastStrip + kPadding) / kGroup];
};

// One strip of columns: sines, fixed-point u and bounds of u. The sine of
// x / 20 is also the sine row x needs, so rows within the strip's range of
// columns take theirs from here: one sinl per column or row, not both.
struct ColumnStrip {
    int32_t x0;
    int32_t n;
    int32_t nLow;      // leading columns with suffix minima
    bool exact;        // every U is u * 2^24 exactly
    bool integral;     // and every u is a whole number
    double uMin;       // bounds of u over the strip, widened
    double uMax;
    double waveScale;  // about columnWave[x] / sine[x]
    double lowSuffixMin[kLowColumns];  // min of u over [i, nLow), widened
    int64_t lowFixed[kLowColumns];     // U of the leading columns, where sums may be negative
    long double sine[kFastStrip];      // sinl(x / 20)
    uint32_t low[kFastStrip + kPadding];  // U mod 2^32, 8.24
    // The same values in 8.16 for the inner loops: whole[i] = bits 24..31 of
    // low[i], frac[i] = bits 8..23, stored with the top bit flipped (as a
    // signed number, frac - 2^15) so that signed compares order them.
    alignas(64) uint8_t whole[kFastStrip + kPadding];
    alignas(64) int16_t frac[kFastStrip + kPadding];
};

// The fast painter's working areas: some 60 KB, kept in the plug-in's
// manager so that Read_Packet needs little stack.
struct PlasmaWork {
    SineTable sines;  // sinl(k / 20), filled as frames need them
    ColumnStrip strip;
    FoldedPalette palette;
    RunScratch scratch;
};

// What one row adds to every column of a run, in 8.16 with the guard band
// folded in. For the column (whole, frac) with F = frac + 2^15:
//   sum       = F + B where B = the row's fraction + guard, mod 2^16
//   carry     = F + B >= 2^16, that is frac > carryAbove (signed)
//   index     = whole + rowWhole + carry (mod 256)
//   flagged   = sum < 2 * guard, that is (int16)(frac + fracAdd) < nearBelow
// With guard 0 nothing is flagged.
struct RowBias {
    uint8_t rowWhole;    // the row's whole part, plus the carry out of its fraction + guard
    int16_t fracAdd;     // B
    int16_t carryAbove;  // 2^15 - 1 - B
    int16_t nearBelow;   // 2 * guard - 2^15
};

// The bias of a row whose 8.16 value (mod 2^24) is row816, with the guard
// band kGuard16 when `checked`, none otherwise.
RowBias MakeRowBias(uint32_t row816, bool checked);

// One run of n pixels of a row from one folded palette: pixel i is
// t.pixel[index(i)], written to p[3i .. 3i + 3). Bit i % 16 of
// w->masks[i / 16] is set where pixel i is flagged; those are repainted
// afterwards with the exact arithmetic. May read whole[] and frac[] up to
// kPadding entries past n; writes nothing outside p[0 .. 3n). Answers
// whether any pixel is flagged.
using PaintRunFn = bool (*)(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r,
                            const FoldedPalette& t, RunScratch* w, uint8_t* p);

bool PaintRunScalar(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r, const FoldedPalette& t,
                    RunScratch* w, uint8_t* p);
// These need a CPU with the instruction set; fast_paths.cpp checks.
bool PaintRunSse2(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r, const FoldedPalette& t,
                  RunScratch* w, uint8_t* p);
bool PaintRunAvx2(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r, const FoldedPalette& t,
                  RunScratch* w, uint8_t* p);
bool PaintRunAvx512(const uint8_t* whole, const int16_t* frac, int32_t n, const RowBias& r,
                    const FoldedPalette& t, RunScratch* w, uint8_t* p);

// The inner loop of a path (fast_paths.cpp): the caller makes sure the CPU
// runs it.
PaintRunFn PlasmaRunOn(int32_t path);

// p[0 .. 3n) = pixel[idx[0]], ..., pixel[idx[n - 1]], three bytes each
// (fast_scalar.cpp).
void WritePixels(const uint32_t* pixel, const uint8_t* idx, int32_t n, uint8_t* p);

// The whole frame with the given inner loop (plasma_fast.cpp).
void PaintPlasmaWith(PaintRunFn paintRun, PlasmaWork* pWork, uint8_t* pData, int32_t nWidth, int32_t nHeight,
                     int32_t d, int32_t t1);

// What the wide solid fills share. Three vectors of `width` bytes hold a
// whole number of pixels; StartSolidFill writes the pattern (every phase of
// the pixel: 4 * width bytes at `pattern`), fills small frames whole and
// answers false, or writes the bytes before the first width-aligned address
// and answers true with *pFill saying where the aligned stores start and
// which phase of the pattern they continue with. After the vector loop has
// written whole blocks up to `end`, EndSolidFill writes the rest.
struct SolidFill {
    size_t n;              // bytes to fill: whole pixels only
    size_t start;          // offset of the first aligned address
    const uint8_t* phase;  // the pattern as it continues at `start`
};
bool StartSolidFill(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r, size_t width, uint8_t* pattern,
                    SolidFill* pFill);
void EndSolidFill(uint8_t* pData, const SolidFill& fill, size_t end);

// Solid fills: the same bytes as FillSolid, with wide stores.
using FillSolidFn = void (*)(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r);
void FillSolidSse2(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r);
void FillSolidAvx2(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r);
void FillSolidAvx512(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r);

}  // namespace tcap

#endif  // TCAP_FAST_KERNELS_H
