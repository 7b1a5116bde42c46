// tcap: the video manager, every host entry point, and the frame painters.
#include "lin_tcap.h"

#include <float.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <emmintrin.h>
#define TCAP_SSE2_PATH 1
#else
#define TCAP_SSE2_PATH 0
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define TCAP_AVX512_PATH 1
#else
#define TCAP_AVX512_PATH 0
#endif

#include "gettickcount.h"

namespace {

// All state of an open plug-in. Plain on purpose: no base class, no virtual
// operations, nothing that needs the C++ runtime.
class LinuxVideoMgr {
public:
    LinuxVideoMgr() = default;
    ~LinuxVideoMgr() { CloseDevice(); }
    LinuxVideoMgr(const LinuxVideoMgr&) = delete;
    LinuxVideoMgr& operator=(const LinuxVideoMgr&) = delete;

    // Stand-ins for a capture device this plug-in does not have.
    void OpenDevice() {}
    void CloseDevice() {}

    int32_t lTimeOffset = 0;  // ms added to every packet timestamp
    uint32_t nInput = 0;      // selected input, as the host gave it
    int32_t nHeight = 0;      // pixels; written only by Set_Video_Format
    int32_t nWidth = 0;
    VideoFormatInfo formatInfo = {0, 0, 0, 0};  // what Get_Video_Format hands out
    tcap::SineTable sines = {};                   // filled by the first plasma frame
};

// Non-null exactly while the plug-in is open.
LinuxVideoMgr* g_pVideoMgr = nullptr;

// Indexed by input number; keep in step with Query_Num_Inputs() and kSolidColours.
const char* const kInputNames[] = {"Psychadelic", "Red", "Green", "Blue"};
constexpr uint32_t kNumInputs = sizeof(kInputNames) / sizeof(kInputNames[0]);

// Inputs 1 to 3, as blue, green, red bytes.
const uint8_t kSolidColours[kNumInputs - 1][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}};

constexpr int32_t kFormatCode = 2;  // packed 24-bit blue, green, red
constexpr int32_t kBitDepth = 24;
constexpr uint32_t kTimestampLead = 15;  // ms added to every timestamp

// Whether a source may be opened. Reads neither argument: every source can.
int32_t Validate(const char* /*pszSource*/, int32_t /*nReserved*/) { return 1; }

}  // namespace

namespace tcap {

int64_t FrameBytes(int32_t nWidth, int32_t nHeight) {
    if (nWidth < 0 || nHeight < 0) return -1;
    const int64_t nPixels = int64_t{nWidth} * nHeight;  // below 2^62: no overflow
    return nPixels > INT32_MAX / 3 ? -1 : nPixels * 3;
}

void FillSolid(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r) {
    // One block of 64 pixels (192 bytes, a whole number of pixels and of
    // cache lines) copied repeatedly; the compiler turns the fixed-size copy
    // into wide stores.
    constexpr size_t kBlock = 192;
    uint8_t block[kBlock];
    for (size_t i = 0; i < kBlock; i += 3) {
        block[i] = b;
        block[i + 1] = g;
        block[i + 2] = r;
    }
    const size_t n = nBytes > 0 ? static_cast<size_t>(nBytes) / 3 * 3 : 0;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) memcpy(pData + i, block, kBlock);
    memcpy(pData + i, block, n - i);
}

void BuildPalettes(uint8_t blue[256], uint8_t green[256], uint8_t red[256]) {
    const double kPi = 3.141592653589793;
    const double kHalfPi = 1.5707963267948966;
    for (int i = 0; i < 256; ++i) {
        // Sums above 255 wrap, as a byte does: green starts at 259 -> 3.
        blue[i] = static_cast<uint8_t>(static_cast<int>(128 * fabs(cos(kPi * i * 0.00390625))) + 127);
        green[i] = static_cast<uint8_t>(static_cast<int>(196 * fabs(sin(kPi * i * 0.001953125 + kHalfPi))) + 63);
        red[i] = static_cast<uint8_t>(static_cast<int>(128 * fabs(sin(kPi * i * 0.0078125))) + 127);
    }
}

namespace {

// Truncates toward zero, then keeps the low 8 bits: T(-1.2) = 255,
// T(-0.7) = 0, T(258.5) = 2. |v| stays far below 2^63 for every frame.
inline uint8_t TruncByte(long double v) { return static_cast<uint8_t>(static_cast<int64_t>(v)); }

// Columns whose waves are computed at once; wider frames are painted in
// strips of this many columns, so any width works with a fixed table.
constexpr int32_t kColumnStrip = 1024;

}  // namespace

// The straightforward painter: every sum in extended precision, each column
// wave rounded to a double when stored. It defines the frames; the fast
// painter below matches it byte for byte and is tested against it. Aligned
// to a cache line so that its timing does not hang on where the linker puts
// it: at some placements its truncation loop ran 30 times slower here.
__attribute__((aligned(64))) void PaintPlasmaReference(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1) {
    if (nWidth <= 0 || nHeight <= 0) return;
    uint8_t blue[256], green[256], red[256];
    BuildPalettes(blue, green, red);

    const long double ld = d;
    const long double lt = t1;
    // 2d is formed as a 32-bit value before it is added: d = 2^30 gives -2^31.
    const long double ld2 = static_cast<int32_t>(static_cast<uint32_t>(d) * 2u);
    const long double columnAmp = 150.0L * cosl(ld / 23.0L);
    const long double columnSwell = sinl(lt / 71000.0L);
    const long double rowAmp = 150.0L * sinl(ld / 10.0L);
    const long double rowSwell = sinl(lt / 60000.0L);

    double columnWave[kColumnStrip];
    for (int32_t x0 = 0; x0 < nWidth; x0 += kColumnStrip) {
        const int32_t n = nWidth - x0 < kColumnStrip ? nWidth - x0 : kColumnStrip;
        for (int32_t i = 0; i < n; ++i) {
            const long double x = x0 + i;
            columnWave[i] = static_cast<double>(columnAmp * sinl(x / 20.0L) * columnSwell * columnSwell);
        }
        for (int32_t y = 0; y < nHeight; ++y) {
            const long double rowWave = rowAmp * sinl(y / 20.0L) * rowSwell * rowSwell;
            const long double rowBase = y + rowWave;
            uint8_t* p = pData + (static_cast<size_t>(y) * static_cast<size_t>(nWidth) + static_cast<size_t>(x0)) * 3;
            for (int32_t i = 0; i < n; ++i, p += 3) {
                const long double s = (static_cast<long double>(x0 + i) + columnWave[i]) + rowBase;
                p[0] = blue[TruncByte(s)];
                p[1] = green[TruncByte(s + ld)];
                p[2] = red[TruncByte(s + ld2)];
            }
        }
    }
}


// ---- The fast painter --------------------------------------------------------
//
// Same frames as PaintPlasmaReference, at a small fraction of its cost. The
// waves are computed exactly as there (same expressions, same precision), but
// the per-pixel work is integer: a fixed-point sum, a shift and one lookup in
// a table that folds the three palettes together.
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
// 2. The other two sums. |s + d| and |s + 2d| are below 2^32, where one
//    extended ulp is 2^-32, far below that distance; so the rounded s + d
//    still lies strictly between n + d and n + d + 1, and truncation gives
//    n + d when n + d >= 0 and n + d + 1 when it is negative (toward zero, not
//    down). The same for 2d (formed as a 32-bit value, as the reference does),
//    and for s itself with d = 0.
// 3. Exact sums. When every U and Rf came out without truncating (the waves
//    vanish, as at T1 = 0, or happen to be multiples of 2^-24), u + R is a
//    multiple of 2^-24 below 2^30 in size, which extended precision holds
//    exactly, and so are s + d and s + 2d. Then S is exact, no guard band is
//    needed, and whole-number sums truncate to themselves.
// 4. Folding. Where all of s, s + d and s + 2d have a known sign over a run
//    of pixels, the three bytes depend only on n mod 256: one table of 256
//    pixels built for the offsets d + [s + d < 0] and 2d + [s + 2d < 0] paints
//    the run (for exact sums, the offsets apply only where the sums are not
//    whole, so there folding is used only while every sum is non-negative, or
//    every sum is whole). The low 32 bits of S hold n mod 256 in their top
//    byte and f below it, so the run needs 32-bit additions only, four to a
//    vector with SSE2; with AVX-512 the table lookups themselves are byte
//    permutes over three 256-byte planes, 64 pixels at a time. Every path
//    computes the same indices and flags the same pixels.
// 5. Signs. s >= 0 is needed for T(s) = n and is proven per row: the first
//    columns keep suffix minima of u, and past kLowColumns columns
//    u >= x - 150 > 150 >= -R. Bounds of s over the run decide the signs of
//    s + d and s + 2d. Pixels whose sum may be negative, and runs where
//    s + d or s + 2d change sign, are painted per pixel from S with the signs
//    worked out one by one (step 2 for each of the three sums). The strip
//    keeps only the low 32 bits of U; the rest follows from an approximate u.
// 6. Everything else, where f falls within the guard band of a whole
//    number, is painted with the reference's own extended arithmetic. That
//    is about 4 pixels in a million on a frame with waves; only frames where
//    the waves are non-zero but far below 2^-24 (a tick count within a few
//    milliseconds of 0) fall back for most pixels and paint at the speed of
//    the reference.
//
// This relies on the floating-point environment the reference itself
// assumes: extended precision for long double, rounding to nearest (any
// rounding mode keeps the one-ulp bounds above; a lowered x87 precision
// would not).

namespace {

constexpr int kFracBits = 24;
constexpr uint32_t kFracOne = uint32_t{1} << kFracBits;
constexpr uint32_t kFracMask = kFracOne - 1;
constexpr long double kFixedScale = 16777216.0L;  // 2^kFracBits
// Fractions this close to a whole number (in units of 2^-24) are left to the
// extended arithmetic when the fixed-point sums are not exact.
constexpr uint32_t kGuard = 32;
// Slack added to the double-precision bounds of u and s (their own rounding
// is below 2^-22 for magnitudes below 2^31).
constexpr double kBoundSlack = 1.0 / 1024;
// Columns set up at once: a 2048-pixel-wide frame is one strip.
constexpr int32_t kFastStrip = 2048;
constexpr int32_t kGroup = 16;        // pixels per index group (one vector of bytes)
// Past this column every sum is positive: u >= x - 150 and R >= -150.
constexpr int32_t kLowColumns = 320;

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

// One strip of columns: sines, fixed-point u and bounds of u. The sine of
// x / 20 is also the sine row x needs, so rows within the strip's range of
// columns take theirs from here: one sinl per column or row, not both.
struct ColumnStrip {
    int32_t x0;
    int32_t n;
    int32_t nLow;      // leading columns with suffix minima
    bool exact;        // every U is u * 2^24 exactly
    bool integral;     // and every u is a whole number
    double uMin;       // bounds of u over the strip, widened by kBoundSlack
    double uMax;
    double waveScale;  // about columnWave[x] / sine[x]
    double lowSuffixMin[kLowColumns];  // min of u over [i, nLow), widened
    int64_t lowFixed[kLowColumns];     // U of the leading columns, where sums may be negative
    long double sine[kFastStrip];      // sinl(x / 20)
    uint32_t low[kFastStrip + kGroup]; // U mod 2^32
};

struct RowSum {
    long double base;  // y + rowWave, as the reference forms it
    int64_t fixed;     // trunc(base * 2^24)
    double approx;     // base, rounded
    bool exact;
    bool integral;
};

// Three palettes folded for one pair of offsets: pixel k is blue[k],
// green[k + gOff], red[k + rOff] (mod 256) in bytes 0, 1, 2.
struct FoldedPalette {
    bool valid;
    uint32_t gOff;
    uint32_t rOff;
    uint32_t pixel[256];
    alignas(64) uint8_t planes[3][256];  // the same as three byte tables: blue, green, red
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
    for (int32_t i = n; i < n + kGroup; ++i) c->low[i] = 0;
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

// Palette indices of a run: idx[i] = top byte of low[i] + bias, and bit
// i % 16 of masks[i / 16] set where the 24 bits below it are under `window`.
// Whole groups of 16: reads up to 15 values past n.
// Returns whether any bit is set.
bool FoldIndicesScalar(const uint32_t* low, int32_t n, uint32_t bias, uint32_t window, uint8_t* idx,
                       uint16_t* masks) {
    uint32_t any = 0;
    for (int32_t g = 0; g * kGroup < n; ++g) {
        uint32_t m = 0;
        for (int32_t j = 0; j < kGroup; ++j) {
            const uint32_t v = low[g * kGroup + j] + bias;
            idx[g * kGroup + j] = static_cast<uint8_t>(v >> kFracBits);
            m |= static_cast<uint32_t>((v & kFracMask) < window) << j;
        }
        masks[g] = static_cast<uint16_t>(m);
        any |= m;
    }
    return any != 0;
}

#if TCAP_SSE2_PATH
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
#endif

#if TCAP_AVX512_PATH
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

// What FoldIndices and WritePixels do together, 64 pixels at a time: the
// palette bytes come from byte permutes over the three 256-byte planes, so
// no index leaves the vector registers. Partial groups use masked loads and
// stores, so nothing past the run is read from low[] beyond its padding or
// written at all.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) bool PaintRunAvx512(
    const uint32_t* low, int32_t n, uint32_t bias, uint32_t window, const uint8_t (*planes)[256], uint8_t* p,
    uint16_t* masks) {
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
#endif

// p[0 .. 3n) = the pixels pixel[idx[0]], ..., pixel[idx[n - 1]], three bytes
// each; whole words are assembled from several pixels so that each store
// writes only bytes of this run.
inline void WritePixels(const uint32_t* pixel, const uint8_t* idx, int32_t n, uint8_t* p) {
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

// Working space of one run: palette indices and near-whole flags.
struct RunScratch {
    uint8_t idx[kFastStrip + kGroup];
    uint16_t masks[(kFastStrip + kGroup) / kGroup];
};

// Columns [i0, i1) of one row from one folded table; with `checked`, pixels
// near a whole number are repainted with the reference's arithmetic.
void PaintFoldedRun(PlasmaPath path, const PlasmaFrame& f, const ColumnStrip& c, const RowSum& r, int32_t i0,
                    int32_t i1, bool checked, const FoldedPalette& t, RunScratch* w, uint8_t* pRow) {
    uint8_t* idx = w->idx;
    uint16_t* masks = w->masks;
    const int32_t n = i1 - i0;
    const uint32_t bias = static_cast<uint32_t>(static_cast<uint64_t>(r.fixed)) + (checked ? kGuard : 0);
    const uint32_t window = checked ? 2 * kGuard : 0;
    uint8_t* p = pRow + 3 * static_cast<size_t>(i0);
    bool near = false;  // whether any pixel needs the exact arithmetic
    switch (path) {
#if TCAP_AVX512_PATH
        case PlasmaPath::kAvx512:
            near = PaintRunAvx512(c.low + i0, n, bias, window, t.planes, p, masks);
            break;
#endif
#if TCAP_SSE2_PATH
        case PlasmaPath::kSse2:
            near = FoldIndicesSse2(c.low + i0, n, bias, window, idx, masks);
            WritePixels(t.pixel, idx, n, p);
            break;
#endif
        default:
            near = FoldIndicesScalar(c.low + i0, n, bias, window, idx, masks);
            WritePixels(t.pixel, idx, n, p);
            break;
    }
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
void PaintStripRow(PlasmaPath path, const PlasmaFrame& f, const ColumnStrip& c, const RowSum& r, FoldedPalette* t,
                   RunScratch* w, uint8_t* pRow) {
    const uint32_t ud = static_cast<uint32_t>(f.d);
    const uint32_t ud2 = static_cast<uint32_t>(f.d2);
    if (c.exact && c.integral && r.exact && r.integral) {
        // Whole-number sums truncate to themselves whatever their sign.
        UseFolded(f, ud, ud2, t);
        PaintFoldedRun(path, f, c, r, 0, c.n, false, *t, w, pRow);
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
    if (c.exact && r.exact && gSign > 0 && rSign > 0) {
        UseFolded(f, ud, ud2, t);
        PaintFoldedRun(path, f, c, r, p, c.n, false, *t, w, pRow);
        return;
    }
    UseFolded(f, ud + (gSign < 0), ud2 + (rSign < 0), t);
    PaintFoldedRun(path, f, c, r, p, c.n, true, *t, w, pRow);
}

void PaintPlasmaFast(PlasmaPath path, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                     const SineTable* pSines) {
    if (nWidth <= 0 || nHeight <= 0) return;
    PlasmaFrame f{};
    SetUpFrame(d, t1, &f);
    // Left uninitialised on purpose, being some 40 KB: SetUpStrip writes
    // every entry of a strip's tables before they are read.
    ColumnStrip c;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    FoldedPalette t{};
    RunScratch w{};
    for (int32_t x0 = 0; x0 < nWidth; x0 += kFastStrip) {
        const int32_t n = nWidth - x0 < kFastStrip ? nWidth - x0 : kFastStrip;
        SetUpStrip(f, pSines, x0, n, &c);
        for (int32_t y = 0; y < nHeight; ++y) {
            RowSum r{};
            SetUpRow(f, pSines, c, y, &r);
            uint8_t* pRow = pData + (static_cast<size_t>(y) * static_cast<size_t>(nWidth) + static_cast<size_t>(x0)) * 3;
            PaintStripRow(path, f, c, r, &t, &w, pRow);
        }
    }
}

// 0 until the first plasma frame asks; then the PlasmaPath this CPU takes.
// Decided on first use: loading the library runs none of its code.
int32_t g_nPlasmaPath = 0;

// AVX-512 F, BW and VBMI, with the vector state enabled by the kernel.
bool CpuHasAvx512Vbmi() {
#if TCAP_AVX512_PATH
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    if ((ebx & bit_AVX512F) == 0 || (ebx & bit_AVX512BW) == 0 || (ecx & bit_AVX512VBMI) == 0) return false;
    unsigned int xcr0Low = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    return (xcr0Low & 0xe6u) == 0xe6u;  // SSE, AVX, opmask and both halves of the upper registers
#else
    return false;
#endif
}

bool CpuHasSse2() {
#if defined(__SSE2__)
    return true;  // part of the baseline this file is compiled for (x86-64)
#elif TCAP_SSE2_PATH
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;  // no CPUID: older than any SSE2 CPU
    return (edx & bit_SSE2) != 0;
#else
    return false;
#endif
}

}  // namespace

PlasmaPath ChosenPlasmaPath() {
    if (g_nPlasmaPath == 0) {
        const PlasmaPath path = CpuHasAvx512Vbmi() ? PlasmaPath::kAvx512
                                : CpuHasSse2()     ? PlasmaPath::kSse2
                                                   : PlasmaPath::kScalar;
        g_nPlasmaPath = static_cast<int32_t>(path);
    }
    return static_cast<PlasmaPath>(g_nPlasmaPath);
}

bool PlasmaPathRuns(PlasmaPath path) {
    return path == PlasmaPath::kScalar || (path == PlasmaPath::kSse2 && CpuHasSse2()) ||
           (path == PlasmaPath::kAvx512 && CpuHasAvx512Vbmi());
}

void FillSineTable(SineTable* pSines, int32_t nUpTo) {
    const int32_t n = nUpTo < kSineTableSize ? nUpTo : kSineTableSize;
    for (int32_t k = pSines->n; k < n; ++k) pSines->v[k] = sinl(k / 20.0L);  // as the reference computes it
    if (n > pSines->n) pSines->n = n;
}

void PaintPlasmaOn(PlasmaPath path, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                   const SineTable* pSines) {
    if (!PlasmaPathRuns(path)) return;
    PaintPlasmaFast(path, pData, nWidth, nHeight, d, t1, pSines);
}

void PaintPlasma(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1, const SineTable* pSines) {
    PaintPlasmaFast(ChosenPlasmaPath(), pData, nWidth, nHeight, d, t1, pSines);
}

}  // namespace tcap

// ---- Lifecycle and format -------------------------------------------------

int32_t Open_Plugin(void) {
    if (g_pVideoMgr) return 0;  // keep the open manager and its settings
    void* pMem = malloc(sizeof(LinuxVideoMgr));
    if (!pMem) return 2;
    g_pVideoMgr = new (pMem) LinuxVideoMgr();
    return 0;
}

void Close_Plugin(void) {
    if (!g_pVideoMgr) return;
    g_pVideoMgr->~LinuxVideoMgr();
    free(g_pVideoMgr);
    g_pVideoMgr = nullptr;
}

int32_t Open_Source(void* /*pReserved*/, int32_t nInput) {
    if (!g_pVideoMgr) return 1;
    g_pVideoMgr->nInput = static_cast<uint32_t>(nInput);  // no range test: see Read_Packet
    return 0;
}

int32_t Set_Video_Format(const VideoFormatInfo* pInfo) {
    if (!g_pVideoMgr || !pInfo) return 0;
    if (tcap::FrameBytes(pInfo->nWidth, pInfo->nHeight) < 0) return 0;  // keeps the previous size
    g_pVideoMgr->nWidth = pInfo->nWidth;
    g_pVideoMgr->nHeight = pInfo->nHeight;
    return 1;
}

VideoFormatInfo* Get_Video_Format(void) {
    if (!g_pVideoMgr) return nullptr;
    VideoFormatInfo& info = g_pVideoMgr->formatInfo;
    info.nFormatCode = kFormatCode;
    info.nWidth = g_pVideoMgr->nWidth;
    info.nHeight = g_pVideoMgr->nHeight;
    info.nBitDepth = kBitDepth;
    return &info;
}

// ---- Identity and input queries ------------------------------------------

const char* Get_Vendor(void) { return "Quorvane, Inc."; }
const char* Get_Description(void) { return "Video Test Capture Plugin"; }
int32_t Get_Media_Type(void) { return 2; }
int32_t Get_Media_Source(void) { return 2; }
int32_t Get_Version(void) { return 0x10001000; }
int32_t Query_Num_Inputs(void) { return static_cast<int32_t>(kNumInputs); }

const char* Input_Description(int32_t nInput) {
    const uint32_t n = static_cast<uint32_t>(nInput);  // negative indices name no input
    return n < kNumInputs ? kInputNames[n] : nullptr;
}

int32_t Query_Device_Handles(void) { return 0; }
int32_t Validate_Source(const char* pszSource) { return Validate(pszSource, 0); }

// ---- Streaming control and time ------------------------------------------

int32_t Start_Source(void) {
    if (!g_pVideoMgr) return 1;
    // The offset becomes +S, not -S: timestamps then read T + S + 15.
    g_pVideoMgr->lTimeOffset = static_cast<int32_t>(GetTickCount());
    return 0;
}

int32_t Stop_Source(void) { return 0; }
int32_t Pause_Source(void) { return 0; }
int32_t Resume_Source(void) { return 0; }
int32_t Set_Video_Frame_Rate(void) { return 0; }

void Set_Current_Time(int32_t nTime) {
    if (!g_pVideoMgr) return;
    g_pVideoMgr->lTimeOffset = static_cast<int32_t>(static_cast<uint32_t>(nTime) - GetTickCount());
}

// ---- Frames ----------------------------------------------------------------

int32_t Read_Packet(VideoPacket* pPacket) {
    // Frames painted since the library was loaded; the first one is 1.
    // Closing the plug-in does not reset it.
    static int32_t d = 0;

    LinuxVideoMgr* pMgr = g_pVideoMgr;
    if (!pMgr || !pPacket || !pPacket->pData) return tcap::kReadPacketRefused;

    d = static_cast<int32_t>(static_cast<uint32_t>(d) + 1u);  // wraps like two's complement
    const int32_t t1 = static_cast<int32_t>(GetTickCount());

    // Set_Video_Format admits only sizes whose byte count fits in 31 bits.
    // The product is formed wide: a 0 x 2^31-1 frame is 0 bytes, but its
    // height times 3 alone would overflow.
    const int32_t nBytes = static_cast<int32_t>(tcap::FrameBytes(pMgr->nWidth, pMgr->nHeight));
    if (pMgr->nInput == 0) {
        tcap::FillSineTable(&pMgr->sines, pMgr->nWidth > pMgr->nHeight ? pMgr->nWidth : pMgr->nHeight);
        tcap::PaintPlasma(pPacket->pData, pMgr->nWidth, pMgr->nHeight, d, t1, &pMgr->sines);
    } else if (pMgr->nInput < kNumInputs) {
        const uint8_t* c = kSolidColours[pMgr->nInput - 1];
        tcap::FillSolid(pPacket->pData, nBytes, c[0], c[1], c[2]);
    }  // any other input paints nothing: the buffer keeps its contents

    pPacket->ulHeadWord0 = 1;
    pPacket->ulHeadWord1 = 1;
    // Stamped after painting, with a second reading of the clock.
    pPacket->ulTimestamp = GetTickCount() + static_cast<uint32_t>(pMgr->lTimeOffset) + kTimestampLead;
    pPacket->ulDataSize = static_cast<uint32_t>(nBytes);
    return 0;
}
