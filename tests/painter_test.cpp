// The painters called directly, with chosen frame counters and tick counts
// that the host-level route cannot reach.
#include <gtest/gtest.h>
#include <math.h>

#include <vector>

#include "fast_paths.h"
#include "frames.h"
#include "tcap_internal.h"

namespace {

struct Palettes {
    uint8_t blue[256], green[256], red[256];
    Palettes() { tcap::BuildPalettes(blue, green, red); }
};

TEST(Palettes, TellingRows) {
    struct Row { int i, blue, green, red; };
    // Green starts above 255 and wraps to 3, 2, 1, 0 for entries 0 to 28.
    const Row rows[] = {{0, 255, 3, 127},   {1, 254, 2, 130},   {2, 254, 2, 133},  {17, 252, 1, 178},
                        {24, 249, 0, 198},  {28, 247, 0, 208},  {29, 246, 255, 210}, {64, 217, 244, 255},
                        {128, 127, 201, 127}, {192, 217, 138, 255}, {255, 254, 64, 130}};
    const Palettes p;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.i);
        EXPECT_EQ(p.blue[r.i], r.blue);
        EXPECT_EQ(p.green[r.i], r.green);
        EXPECT_EQ(p.red[r.i], r.red);
    }
}

std::string Paint(int w, int h, int32_t d, int32_t t1) {
    GuardedFrame f(size_t(w) * size_t(h) * 3);
    tcap::PaintPlasma(f.data(), w, h, d, t1);
    EXPECT_TRUE(f.GuardIntact());
    return HexRows(f.data(), w, h);
}

TEST(Plasma, WorkedFrames) {
    // No waves at tick 0: every index is x + y.
    EXPECT_EQ(Paint(4, 3, 10, 0),
              "ff02bb fe02be fe02c0 fe02c3\n"
              "fe02be fe02c0 fe02c3 fe02c6\n"
              "fe02c0 fe02c3 fe02c6 fe02c8\n");
    EXPECT_EQ(Paint(8, 4, 1, 5000),
              "ff0285 fe0288 fe028b fe028e fe0291 fe0294 fe0297 fe029b\n"
              "fe0288 fe028b fe028e fe0291 fe0294 fe0297 fe029b fe029e\n"
              "fe028b fe028e fe0291 fe0294 fe0297 fe029b fe029e fe02a1\n"
              "fe028e fe0291 fe0294 fe0297 fe029b fe029e fe02a1 fe02a4\n");
}

TEST(Plasma, FirstPixelIgnoresTheWaves) {
    // Both waves are 0 at column 0 and row 0, so the first pixel reads the
    // palettes at 0, d and 2d whatever the tick count. 2d is a 32-bit value:
    // at d = 2^30 it is -2^31, which is 0 modulo 256 as well.
    const Palettes p;
    const int32_t ds[] = {1, 10, 255, 256, 257, 1000, 1 << 30, (1 << 30) + 77, INT32_MAX, INT32_MIN, -1, -300};
    const int32_t ticks[] = {0, 1000, 100000, 111527, INT32_MAX, -5000};
    for (int32_t d : ds) {
        for (int32_t t1 : ticks) {
            SCOPED_TRACE(testing::Message() << "d=" << d << " t1=" << t1);
            uint8_t px[3 * 4] = {};
            tcap::PaintPlasma(px, 2, 2, d, t1);
            const uint32_t ud = static_cast<uint32_t>(d);
            EXPECT_EQ(px[0], p.blue[0]);
            EXPECT_EQ(px[1], p.green[ud & 255u]);
            EXPECT_EQ(px[2], p.red[(ud * 2u) & 255u]);
        }
    }
    uint8_t px[3];
    tcap::PaintPlasma(px, 1, 1, 1, 1234);
    EXPECT_EQ(HexRows(px, 1, 1), "ff0285\n");  // the first frame after loading
    tcap::PaintPlasma(px, 1, 1, 256, 0);
    EXPECT_EQ(HexRows(px, 1, 1), "ff037f\n");  // the index wraps modulo 256
}

// The formulas evaluated the plain way, pixel by pixel, in extended
// precision, independently of the painter's tables and strips. Returns the
// sum s of every pixel too, so that tests can pick pixels by their sum.
struct Evaluated {
    std::vector<uint8_t> frame;
    std::vector<long double> sums;
};

uint8_t Trunc8(long double v) { return static_cast<uint8_t>(static_cast<int64_t>(truncl(v))); }

Evaluated Evaluate(int w, int h, int32_t d, int32_t t1) {
    const Palettes p;
    Evaluated e;
    e.frame.resize(size_t(w) * size_t(h) * 3);
    e.sums.resize(size_t(w) * size_t(h));
    std::vector<double> column(static_cast<size_t>(w));
    const long double D = d, T = t1;
    for (int x = 0; x < w; ++x)
        column[x] = static_cast<double>(150.0L * cosl(D / 23) * sinl(x / 20.0L) * sinl(T / 71000) * sinl(T / 71000));
    const long double d2 = static_cast<int32_t>(static_cast<uint32_t>(d) * 2u);
    for (int y = 0; y < h; ++y) {
        const long double row = 150.0L * sinl(D / 10) * sinl(y / 20.0L) * sinl(T / 60000) * sinl(T / 60000);
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            const long double s = (static_cast<long double>(x) + column[x]) + (y + row);
            e.sums[i] = s;
            e.frame[3 * i] = p.blue[Trunc8(s)];
            e.frame[3 * i + 1] = p.green[Trunc8(s + D)];
            e.frame[3 * i + 2] = p.red[Trunc8(s + d2)];
        }
    }
    return e;
}

size_t FirstDifference(const uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return i;
    return n;
}

TEST(Plasma, TwiceDWrapsAt2To30) {
    // At d = 2^30 + 3, 2d formed in 32 bits is -2^31 + 6; in wider arithmetic
    // it would be +2^31 + 6. Modulo 256 both are 6, but added to a fractional
    // sum the first is negative and truncates toward zero, one step up.
    const Palettes p;
    const int32_t d = (1 << 30) + 3;
    const int w = 16, h = 16;
    std::vector<uint8_t> f(size_t(w) * h * 3);
    tcap::PaintPlasma(f.data(), w, h, d, 100000);
    const Evaluated e = Evaluate(w, h, d, 100000);
    int telling = 0;
    for (size_t i = 0; i < e.sums.size(); ++i) {
        const long double s = e.sums[i];
        const uint8_t wrapped = p.red[Trunc8(s + (-2147483648.0L + 6))];
        const uint8_t wide = p.red[Trunc8(s + (2147483648.0L + 6))];
        EXPECT_EQ(f[3 * i + 2], wrapped) << "pixel " << i;
        telling += wrapped != wide;
    }
    EXPECT_GT(telling, 0);
}

TEST(Plasma, MatchesPlainEvaluationAtHostSizes) {
    struct Case { int w, h; int32_t d, t1; };
    // Wider than one strip of columns, with strong waves (sin^2 near 1 around
    // 94 s and 111 s), odd widths, and large or negative counters.
    const Case cases[] = {{1920, 1080, 61, 100000}, {1001, 3, 72, 111527}, {1025, 7, -123456, 94248},
                          {2049, 2, (1 << 30) - 5, 250000}, {3840, 4, INT32_MAX, 100000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " d=" << c.d << " t1=" << c.t1);
        const Evaluated e = Evaluate(c.w, c.h, c.d, c.t1);
        GuardedFrame f(e.frame.size());
        tcap::PaintPlasma(f.data(), c.w, c.h, c.d, c.t1);
        const size_t at = FirstDifference(f.data(), e.frame.data(), e.frame.size());
        EXPECT_EQ(at, e.frame.size()) << "first difference at pixel " << at / 3 % size_t(c.w) << ","
                                      << at / 3 / size_t(c.w) << " channel " << at % 3;
        EXPECT_TRUE(f.GuardIntact());
    }
}

TEST(Plasma, NegativeSumsTruncateTowardZero) {
    // Waves near -150 at small x and y make many sums negative: those in
    // (-1, 1) read blue entry 0, those in (-2, -1] read entry 255.
    const Palettes p;
    const int w = 64, h = 64;
    const Evaluated e = Evaluate(w, h, 72, 111527);
    std::vector<uint8_t> f(e.frame.size());
    tcap::PaintPlasma(f.data(), w, h, 72, 111527);
    int nearZero = 0, minusOne = 0, negative = 0;
    for (size_t i = 0; i < e.sums.size(); ++i) {
        const long double s = e.sums[i];
        negative += s < 0;
        if (s > -1 && s < 1) {
            ++nearZero;
            EXPECT_EQ(f[3 * i], p.blue[0]) << "s=" << static_cast<double>(s);
        } else if (s > -2 && s <= -1) {
            ++minusOne;
            EXPECT_EQ(f[3 * i], p.blue[255]) << "s=" << static_cast<double>(s);
        }
    }
    EXPECT_GT(negative, 100);
    EXPECT_GT(nearZero, 0);
    EXPECT_GT(minusOne, 0);
    EXPECT_EQ(f, e.frame);
}

TEST(Plasma, EmptyAndTinyFrames) {
    struct Case { int w, h; size_t written; };
    const Case cases[] = {{0, 0, 0}, {0, 5, 0}, {5, 0, 0}, {-3, 4, 0}, {4, -3, 0}, {1, 1, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        GuardedFrame f(0);
        tcap::PaintPlasma(f.data(), c.w, c.h, 7, 100000);
        for (size_t i = 0; i < GuardedFrame::kGuard; ++i)
            EXPECT_EQ(f.data()[i] == GuardedFrame::kMarker, i >= c.written) << "byte " << i;
    }
}

TEST(SolidFill, WritesWholePixelsAndStops) {
    // Sizes around the fill's internal block of 64 pixels.
    for (int pixels : {0, 1, 2, 63, 64, 65, 127, 128, 1000, 4097}) {
        SCOPED_TRACE(pixels);
        GuardedFrame f(size_t(pixels) * 3);
        tcap::FillSolid(f.data(), pixels * 3, 1, 2, 3);
        for (int i = 0; i < pixels; ++i) {
            ASSERT_EQ(f.data()[3 * i], 1);
            ASSERT_EQ(f.data()[3 * i + 1], 2);
            ASSERT_EQ(f.data()[3 * i + 2], 3);
        }
        EXPECT_TRUE(f.GuardIntact());
    }
}

TEST(FrameBytes, RefusesNegativeAndOversizedFrames) {
    struct Case { int32_t w, h; int64_t bytes; };
    const Case cases[] = {
        {0, 0, 0},         {0, 100, 0},          {320, 240, 230400},  {3840, 2160, 24883200},
        {715827882, 1, 2147483646},                // the largest frame: 2^31 - 2 bytes
        {715827883, 1, -1}, {1, 715827883, -1},    // one pixel more does not fit
        {46341, 46341, -1}, {INT32_MAX, INT32_MAX, -1},
        {-1, 10, -1},       {10, -1, -1},         {INT32_MIN, 0, -1},  {-2, -2, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(tcap::FrameBytes(c.w, c.h), c.bytes) << c.w << "x" << c.h;
}

}  // namespace
