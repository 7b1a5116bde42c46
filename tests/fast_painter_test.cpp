// The fast plasma painter against the straightforward one, byte for byte, on
// every path this CPU can run: frames chosen to sit on the places where the
// fast arithmetic has to hand over to the exact one (sums on or near whole
// numbers, negative sums, sums whose sign changes across the frame, strip
// edges), plus a deterministic stream of random frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fast_kernels.h"
#include "fast_paths.h"
#include "frames.h"
#include "tcap_internal.h"

namespace {

using tcap::SimdPath;

struct PlasmaCase {
    int32_t width;
    int32_t height;
    int32_t d;
    int32_t t1;
    const char* what;
};

std::string Describe(const PlasmaCase& c) {
    char text[160];
    std::snprintf(text, sizeof text, "%dx%d d=%d T1=%d (%s)", c.width, c.height, c.d, c.t1, c.what);
    return text;
}

using tcap::PathName;

const SimdPath kAllPaths[] = {SimdPath::kScalar, SimdPath::kSse2, SimdPath::kAvx2, SimdPath::kAvx512};

std::vector<SimdPath> RunnablePaths() {
    std::vector<SimdPath> paths;
    for (SimdPath path : kAllPaths) {
        if (tcap::PathRuns(path)) paths.push_back(path);
    }
    return paths;
}

// The reference frame, then every runnable path and the dispatching painter.
void ExpectMatchesReference(const PlasmaCase& c) {
    SCOPED_TRACE(Describe(c));
    GuardedFrame reference(BytesOf(c.width, c.height));
    tcap::PaintPlasmaReference(reference.data(), c.width, c.height, c.d, c.t1);
    ASSERT_TRUE(reference.GuardIntact());
    for (SimdPath path : RunnablePaths()) {
        GuardedFrame fast(BytesOf(c.width, c.height));
        tcap::PaintPlasmaOn(path, fast.data(), c.width, c.height, c.d, c.t1);
        EXPECT_TRUE(fast.GuardIntact()) << PathName(path) << " path wrote outside the frame";
        EXPECT_TRUE(SameFrame(reference.data(), fast.data(), reference.bytes(), c.width)) << PathName(path) << " path";
    }
    GuardedFrame chosen(BytesOf(c.width, c.height));
    tcap::PaintPlasma(chosen.data(), c.width, c.height, c.d, c.t1);
    EXPECT_TRUE(chosen.GuardIntact());
    EXPECT_TRUE(SameFrame(reference.data(), chosen.data(), reference.bytes(), c.width)) << "PaintPlasma";
    // As Read_Packet paints: with the manager's table of sines, filled for the
    // whole frame or, mixing table and computed sines, for a few columns only.
    // The work area is reused from frame to frame, as the manager's is.
    static tcap::PlasmaWork* const work = static_cast<tcap::PlasmaWork*>(calloc(1, sizeof(tcap::PlasmaWork)));
    for (int32_t filled : {c.width > c.height ? c.width : c.height, 7}) {
        work->sines.n = 0;
        tcap::FillSineTable(&work->sines, filled);
        GuardedFrame tabled(BytesOf(c.width, c.height));
        tcap::PaintPlasma(work, tabled.data(), c.width, c.height, c.d, c.t1);
        EXPECT_TRUE(tabled.GuardIntact());
        EXPECT_TRUE(SameFrame(reference.data(), tabled.data(), reference.bytes(), c.width))
            << "PaintPlasma with " << work->sines.n << " sines in the table";
    }
}

constexpr int32_t kMax = INT32_MAX;
constexpr int32_t kMin = INT32_MIN;

// Frames on the boundaries of the fast arithmetic. Sizes stay small: under
// qemu-i386 the reference painter is slow.
const PlasmaCase kBoundaryCases[] = {
    {1, 1, 1, 0, "smallest frame"},
    {1, 1, 1, 100000, "smallest frame, waves"},
    {1001, 3, 12345, 100000, "odd width"},
    {17, 5, 3, 5000, "width one past a vector of 16"},
    {15, 7, 9, 70000, "width below a vector"},
    {3, 200, 19148, 100000, "tall and narrow"},
    {4, 3, 10, 0, "no waves: whole-number sums"},
    {8, 4, 1, 5000, "weak waves"},
    {64, 64, 0, 0, "d = 0 and T1 = 0"},
    {97, 61, 0, 100000, "d = 0: row wave exactly 0, column 0 and row 0 whole"},
    {2049, 2, 1, 5000, "one column past a strip"},
    {2050, 3, 77, 0, "past a strip, no waves"},
    // Both waves near -150 around the first rows and columns: negative sums,
    // s + d negative for small positive d and mixed for negative d.
    {180, 120, 19148, 100000, "waves at their strongest, negative near the corner"},
    {200, 150, 72, 100000, "column wave near -150, s + d crosses zero"},
    {200, 150, -72, 100000, "both waves negative, d negative"},
    {200, 150, 2529, 94248, "row wave at its peak"},
    {150, 100, -300, 111527, "column wave at its peak, d negative"},
    // Whole-number and near-whole sums: with tiny waves nearly every sum
    // lies within the guard band, and the sign of the tiny wave decides
    // between n and n - 1.
    {120, 40, 0, 1, "waves of 1e-8"},
    {120, 40, 0, 20, "waves across the guard band"},
    {120, 40, 5, 3, "tiny waves, d small"},
    {120, 40, -5, 7, "tiny waves, d negative"},
    {120, 40, 0, -7, "negative T1 near 0"},
    {120, 40, 0, 223053, "column swell near a zero of its sine"},
    {120, 40, 1, 188496, "row swell near a zero of its sine"},
    {120, 40, -100000, 0, "no waves, every s + d negative"},
    {120, 40, -50, 0, "no waves, s + d changes sign"},
    // d where d or 2d (a 32-bit value) changes sign or runs out of range.
    {160, 60, 1073741823, 100000, "2d just below 2^31"},
    {160, 60, 1073741824, 100000, "2d = -2^31"},
    {160, 60, 1073741825, 100000, "2d just above -2^31"},
    {160, 60, kMax - 40, 100000, "2d = -82: s + 2d changes sign"},
    {160, 60, kMax, 100000, "d = 2^31 - 1"},
    {160, 60, kMin, 100000, "d = -2^31, 2d = 0"},
    {160, 60, kMin + 30, 100000, "d near -2^31"},
    {160, 60, -1073741824, 100000, "d = -2^30"},
    {160, 60, -1, 100000, "d = -1"},
    {160, 60, 12345, kMax, "T1 = 2^31 - 1"},
    {160, 60, 12345, kMin, "T1 = -2^31"},
};

TEST(FastPainterTest, MatchesReferenceOnBoundaryCases) {
    for (const PlasmaCase& c : kBoundaryCases) ExpectMatchesReference(c);
}

// d and T1 drawn from ranges where the fast arithmetic has to be careful,
// and from everywhere.
int32_t DrawD(std::mt19937& random) {
    std::uniform_int_distribution<int32_t> any(kMin, kMax);
    std::uniform_int_distribution<int32_t> near(-400, 400);
    switch (random() % 6) {
        case 0: return near(random);
        case 1: return static_cast<int32_t>(1073741824u + static_cast<uint32_t>(near(random)));
        case 2: return static_cast<int32_t>(0x80000000u + static_cast<uint32_t>(near(random)));
        case 3: return static_cast<int32_t>(0xc0000000u + static_cast<uint32_t>(near(random)));
        default: return any(random);
    }
}

int32_t DrawT1(std::mt19937& random) {
    std::uniform_int_distribution<int32_t> any(kMin, kMax);
    std::uniform_int_distribution<int32_t> tiny(-60, 60);
    std::uniform_int_distribution<int32_t> minutes(0, 400000);
    switch (random() % 4) {
        case 0: return tiny(random);
        case 1: return any(random);
        default: return minutes(random);
    }
}

TEST(FastPainterTest, MatchesReferenceOnRandomFrames) {
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int32_t> width(1, 260);
    std::uniform_int_distribution<int32_t> height(1, 40);
    for (int k = 0; k < 200; ++k) {
        const PlasmaCase c = {width(random), height(random), DrawD(random), DrawT1(random), "random"};
        ExpectMatchesReference(c);
        if (HasFailure()) break;  // one frame's report is enough
    }
}

TEST(FastPainterTest, MatchesReferenceOnAVgaFrame) {
    ExpectMatchesReference({640, 480, 19148, 100000, "VGA, strongest waves"});
}

TEST(FastPainterTest, MatchesReferenceOnFullHdFrames) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "full HD frames of the reference take too long under emulation";
    ExpectMatchesReference({1920, 1080, 19148, 100000, "full HD, strongest waves"});
    ExpectMatchesReference({1920, 1080, 7, 0, "full HD, no waves"});
    ExpectMatchesReference({1920, 1080, -2000, 100000, "full HD, s + d changes sign"});
}

TEST(FastPainterTest, PaintsNothingForEmptySizes) {
    const struct {
        int32_t width;
        int32_t height;
    } kSizes[] = {{0, 5}, {5, 0}, {0, 0}, {-1, 5}, {5, -3}, {kMin, kMin}};
    for (const auto& size : kSizes) {
        for (SimdPath path : RunnablePaths()) {
            GuardedFrame frame(0);
            tcap::PaintPlasmaOn(path, frame.data(), size.width, size.height, 1, 100000);
            EXPECT_TRUE(frame.GuardIntact()) << size.width << "x" << size.height << " on " << PathName(path);
        }
    }
}

// The inner loops at the edges of the guard band. The argument for
// exactness bounds the error of the 8.16 sums by 2.01 units of 2^-16, so
// every pixel whose sum lies within 3 units of a whole number (fraction 0, 1,
// 2, 2^16 - 2, 2^16 - 1) must be handed to the exact arithmetic. Columns and
// rows are constructed so that their sums land on each of those fractions,
// and on each side of the band's edges, for several row values.
TEST(GuardBandTest, EveryPathFlagsTheSumsTheArgumentCannotDecide) {
    const uint32_t kFractions[] = {0, 1, 2, 3, 4, 5, 6, 7, 100, 0x7fff, 0x8000, 0x8001, 65529, 65530, 65531,
                                   65532, 65533, 65534, 65535};
    constexpr int32_t kRequired = 3;  // from the argument: |error| < 2.01
    tcap::FoldedPalette palette{};
    for (uint32_t k = 0; k < 256; ++k) {
        palette.planes[0][k] = static_cast<uint8_t>(k);
        palette.planes[1][k] = static_cast<uint8_t>(255u - k);
        palette.planes[2][k] = static_cast<uint8_t>(k ^ 0x5au);
        palette.pixel[k] = k | (255u - k) << 8 | (k ^ 0x5au) << 16;
    }
    constexpr int32_t kN = 200;
    std::mt19937 random(7u);
    for (uint32_t rowFrac : {0u, 1u, 3u, 12345u, 0x8000u, 65533u, 65535u}) {
        for (uint32_t rowWhole : {0u, 17u, 255u}) {
            const uint32_t row816 = rowWhole << 16 | rowFrac;
            const tcap::RowBias bias = tcap::MakeRowBias(row816, true);
            alignas(64) uint8_t whole[kN + tcap::kPadding] = {};
            alignas(64) int16_t frac[kN + tcap::kPadding] = {};
            uint32_t target[kN];
            for (int32_t i = 0; i < kN; ++i) {
                target[i] = kFractions[static_cast<size_t>(i) % (sizeof kFractions / sizeof kFractions[0])];
                whole[i] = static_cast<uint8_t>(random());
                const uint32_t f = (target[i] - rowFrac) & 0xffffu;  // column fraction: the sum lands on target
                frac[i] = static_cast<int16_t>(static_cast<int32_t>(f) - 0x8000);
            }
            for (SimdPath path : RunnablePaths()) {
                SCOPED_TRACE(::testing::Message() << PathName(path) << ", row " << rowWhole << " + " << rowFrac
                                                  << "/65536");
                static tcap::RunScratch scratch;
                GuardedFrame out(BytesOf(kN, 1));
                tcap::PlasmaRunOn(static_cast<int32_t>(path))(whole, frac, kN, bias, palette, &scratch, out.data());
                EXPECT_TRUE(out.GuardIntact());
                for (int32_t i = 0; i < kN; ++i) {
                    const uint32_t f = target[i];
                    const bool flagged = (scratch.masks[i / 16] >> (i % 16) & 1u) != 0;
                    const bool undecided = f < static_cast<uint32_t>(kRequired) || f > 65536u - kRequired;
                    if (undecided) {
                        EXPECT_TRUE(flagged) << "pixel " << i << ": fraction " << f << " is not handed over";
                        continue;
                    }
                    if (f >= 8 && f <= 65528) {
                        EXPECT_FALSE(flagged) << "pixel " << i << ": fraction " << f;
                    }
                    if (flagged) continue;
                    // floor of (column + row) in 8.16: the column's fraction is
                    // f - rowFrac mod 2^16, so a carry came out where f < rowFrac.
                    const uint32_t index = (whole[i] + rowWhole + (f < rowFrac ? 1u : 0u)) & 255u;
                    uint32_t px = 0;
                    std::memcpy(&px, out.data() + 3 * i, 3);
                    EXPECT_EQ(px, palette.pixel[index] & 0xffffffu) << "pixel " << i << ": fraction " << f;
                }
            }
        }
    }
}

// The path the dispatcher takes must be the one the CPU calls for: the one
// the test run names (TCAP_EXPECT_SIMD_PATH, set by the entries that run the
// tests on an emulated CPU), or else the widest the CPU runs. The i386
// library never takes AVX-512, which it does not have.
TEST(PathChoiceTest, TakesThePathTheCpuCallsFor) {
    EXPECT_TRUE(tcap::PathRuns(SimdPath::kScalar));
    EXPECT_TRUE(tcap::PathRuns(tcap::ChosenPath()));
    if (sizeof(void*) == 8) {
        EXPECT_TRUE(tcap::PathRuns(SimdPath::kSse2));
    } else {
        EXPECT_FALSE(tcap::PathRuns(SimdPath::kAvx512));
    }
    SimdPath widest = SimdPath::kScalar;
    for (SimdPath path : kAllPaths) {
        if (tcap::PathRuns(path)) widest = path;
    }
    EXPECT_EQ(tcap::ChosenPath(), widest);
    if (const char* expected = std::getenv("TCAP_EXPECT_SIMD_PATH")) {
        EXPECT_STREQ(PathName(tcap::ChosenPath()), expected);
    }
}

// The solid fill on every path: the bytes FillSolid writes, whole pixels
// only, nothing outside the frame, at sizes around each path's block.
TEST(FastFillTest, MatchesFillSolidOnEveryPath) {
    for (int32_t pixels : {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 1000, 4097}) {
        for (int32_t extra : {0, 1, 2}) {  // byte counts that are not whole pixels
            const int32_t bytes = 3 * pixels + extra;
            GuardedFrame expected(static_cast<size_t>(bytes));
            tcap::FillSolid(expected.data(), bytes, 11, 22, 33);
            for (SimdPath path : RunnablePaths()) {
                GuardedFrame fast(static_cast<size_t>(bytes));
                tcap::FillSolidOn(path, fast.data(), bytes, 11, 22, 33);
                EXPECT_TRUE(fast.GuardIntact()) << PathName(path) << ", " << bytes << " bytes";
                EXPECT_TRUE(SameFrame(expected.data(), fast.data(), static_cast<size_t>(bytes), pixels))
                    << PathName(path) << ", " << bytes << " bytes";
            }
        }
    }
}

}  // namespace
