// tcap-host verify. Unlike the rest of tcap-host, which only ever reaches the
// plug-in through dlopen, this links the plug-in's painter (the tcap_core
// objects) into the host: proving a recorded frame right means painting the
// very bytes the plug-in paints for a frame counter and tick count, and the
// painter is internal to the plug-in, not one of its entry points.
//
// How a plasma frame is identified. Pixel (0, 0) always reads blue entry 0
// with green and red at the counter's offsets d and 2d, so it gives the few
// values of d modulo 256 that fit. The frame expected next (the counter after
// the last one found, the tick count one usual step on) is painted first,
// which settles most frames at the cost of one painting. Otherwise: row 0
// holds the column wave alone, s = x + A sin(x / 20) with
// A = 150 cos(d / 23) sin^2(T1 / 71000), and column 0 the row wave alone,
// s = y + B sin(y / 20) with B = 150 sin(d / 10) sin^2(T1 / 60000); a scan
// over A and B finds the intervals of both amplitudes that reproduce those
// two lines. For each counter d that fits, nearest the expected one first,
// the two intervals turn into the tick counts that give such amplitudes (two
// ranges per period of each sine, intersected). Within a range, the pixels
// that differ from a painting say which way and how far to move the tick
// count; a scan of tick counts around settles it, on a narrow strip of the
// frame before a whole painting. A frame painted with the plug-in's own
// painter that equals the recording byte for byte is the proof; a frame that
// no candidate reproduces is judged against the closest one.
#include "verify.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <map>
#include <new>
#include <set>

#include "fast_paths.h"
#include "tcap_internal.h"

namespace tcap_host {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kColumnPeriod = 71000;  // ms: the column wave's sin^2 argument divisor
constexpr double kRowPeriod = 60000;
constexpr double kMaxAmplitude = 150;
constexpr int kPaintBudget = 48;         // whole frames painted per scan of tick counts, at most
constexpr int32_t kRegionColumns = 192;  // columns painted to try a tick count
constexpr int kRegionBudget = 3000;      // search regions painted per identification, at most
constexpr int64_t kNearMs = 64;          // how far from the expected tick count the first scan looks
constexpr int64_t kGridMs = 4;           // its step
constexpr size_t kRangesPerCounter = 16;  // ranges of tick counts tried per counter in the wide search
constexpr size_t kNearCounters = 6;      // counters nearest the expected one, scanned at once in their nearest range
constexpr size_t kLeadsFollowed = 32;    // ranges of other counters scanned, closest on the strip first
constexpr int kPredictSteps = 6;         // moves of the tick count that differing pixels call for
constexpr int kPredictPixels = 4096;     // differing pixels those moves are worked out from
constexpr int64_t kFarMs = 1 << 17;      // how far the search for a frame far from the expected one reaches
constexpr int kMaxStrideChange = 64;     // bytes per row a wrong stride may add or cut

struct Interval {
    double lo, hi;
};

struct Range {
    int64_t lo, hi;  // inclusive
};

// The painter's byte of a sum: truncated toward zero, low 8 bits.
inline uint8_t TruncByte(double v) { return static_cast<uint8_t>(static_cast<uint64_t>(static_cast<int64_t>(v))); }

const char* const kChannelNames[3] = {"blue", "green", "red"};
const char* const kSolidNames[4] = {"", "Red", "Green", "Blue"};
const uint8_t kSolidColours[4][3] = {{0, 0, 0}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}};

// Tick counts T in [lo, hi] with amp * sin^2(T / period) inside `want`,
// as sorted ranges widened by a millisecond on each side.
std::vector<Range> TickRanges(double amp, Interval want, double period, int64_t lo, int64_t hi) {
    std::vector<Range> out;
    if (fabs(amp) < 1e-9) {
        if (want.lo <= 0 && want.hi >= 0) out.push_back({lo, hi});
        return out;
    }
    double vLo = want.lo / amp, vHi = want.hi / amp;
    if (vLo > vHi) std::swap(vLo, vHi);
    vLo = std::max(vLo, 0.0);
    vHi = std::min(vHi, 1.0);
    if (vLo > vHi) return out;
    const double u1 = asin(sqrt(vLo)), u2 = asin(sqrt(vHi));
    const double span = period * kPi;
    const int64_t nFirst = static_cast<int64_t>(floor(static_cast<double>(lo) / span)) - 1;
    const int64_t nLast = static_cast<int64_t>(floor(static_cast<double>(hi) / span)) + 1;
    auto add = [&](double a, double b) {
        const int64_t rLo = std::max(lo, static_cast<int64_t>(floor(a)) - 1);
        const int64_t rHi = std::min(hi, static_cast<int64_t>(ceil(b)) + 1);
        if (rLo > rHi) return;
        if (!out.empty() && rLo <= out.back().hi + 1) {
            out.back().hi = std::max(out.back().hi, rHi);
        } else {
            out.push_back({rLo, rHi});
        }
    };
    for (int64_t n = nFirst; n <= nLast; ++n) {
        const double base = static_cast<double>(n) * kPi;
        add(period * (base + u1), period * (base + u2));
        add(period * (base + kPi - u2), period * (base + kPi - u1));
    }
    return out;
}

std::vector<Range> Intersect(const std::vector<Range>& a, const std::vector<Range>& b) {
    std::vector<Range> out;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const int64_t lo = std::max(a[i].lo, b[j].lo), hi = std::min(a[i].hi, b[j].hi);
        if (lo <= hi) out.push_back({lo, hi});
        (a[i].hi < b[j].hi ? i : j)++;
    }
    return out;
}

struct Diff {
    uint64_t nBytes = 0;
    int64_t first = -1;
    double sse = 0;
};

// Bytes [begin, end) of a and b compared: how many differ, the first that
// does, the sum of squared differences. Runs of equal bytes go by memcmp.
Diff Compare(const uint8_t* a, const uint8_t* b, size_t begin, size_t end) {
    constexpr size_t kChunk = 4096;
    Diff diff;
    uint64_t n = 0, sse = 0;
    for (size_t at = begin; at < end; at += kChunk) {
        const size_t len = std::min(kChunk, end - at);
        if (memcmp(a + at, b + at, len) == 0) continue;
        uint32_t chunkN = 0, chunkSse = 0;  // at most 4096 * 255^2: fits
        for (size_t i = at; i < at + len; ++i) {
            const int e = static_cast<int>(a[i]) - static_cast<int>(b[i]);
            chunkN += e != 0;
            chunkSse += static_cast<uint32_t>(e * e);
        }
        if (diff.first < 0) {
            size_t i = at;
            while (a[i] == b[i]) ++i;
            diff.first = static_cast<int64_t>(i);
        }
        n += chunkN;
        sse += chunkSse;
    }
    diff.nBytes = n;
    diff.sse = static_cast<double>(sse);
    return diff;
}

double Psnr(double sse, double nBytes) {
    if (sse <= 0) return std::numeric_limits<double>::infinity();
    return 10 * log10(255.0 * 255.0 * nBytes / sse);
}

}  // namespace

struct FrameVerifier::Impl {
    int32_t nWidth, nHeight;
    size_t nRowBytes, nFrameBytes;
    bool bLossy;
    uint8_t blue[256], green[256], red[256];
    std::vector<uint8_t> painted;     // the last frame painted
    int32_t paintedD = 0, paintedT1 = 0;
    bool bPainted = false;
    std::vector<uint8_t> transformed;
    uint32_t lastTransform = 0;       // the transform that last undid a fault
    int nPaints = 0;
    int nRegionPaints = 0;
    std::vector<double> columnSines, rowSines;  // sin(x / 20), sin(y / 20)
    std::vector<uint8_t> region;      // the search region painted for one tick count
    // The fast painter's working areas, kept from painting to painting as
    // the plug-in's manager keeps them, with the column and row sines filled.
    std::unique_ptr<tcap::PlasmaWork> work;

    struct Candidate {
        bool bValid = false;
        int32_t d = 0, t1 = 0;
        Diff diff;
        bool bTopRow = false;  // row 0 as painted: the likelier explanation
    };

    Impl(int32_t w, int32_t h, bool lossy)
        : nWidth(w), nHeight(h), nRowBytes(static_cast<size_t>(w) * 3),
          nFrameBytes(static_cast<size_t>(w) * static_cast<size_t>(h) * 3), bLossy(lossy) {
        tcap::BuildPalettes(blue, green, red);
        work.reset(new tcap::PlasmaWork());
        tcap::FillSineTable(&work->sines, std::max(w, h));
        painted.resize(nFrameBytes);
        for (int32_t x = 0; x < w; ++x) columnSines.push_back(sin(x / 20.0));
        for (int32_t y = 0; y < h; ++y) rowSines.push_back(sin(y / 20.0));
    }

    const std::vector<uint8_t>& Paint(int32_t d, int32_t t1) {
        if (!bPainted || d != paintedD || t1 != paintedT1) {
            tcap::PaintPlasma(work.get(), painted.data(), nWidth, nHeight, d, t1);
            paintedD = d;
            paintedT1 = t1;
            bPainted = true;
            ++nPaints;
        }
        return painted;
    }

    Candidate Try(const uint8_t* pFrame, int32_t d, int64_t t1, size_t begin, size_t end) {
        Candidate c;
        c.bValid = true;
        c.d = d;
        c.t1 = static_cast<int32_t>(t1);
        c.diff = Compare(pFrame, Paint(d, c.t1).data(), begin, end);
        c.bTopRow = begin == 0 && (c.diff.first < 0 || static_cast<size_t>(c.diff.first) >= nRowBytes);
        return c;
    }

    static bool Better(const Candidate& a, const Candidate& b) {
        if (!b.bValid) return a.bValid;
        if (!a.bValid || a.bTopRow != b.bTopRow) return a.bValid && a.bTopRow;
        return a.diff.nBytes < b.diff.nBytes;
    }

    // Bytes that differ between the frame and the painting of (d, t1) in
    // the search region: the first kRegionColumns columns of rows
    // [firstRow, height). A narrow painting of every row is cheap and sees
    // both waves.
    uint64_t RegionDiff(const uint8_t* pFrame, int32_t d, int64_t t1, int32_t firstRow) {
        const int32_t w = std::min(nWidth, kRegionColumns);
        const size_t regionRow = static_cast<size_t>(w) * 3;
        region.resize(regionRow * static_cast<size_t>(nHeight));
        tcap::PaintPlasma(work.get(), region.data(), w, nHeight, d, static_cast<int32_t>(t1));
        ++nRegionPaints;
        uint64_t n = 0;
        for (int32_t y = firstRow; y < nHeight; ++y) {
            const uint8_t* a = pFrame + static_cast<size_t>(y) * nRowBytes;
            const uint8_t* b = region.data() + static_cast<size_t>(y) * regionRow;
            if (memcmp(a, b, regionRow) == 0) continue;
            for (size_t i = 0; i < regionRow; ++i) n += a[i] != b[i];
        }
        return n;
    }

    // Where the tick count must lie for the frame, judging from how it
    // differs from the painting of (d, t1), which must be the last one
    // painted. A pixel's sum s moves with the tick count at the rate
    // sin(x / 20) A' + sin(y / 20) B', A' and B' the rates of the two
    // amplitudes; a recorded pixel that reads the palettes at s + k for a
    // whole k needs the tick count moved by (k - frac(s)) / rate to
    // (k + 1 - frac(s)) / rate. Intersected over the differing pixels, that
    // gives the nearest tick count worth painting; false when the pixels
    // call for no consistent move (a frame with more wrong than the waves).
    bool Predict(const uint8_t* pFrame, int32_t d, int32_t t1, size_t begin, int64_t* pT) {
        const std::vector<uint8_t>& e = painted;
        const double dd = d, t = t1;
        const double ampA = kMaxAmplitude * cos(dd / 23), ampB = kMaxAmplitude * sin(dd / 10);
        const double sa = sin(t / kColumnPeriod), sb = sin(t / kRowPeriod);
        const double a0 = ampA * sa * sa, b0 = ampB * sb * sb;
        const double ga = ampA * sin(2 * t / kColumnPeriod) / kColumnPeriod, gb = ampB * sin(2 * t / kRowPeriod) / kRowPeriod;
        const double d2 = static_cast<int32_t>(static_cast<uint32_t>(d) * 2u);
        double lower = -std::numeric_limits<double>::infinity(), upper = std::numeric_limits<double>::infinity();
        int nUsed = 0, nSeen = 0;
        for (int32_t y = static_cast<int32_t>(begin / nRowBytes); y < nHeight && nSeen < kPredictPixels; ++y) {
            const size_t row = static_cast<size_t>(y) * nRowBytes;
            if (memcmp(pFrame + row, e.data() + row, nRowBytes) == 0) continue;
            const double sy = rowSines[static_cast<size_t>(y)];
            for (int32_t x = 0; x < nWidth && nSeen < kPredictPixels; ++x) {
                const uint8_t* o = pFrame + row + static_cast<size_t>(x) * 3;
                const uint8_t* p = e.data() + row + static_cast<size_t>(x) * 3;
                if (o[0] == p[0] && o[1] == p[1] && o[2] == p[2]) continue;
                ++nSeen;
                const double sx = columnSines[static_cast<size_t>(x)];
                const double sum = (x + a0 * sx) + (y + b0 * sy);
                const double rate = ga * sx + gb * sy;
                if (sum < 1 || fabs(rate) < 1e-12) continue;
                int k = 0;
                for (const int step : {1, -1, 2, -2, 3, -3}) {
                    const double v = sum + step;
                    if (blue[TruncByte(v)] == o[0] && green[TruncByte(v + dd)] == o[1] && red[TruncByte(v + d2)] == o[2]) {
                        k = step;
                        break;
                    }
                }
                if (k == 0) continue;
                const double frac = sum - floor(sum);
                double lo = (k - frac) / rate, hi = (k + 1 - frac) / rate;
                if (lo > hi) std::swap(lo, hi);
                lower = std::max(lower, lo);
                upper = std::min(upper, hi);
                ++nUsed;
            }
        }
        if (nUsed == 0 || nUsed < nSeen / 2) return false;
        double move = 0;
        if (lower <= upper) {
            // The end of the range nearest t1, a little inside it.
            move = lower > 0 ? std::min(ceil(lower + 0.25), std::max(lower, upper - 0.25))
                             : std::max(floor(upper - 0.25), std::min(upper, lower + 0.25));
        } else {
            move = (lower + upper) / 2;
        }
        if (!std::isfinite(move) || fabs(move) > 1e9) return false;
        *pT = t1 + static_cast<int64_t>(llround(move));
        return *pT != t1;
    }

    // The tick count in [lo, hi] that reproduces rows [firstRow, height)
    // for counter d, nearest `from`: every kGridMs milliseconds outwards
    // from `from` up to `reach` either way, then every millisecond around
    // the closest match. Early in a run the waves move a fraction of a
    // pixel and a frame stays the same over tens of milliseconds, changing
    // a few bytes at a time; later it changes every millisecond, but then
    // the search region tells a near miss from a far one cheaply, and only
    // a tick count that gets the region right costs a whole painting.
    // Answers the closest match when none is exact.
    Candidate Scan(const uint8_t* pFrame, int32_t d, int64_t from, int64_t lo, int64_t hi, int32_t firstRow, int64_t reach) {
        from = std::min(std::max(from, lo), hi);
        const size_t begin = static_cast<size_t>(firstRow) * nRowBytes;
        Candidate best = Try(pFrame, d, from, begin, nFrameBytes);
        // Follow what the differing pixels say, from each painting to the
        // next, for a few moves.
        Candidate current = best;
        std::vector<int64_t> visited = {from};
        for (int i = 0; i < kPredictSteps && best.diff.nBytes != 0; ++i) {
            int64_t t = 0;
            Paint(d, current.t1);
            if (!Predict(pFrame, d, current.t1, begin, &t) || t < lo || t > hi) break;
            if (std::find(visited.begin(), visited.end(), t) != visited.end()) break;
            visited.push_back(t);
            current = Try(pFrame, d, t, begin, nFrameBytes);
            if (Better(current, best)) best = current;
        }
        if (best.diff.nBytes == 0) return best;
        from = best.t1;
        auto probe = [&](int64_t t) {
            if (t < lo || t > hi || best.diff.nBytes == 0 || nPaints >= kPaintBudget) return;
            const uint64_t r = RegionDiff(pFrame, d, t, firstRow);
            if (r > 0 && r >= best.diff.nBytes) return;  // no better than the best, whatever the rest
            const Candidate c = Try(pFrame, d, t, begin, nFrameBytes);
            if (Better(c, best)) best = c;
        };
        for (int64_t k = 1; k < kGridMs; ++k) {
            probe(from + k);
            probe(from - k);
        }
        for (int64_t k = kGridMs; k <= reach && best.diff.nBytes != 0; k += kGridMs) {
            probe(from + k);
            probe(from - k);
        }
        const int64_t at = best.t1;
        for (int64_t k = 1; k < kGridMs && at != from && best.diff.nBytes != 0; ++k) {
            probe(at + k);
            probe(at - k);
        }
        return best;
    }

    // For a frame far from where it was expected: the tick counts at
    // doubling distances from `from`, then a scan around the closest.
    Candidate Reach(const uint8_t* pFrame, int32_t d, int64_t from, int64_t lo, int64_t hi) {
        from = std::min(std::max(from, lo), hi);
        Candidate best = Try(pFrame, d, from, 0, nFrameBytes);
        for (int64_t step = kNearMs; step <= kFarMs && best.diff.nBytes != 0; step *= 2) {
            for (const int64_t t : {from + step, from - step}) {
                if (t < lo || t > hi) continue;
                const Candidate c = Try(pFrame, d, t, 0, nFrameBytes);
                if (Better(c, best)) best = c;
            }
        }
        if (best.diff.nBytes == 0) return best;
        nPaints = 0;
        return Scan(pFrame, d, best.t1, lo, hi, 0, kNearMs);
    }

    // Values of d modulo 256 that the first pixel allows.
    std::vector<int> CounterResidues(const uint8_t* p) const {
        std::vector<int> ks;
        if (p[0] != blue[0]) return ks;
        for (int k = 0; k < 256; ++k) {
            if (green[k] == p[1] && red[(2 * k) & 255] == p[2]) ks.push_back(k);
        }
        return ks;
    }

    // The interval of amplitudes A for which s = i + A sin(i / 20) gives the
    // pixels of a line (n pixels, `stride` bytes apart), for d = k modulo
    // 256; everything when the line is too short or fits no amplitude well.
    Interval Amplitude(const uint8_t* p, size_t stride, int32_t n, int k) const {
        const Interval all = {-kMaxAmplitude, kMaxAmplitude};
        std::vector<int32_t> at;
        const int32_t nWanted = 400;
        const int32_t step = std::max(1, n / nWanted);
        for (int32_t i = 1; i < n; i += step) {
            if (fabs(sin(i / 20.0)) > 0.05) at.push_back(i);
        }
        if (at.size() < 24) return all;
        std::vector<double> sines(at.size());
        for (size_t j = 0; j < at.size(); ++j) sines[j] = sin(at[j] / 20.0);
        const double dRep = k + 512;  // keeps s + d positive, as for any counter but the first few
        auto misses = [&](double a) {
            int m = 0;
            for (size_t j = 0; j < at.size(); ++j) {
                const double s = at[j] + a * sines[j];
                const uint8_t* q = p + static_cast<size_t>(at[j]) * stride;
                m += blue[TruncByte(s)] != q[0] || green[TruncByte(s + dRep)] != q[1] || red[TruncByte(s + 2 * dRep)] != q[2];
            }
            return m;
        };
        const double coarse = 0.5;
        double bestA = 0;
        int bestM = std::numeric_limits<int>::max();
        for (double a = -kMaxAmplitude; a <= kMaxAmplitude; a += coarse) {
            const int m = misses(a);
            if (m < bestM) bestM = m, bestA = a;
        }
        if (bestM > static_cast<int>(at.size()) / 4) return all;
        const double fine = 1.0 / 256;
        std::vector<std::pair<double, int>> scan;
        int minM = bestM;
        for (double a = bestA - 2 * coarse; a <= bestA + 2 * coarse; a += fine) {
            scan.push_back({a, misses(a)});
            minM = std::min(minM, scan.back().second);
        }
        const int tolerance = std::max(2, static_cast<int>(at.size()) / 100);
        Interval out = {kMaxAmplitude, -kMaxAmplitude};
        for (const auto& [a, m] : scan) {
            if (m <= minM + tolerance) out.lo = std::min(out.lo, a), out.hi = std::max(out.hi, a);
        }
        out.lo -= fine;
        out.hi += fine;
        return out;
    }

    // The search of the header comment, for a frame in the painter's layout.
    Candidate Identify(const uint8_t* pFrame, const SearchHint& hint) {
        nPaints = nRegionPaints = 0;
        Candidate best;
        const int64_t tLo = hint.tLo, tHi = hint.tHi;
        const int64_t tExpected = std::min(std::max(hint.tExpected, tLo), tHi);
        const std::vector<int> ks = CounterResidues(pFrame);
        if (ks.empty()) return best;
        // The expected counter near the expected tick count first: the usual
        // case costs one painting.
        if (hint.dExpected >= hint.dLo && hint.dExpected <= hint.dHi &&
            std::find(ks.begin(), ks.end(), static_cast<int>(hint.dExpected & 255)) != ks.end()) {
            best = Scan(pFrame, static_cast<int32_t>(hint.dExpected), tExpected, tLo, tHi, 0, kNearMs);
            if (best.diff.nBytes == 0) return best;
            // Close: the counter is right, the tick count further off.
            if (best.bTopRow && best.diff.nBytes < nFrameBytes / 5) {
                nPaints = 0;
                const Candidate c = Reach(pFrame, best.d, best.t1, tLo, tHi);
                if (Better(c, best)) best = c;
                // Exact, or so close that bytes were hit rather than the
                // frame mistaken: no other counter explains it better.
                if (best.diff.nBytes < nFrameBytes / 100) return best;
            }
            // Its top rows exact: this counter's frame, torn or strided.
            if (best.bTopRow && nHeight > 2 && LeadingRows(pFrame, best) >= 2) return best;
        }
        std::map<int, std::pair<Interval, Interval>> amplitudes;
        for (const int k : ks) {
            amplitudes[k] = {Amplitude(pFrame, 3, nWidth, k), Amplitude(pFrame, nRowBytes, nHeight, k)};
        }
        std::vector<int64_t> counters;
        for (const int k : ks) {
            for (int64_t d = hint.dLo + ((k - hint.dLo) % 256 + 256) % 256; d <= hint.dHi; d += 256) counters.push_back(d);
        }
        std::stable_sort(counters.begin(), counters.end(), [&](int64_t a, int64_t b) {
            return std::llabs(a - hint.dExpected) < std::llabs(b - hint.dExpected);
        });
        // Every range of tick counts each counter allows, nearest the
        // expected tick count first, is tried on the search region; those
        // that come close are searched in full, closest first.
        struct Lead {
            int64_t d, t, lo, hi;
            uint64_t nRegionDiff;
        };
        std::vector<Lead> leads;
        const uint64_t regionBytes = static_cast<uint64_t>(std::min(nWidth, kRegionColumns)) * 3 * static_cast<uint64_t>(nHeight);
        auto follow = [&](const Lead& lead) {
            nPaints = 0;
            const Candidate c = Scan(pFrame, static_cast<int32_t>(lead.d), lead.t, lead.lo, lead.hi, 0, kNearMs);
            if (Better(c, best)) best = c;
            return best.diff.nBytes == 0;
        };
        for (size_t j = 0; j < counters.size(); ++j) {
            const int64_t d = counters[j];
            if (nRegionPaints >= kRegionBudget) break;
            const auto& [columnAmp, rowAmp] = amplitudes[static_cast<int>(d & 255)];
            const double dd = static_cast<double>(d);
            std::vector<Range> ranges = Intersect(TickRanges(kMaxAmplitude * cos(dd / 23), columnAmp, kColumnPeriod, tLo, tHi),
                                                  TickRanges(kMaxAmplitude * sin(dd / 10), rowAmp, kRowPeriod, tLo, tHi));
            auto nearest = [&](const Range& r) { return std::min(std::max(tExpected, r.lo), r.hi); };
            std::sort(ranges.begin(), ranges.end(), [&](const Range& a, const Range& b) {
                return std::llabs(nearest(a) - tExpected) < std::llabs(nearest(b) - tExpected);
            });
            for (size_t i = 0; i < ranges.size() && i < kRangesPerCounter && nRegionPaints < kRegionBudget; ++i) {
                const Range& r = ranges[i];
                // A narrow range is a good estimate: its middle; a wide one
                // (weak waves) says little: the point nearest the expectation.
                const int64_t t = r.hi - r.lo <= 2 * kNearMs ? (r.lo + r.hi) / 2 : nearest(r);
                const Lead lead = {d, t, r.lo, r.hi, RegionDiff(pFrame, static_cast<int32_t>(d), t, 0)};
                // The counters nearest the expected one are searched at once
                // (a dropped or repeated frame), the rest when they come close.
                const bool bNow = (j < kNearCounters && i == 0) || lead.nRegionDiff < regionBytes / 100;
                if (bNow && follow(lead)) return best;
                if (!bNow) leads.push_back(lead);
            }
        }
        std::stable_sort(leads.begin(), leads.end(), [](const Lead& a, const Lead& b) { return a.nRegionDiff < b.nRegionDiff; });
        for (size_t i = 0; i < leads.size() && i < kLeadsFollowed; ++i) {
            if (follow(leads[i])) return best;
        }
        // Close but not exact: a wider descent in tick count.
        if (best.bValid && best.diff.nBytes != 0 && best.diff.nBytes < nFrameBytes / 5) {
            const Candidate c = Reach(pFrame, best.d, best.t1, tLo, tHi);
            if (Better(c, best)) best = c;
        }
        return best;
    }

    // For --lossy: the candidate whose painting is closest in squared error.
    Candidate IdentifyLossy(const uint8_t* pFrame, const SearchHint& hint, bool bTracking) {
        nPaints = 0;
        // The squared error over the search region: a narrow painting of
        // every row, which sees both waves and every palette.
        auto sampledSse = [&](int32_t d, int64_t t1) {
            const int32_t w = std::min(nWidth, kRegionColumns);
            const size_t regionRow = static_cast<size_t>(w) * 3;
            region.resize(regionRow * static_cast<size_t>(nHeight));
            tcap::PaintPlasma(work.get(), region.data(), w, nHeight, d, static_cast<int32_t>(t1));
            double sse = 0;
            for (int32_t y = 0; y < nHeight; ++y) {
                const uint8_t* a = pFrame + static_cast<size_t>(y) * nRowBytes;
                const uint8_t* b = region.data() + static_cast<size_t>(y) * regionRow;
                uint32_t rowSse = 0;  // at most 192 * 3 * 255^2
                for (size_t i = 0; i < regionRow; ++i) {
                    const int err = static_cast<int>(a[i]) - static_cast<int>(b[i]);
                    rowSse += static_cast<uint32_t>(err * err);
                }
                sse += rowSse;
            }
            return sse;
        };
        std::vector<int64_t> counters;
        if (bTracking) {
            for (int64_t d = hint.dExpected - 4; d <= hint.dExpected + 12; ++d) counters.push_back(d);
        } else {
            // The residues whose first pixel is nearest the recorded one.
            std::vector<std::pair<int, int>> byDistance;
            for (int k = 0; k < 256; ++k) {
                const int db = pFrame[0] - blue[0], dg = pFrame[1] - green[k], dr = pFrame[2] - red[(2 * k) & 255];
                byDistance.push_back({db * db + dg * dg + dr * dr, k});
            }
            std::sort(byDistance.begin(), byDistance.end());
            for (size_t j = 0; j < 16; ++j) {
                for (int64_t m = 0; m < 4; ++m) counters.push_back(byDistance[j].second + 256 * m);
            }
        }
        const int64_t tExpected = std::min(std::max(hint.tExpected, hint.tLo), hint.tHi);
        Candidate best;
        double bestSse = std::numeric_limits<double>::infinity();
        for (const int64_t d : counters) {
            if (d < hint.dLo || d > hint.dHi) continue;
            const double sse = sampledSse(static_cast<int32_t>(d), tExpected);
            if (sse < bestSse) {
                bestSse = sse;
                best.bValid = true;
                best.d = static_cast<int32_t>(d);
                best.t1 = static_cast<int32_t>(tExpected);
            }
        }
        if (!best.bValid) return best;
        // The tick count: the waves move slowly, so a coarse climb is enough.
        for (int64_t step = bTracking ? 16 : 256; step >= 1; step /= 4) {
            for (bool bMoved = true; bMoved;) {
                bMoved = false;
                for (const int64_t t : {static_cast<int64_t>(best.t1) - step, static_cast<int64_t>(best.t1) + step}) {
                    if (t < hint.tLo || t > hint.tHi) continue;
                    const double sse = sampledSse(best.d, t);
                    if (sse < bestSse) {
                        bestSse = sse;
                        best.t1 = static_cast<int32_t>(t);
                        bMoved = true;
                    }
                }
            }
        }
        best.diff = Compare(pFrame, Paint(best.d, best.t1).data(), 0, nFrameBytes);
        return best;
    }

    // pFrame with red and blue exchanged and/or its rows reversed.
    const uint8_t* Transform(const uint8_t* pFrame, uint32_t faults) {
        transformed.resize(nFrameBytes);
        for (int32_t y = 0; y < nHeight; ++y) {
            const int32_t from = faults & kFaultFlipped ? nHeight - 1 - y : y;
            const uint8_t* src = pFrame + static_cast<size_t>(from) * nRowBytes;
            uint8_t* dst = transformed.data() + static_cast<size_t>(y) * nRowBytes;
            if (faults & kFaultSwapped) {
                for (size_t i = 0; i < nRowBytes; i += 3) dst[i] = src[i + 2], dst[i + 1] = src[i + 1], dst[i + 2] = src[i];
            } else {
                memcpy(dst, src, nRowBytes);
            }
        }
        return transformed.data();
    }

    // Rows from the top that equal the painting of c.
    int32_t LeadingRows(const uint8_t* pFrame, const Candidate& c) {
        const std::vector<uint8_t>& e = Paint(c.d, c.t1);
        int32_t y = 0;
        while (y < nHeight && memcmp(pFrame + static_cast<size_t>(y) * nRowBytes, e.data() + static_cast<size_t>(y) * nRowBytes,
                                     nRowBytes) == 0) {
            ++y;
        }
        return y;
    }

    FrameVerdict Solid(const uint8_t* pFrame, int input) {
        FrameVerdict v;
        v.kind = FrameKind::kSolid;
        v.solidInput = input;
        const uint8_t* c = kSolidColours[input];
        uint64_t sse = 0;
        for (size_t i = 0; i < nFrameBytes; ++i) {
            const int e = static_cast<int>(pFrame[i]) - c[i % 3];
            if (e != 0) {
                if (v.firstDiff < 0) v.firstDiff = static_cast<int64_t>(i);
                ++v.nDiffBytes;
                sse += static_cast<uint64_t>(e * e);
            }
        }
        v.sse = static_cast<double>(sse);
        v.psnr = Psnr(v.sse, static_cast<double>(nFrameBytes));
        return v;
    }

    // Which solid colour the frame starts with (exactly, or with --lossy
    // nearly), 0 for none.
    int SolidInput(const uint8_t* pFrame) const {
        for (int input = 1; input <= 3; ++input) {
            const uint8_t* c = kSolidColours[input];
            int far = 0;
            for (int i = 0; i < 3; ++i) far = std::max(far, std::abs(pFrame[i] - c[i]));
            if (far <= (bLossy ? 40 : 0)) return input;
        }
        return 0;
    }

    FrameVerdict Check(const uint8_t* pFrame, const SearchHint& hint, bool bTracking) {
        FrameVerdict v;
        if (nFrameBytes == 0) return v;
        memcpy(v.firstPixel, pFrame, 3);
        if (const int input = SolidInput(pFrame)) return Solid(pFrame, input);

        Candidate found;
        uint32_t faults = 0;
        if (bLossy) {
            found = IdentifyLossy(pFrame, hint, bTracking);
        } else {
            // The transform that last undid a fault comes first, then none,
            // then each of the others; the first that gives an exact frame wins.
            std::vector<uint32_t> order = {lastTransform};
            for (const uint32_t t : {0u, kFaultSwapped, kFaultFlipped, kFaultSwapped | kFaultFlipped}) {
                if (t != lastTransform) order.push_back(t);
            }
            Candidate plain;
            for (const uint32_t t : order) {
                const uint8_t* p = t ? Transform(pFrame, t) : pFrame;
                const Candidate c = Identify(p, hint);
                if (t == 0) plain = c;
                if (c.bValid && c.diff.nBytes == 0) {
                    found = c;
                    faults = t;
                    lastTransform = t;
                    break;
                }
                if (Better(c, found)) found = c, faults = t;
                // As found, a frame with a few bytes wrong or with its top
                // right is no swapped or flipped one: stop looking.
                if (t == 0 && c.bValid && (c.diff.nBytes < nFrameBytes / 100 || LeadingRows(pFrame, c) > 0)) break;
            }
            // No transform gave an exact frame: one that leaves only a few
            // bytes wrong is still the explanation, else the frame as found.
            if (found.bValid && found.diff.nBytes != 0 && plain.bValid && found.diff.nBytes >= nFrameBytes / 100) {
                found = plain;
                faults = 0;
            }
        }
        if (!found.bValid) return v;
        v.kind = FrameKind::kPlasma;
        v.d = found.d;
        v.t1 = found.t1;
        v.faults = faults;
        v.nDiffBytes = found.diff.nBytes;
        v.firstDiff = found.diff.first;
        // The squared error of the frame as recorded, swapped or flipped too.
        v.sse = faults ? Compare(pFrame, Paint(found.d, found.t1).data(), 0, nFrameBytes).sse : found.diff.sse;
        v.psnr = Psnr(v.sse, static_cast<double>(nFrameBytes));
        if (v.nDiffBytes == 0 || faults != 0 || bLossy) return v;

        // Torn: the top rows are this frame's, the rest a neighbour's.
        const int32_t top = LeadingRows(pFrame, found);
        if (top > 0 && top < nHeight) {
            for (const int32_t delta : {1, -1, 2, -2}) {
                const int64_t d = static_cast<int64_t>(found.d) + delta;
                if (d < hint.dLo || d > hint.dHi) continue;
                nPaints = nRegionPaints = 0;
                const Candidate c = Scan(pFrame, static_cast<int32_t>(d), found.t1, hint.tLo, hint.tHi, top, kNearMs);
                if (c.diff.nBytes == 0) {
                    v.faults |= kFaultTorn;
                    v.tornRow = top;
                    v.tornD = c.d;
                    v.tornT1 = c.t1;
                    break;
                }
            }
        }
        return v;
    }
};

FrameVerifier::FrameVerifier(int32_t nWidth, int32_t nHeight, bool bLossy) : pImpl_(new Impl(nWidth, nHeight, bLossy)) {}

FrameVerifier::~FrameVerifier() = default;

FrameVerdict FrameVerifier::Check(const uint8_t* pFrame, const SearchHint& hint) {
    return pImpl_->Check(pFrame, hint, hint.bTracking);
}

const std::vector<uint8_t>& FrameVerifier::Paint(int32_t d, int32_t t1) { return pImpl_->Paint(d, t1); }

int32_t FrameVerifier::FindRowBytes(const uint8_t* pData, size_t nBytes, int32_t d, int32_t t1) {
    Impl& m = *pImpl_;
    const std::vector<uint8_t>& e = m.Paint(d, t1);
    const int64_t rowBytes = static_cast<int64_t>(m.nRowBytes);
    for (int delta = 1; delta <= kMaxStrideChange; ++delta) {
        for (const int64_t stride : {rowBytes + delta, rowBytes - delta}) {
            if (stride < 3) continue;
            const size_t len = static_cast<size_t>(std::min(stride, rowBytes));
            int nRows = 0;
            bool bAll = true;
            for (int32_t y = 1; y < std::min(m.nHeight, 9) && bAll; ++y) {
                const size_t at = static_cast<size_t>(y) * static_cast<size_t>(stride);
                if (at + len > nBytes) break;
                bAll = memcmp(pData + at, e.data() + static_cast<size_t>(y) * m.nRowBytes, len) == 0;
                ++nRows;
            }
            if (bAll && nRows >= 2) return static_cast<int32_t>(stride);
        }
    }
    return 0;
}

std::string FormatVerdict(uint32_t nIndex, const FrameVerdict& v, int32_t nWidth, double lossyThreshold) {
    char sz[160];
    snprintf(sz, sizeof sz, "frame %4u  ", nIndex);
    std::string line = sz;
    if (v.kind == FrameKind::kUnknown) {
        snprintf(sz, sizeof sz, "not identified: no plasma or solid frame starts with its first pixel (%d, %d, %d)",
                 v.firstPixel[0], v.firstPixel[1], v.firstPixel[2]);
        return line + sz;
    }
    if (v.kind == FrameKind::kSolid) {
        line += std::string("solid ") + kSolidNames[v.solidInput];
        if (v.nDiffBytes != 0 && lossyThreshold <= 0) line += " not uniform:";
    } else {
        snprintf(sz, sizeof sz, "d %-7d T1 %-9d", v.d, v.t1);
        line += sz;
    }
    std::vector<std::string> parts;
    if (v.faults & kFaultSwapped) parts.push_back("red and blue swapped");
    if (v.faults & kFaultFlipped) parts.push_back("vertically flipped");
    if (v.faults & kFaultStride) {
        const int32_t expected = nWidth * 3;
        snprintf(sz, sizeof sz, "rows %s to %d bytes, not %d (wrong stride)", v.rowBytes > expected ? "padded" : "cut",
                 v.rowBytes, expected);
        parts.push_back(sz);
    }
    if (v.faults & kFaultTorn) {
        snprintf(sz, sizeof sz, "torn: rows 0-%d from counter %d, rows %d on from counter %d (T1 %d)", v.tornRow - 1, v.d,
                 v.tornRow, v.tornD, v.tornT1);
        parts.push_back(sz);
    }
    if (lossyThreshold > 0) {
        if (v.nDiffBytes == 0) {
            parts.push_back("exact");
        } else {
            snprintf(sz, sizeof sz, "PSNR %.1f dB%s", v.psnr, v.psnr < lossyThreshold ? ", below the threshold" : "");
            parts.push_back(sz);
        }
    } else if (v.nDiffBytes == 0) {
        if (parts.empty()) {
            parts.push_back("exact");
        } else {
            snprintf(sz, sizeof sz, "otherwise exact (PSNR %.1f dB as recorded)", v.psnr);
            parts.push_back(isinf(v.psnr) ? "otherwise exact" : sz);
        }
    } else {
        const int64_t pixel = v.firstDiff / 3;
        snprintf(sz, sizeof sz, "%llu byte%s differ%s, first at pixel (%lld, %lld) %s; PSNR %.1f dB",
                 static_cast<unsigned long long>(v.nDiffBytes), v.nDiffBytes == 1 ? "" : "s", v.nDiffBytes == 1 ? "s" : "",
                 static_cast<long long>(pixel % nWidth), static_cast<long long>(pixel / nWidth),
                 kChannelNames[v.firstDiff % 3], v.psnr);
        parts.push_back(sz);
    }
    for (size_t i = 0; i < parts.size(); ++i) line += (i ? "; " : " ") + parts[i];
    return line;
}

namespace {

bool Fail(std::string* pError, const std::string& message) {
    *pError = message;
    return false;
}

// Reads the recording in pieces of any size, and takes bytes back when a
// frame turns out to be shorter than was read.
class Reader {
public:
    explicit Reader(FILE* pFile) : pFile_(pFile) {}

    // Appends up to n bytes to *pOut; fewer only at the end of the input.
    size_t Read(size_t n, std::vector<uint8_t>* pOut) {
        const size_t fromBack = std::min(n, back_.size());
        pOut->insert(pOut->end(), back_.begin(), back_.begin() + static_cast<std::ptrdiff_t>(fromBack));
        back_.erase(back_.begin(), back_.begin() + static_cast<std::ptrdiff_t>(fromBack));
        size_t got = fromBack;
        const size_t at = pOut->size();
        pOut->resize(at + (n - got));
        while (got < n) {
            const size_t r = fread(pOut->data() + at + (got - fromBack), 1, n - got, pFile_);
            if (r == 0) break;
            got += r;
        }
        pOut->resize(at + (got - fromBack));
        return got;
    }

    // Puts the last n bytes of *pData back in front of the input.
    void Unread(std::vector<uint8_t>* pData, size_t n) {
        back_.insert(back_.begin(), pData->end() - static_cast<std::ptrdiff_t>(n), pData->end());
        pData->resize(pData->size() - n);
    }

    bool Failed() const { return ferror(pFile_) != 0; }

private:
    FILE* pFile_;
    std::vector<uint8_t> back_;
};

// The frame in the painter's layout from rows of rowBytes bytes (longer
// rows lose their padding, shorter ones leave zeros where bytes are missing).
void Unstride(const std::vector<uint8_t>& data, size_t rowBytes, int32_t nWidth, int32_t nHeight, std::vector<uint8_t>* pFrame) {
    const size_t want = static_cast<size_t>(nWidth) * 3;
    pFrame->assign(want * static_cast<size_t>(nHeight), 0);
    const size_t n = std::min(rowBytes, want);
    for (int32_t y = 0; y < nHeight; ++y) {
        const size_t at = static_cast<size_t>(y) * rowBytes;
        if (at >= data.size()) break;
        memcpy(pFrame->data() + static_cast<size_t>(y) * want, data.data() + at, std::min(n, data.size() - at));
    }
}

// The timestamps of tcap-host's list: "index timestamp_ms bytes md5" lines.
bool ReadTimestamps(const std::string& path, std::vector<int64_t>* pTimes, std::string* pError) {
    FILE* pFile = fopen(path.c_str(), "r");
    if (!pFile) return Fail(pError, "cannot read " + path + ": " + strerror(errno));
    char line[512];
    unsigned nLine = 0;
    bool bOk = true;
    while (fgets(line, sizeof line, pFile)) {
        ++nLine;
        if (line[0] == '#' || line[0] == '\n') continue;
        unsigned long long index = 0, stamp = 0;
        if (sscanf(line, "%llu %llu", &index, &stamp) != 2 || index != pTimes->size() || stamp > UINT32_MAX) {
            bOk = Fail(pError, path + " line " + std::to_string(nLine) +
                                   ": not \"index timestamp_ms bytes md5\" for frame " + std::to_string(pTimes->size()));
            break;
        }
        pTimes->push_back(static_cast<int64_t>(stamp));
    }
    fclose(pFile);
    return bOk;
}

// How far a frame's tick count may lie below its stamp's: the painting
// between the two readings of the clock.
constexpr int64_t kPaintMs = 250;
// How long after Start_Source the first frame may be stamped, when the
// time offset is taken to be the tick count at Start_Source.
constexpr int64_t kStartMs = 250;

struct SequenceStats {
    std::set<int64_t> seen;
    int64_t maxD = 0;
    bool bAny = false;
    uint32_t nRepeated = 0, nOutOfOrder = 0;
};

}  // namespace

bool ParseVerifyArguments(const std::vector<std::string>& args, VerifyOptions* pOptions, std::string* pError) {
    VerifyOptions options;
    std::vector<std::string> positional;
    bool bSize = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        const bool bOption = name.size() > 2 && name.compare(0, 2, "--") == 0;
        if (!bOption) {
            if (name.size() > 1 && name[0] == '-') return Fail(pError, "unknown option " + name);
            positional.push_back(name);
            continue;
        }
        const size_t eq = name.find('=');
        const bool bInline = eq != std::string::npos;
        if (bInline) value = name.substr(eq + 1), name = name.substr(0, eq);
        if (name == "--lossy") {
            if (bInline) return Fail(pError, "--lossy takes no value");
            options.bLossy = true;
            continue;
        }
        static const char* const kValued[] = {"--size", "--timestamps", "--threshold", "--time-offset", "--max-counter",
                                              "--max-ticks"};
        if (std::find_if(std::begin(kValued), std::end(kValued), [&](const char* p) { return name == p; }) == std::end(kValued)) {
            return Fail(pError, "unknown option " + name);
        }
        if (!bInline) {
            if (i + 1 >= args.size()) return Fail(pError, "option " + name + " needs a value");
            value = args[++i];
        }
        int64_t n = 0;
        if (name == "--size") {
            if (!ParseSize(value, &options.size)) {
                return Fail(pError, "--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '" + value + "'");
            }
            bSize = true;
        } else if (name == "--timestamps") {
            if (value.empty()) return Fail(pError, "--timestamps needs a file name");
            options.timestampsPath = value;
        } else if (name == "--threshold") {
            if (!ParseRate(value, &options.threshold)) {
                return Fail(pError, "--threshold wants a PSNR in dB above 0, such as 35, not '" + value + "'");
            }
        } else if (name == "--time-offset") {
            if (!ParseInteger(value, INT32_MIN, INT32_MAX, &n)) {
                return Fail(pError, "--time-offset wants milliseconds as a 32-bit whole number, not '" + value + "'");
            }
            options.bTimeOffset = true;
            options.nTimeOffset = static_cast<int32_t>(n);
        } else if (name == "--max-counter") {
            if (!ParseInteger(value, 1, INT32_MAX, &n)) {
                return Fail(pError, "--max-counter wants a frame counter from 1 to 2147483647, not '" + value + "'");
            }
            options.nMaxCounter = static_cast<int32_t>(n);
        } else {
            if (!ParseInteger(value, 0, INT32_MAX, &n)) {
                return Fail(pError, "--max-ticks wants milliseconds from 0 to 2147483647, not '" + value + "'");
            }
            options.nMaxTicks = static_cast<int32_t>(n);
        }
    }
    if (!bSize) return Fail(pError, "verify needs the frame size: --size WxH");
    if (positional.size() > 1) return Fail(pError, "verify reads one recording, not also '" + positional[1] + "'");
    if (!positional.empty()) options.inputPath = positional[0];
    if (options.size.nWidth > 32768 || options.size.nHeight > 32768) {
        return Fail(pError, "--size: verify takes frames of up to 32768 pixels each way");
    }
    *pOptions = options;
    return true;
}

int RunVerify(const VerifyOptions& options) {
    const int32_t nWidth = options.size.nWidth, nHeight = options.size.nHeight;
    const bool bStdin = options.inputPath == "-";
    if (bStdin && isatty(STDIN_FILENO) == 1) {
        fprintf(stderr, "tcap-host: verify reads frames from standard input, which is a terminal: pipe a recording in or name a file\n");
        return kExitUsage;
    }
    std::string error;
    std::vector<int64_t> stamps;
    if (!options.timestampsPath.empty() && !ReadTimestamps(options.timestampsPath, &stamps, &error)) {
        fprintf(stderr, "tcap-host: %s\n", error.c_str());
        return kExitFailure;
    }
    FILE* pInput = bStdin ? stdin : fopen(options.inputPath.c_str(), "rb");
    if (!pInput) {
        fprintf(stderr, "tcap-host: cannot read %s: %s\n", options.inputPath.c_str(), strerror(errno));
        return kExitFailure;
    }
    const size_t rowBytes = static_cast<size_t>(nWidth) * 3;
    const size_t frameBytes = rowBytes * static_cast<size_t>(nHeight);
    const double threshold = options.bLossy ? options.threshold : 0;

    std::unique_ptr<FrameVerifier> pVerifier;
    try {
        pVerifier.reset(new FrameVerifier(nWidth, nHeight, options.bLossy));
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "tcap-host: no memory for %dx%d frames\n", nWidth, nHeight);
        if (!bStdin) fclose(pInput);
        return kExitFailure;
    }
    FrameVerifier& verifier = *pVerifier;
    Reader reader(pInput);
    std::vector<uint8_t> data, frame;
    size_t dataRowBytes = rowBytes;  // changes when a wrong stride is found
    SequenceStats seq;
    int64_t prevT1 = -1, lastStep = 0, prevStamp = -1;
    std::vector<int64_t> steps;
    uint32_t nFrames = 0, nGood = 0, nSolid = 0;
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> faultCounts;  // fault -> frames, first frame
    double totalSse = 0, totalBytes = 0;
    size_t trailing = 0;
    for (;; ++nFrames) {
        data.clear();
        const size_t want = dataRowBytes * static_cast<size_t>(nHeight);
        const size_t got = reader.Read(want, &data);
        if (got < want) {
            trailing = got;
            break;
        }
        Unstride(data, dataRowBytes, nWidth, nHeight, &frame);

        SearchHint hint;
        hint.dLo = 1;
        hint.dHi = options.nMaxCounter;
        hint.dExpected = seq.bAny ? seq.maxD + 1 : 1;
        hint.bTracking = seq.bAny;
        hint.tLo = 0;
        hint.tHi = options.nMaxTicks;
        hint.tExpected = prevT1 >= 0 ? prevT1 + lastStep : 1000;
        if (nFrames < stamps.size()) {
            // stamp = T2 + offset + 15, T2 the clock read after painting.
            // Without an offset given, it is the tick count at Start_Source,
            // a little below the first frame's T2: stamp0 - 15 = T2(0) + S.
            const int64_t base = stamps[nFrames] - 15;
            int64_t t2Lo = 0, t2Hi = 0;
            if (options.bTimeOffset) {
                t2Lo = t2Hi = static_cast<int32_t>(static_cast<uint32_t>(base - options.nTimeOffset));
            } else {
                const int64_t sHi = (stamps[0] - 15) / 2, sLo = (stamps[0] - 15 - kStartMs) / 2;
                t2Lo = base - sHi;
                t2Hi = base - sLo;
            }
            hint.tLo = std::max<int64_t>(0, t2Lo - kPaintMs);
            hint.tHi = std::max<int64_t>(hint.tLo, t2Hi);
            // Frames are stamped about as far apart as they were painted.
            hint.tExpected = prevT1 >= 0 && prevStamp >= 0 ? prevT1 + (stamps[nFrames] - prevStamp) : t2Lo;
        }

        FrameVerdict v = verifier.Check(frame.data(), hint);
        // Not where the timestamps say: they may come with another time
        // offset than assumed. Look everywhere too.
        if (!v.Exact() && nFrames < stamps.size()) {
            SearchHint wide = hint;
            wide.tLo = 0;
            wide.tHi = options.nMaxTicks;
            const FrameVerdict w = verifier.Check(frame.data(), wide);
            if (w.Exact() || (v.kind == FrameKind::kUnknown && w.kind != FrameKind::kUnknown)) v = w;
        }
        if (!v.Exact() && v.kind == FrameKind::kPlasma && dataRowBytes == rowBytes && !options.bLossy) {
            // Against the frame found and the one expected: with most rows
            // out of place, the closest painting need not be the right one.
            int32_t found = verifier.FindRowBytes(data.data(), data.size(), v.d, v.t1);
            if (found == 0 && hint.dExpected <= INT32_MAX) {
                found = verifier.FindRowBytes(data.data(), data.size(), static_cast<int32_t>(hint.dExpected),
                                              static_cast<int32_t>(std::min(std::max(hint.tExpected, hint.tLo), hint.tHi)));
            }
            if (found > 0) {
                dataRowBytes = static_cast<size_t>(found);
                const size_t need = dataRowBytes * static_cast<size_t>(nHeight);
                if (need > data.size()) {
                    reader.Read(need - data.size(), &data);
                } else {
                    reader.Unread(&data, data.size() - need);
                }
                Unstride(data, dataRowBytes, nWidth, nHeight, &frame);
                v = verifier.Check(frame.data(), hint);
            }
        }
        if (dataRowBytes != rowBytes) {
            v.faults |= kFaultStride;
            v.rowBytes = static_cast<int32_t>(dataRowBytes);
        }

        std::string line = FormatVerdict(nFrames, v, nWidth, threshold);
        const bool bJudged = v.kind != FrameKind::kUnknown;
        bool bGood = bJudged && v.faults == 0 && (options.bLossy ? v.psnr >= threshold : v.nDiffBytes == 0);
        if (bJudged) totalSse += v.sse, totalBytes += static_cast<double>(frameBytes);
        if (v.kind == FrameKind::kSolid) ++nSolid;
        if (v.kind == FrameKind::kPlasma) {
            const int64_t d = std::max(v.d, (v.faults & kFaultTorn) ? v.tornD : v.d);
            if (seq.bAny && d == seq.maxD) {
                ++seq.nRepeated;
                line += "; repeats counter " + std::to_string(d) + " (duplicated frame)";
            } else if (seq.bAny && d < seq.maxD) {
                ++seq.nOutOfOrder;
                line += "; out of order: counter " + std::to_string(d) + " after " + std::to_string(seq.maxD);
            } else if (seq.bAny && d > seq.maxD + 1) {
                const int64_t n = d - seq.maxD - 1;
                line += "; counter" + std::string(n > 1 ? "s " : " ") + std::to_string(seq.maxD + 1) +
                        (n > 1 ? " to " + std::to_string(d - 1) : "") + " skipped (" + std::to_string(n) +
                        (n > 1 ? " frames" : " frame") + " dropped)";
            }
            seq.seen.insert(v.d);
            if (v.faults & kFaultTorn) seq.seen.insert(v.tornD);
            if (!seq.bAny || d > seq.maxD) seq.maxD = d;
            seq.bAny = true;
            // The next tick count is expected this frame's plus the median
            // of the last steps: steady for a host that paces its reads,
            // and robust to the tick counts early in a run, where a frame
            // is reproduced by any of tens of milliseconds.
            if (prevT1 >= 0 && v.t1 >= prevT1) {
                steps.push_back(v.t1 - prevT1);
                if (steps.size() > 9) steps.erase(steps.begin());
                std::vector<int64_t> sorted = steps;
                std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
                lastStep = sorted[sorted.size() / 2];
            }
            prevT1 = v.t1;
            prevStamp = nFrames < stamps.size() ? stamps[nFrames] : -1;
        }
        for (const uint32_t fault : {kFaultSwapped, kFaultFlipped, kFaultStride, kFaultTorn}) {
            if (!(v.faults & fault)) continue;
            auto it = faultCounts.find(fault);
            if (it == faultCounts.end()) {
                faultCounts[fault] = {1, nFrames};
            } else {
                ++it->second.first;
            }
        }
        if (bGood) ++nGood;
        puts(line.c_str());
    }
    const bool bReadFailed = reader.Failed();
    if (!bStdin) fclose(pInput);

    // Counters between the first and the last seen that never came.
    uint64_t nSkipped = 0;
    if (!seq.seen.empty()) {
        nSkipped = static_cast<uint64_t>(*seq.seen.rbegin() - *seq.seen.begin() + 1) - seq.seen.size();
    }
    const uint32_t nBad = nFrames - nGood;
    printf("summary: %u frame%s %dx%d: %u %s, %u corrupted", nFrames, nFrames == 1 ? "" : "s", nWidth, nHeight, nGood,
           options.bLossy ? "above the threshold" : "exact", nBad);
    if (nSolid > 0) printf(" (%u solid)", nSolid);
    if (!seq.seen.empty()) {
        printf("; counters %lld to %lld: %llu skipped (dropped frames), %u repeated (duplicated), %u out of order",
               static_cast<long long>(*seq.seen.begin()), static_cast<long long>(*seq.seen.rbegin()),
               static_cast<unsigned long long>(nSkipped), seq.nRepeated, seq.nOutOfOrder);
    }
    if (totalBytes > 0) {
        const double psnr = Psnr(totalSse, totalBytes);
        if (isinf(psnr)) {
            printf("; PSNR infinite");
        } else {
            printf("; PSNR %.1f dB", psnr);
        }
    }
    putchar('\n');
    if (!faultCounts.empty()) {
        static const std::map<uint32_t, const char*> kNames = {{kFaultSwapped, "red and blue swapped"},
                                                               {kFaultFlipped, "vertically flipped"},
                                                               {kFaultStride, "wrong stride"},
                                                               {kFaultTorn, "torn"}};
        printf("faults:");
        const char* pszSep = " ";
        for (const auto& [fault, counts] : faultCounts) {
            printf("%s%s in %u frame%s from frame %u", pszSep, kNames.at(fault), counts.first, counts.first == 1 ? "" : "s",
                   counts.second);
            pszSep = "; ";
        }
        putchar('\n');
    }
    bool bOk = nFrames > 0 && nBad == 0 && nSkipped == 0 && seq.nRepeated == 0 && seq.nOutOfOrder == 0;
    if (fflush(stdout) != 0) bOk = false;
    if (bReadFailed) {
        fprintf(stderr, "tcap-host: reading %s: %s\n", bStdin ? "standard input" : options.inputPath.c_str(), strerror(errno));
        return kExitFailure;
    }
    if (trailing > 0) {
        fprintf(stderr, "tcap-host: %zu bytes at the end are not a whole %dx%d frame (%zu bytes)\n", trailing, nWidth,
                nHeight, dataRowBytes * static_cast<size_t>(nHeight));
        bOk = false;
    }
    if (nFrames == 0 && trailing == 0) fprintf(stderr, "tcap-host: no frames in %s\n", bStdin ? "standard input" : options.inputPath.c_str());
    if (!stamps.empty() && stamps.size() != nFrames) {
        fprintf(stderr, "tcap-host: %s lists %zu frames, the recording has %u\n", options.timestampsPath.c_str(), stamps.size(),
                nFrames);
    }
    return bOk ? kExitOk : kExitFailure;
}

}  // namespace tcap_host
