// Golden frames: the MD5 of every byte of plasma frames for a handful of
// sizes, frame counters and tick counts, recorded once in
// golden/plasma.framemd5. A change to the painters, the compiler or the maths
// library that moves a single byte fails here, naming the frame.
//
// To record the file anew (only when a change of the pictures is intended):
//   TCAP_GOLDEN_RECORD=tests/golden/plasma.framemd5 build/x86_64/tests/golden_test
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fast_paths.h"
#include "md5.h"
#include "tcap_internal.h"

namespace {

struct GoldenFrame {
    int32_t width;
    int32_t height;
    int32_t d;
    int32_t t1;
    std::string md5;
};

// One frame per line: width height d t1 md5; '#' starts a comment.
std::vector<GoldenFrame> ReadGolden(const char* path) {
    std::vector<GoldenFrame> frames;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        GoldenFrame f;
        fields >> f.width >> f.height >> f.d >> f.t1 >> f.md5;
        if (fields) frames.push_back(f);
    }
    return frames;
}

// The frames the file holds, when it is recorded.
const GoldenFrame kRecorded[] = {
    {1, 1, 1, 0, ""},          {4, 3, 10, 0, ""},          {8, 4, 1, 5000, ""},
    {64, 48, 256, 1000, ""},   {1001, 3, 12345, 100000, ""}, {1025, 7, -72, 100000, ""},
    {2049, 2, 1073741824, 100000, ""}, {320, 240, 2147483647, 94248, ""}, {320, 240, -2147483647 - 1, -2147483647 - 1, ""},
    {160, 120, 0, 1, ""},      {160, 120, 5, 20, ""},      {200, 150, 12345, 223053, ""},
    {640, 480, 19148, 100000, ""}, {640, 480, 7, 0, ""},    {1920, 1080, 19148, 100000, ""},
};

std::string Md5OfReference(const GoldenFrame& f) {
    std::vector<uint8_t> frame(static_cast<size_t>(f.width) * static_cast<size_t>(f.height) * 3);
    tcap::PaintPlasmaReference(frame.data(), f.width, f.height, f.d, f.t1);
    return tcap_host::Md5::Of(frame.data(), frame.size());
}

std::string Md5OfFast(const GoldenFrame& f) {
    std::vector<uint8_t> frame(static_cast<size_t>(f.width) * static_cast<size_t>(f.height) * 3);
    tcap::PaintPlasma(frame.data(), f.width, f.height, f.d, f.t1);
    return tcap_host::Md5::Of(frame.data(), frame.size());
}

TEST(GoldenFramesTest, PlasmaFramesKeepTheirRecordedDigests) {
    if (const char* record = std::getenv("TCAP_GOLDEN_RECORD")) {
        FILE* out = std::fopen(record, "w");
        ASSERT_NE(out, nullptr) << record;
        std::fprintf(out, "# MD5 of plasma frames (blue, green, red bytes, rows without gaps).\n");
        std::fprintf(out, "# width height d t1 md5\n");
        for (const GoldenFrame& f : kRecorded)
            std::fprintf(out, "%d %d %d %d %s\n", f.width, f.height, f.d, f.t1, Md5OfReference(f).c_str());
        std::fclose(out);
        GTEST_SKIP() << "recorded " << record;
    }
    const std::vector<GoldenFrame> frames = ReadGolden(TCAP_GOLDEN_FILE);
    ASSERT_GE(frames.size(), 10u) << "cannot read " << TCAP_GOLDEN_FILE;
    for (const GoldenFrame& f : frames) {
        char what[120];
        std::snprintf(what, sizeof what, "%dx%d d=%d T1=%d", f.width, f.height, f.d, f.t1);
        EXPECT_EQ(Md5OfReference(f), f.md5) << what << ", straightforward painter";
        EXPECT_EQ(Md5OfFast(f), f.md5) << what << ", fast painter";
        for (tcap::SimdPath path : {tcap::SimdPath::kScalar, tcap::SimdPath::kSse2, tcap::SimdPath::kAvx2,
                                    tcap::SimdPath::kAvx512}) {
            if (!tcap::PathRuns(path)) continue;
            std::vector<uint8_t> frame(static_cast<size_t>(f.width) * static_cast<size_t>(f.height) * 3);
            tcap::PaintPlasmaOn(path, frame.data(), f.width, f.height, f.d, f.t1);
            EXPECT_EQ(tcap_host::Md5::Of(frame.data(), frame.size()), f.md5) << what << ", " << tcap::PathName(path);
        }
    }
    // On an emulated CPU the run names the path it forces.
    if (const char* expected = std::getenv("TCAP_EXPECT_SIMD_PATH")) {
        EXPECT_STREQ(tcap::PathName(tcap::ChosenPath()), expected);
    }
}

}  // namespace
