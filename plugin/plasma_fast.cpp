// The fast plasma painter: the portable part. The inner loop over a run of
// pixels comes in one form per instruction set (fast_scalar.cpp,
// fast_sse2.cpp, fast_avx2.cpp, fast_avx512.cpp); fast_paths.cpp picks one.
//
// Same frames as PaintPlasmaReference, at a small fraction of its cost. The
// waves are computed exactly as there (same expressions, same precision), but
// the per-pixel work is integer: a fixed-point sum and one lookup in a table
// that folds the three palettes together.
//
// Why the result is the same, byte for byte. Write u = x + columnWave[x]
// (extended, as the reference forms it) and R = y + rowWave (the row base).
// The reference paints T(s), T(s + d) and T(s + 2d), where s = u + R rounded
// to extended precision, and T truncates toward zero and keeps the low byte.
//
// 1. Fixed point. U = trunc(u * 2^24) per column and Rf = trunc(R * 2^24) per
//    row, as 64-bit integers (|u|, |R| < 2^30 for any frame that fits in a
//    31-bit data size, so they fit). Each truncation is off by less than one
//    unit of 2^-24; rounding u + R to s is off by at most one extended ulp,
//    2^-34 for |s| < 2^30. So |s * 2^24 - (U + Rf)| < 2.01, and with
//    S = U + Rf = n * 2^24 + f (0 <= f < 2^24):
//    if kGuard <= f <= 2^24 - kGuard, then n < s < n + 1 and s stays more
//    than (kGuard - 3) * 2^-24 away from both whole numbers.
// 2. The inner loops use 8.16: U16 = floor(U / 2^8) and R16 = floor(Rf / 2^8)
//    (the top 24 of the low 32 bits: a whole byte and a 16-bit fraction).
//    Each is within (-1.004, 0.004) units of 2^-16 of u * 2^16 and R * 2^16,
//    so |s * 2^16 - (U16 + R16)| < 2.01 as well, now in units of 2^-16, and
//    with S16 = U16 + R16 = n * 2^16 + f: if 3 <= f <= 2^16 - 3, then
//    n < s < n + 1 and s stays more than 0.99 * 2^-16 away from both whole
//    numbers. The fraction is one 16-bit addition per pixel, the whole part
//    a byte addition plus the carry out of it; pixels with f within
//    kGuard16 = 3 of a whole number are flagged. (The guard is folded into
//    the row's fraction, so a flag is one compare: RowBias.)
// 3. The other two sums. |s + d| and |s + 2d| are below 2^32, where one
//    extended ulp is 2^-32, far below those distances; so the rounded s + d
//    still lies strictly between n + d and n + d + 1, and truncation gives
//    n + d when n + d >= 0 and n + d + 1 when it is negative (toward zero, not
//    down). The same for 2d (formed as a 32-bit value, as the reference does),
//    and for s itself with d = 0.
// 4. Whole sums. When every u and R is a whole number (the waves vanish, as
//    at T1 = 0), the fractions are all 0, s, s + d and s + 2d are whole and
//    exact, whole sums truncate to themselves, and no pixel needs a flag.
//    (Exact sums that are not whole are treated like any other: 8.16 cuts
//    them too.)
// 5. Folding. Where all of s, s + d and s + 2d have a known sign over a run
//    of pixels, the three bytes depend only on n mod 256: one table of 256
//    pixels built for the offsets d + [s + d < 0] and 2d + [s + 2d < 0] paints
//    the run. SSE2 and AVX2 compute 16 and 32 indices to a step and look the
//    pixels up one by one; AVX-512 does the lookups too, as byte permutes
//    over three 256-byte planes, 64 pixels at a time. Every path computes the
//    same indices and flags the same pixels.
// 6. Signs. s >= 0 is needed for T(s) = n and is proven per row: the first
//    columns keep suffix minima of u, and past kLowColumns columns
//    u >= x - 150 > 150 >= -R. Bounds of s over the run decide the signs of
//    s + d and s + 2d. Pixels whose sum may be negative, and runs where
//    s + d or s + 2d change sign, are painted per pixel from the 8.24 S with
//    the signs worked out one by one (step 3 for each of the three sums),
//    with the guard band of step 1. The strip keeps only the low 32 bits of
//    U; the rest follows from an approximate u.
// 7. Everything flagged is painted with the reference's own extended
//    arithmetic: about 1 pixel in 10 000 on a frame with waves. Only frames
//    where the waves are non-zero but far below 2^-16 (a tick count within
//    a few milliseconds of 0) fall back for most pixels and paint at the
//    speed of the reference.
//
// This relies on the floating-point environment the reference itself
// assumes: extended precision for long double, rounding to nearest (any
// rounding mode keeps the one-ulp bounds above; a lowered x87 precision
// would not).

#include <float.h>
#include <math.h>
#include <string.h>

#include "fast_kernels.h"
#include "tcap_internal.h"

namespace tcap {

namespace {

constexpr long double kFixedScale = 16777216.0L;  // 2^kFracBits
// Fractions of the 8.24 sums this close to a whole number (in units of
// 2^-24) are left to the extended arithmetic in the per-pixel runs.
constexpr uint32_t kGuard = 32;
// Slack added to the double-precision bounds of u and s (their own rounding
// is below 2^-22 for magnitudes below 2^31).
constexpr double kBoundSlack = 1.0 / 1024;

// Everything that depends on d and T1 only.
struct PlasmaFrame {
    uint8_t blue[256];
    uint8_t green[256];
    uint8_t red[256];
    int32_t d;
    int32_t d2;  // 2d as a 32-bit value
    long double ld;
    long double ld2;
    long double columnAmp;
    long double columnSwell;
    long double rowAmp;
    long double rowSwell;
};

struct RowSum {
    long double base;  // y + rowWave, as the reference forms it
    int64_t fixed;     // trunc(base * 2^24)
    double approx;     // base, rounded
    bool exact;
    bool integral;
};

inline uint8_t Low8(int64_t v) { return static_cast<uint8_t>(static_cast<uint64_t>(v)); }

// columnWave[x] from its sine, as the reference computes it and rounded to a
// double as the reference's table stores it (the volatile store makes sure of
// the rounding where doubles live in x87 registers).
inline double ColumnWave(const PlasmaFrame& f, long double sine) {
    volatile double wave = static_cast<double>(f.columnAmp * sine * f.columnSwell * f.columnSwell);
    return wave;
}

// trunc(v) toward zero for |v| < 2^62, and whether v was whole. Read from
// the bits of the x87 extended format: the conversion the compiler emits
// reloads the x87 control word twice, which costs tens of nanoseconds here.
inline int64_t TruncWhole(long double v, bool* pWhole) {
#if defined(__i386__) || defined(__x86_64__)
    static_assert(LDBL_MANT_DIG == 64, "x87 extended format");
    uint64_t mantissa = 0;  // explicit leading bit: v = mantissa * 2^(e - 63)
    uint16_t signExp = 0;
    memcpy(&mantissa, &v, 8);
    memcpy(&signExp, reinterpret_cast<const unsigned char*>(&v) + 8, 2);
    const int e = (signExp & 0x7fff) - 16383;
    if (e < 0) {
        *pWhole = mantissa == 0;
        return 0;
    }
    if (e > 62) {  // out of range (never for a frame's sums)
        *pWhole = true;
        return 0;
    }
    const uint64_t magnitude = mantissa >> (63 - e);
    *pWhole = (mantissa << 1 << e) == 0;
    return (signExp & 0x8000) != 0 ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
#else
    const int64_t t = static_cast<int64_t>(v);
    *pWhole = static_cast<long double>(t) == v;
    return t;
#endif
}

// T(v) as TruncByte computes it, without touching the control word.
inline uint8_t TruncByteFast(long double v) {
    bool whole = false;
    return Low8(TruncWhole(v, &whole));
}

// trunc(v * 2^24), and whether nothing was cut off. |v| < 2^31.
inline int64_t ToFixed(long double v, bool* pExact) {
    return TruncWhole(v * kFixedScale, pExact);  // the product is exact: a power of two
}

void SetUpFrame(int32_t d, int32_t t1, PlasmaFrame* f) {
    BuildPalettes(f->blue, f->green, f->red);
    f->d = d;
    f->d2 = static_cast<int32_t>(static_cast<uint32_t>(d) * 2u);
    const long double lt = t1;
    f->ld = d;
    f->ld2 = f->d2;
    f->columnAmp = 150.0L * cosl(f->ld / 23.0L);
    f->columnSwell = sinl(lt / 71000.0L);
    f->rowAmp = 150.0L * sinl(f->ld / 10.0L);
    f->rowSwell = sinl(lt / 60000.0L);
}

// sinl(k / 20), from the table where it has the entry.
inline long double SineOfTwentieth(const SineTable* pSines, int32_t k) {
    return pSines && k < pSines->n ? pSines->v[k] : sinl(k / 20.0L);
}

void SetUpStrip(const PlasmaFrame& f, const SineTable* pSines, int32_t x0, int32_t n, ColumnStrip* c) {
    c->x0 = x0;
    c->n = n;
    c->nLow = kLowColumns - x0 < n ? (kLowColumns - x0 > 0 ? kLowColumns - x0 : 0) : n;
    c->waveScale = static_cast<double>(f.columnAmp * f.columnSwell * f.columnSwell);
    bool exact = true;
    bool integral = true;
    double lo = HUGE_VAL;
    double hi = -HUGE_VAL;
    for (int32_t i = 0; i < n; ++i) {
        c->sine[i] = SineOfTwentieth(pSines, x0 + i);
        const long double u = static_cast<long double>(x0 + i) + ColumnWave(f, c->sine[i]);
        bool uncut = false;
        const int64_t fixed = ToFixed(u, &uncut);
        c->low[i] = static_cast<uint32_t>(static_cast<uint64_t>(fixed));
        exact = exact && uncut;
        integral = integral && uncut && (c->low[i] & kFracMask) == 0;
        const double ud = static_cast<double>(u);
        lo = ud < lo ? ud : lo;
        hi = ud > hi ? ud : hi;
        if (i < c->nLow) {
            c->lowSuffixMin[i] = ud;
            c->lowFixed[i] = fixed;
        }
    }
    for (int32_t i = n; i < n + kPadding; ++i) c->low[i] = 0;
    for (int32_t i = 0; i < n + kPadding; ++i) {
        c->whole[i] = static_cast<uint8_t>(c->low[i] >> 24);
        c->frac[i] = static_cast<int16_t>(static_cast<int32_t>((c->low[i] >> 8) & 0xffffu) - 0x8000);
    }
    c->exact = exact;
    c->integral = integral;
    c->uMin = lo - kBoundSlack;
    c->uMax = hi + kBoundSlack;
    double m = HUGE_VAL;
    for (int32_t i = c->nLow - 1; i >= 0; --i) {
        m = c->lowSuffixMin[i] < m ? c->lowSuffixMin[i] : m;
        c->lowSuffixMin[i] = m - kBoundSlack;
    }
}

void SetUpRow(const PlasmaFrame& f, const SineTable* pSines, const ColumnStrip& c, int32_t y, RowSum* r) {
    const long double sine = y >= c.x0 && y - c.x0 < c.n ? c.sine[y - c.x0] : SineOfTwentieth(pSines, y);
    const long double rowWave = f.rowAmp * sine * f.rowSwell * f.rowSwell;
    r->base = y + rowWave;
    bool uncut = false;
    r->fixed = ToFixed(r->base, &uncut);
    r->exact = uncut;
    r->integral = uncut && (static_cast<uint64_t>(r->fixed) & kFracMask) == 0;
    r->approx = static_cast<double>(r->base);
}

// One pixel with the reference's arithmetic.
inline void PaintExactPixel(const PlasmaFrame& f, const ColumnStrip& c, int32_t i, long double rowBase, uint8_t* p) {
    const long double s = (static_cast<long double>(c.x0 + i) + ColumnWave(f, c.sine[i])) + rowBase;
    p[0] = f.blue[TruncByteFast(s)];
    p[1] = f.green[TruncByteFast(s + f.ld)];
    p[2] = f.red[TruncByteFast(s + f.ld2)];
}

// U of column i: the integer that is low[i] mod 2^32 and lies nearest to an
// approximate u * 2^24 (off by far less than 2^31 units).
inline int64_t WholeFixed(const ColumnStrip& c, int32_t i) {
    const double approx = (static_cast<double>(c.x0 + i) + c.waveScale * static_cast<double>(c.sine[i])) * 16777216.0;
    const int64_t a = static_cast<int64_t>(approx);
    const uint32_t diff = c.low[i] - static_cast<uint32_t>(static_cast<uint64_t>(a));
    return a + (diff < 0x80000000u ? int64_t{diff} : int64_t{diff} - (int64_t{1} << 32));
}

// Columns [i0, i1) of one row of the strip, every sign worked out per pixel.
// pRow is the row's first byte in the strip.
void PaintSignedRun(const PlasmaFrame& f, const ColumnStrip& c, const RowSum& r, int32_t i0, int32_t i1,
                    uint8_t* pRow) {
    const bool exact = c.exact && r.exact;
    for (int32_t i = i0; i < i1; ++i) {
        uint8_t* p = pRow + 3 * static_cast<size_t>(i);
        const int64_t sum = (i < c.nLow ? c.lowFixed[i] : WholeFixed(c, i)) + r.fixed;
        const uint32_t frac = static_cast<uint32_t>(static_cast<uint64_t>(sum)) & kFracMask;
        if (!exact && (frac < kGuard || frac > kFracOne - kGuard)) {
            PaintExactPixel(f, c, i, r.base, p);
            continue;
        }
        const int64_t n = (sum - frac) / kFracOne;  // floor(s); the division is exact
        const bool whole = frac == 0;               // only possible for exact sums
        const int64_t ng = n + f.d;
        const int64_t nr = n + f.d2;
        p[0] = f.blue[Low8(n + (!whole && n < 0))];
        p[1] = f.green[Low8(ng + (!whole && ng < 0))];
        p[2] = f.red[Low8(nr + (!whole && nr < 0))];
    }
}

// Columns [i0, i1) of one row from one folded table; with `checked`, pixels
// near a whole number are repainted with the reference's arithmetic.
void PaintFoldedRun(PaintRunFn paintRun, const PlasmaFrame& f, const ColumnStrip& c, const RowSum& r, int32_t i0,
                    int32_t i1, bool checked, const FoldedPalette& t, RunScratch* w, uint8_t* pRow) {
    const uint16_t* masks = w->masks;
    const int32_t n = i1 - i0;
    // The row's 8.16 value: the top 24 of its low 32 bits in 8.24.
    const RowBias bias = MakeRowBias(static_cast<uint32_t>(static_cast<uint64_t>(r.fixed)) >> 8, checked);
    uint8_t* p = pRow + 3 * static_cast<size_t>(i0);
    // Whether any pixel needs the exact arithmetic.
    const bool near = paintRun(c.whole + i0, c.frac + i0, n, bias, t, w, p);
    if (!near) return;
    for (int32_t g = 0; g * kGroup < n; ++g) {
        for (uint32_t m = masks[g]; m != 0; m &= m - 1) {
            const int32_t i = g * kGroup + __builtin_ctz(m);
            if (i < n) PaintExactPixel(f, c, i0 + i, r.base, p + 3 * static_cast<size_t>(i));
        }
    }
}

// +1 when lo + d >= 0 (every s + d >= 0 for lo <= s < hi), -1 when hi + d <= 0,
// 0 when the sign may change within the run.
inline int SignOver(int64_t lo, int64_t hi, int32_t d) {
    if (lo + d >= 0) return 1;
    if (hi + d <= 0) return -1;
    return 0;
}

void UseFolded(const PlasmaFrame& f, uint32_t gOff, uint32_t rOff, FoldedPalette* t) {
    if (t->valid && t->gOff == gOff && t->rOff == rOff) return;
    for (uint32_t k = 0; k < 256; ++k) {
        t->planes[0][k] = f.blue[k];
        t->planes[1][k] = f.green[(k + gOff) & 255u];
        t->planes[2][k] = f.red[(k + rOff) & 255u];
        t->pixel[k] = uint32_t{f.blue[k]} | uint32_t{f.green[(k + gOff) & 255u]} << 8 |
                      uint32_t{f.red[(k + rOff) & 255u]} << 16;
    }
    t->valid = true;
    t->gOff = gOff;
    t->rOff = rOff;
}

// One row of one strip.
void PaintStripRow(PaintRunFn paintRun, const PlasmaFrame& f, const ColumnStrip& c, const RowSum& r, FoldedPalette* t,
                   RunScratch* w, uint8_t* pRow) {
    const uint32_t ud = static_cast<uint32_t>(f.d);
    const uint32_t ud2 = static_cast<uint32_t>(f.d2);
    if (c.exact && c.integral && r.exact && r.integral) {
        // Whole-number sums truncate to themselves whatever their sign.
        UseFolded(f, ud, ud2, t);
        PaintFoldedRun(paintRun, f, c, r, 0, c.n, false, *t, w, pRow);
        return;
    }
    // From column p on every sum is positive.
    int32_t lo = 0;
    int32_t hi = c.nLow;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (c.lowSuffixMin[mid] + r.approx > kBoundSlack) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    const int32_t p = lo;
    if (p > 0) PaintSignedRun(f, c, r, 0, p, pRow);
    if (p == c.n) return;

    // lower <= s < upper over [p, n).
    const double sMin = c.uMin + r.approx - kBoundSlack;
    const int64_t lower = sMin > 0 ? static_cast<int64_t>(sMin) : 0;
    const int64_t upper = static_cast<int64_t>(c.uMax + r.approx + kBoundSlack) + 1;
    const int gSign = SignOver(lower, upper, f.d);
    const int rSign = SignOver(lower, upper, f.d2);
    if (gSign == 0 || rSign == 0) {
        PaintSignedRun(f, c, r, p, c.n, pRow);
        return;
    }
    UseFolded(f, ud + (gSign < 0), ud2 + (rSign < 0), t);
    PaintFoldedRun(paintRun, f, c, r, p, c.n, true, *t, w, pRow);
}

}  // namespace

RowBias MakeRowBias(uint32_t row816, bool checked) {
    const uint32_t guard = checked ? static_cast<uint32_t>(kGuard16) : 0;
    const uint32_t row = (row816 & 0xffffffu) + guard;
    const uint32_t fracAdd = row & 0xffffu;
    RowBias bias{};
    bias.rowWhole = static_cast<uint8_t>(row >> 16);  // the carry out of fraction + guard included
    bias.fracAdd = static_cast<int16_t>(static_cast<int32_t>(fracAdd) - (fracAdd >= 0x8000u ? 0x10000 : 0));
    bias.carryAbove = static_cast<int16_t>(0x7fff - static_cast<int32_t>(fracAdd));
    bias.nearBelow = static_cast<int16_t>(static_cast<int32_t>(2 * guard) - 0x8000);
    return bias;
}

void PaintPlasmaWith(PaintRunFn paintRun, PlasmaWork* pWork, uint8_t* pData, int32_t nWidth, int32_t nHeight,
                     int32_t d, int32_t t1) {
    if (nWidth <= 0 || nHeight <= 0) return;
    PlasmaFrame f{};  // about 900 bytes: the rest lives in the work area
    SetUpFrame(d, t1, &f);
    const SineTable* pSines = &pWork->sines;
    // SetUpStrip writes every entry of a strip's tables before they are read.
    ColumnStrip& c = pWork->strip;
    FoldedPalette& t = pWork->palette;
    t.valid = false;  // built for the last frame's palettes
    RunScratch& w = pWork->scratch;
    for (int32_t x0 = 0; x0 < nWidth; x0 += kFastStrip) {
        const int32_t n = nWidth - x0 < kFastStrip ? nWidth - x0 : kFastStrip;
        SetUpStrip(f, pSines, x0, n, &c);
        for (int32_t y = 0; y < nHeight; ++y) {
            RowSum r{};
            SetUpRow(f, pSines, c, y, &r);
            uint8_t* pRow = pData + (static_cast<size_t>(y) * static_cast<size_t>(nWidth) + static_cast<size_t>(x0)) * 3;
            PaintStripRow(paintRun, f, c, r, &t, &w, pRow);
        }
    }
}

}  // namespace tcap
