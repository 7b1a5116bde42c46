// tcap-host verify: reads a recording of tcap's frames (packed bgr24), finds
// for each frame the frame counter d and tick count T1 that reproduce it, and
// checks every byte against the frame the plug-in's own painter makes for
// that (d, T1). Names the usual faults of capture pipelines when it sees them.
#ifndef TCAP_HOST_VERIFY_H
#define TCAP_HOST_VERIFY_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace tcap_host {

struct VerifyOptions {
    FrameSize size;
    std::string inputPath = "-";       // raw bgr24 frames; "-": standard input
    std::string timestampsPath;        // tcap-host's timestamp list; empty: none
    bool bLossy = false;               // judge by PSNR, identify from coarse structure
    double threshold = 35;             // dB, with bLossy
    bool bTimeOffset = false;          // the plug-in's time offset, when known
    int32_t nTimeOffset = 0;           // ms
    int32_t nMaxCounter = 1 << 19;     // frame counters searched: 1 to this
    int32_t nMaxTicks = 4 * 3600000;   // tick counts searched: 0 to this (ms)
};

// Parses the arguments that follow "verify". False with a one-line message
// for anything it does not accept.
bool ParseVerifyArguments(const std::vector<std::string>& args, VerifyOptions* pOptions, std::string* pError);

// What a frame was found to be.
enum class FrameKind { kUnknown, kPlasma, kSolid };

// Faults recognised in a frame (bits of FrameVerdict::faults).
constexpr uint32_t kFaultSwapped = 1u << 0;  // red and blue exchanged
constexpr uint32_t kFaultFlipped = 1u << 1;  // rows in reverse order
constexpr uint32_t kFaultStride = 1u << 2;   // rows padded or cut
constexpr uint32_t kFaultTorn = 1u << 3;     // top from one frame, the rest from another

// Where a search for (d, T1) may look, and where it looks first.
struct SearchHint {
    int64_t dExpected = 1;
    int64_t tExpected = 1000;
    int64_t tLo = 0, tHi = 0;  // tick counts allowed, inclusive
    int64_t dLo = 1, dHi = 1;  // frame counters allowed, inclusive
    bool bTracking = false;    // dExpected follows an identified frame
};

struct FrameVerdict {
    FrameKind kind = FrameKind::kUnknown;
    int32_t d = 0, t1 = 0;             // plasma: the counter and tick count found
    int solidInput = 0;                // solid: 1 red, 2 green, 3 blue
    uint32_t faults = 0;               // kFault... bits
    int32_t rowBytes = 0;              // with kFaultStride: bytes per row in the data
    int32_t tornRow = 0;               // with kFaultTorn: first row of the other frame
    int32_t tornD = 0, tornT1 = 0;     // and that frame's counter and tick count
    uint64_t nDiffBytes = 0;           // bytes that differ from the expected frame
    int64_t firstDiff = -1;            // byte index of the first of them
    double sse = 0;                    // sum of squared byte differences
    double psnr = 0;                   // dB; infinite when exact
    uint8_t firstPixel[3] = {0, 0, 0};  // as recorded: blue, green, red
    bool Exact() const { return kind != FrameKind::kUnknown && nDiffBytes == 0; }
};

// Identifies and checks frames of one size. Keeps what it learnt from one
// frame (the transform that undid a fault) for the next.
class FrameVerifier {
public:
    FrameVerifier(int32_t nWidth, int32_t nHeight, bool bLossy);
    ~FrameVerifier();
    FrameVerifier(const FrameVerifier&) = delete;
    FrameVerifier& operator=(const FrameVerifier&) = delete;

    // Checks one frame of width * height * 3 bytes.
    FrameVerdict Check(const uint8_t* pFrame, const SearchHint& hint);

    // The frame the plug-in paints for (d, t1), as Check compares against.
    const std::vector<uint8_t>& Paint(int32_t d, int32_t t1);

    // Looks for a wrong stride: rows of some other length than width * 3
    // laid out back to back from pData (nBytes available), with the rows of
    // the expected frame (d, t1). 0 when none fits.
    int32_t FindRowBytes(const uint8_t* pData, size_t nBytes, int32_t d, int32_t t1);

private:
    struct Impl;
    std::unique_ptr<Impl> pImpl_;
};

// The report on one frame, without the newline: "frame N", what it is and
// what differs. lossyThreshold 0 for a byte-exact check, else the PSNR in dB
// a frame needs.
std::string FormatVerdict(uint32_t nIndex, const FrameVerdict& verdict, int32_t nWidth, double lossyThreshold);

// tcap-host verify ...: reads, checks, reports on standard output.
int RunVerify(const VerifyOptions& options);

}  // namespace tcap_host

#endif  // TCAP_HOST_VERIFY_H
