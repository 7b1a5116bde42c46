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

const char* PathName(SimdPath path) {
    switch (path) {
        case SimdPath::kScalar: return "scalar";
        case SimdPath::kSse2: return "SSE2";
        case SimdPath::kAvx512: return "AVX-512";
    }
    return "unknown";
}

std::vector<SimdPath> RunnablePaths() {
    std::vector<SimdPath> paths;
    for (SimdPath path : {SimdPath::kScalar, SimdPath::kSse2, SimdPath::kAvx512}) {
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
    static tcap::SineTable sines;
    for (int32_t filled : {c.width > c.height ? c.width : c.height, 7}) {
        sines.n = 0;
        tcap::FillSineTable(&sines, filled);
        GuardedFrame tabled(BytesOf(c.width, c.height));
        tcap::PaintPlasma(tabled.data(), c.width, c.height, c.d, c.t1, &sines);
        EXPECT_TRUE(tabled.GuardIntact());
        EXPECT_TRUE(SameFrame(reference.data(), tabled.data(), reference.bytes(), c.width)) << "PaintPlasma with " << sines.n << " sines in the table";
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

// The path the dispatcher takes must be the one the CPU calls for: on
// x86-64 the widest it runs (SSE2 is always there); on i386 whatever the test
// run says the emulated CPU has (TCAP_EXPECT_SIMD_PATH, set by the test
// entries that pick a CPU), and never AVX-512, which only the x86-64 library has.
TEST(PathChoiceTest, TakesThePathTheCpuCallsFor) {
    EXPECT_TRUE(tcap::PathRuns(SimdPath::kScalar));
    EXPECT_TRUE(tcap::PathRuns(tcap::ChosenPath()));
    if (sizeof(void*) == 8) {
        EXPECT_TRUE(tcap::PathRuns(SimdPath::kSse2));
        const SimdPath widest = tcap::PathRuns(SimdPath::kAvx512) ? SimdPath::kAvx512 : SimdPath::kSse2;
        EXPECT_EQ(tcap::ChosenPath(), widest);
        return;
    }
    EXPECT_FALSE(tcap::PathRuns(SimdPath::kAvx512));
    const char* expected = std::getenv("TCAP_EXPECT_SIMD_PATH");
    if (expected == nullptr) GTEST_SKIP() << "no expected path given for this CPU";
    if (std::strcmp(expected, "scalar") == 0) {
        EXPECT_EQ(tcap::ChosenPath(), SimdPath::kScalar);
        EXPECT_FALSE(tcap::PathRuns(SimdPath::kSse2));
    } else {
        EXPECT_STREQ(expected, "sse2");
        EXPECT_EQ(tcap::ChosenPath(), SimdPath::kSse2);
    }
}

}  // namespace
