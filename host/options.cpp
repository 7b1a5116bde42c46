#include "options.h"

#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdlib.h>
#include <strings.h>

namespace tcap_host {

namespace {

bool Fail(std::string* pError, const std::string& message) {
    *pError = message;
    return false;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

}  // namespace

bool ParseInteger(const std::string& text, int64_t nMin, int64_t nMax, int64_t* pValue) {
    const bool bSigned = !text.empty() && (text[0] == '-' || text[0] == '+');
    if (!AllDigits(bSigned ? text.substr(1) : text)) return false;  // no spaces, no hex, no "12abc"
    errno = 0;
    const long long n = strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || n < nMin || n > nMax) return false;
    *pValue = n;
    return true;
}

bool ParseSize(const std::string& text, FrameSize* pSize) {
    const size_t x = text.find('x');
    if (x == std::string::npos) return false;
    const std::string width = text.substr(0, x);
    const std::string height = text.substr(x + 1);
    int64_t nWidth = 0, nHeight = 0;
    if (!AllDigits(width) || !AllDigits(height)) return false;  // no signs: "-4x3" is not a size
    if (!ParseInteger(width, 1, INT32_MAX, &nWidth) || !ParseInteger(height, 1, INT32_MAX, &nHeight)) return false;
    pSize->nWidth = static_cast<int32_t>(nWidth);
    pSize->nHeight = static_cast<int32_t>(nHeight);
    return true;
}

bool ParseRate(const std::string& text, double* pRate) {
    if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
    char* pEnd = nullptr;
    errno = 0;
    const double rate = strtod(text.c_str(), &pEnd);
    if (*pEnd != '\0' || errno == ERANGE || !isfinite(rate) || !(rate > 0)) return false;
    *pRate = rate;
    return true;
}

int ResolveInput(const std::string& text, const std::vector<std::string>& names) {
    int64_t n = 0;
    if (AllDigits(text)) {
        return ParseInteger(text, 0, static_cast<int64_t>(names.size()) - 1, &n) ? static_cast<int>(n) : -1;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (strcasecmp(text.c_str(), names[i].c_str()) == 0) return static_cast<int>(i);
    }
    return -1;
}

namespace {

// A count given to `option`: a whole number from 1 to 2^32 - 1.
bool ParseCount(const char* option, const std::string& value, uint32_t* pCount, std::string* pError) {
    int64_t n = 0;
    if (!ParseInteger(value, 1, UINT32_MAX, &n)) {
        return Fail(pError, std::string(option) + " wants a whole number of at least 1, not '" + value + "'");
    }
    *pCount = static_cast<uint32_t>(n);
    return true;
}

}  // namespace

ArgumentVector::ArgumentVector(const char* pszProgram, const std::vector<std::string>& args) {
    storage_.reserve(args.size() + 1);
    storage_.push_back(pszProgram);
    storage_.insert(storage_.end(), args.begin(), args.end());
    for (std::string& s : storage_) argv_.push_back(&s[0]);
    argv_.push_back(nullptr);
}

bool ParseCaptureArguments(const std::vector<std::string>& args, CaptureOptions* pOptions, std::string* pError) {
    enum { kInput = 1000, kSize, kFrames, kFps, kStartTime, kPng, kPngEvery, kRaw, kTimestamps };
    static const option kOptions[] = {
        {"input", required_argument, nullptr, kInput},
        {"size", required_argument, nullptr, kSize},
        {"frames", required_argument, nullptr, kFrames},
        {"fps", required_argument, nullptr, kFps},
        {"start-time", required_argument, nullptr, kStartTime},
        {"png", required_argument, nullptr, kPng},
        {"png-every", required_argument, nullptr, kPngEvery},
        {"raw", required_argument, nullptr, kRaw},
        {"timestamps", required_argument, nullptr, kTimestamps},
        {nullptr, 0, nullptr, 0},
    };

    ArgumentVector arguments("capture", args);
    const int argc = arguments.Count();
    char** argv = arguments.Values();

    CaptureOptions options;
    std::vector<std::string> positional;
    optind = 0;  // glibc: start afresh, so that the parser can run more than once
    opterr = 0;  // the messages below replace getopt's own
    for (;;) {
        // "-" first: positional arguments come back in order as option 1.
        const int c = getopt_long(argc, argv, "-:", kOptions, nullptr);
        if (c == -1) break;
        const std::string value = optarg ? optarg : "";
        const std::string given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        int64_t n = 0;
        switch (c) {
            case 1:
                positional.push_back(value);
                break;
            case kInput:
                if (value.empty()) return Fail(pError, "--input needs an index or a name");
                options.input = value;
                break;
            case kSize:
                if (!ParseSize(value, &options.size)) {
                    return Fail(pError, "--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '" + value + "'");
                }
                break;
            case kFrames:
                if (!ParseCount("--frames", value, &options.nFrames, pError)) return false;
                break;
            case kFps:
                if (!ParseRate(value, &options.fps)) {
                    return Fail(pError, "--fps wants frames per second above 0, such as 25 or 29.97, not '" + value + "'");
                }
                break;
            case kStartTime:
                if (!ParseInteger(value, INT32_MIN, INT32_MAX, &n)) {
                    return Fail(pError, "--start-time wants milliseconds as a 32-bit whole number, not '" + value + "'");
                }
                options.bStartTime = true;
                options.nStartTime = static_cast<int32_t>(n);
                break;
            case kPng:
                if (value.empty()) return Fail(pError, "--png needs a folder");
                options.pngDir = value;
                break;
            case kPngEvery:
                if (!ParseCount("--png-every", value, &options.nPngEvery, pError)) return false;
                break;
            case kRaw:
                if (value.empty()) return Fail(pError, "--raw needs a file name, or - for standard output");
                options.rawPath = value;
                break;
            case kTimestamps:
                if (value.empty()) return Fail(pError, "--timestamps needs a file name, or - for standard output");
                options.timestampsPath = value;
                break;
            case ':':
                return Fail(pError, "option " + given + " needs a value");
            default:
                if (optopt != 0) return Fail(pError, std::string("unknown option -") + static_cast<char>(optopt));
                return Fail(pError, "unknown option " + given);
        }
    }
    if (positional.empty()) return Fail(pError, "capture needs the plug-in's file name");
    if (positional.size() > 1) return Fail(pError, "capture takes one plug-in, not also '" + positional[1] + "'");
    if (options.rawPath == "-" && options.timestampsPath == "-") {
        return Fail(pError, "--raw and --timestamps cannot both go to standard output");
    }
    options.pluginPath = positional[0];
    *pOptions = options;
    return true;
}

}  // namespace tcap_host
