// tcap-host verify: identification of plasma frames painted for known frame
// counters and tick counts, each fault it names, solid frames, and its
// command line.
#include "verify.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include "fast_paths.h"

namespace tcap_host {
namespace {

std::vector<uint8_t> Plasma(int32_t w, int32_t h, int32_t d, int32_t t1) {
    std::vector<uint8_t> frame(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    tcap::PaintPlasma(frame.data(), w, h, d, t1);
    return frame;
}

// Where a verifier that has seen nothing yet looks: the defaults of
// tcap-host verify.
SearchHint ColdHint() {
    const VerifyOptions defaults;
    SearchHint hint;
    hint.dLo = 1;
    hint.dHi = defaults.nMaxCounter;
    hint.tLo = 0;
    hint.tHi = defaults.nMaxTicks;
    return hint;
}

// Frames from a freshly loaded plug-in and from hosts that ran for minutes
// or an hour, with the waves weak, strong and in between, found without any
// hint and reproduced byte for byte.
TEST(FrameVerifier, FindsFramesFromAColdStart) {
    const struct {
        int32_t w, h, d, t1;
    } kCases[] = {
        {160, 120, 1, 1000},        // the first frame after loading
        {160, 120, 37, 2480},       // a second and a half in
        {320, 240, 2900, 97000},    // the row wave near its strongest
        {320, 240, 9000, 300000},   // five minutes
        {200, 150, 108000, 3600000},  // an hour at 30 frames/s
        {97, 61, 250, 9000},        // odd sizes: rows not a multiple of 4 bytes
    };
    for (const auto& c : kCases) {
        const std::vector<uint8_t> frame = Plasma(c.w, c.h, c.d, c.t1);
        FrameVerifier verifier(c.w, c.h, false);
        const FrameVerdict v = verifier.Check(frame.data(), ColdHint());
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " d " << c.d << " T1 " << c.t1);
        ASSERT_EQ(v.kind, FrameKind::kPlasma);
        EXPECT_TRUE(v.Exact()) << "found d " << v.d << " T1 " << v.t1 << ", " << v.nDiffBytes << " bytes differ";
        EXPECT_EQ(v.faults, 0u);
        EXPECT_EQ(v.d & 255, c.d & 255);
        EXPECT_EQ(verifier.Paint(v.d, v.t1), frame) << "the verdict names a (d, T1) that reproduces the frame";
    }
}

// A run of frames, each found from the one before, as a host delivers them:
// 30 frames/s, with the second readings jittering by a few milliseconds.
TEST(FrameVerifier, FollowsARun) {
    const int32_t w = 192, h = 108;
    FrameVerifier verifier(w, h, false);
    SearchHint hint = ColdHint();
    int32_t t1 = 61000;
    for (int32_t d = 1800; d < 1830; ++d) {
        t1 += 33 + (d % 3) * 2 - 2;
        const std::vector<uint8_t> frame = Plasma(w, h, d, t1);
        const FrameVerdict v = verifier.Check(frame.data(), hint);
        ASSERT_TRUE(v.Exact()) << "d " << d << " T1 " << t1 << ": found d " << v.d << " T1 " << v.t1 << ", " << v.nDiffBytes
                               << " bytes differ";
        EXPECT_EQ(v.d, d);
        hint.bTracking = true;
        hint.dExpected = v.d + 1;
        hint.tExpected = v.t1 + 33;
    }
}

// Each fault planted in a frame the verifier then checks: what it reports.
TEST(FrameVerifier, NamesFaults) {
    const int32_t w = 90, h = 60, d = 40, t1 = 20000;
    const size_t rowBytes = static_cast<size_t>(w) * 3;
    const std::vector<uint8_t> clean = Plasma(w, h, d, t1);
    const std::vector<uint8_t> next = Plasma(w, h, d + 1, t1 + 33);

    std::vector<uint8_t> oneByte = clean;
    oneByte[rowBytes * 7 + 3 * 11 + 1] ^= 0x40;  // green of pixel (11, 7)

    std::vector<uint8_t> swapped = clean;
    for (size_t i = 0; i < swapped.size(); i += 3) std::swap(swapped[i], swapped[i + 2]);

    std::vector<uint8_t> flipped(clean.size());
    for (int32_t y = 0; y < h; ++y) {
        memcpy(&flipped[static_cast<size_t>(h - 1 - y) * rowBytes], &clean[static_cast<size_t>(y) * rowBytes], rowBytes);
    }

    std::vector<uint8_t> torn = next;  // the top 25 rows from the frame before
    memcpy(torn.data(), clean.data(), rowBytes * 25);

    const struct {
        const char* pszName;
        const std::vector<uint8_t>* pFrame;
        uint32_t faults;
        uint64_t nDiffBytes;
    } kCases[] = {
        {"clean", &clean, 0, 0},
        {"one byte", &oneByte, 0, 1},
        {"swapped", &swapped, kFaultSwapped, 0},
        {"flipped", &flipped, kFaultFlipped, 0},
        {"torn", &torn, kFaultTorn, UINT64_MAX},
    };
    for (const auto& c : kCases) {
        FrameVerifier verifier(w, h, false);
        SearchHint hint = ColdHint();
        hint.dExpected = d;
        hint.tExpected = t1;
        const FrameVerdict v = verifier.Check(c.pFrame->data(), hint);
        SCOPED_TRACE(c.pszName);
        ASSERT_EQ(v.kind, FrameKind::kPlasma);
        EXPECT_EQ(v.d, d);
        EXPECT_EQ(v.faults, c.faults);
        if (c.nDiffBytes != UINT64_MAX) {
            EXPECT_EQ(v.nDiffBytes, c.nDiffBytes);
        }
    }

    FrameVerifier verifier(w, h, false);
    SearchHint hint = ColdHint();
    hint.dExpected = d;
    hint.tExpected = t1;
    const FrameVerdict one = verifier.Check(oneByte.data(), hint);
    EXPECT_EQ(one.firstDiff, static_cast<int64_t>(rowBytes * 7 + 3 * 11 + 1));
    EXPECT_NEAR(one.psnr, 10 * log10(255.0 * 255.0 * static_cast<double>(clean.size()) / (64.0 * 64.0)), 1e-9)
        << "one byte off by 0x40";
    const std::string line = FormatVerdict(3, one, w, 0);
    EXPECT_EQ(line.substr(0, 18), "frame    3  d 40  ") << line;
    EXPECT_NE(line.find(" 1 byte differs, first at pixel (11, 7) green; PSNR "), std::string::npos) << line;

    const FrameVerdict t = verifier.Check(torn.data(), hint);
    EXPECT_EQ(t.tornRow, 25);
    EXPECT_EQ(t.tornD, d + 1);
}

// Rows laid out with the wrong stride, padded or cut: found from the bytes
// as they come, with the frame they should hold.
TEST(FrameVerifier, FindsTheStride) {
    const int32_t w = 90, h = 20, d = 3, t1 = 1200;
    const size_t rowBytes = static_cast<size_t>(w) * 3;
    const std::vector<uint8_t> clean = Plasma(w, h, d, t1);
    FrameVerifier verifier(w, h, false);
    for (const int32_t stride : {272, 276, 280, 267, 240}) {
        std::vector<uint8_t> data(static_cast<size_t>(stride) * h, 0xee);
        for (int32_t y = 0; y < h; ++y) {
            memcpy(&data[static_cast<size_t>(y) * static_cast<size_t>(stride)], &clean[static_cast<size_t>(y) * rowBytes],
                   std::min(rowBytes, static_cast<size_t>(stride)));
        }
        EXPECT_EQ(verifier.FindRowBytes(data.data(), data.size(), d, t1), stride);
    }
    EXPECT_EQ(verifier.FindRowBytes(clean.data(), clean.size(), d, t1), 0) << "the right stride is no fault";
}

TEST(FrameVerifier, SolidAndUnknownFrames) {
    const int32_t w = 8, h = 4;
    const size_t n = static_cast<size_t>(w) * h * 3;
    std::vector<uint8_t> green(n, 0);
    for (size_t i = 1; i < n; i += 3) green[i] = 255;
    FrameVerifier verifier(w, h, false);
    FrameVerdict v = verifier.Check(green.data(), ColdHint());
    EXPECT_EQ(v.kind, FrameKind::kSolid);
    EXPECT_EQ(v.solidInput, 2);
    EXPECT_TRUE(v.Exact());
    EXPECT_EQ(FormatVerdict(0, v, w, 0), "frame    0  solid Green exact");

    green[3 * 9 + 2] = 1;  // red of pixel (1, 1)
    v = verifier.Check(green.data(), ColdHint());
    EXPECT_EQ(v.nDiffBytes, 1u);
    EXPECT_EQ(FormatVerdict(0, v, w, 0).find("frame    0  solid Green not uniform: 1 byte differs, first at pixel (1, 1) red; PSNR "), 0u);

    std::vector<uint8_t> noise(static_cast<size_t>(64) * 48 * 3);
    uint32_t x = 12345;
    for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    FrameVerifier other(64, 48, false);
    EXPECT_EQ(other.Check(noise.data(), ColdHint()).kind, FrameKind::kUnknown);
}

// With --lossy: a frame with every byte a little off, as an encoder leaves
// it, is still told from its neighbours.
TEST(FrameVerifier, LossyFramesByPsnr) {
    const int32_t w = 160, h = 120, t1 = 1500;
    FrameVerifier verifier(w, h, true);
    SearchHint hint = ColdHint();
    hint.tLo = 1000;
    hint.tHi = 2000;
    hint.tExpected = t1;
    for (int32_t d = 5; d < 9; ++d) {
        std::vector<uint8_t> frame = Plasma(w, h, d, t1);
        uint32_t x = 7;
        for (uint8_t& b : frame) {
            x = x * 1103515245u + 12345u;
            const int e = static_cast<int>((x >> 24) % 7) - 3;
            b = static_cast<uint8_t>(std::min(255, std::max(0, b + e)));
        }
        const FrameVerdict v = verifier.Check(frame.data(), hint);
        ASSERT_EQ(v.kind, FrameKind::kPlasma);
        EXPECT_EQ(v.d, d);
        EXPECT_GT(v.psnr, 35);
        EXPECT_LT(v.psnr, 45);
        hint.bTracking = true;
        hint.dExpected = d + 1;
    }
}

TEST(ParseVerifyArguments, AcceptsItsOptions) {
    VerifyOptions o;
    std::string error;
    ASSERT_TRUE(ParseVerifyArguments({"--size", "90x60", "rec.raw", "--timestamps=ts.txt", "--lossy", "--threshold", "30",
                                      "--time-offset", "-500", "--max-counter", "1000", "--max-ticks", "60000"},
                                     &o, &error))
        << error;
    EXPECT_EQ(o.size.nWidth, 90);
    EXPECT_EQ(o.size.nHeight, 60);
    EXPECT_EQ(o.inputPath, "rec.raw");
    EXPECT_EQ(o.timestampsPath, "ts.txt");
    EXPECT_TRUE(o.bLossy);
    EXPECT_EQ(o.threshold, 30);
    EXPECT_TRUE(o.bTimeOffset);
    EXPECT_EQ(o.nTimeOffset, -500);
    EXPECT_EQ(o.nMaxCounter, 1000);
    EXPECT_EQ(o.nMaxTicks, 60000);

    ASSERT_TRUE(ParseVerifyArguments({"-", "--size=4x2"}, &o, &error)) << error;
    EXPECT_EQ(o.inputPath, "-");
    EXPECT_FALSE(o.bLossy);
}

TEST(ParseVerifyArguments, RefusesWithAReason) {
    const struct {
        std::vector<std::string> args;
        const char* pszError;
    } kCases[] = {
        {{"rec.raw"}, "verify needs the frame size: --size WxH"},
        {{"--size", "90"}, "--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '90'"},
        {{"--size", "40000x10"}, "--size: verify takes frames of up to 32768 pixels each way"},
        {{"--size", "9x9", "a", "b"}, "verify reads one recording, not also 'b'"},
        {{"--size", "9x9", "--threshold", "0"}, "--threshold wants a PSNR in dB above 0, such as 35, not '0'"},
        {{"--size", "9x9", "--max-counter", "0"}, "--max-counter wants a frame counter from 1 to 2147483647, not '0'"},
        {{"--size", "9x9", "--lossy=yes"}, "--lossy takes no value"},
        {{"--size", "9x9", "--timestamps"}, "option --timestamps needs a value"},
        {{"--size", "9x9", "--frames", "3"}, "unknown option --frames"},
        {{"--size", "9x9", "-x"}, "unknown option -x"},
    };
    for (const auto& c : kCases) {
        VerifyOptions o;
        std::string error;
        EXPECT_FALSE(ParseVerifyArguments(c.args, &o, &error)) << c.pszError;
        EXPECT_EQ(error, c.pszError);
    }
}

}  // namespace
}  // namespace tcap_host
