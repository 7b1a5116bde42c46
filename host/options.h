// The command line of tcap-host capture, and the small parsers behind it.
#ifndef TCAP_HOST_OPTIONS_H
#define TCAP_HOST_OPTIONS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace tcap_host {

// Exit statuses of tcap-host.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the plug-in, a file or a frame went wrong
constexpr int kExitUsage = 2;    // the command line is not understood

struct FrameSize {
    int32_t nWidth = 0;
    int32_t nHeight = 0;
};

// "WxH": two decimal numbers from 1 to 2147483647 joined by 'x'.
bool ParseSize(const std::string& text, FrameSize* pSize);

// A decimal integer, optionally signed, from nMin to nMax.
bool ParseInteger(const std::string& text, int64_t nMin, int64_t nMax, int64_t* pValue);

// A frame rate: a finite decimal number above 0, such as 25 or 29.97.
bool ParseRate(const std::string& text, double* pRate);

// The input that `text` selects: a decimal index below names.size(), or one
// of the names, compared case-insensitively. -1 when it selects none.
int ResolveInput(const std::string& text, const std::vector<std::string>& names);

// A C argument vector for getopt_long: the program name, then the arguments.
// It holds its own copies, which getopt may permute.
class ArgumentVector {
public:
    ArgumentVector(const char* pszProgram, const std::vector<std::string>& args);
    int Count() const { return static_cast<int>(storage_.size()); }
    char** Values() { return argv_.data(); }

private:
    std::vector<std::string> storage_;
    std::vector<char*> argv_;
};

struct CaptureOptions {
    std::string pluginPath;
    std::string input = "0";         // index or name, resolved once the plug-in is loaded
    FrameSize size = {640, 480};
    uint32_t nFrames = 10;
    double fps = 0;                  // 0: read frames as fast as the plug-in paints them
    bool bStartTime = false;         // whether to call Set_Current_Time
    int32_t nStartTime = 0;          // ms
    std::string pngDir;              // empty: no PNGs
    uint32_t nPngEvery = 1;          // a PNG of every n-th frame
    std::string rawPath;             // empty: no raw stream; "-": standard output
    std::string timestampsPath;      // empty: no timestamps
};

// Parses the arguments that follow "capture" (args[0] is the first of them).
// Answers false with a one-line message for anything it does not accept.
bool ParseCaptureArguments(const std::vector<std::string>& args, CaptureOptions* pOptions, std::string* pError);

}  // namespace tcap_host

#endif  // TCAP_HOST_OPTIONS_H
