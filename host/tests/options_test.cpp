// What tcap-host capture accepts on its command line, and how it says no.
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tcap_host {
namespace {

TEST(ParseSize, AcceptsWidthByHeight) {
    const struct {
        const char* pszText;
        int32_t nWidth, nHeight;
    } kCases[] = {
        {"640x480", 640, 480}, {"1x1", 1, 1}, {"0090x060", 90, 60}, {"2147483647x1", 2147483647, 1},
    };
    for (const auto& c : kCases) {
        FrameSize size;
        ASSERT_TRUE(ParseSize(c.pszText, &size)) << c.pszText;
        EXPECT_EQ(size.nWidth, c.nWidth) << c.pszText;
        EXPECT_EQ(size.nHeight, c.nHeight) << c.pszText;
    }
}

TEST(ParseSize, RefusesAnythingElse) {
    for (const char* pszText : {"", "640", "640x", "x480", "640x480x2", "640X480", "640*480", " 640x480", "640x480 ",
                                "-4x3", "4x-3", "+4x3", "0x480", "640x0", "2147483648x1", "99999999999999999999x1",
                                "6a0x480", "0x10x10"}) {
        FrameSize size = {7, 7};
        EXPECT_FALSE(ParseSize(pszText, &size)) << '"' << pszText << '"';
        EXPECT_EQ(size.nWidth, 7) << "left alone on failure";
    }
}

TEST(ParseInteger, KeepsToItsRange) {
    const struct {
        const char* pszText;
        int64_t nMin, nMax;
        bool bOk;
        int64_t nValue;
    } kCases[] = {
        {"0", 0, 10, true, 0},
        {"10", 0, 10, true, 10},
        {"11", 0, 10, false, 0},
        {"-1", 0, 10, false, 0},
        {"-2147483648", INT32_MIN, INT32_MAX, true, INT32_MIN},
        {"2147483648", INT32_MIN, INT32_MAX, false, 0},
        {"+5", 0, 10, true, 5},
        {"4294967295", 1, UINT32_MAX, true, UINT32_MAX},
        {"99999999999999999999999", 0, INT64_MAX, false, 0},
        {"", 0, 10, false, 0},
        {"-", 0, 10, false, 0},
        {"0x10", 0, 100, false, 0},
        {"1e3", 0, 10000, false, 0},
        {" 5", 0, 10, false, 0},
    };
    for (const auto& c : kCases) {
        int64_t n = -99;
        EXPECT_EQ(ParseInteger(c.pszText, c.nMin, c.nMax, &n), c.bOk) << '"' << c.pszText << '"';
        if (c.bOk) {
            EXPECT_EQ(n, c.nValue) << c.pszText;
        }
    }
}

TEST(ParseRate, TakesPositiveFiniteRates) {
    for (const auto& c : {std::pair<const char*, double>{"25", 25}, {"29.97", 29.97}, {"0.5", 0.5}, {"1e2", 100}}) {
        double rate = 0;
        ASSERT_TRUE(ParseRate(c.first, &rate)) << c.first;
        EXPECT_DOUBLE_EQ(rate, c.second);
    }
    for (const char* pszText : {"", "0", "-25", "abc", "25fps", " 25", "inf", "nan", "1e999"}) {
        double rate = 0;
        EXPECT_FALSE(ParseRate(pszText, &rate)) << '"' << pszText << '"';
    }
}

TEST(ResolveInput, FindsIndicesAndNamesInAnyCase) {
    const std::vector<std::string> names = {"Psychadelic", "Red", "Green", "Blue"};
    const struct {
        const char* pszText;
        int nInput;
    } kCases[] = {
        {"0", 0}, {"3", 3}, {"03", 3}, {"4", -1}, {"-1", -1}, {"99999999999", -1},
        {"Psychadelic", 0}, {"psychadelic", 0}, {"RED", 1}, {"gReEn", 2}, {"blue", 3},
        {"Purple", -1}, {"Re", -1}, {"Red ", -1}, {"", -1},
    };
    for (const auto& c : kCases) EXPECT_EQ(ResolveInput(c.pszText, names), c.nInput) << '"' << c.pszText << '"';
    EXPECT_EQ(ResolveInput("0", {}), -1) << "a plug-in without inputs";
}

bool Parse(const std::vector<std::string>& args, CaptureOptions* pOptions, std::string* pError) {
    return ParseCaptureArguments(args, pOptions, pError);
}

TEST(ParseCaptureArguments, FillsEveryOption) {
    CaptureOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--input", "red", "--size=320x200", "--frames", "25", "--fps", "12.5", "--start-time=-40",
                       "--png", "out/png", "--png-every", "5", "--raw", "-", "--timestamps", "ts.txt", "lib.so"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.pluginPath, "lib.so");
    EXPECT_EQ(o.input, "red");
    EXPECT_EQ(o.size.nWidth, 320);
    EXPECT_EQ(o.size.nHeight, 200);
    EXPECT_EQ(o.nFrames, 25u);
    EXPECT_DOUBLE_EQ(o.fps, 12.5);
    EXPECT_TRUE(o.bStartTime);
    EXPECT_EQ(o.nStartTime, -40);
    EXPECT_EQ(o.pngDir, "out/png");
    EXPECT_EQ(o.nPngEvery, 5u);
    EXPECT_EQ(o.rawPath, "-");
    EXPECT_EQ(o.timestampsPath, "ts.txt");
}

TEST(ParseCaptureArguments, DefaultsToTenFramesOfPlasmaAt640x480) {
    CaptureOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"lib.so"}, &o, &error)) << error;
    EXPECT_EQ(o.input, "0");
    EXPECT_EQ(o.size.nWidth, 640);
    EXPECT_EQ(o.size.nHeight, 480);
    EXPECT_EQ(o.nFrames, 10u);
    EXPECT_EQ(o.fps, 0.0);
    EXPECT_FALSE(o.bStartTime);
    EXPECT_TRUE(o.pngDir.empty() && o.rawPath.empty() && o.timestampsPath.empty());
}

TEST(ParseCaptureArguments, SaysWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        const char* pszMessage;
    } kCases[] = {
        {{}, "capture needs the plug-in's file name"},
        {{"a.so", "b.so"}, "capture takes one plug-in, not also 'b.so'"},
        {{"a.so", "--size", "640"}, "--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '640'"},
        {{"a.so", "--size"}, "option --size needs a value"},
        {{"a.so", "--frames", "0"}, "--frames wants a whole number of at least 1, not '0'"},
        {{"a.so", "--fps", "0"}, "--fps wants frames per second above 0, such as 25 or 29.97, not '0'"},
        {{"a.so", "--start-time", "3000000000"}, "--start-time wants milliseconds as a 32-bit whole number, not '3000000000'"},
        {{"a.so", "--png-every", "x"}, "--png-every wants a whole number of at least 1, not 'x'"},
        {{"a.so", "--png="}, "--png needs a folder"},
        {{"a.so", "--input="}, "--input needs an index or a name"},
        {{"a.so", "--colour", "red"}, "unknown option --colour"},
        {{"a.so", "-q"}, "unknown option -q"},
        {{"a.so", "--raw", "-", "--timestamps", "-"}, "--raw and --timestamps cannot both go to standard output"},
    };
    for (const auto& c : kCases) {
        CaptureOptions o;
        std::string error;
        EXPECT_FALSE(Parse(c.args, &o, &error)) << c.pszMessage;
        EXPECT_EQ(error, c.pszMessage);
    }
}

}  // namespace
}  // namespace tcap_host
