#include "commands.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "md5.h"
#include "plugin_library.h"
#include "png_writer.h"

namespace tcap_host {

namespace {

constexpr int32_t kFormatBgr24 = 2;  // the only format the plug-in delivers
constexpr int32_t kBitDepth = 24;
constexpr int32_t kMaxListedInputs = 256;  // a plug-in that claims more is not believed
constexpr uint32_t kMaxReportedBadFrames = 10;

// Whether a progress line is on the terminal, to be cleared before any message.
bool g_bProgressShown = false;

void ClearProgress() {
    if (g_bProgressShown) fputs("\r\033[K", stderr);
    g_bProgressShown = false;
}

void Error(const std::string& message) {
    ClearProgress();
    fprintf(stderr, "tcap-host: %s\n", message.c_str());
}

bool Fail(std::string* pError, const std::string& message) {
    *pError = message;
    return false;
}

std::string Text(const char* psz) { return psz ? psz : "(none)"; }

std::string SizeText(int32_t nWidth, int32_t nHeight) {
    return std::to_string(nWidth) + "x" + std::to_string(nHeight);
}

double Now(clockid_t clock) {
    timespec ts = {};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepUntil(double when) {
    timespec ts = {};
    ts.tv_sec = static_cast<time_t>(when);
    ts.tv_nsec = static_cast<long>((when - static_cast<double>(ts.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The names of the plug-in's inputs, by index.
std::vector<std::string> InputNames(const PluginApi& api) {
    const int32_t nInputs = std::min(std::max(api.Query_Num_Inputs(), 0), kMaxListedInputs);
    std::vector<std::string> names;
    for (int32_t i = 0; i < nInputs; ++i) names.push_back(Text(api.Input_Description(i)));
    return names;
}

std::string InputList(const std::vector<std::string>& names) {
    if (names.empty()) return "(it has none)";
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) list += (i ? ", " : "") + std::to_string(i) + " " + names[i];
    return list;
}

// Creates `path` and any missing parents, like mkdir -p, and checks that
// files can be made in it.
bool MakeFolder(const std::string& path, std::string* pError) {
    for (size_t pos = 0;;) {
        pos = path.find('/', pos + 1);
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            return Fail(pError, "cannot create the folder " + prefix + ": " + strerror(errno));
        }
        if (pos == std::string::npos) break;
    }
    struct stat st = {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Fail(pError, path + " is not a folder");
    if (access(path.c_str(), W_OK | X_OK) != 0) {
        return Fail(pError, "cannot write into the folder " + path + ": " + strerror(errno));
    }
    return true;
}

// The files a capture writes, opened before the session starts so that a
// bad path costs no frames.
class Outputs {
public:
    Outputs() = default;
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;
    ~Outputs() {
        if (pRaw_ && pRaw_ != stdout) fclose(pRaw_);
        if (pTimestamps_ && pTimestamps_ != stdout) fclose(pTimestamps_);
    }

    bool Open(const CaptureOptions& options, std::string* pError) {
        pOptions_ = &options;
        nIndexDigits_ = std::max<int>(4, static_cast<int>(std::to_string(options.nFrames - 1).size()));
        if (!options.pngDir.empty() && !MakeFolder(options.pngDir, pError)) return false;
        if (!options.rawPath.empty() && !OpenFile(options.rawPath, "wb", &pRaw_, pError)) return false;
        if (!options.timestampsPath.empty()) {
            if (!OpenFile(options.timestampsPath, "w", &pTimestamps_, pError)) return false;
            fputs("# frame timestamp_ms bytes md5\n", pTimestamps_);
        }
        return true;
    }

    bool Write(uint32_t nIndex, const VideoPacket& packet, const uint8_t* pFrame, std::string* pError) {
        const FrameSize& size = pOptions_->size;
        if (pRaw_ && fwrite(pFrame, 1, packet.ulDataSize, pRaw_) != packet.ulDataSize) {
            return Fail(pError, "writing the raw stream to " + Name(pOptions_->rawPath) + ": " + strerror(errno));
        }
        if (!pOptions_->pngDir.empty() && nIndex % pOptions_->nPngEvery == 0) {
            char szName[32];
            snprintf(szName, sizeof szName, "/frame-%0*u.png", nIndexDigits_, nIndex);
            if (!WriteBgrPng(pOptions_->pngDir + szName, pFrame, size.nWidth, size.nHeight, &pngScratch_, pError)) {
                return false;
            }
        }
        if (pTimestamps_) {
            const std::string digest = Md5::Of(pFrame, packet.ulDataSize);
            if (fprintf(pTimestamps_, "%u %u %u %s\n", nIndex, packet.ulTimestamp, packet.ulDataSize, digest.c_str()) <
                0) {
                return Fail(pError, "writing " + Name(pOptions_->timestampsPath) + ": " + strerror(errno));
            }
        }
        return true;
    }

    // Flushes everything out; a full disk shows up here at the latest.
    bool Close(std::string* pError) {
        bool bOk = CloseFile(&pRaw_, pOptions_->rawPath, pError);
        bOk = CloseFile(&pTimestamps_, pOptions_->timestampsPath, pError) && bOk;
        return bOk;
    }

private:
    static std::string Name(const std::string& path) { return path == "-" ? "standard output" : path; }

    static bool OpenFile(const std::string& path, const char* pszMode, FILE** ppFile, std::string* pError) {
        *ppFile = path == "-" ? stdout : fopen(path.c_str(), pszMode);
        if (!*ppFile) return Fail(pError, "cannot write " + path + ": " + strerror(errno));
        return true;
    }

    static bool CloseFile(FILE** ppFile, const std::string& path, std::string* pError) {
        if (!*ppFile) return true;
        FILE* pFile = *ppFile;
        *ppFile = nullptr;
        const bool bOk = (pFile == stdout ? fflush(pFile) : fclose(pFile)) == 0;
        if (!bOk) *pError = "writing " + Name(path) + ": " + strerror(errno);
        return bOk;
    }

    const CaptureOptions* pOptions_ = nullptr;
    int nIndexDigits_ = 4;
    FILE* pRaw_ = nullptr;
    FILE* pTimestamps_ = nullptr;
    std::vector<uint8_t> pngScratch_;
};

// The host's side of one plug-in session: open, format, source, start; the
// destructor stops and closes whatever was begun.
class Session {
public:
    explicit Session(const PluginApi& api) : api_(api) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { End(nullptr); }

    bool Begin(const CaptureOptions& options, int32_t nInput, std::string* pError) {
        const FrameSize& size = options.size;
        const int32_t nOpened = api_.Open_Plugin();
        if (nOpened != 0) return Fail(pError, "the plug-in does not open (Open_Plugin answered " + std::to_string(nOpened) + ")");
        bOpen_ = true;

        const VideoFormatInfo wanted = {kFormatBgr24, size.nWidth, size.nHeight, kBitDepth};
        if (api_.Set_Video_Format(&wanted) == 0) {
            return Fail(pError, "the plug-in refuses the size " + SizeText(size.nWidth, size.nHeight) +
                                    " (Set_Video_Format answered 0)");
        }
        const int32_t nSource = api_.Open_Source(nullptr, nInput);
        if (nSource != 0) {
            return Fail(pError, "the plug-in does not open input " + std::to_string(nInput) + " (Open_Source answered " +
                                    std::to_string(nSource) + ")");
        }
        const VideoFormatInfo* pFormat = api_.Get_Video_Format();
        if (!pFormat) return Fail(pError, "the plug-in reports no video format (Get_Video_Format answered null)");
        if (pFormat->nWidth != size.nWidth || pFormat->nHeight != size.nHeight) {
            return Fail(pError, "the plug-in reports the size " + SizeText(pFormat->nWidth, pFormat->nHeight) +
                                    " after being given " + SizeText(size.nWidth, size.nHeight));
        }
        if (pFormat->nFormatCode != kFormatBgr24 || pFormat->nBitDepth != kBitDepth) {
            return Fail(pError, "the plug-in reports format code " + std::to_string(pFormat->nFormatCode) + ", depth " +
                                    std::to_string(pFormat->nBitDepth) +
                                    "; tcap-host reads packed 24-bit frames only (code 2, depth 24)");
        }
        const int32_t nStarted = api_.Start_Source();
        if (nStarted != 0) return Fail(pError, "the plug-in does not start (Start_Source answered " + std::to_string(nStarted) + ")");
        bStarted_ = true;
        if (options.bStartTime) api_.Set_Current_Time(options.nStartTime);
        return true;
    }

    // Stops and closes. False, with a message, when Stop_Source complains.
    bool End(std::string* pError) {
        bool bOk = true;
        if (bStarted_) {
            const int32_t nStopped = api_.Stop_Source();
            if (nStopped != 0 && pError) {
                *pError = "the plug-in does not stop cleanly (Stop_Source answered " + std::to_string(nStopped) + ")";
                bOk = false;
            }
        }
        if (bOpen_) api_.Close_Plugin();
        bStarted_ = bOpen_ = false;
        return bOk;
    }

private:
    const PluginApi& api_;
    bool bOpen_ = false;
    bool bStarted_ = false;
};

// "frame 120 of 1000" on a terminal, for runs that last more than a moment.
class Progress {
public:
    Progress() : bTerminal_(isatty(STDERR_FILENO) == 1) {}

    void Update(uint32_t nDone, uint32_t nTotal, double elapsed) {
        if (!bTerminal_ || elapsed < 1.0 || elapsed - lastShown_ < 0.25) return;
        lastShown_ = elapsed;
        fprintf(stderr, "\rtcap-host: frame %u of %u, %.1f frames/s\033[K", nDone, nTotal, nDone / elapsed);
        g_bProgressShown = true;
    }

private:
    bool bTerminal_;
    double lastShown_ = 0;
};

}  // namespace

int RunInfo(const std::string& pluginPath) {
    std::string error;
    const std::unique_ptr<PluginLibrary> library = PluginLibrary::Load(pluginPath, &error);
    if (!library) {
        Error(error);
        return kExitFailure;
    }
    const PluginApi& api = library->Api();
    const std::vector<std::string> names = InputNames(api);
    printf("plug-in       %s\n", pluginPath.c_str());
    printf("vendor        %s\n", Text(api.Get_Vendor()).c_str());
    printf("description   %s\n", Text(api.Get_Description()).c_str());
    printf("media type    %d\n", api.Get_Media_Type());
    printf("media source  %d\n", api.Get_Media_Source());
    printf("version       0x%08x\n", static_cast<unsigned>(api.Get_Version()));
    printf("inputs        %d\n", api.Query_Num_Inputs());
    for (size_t i = 0; i < names.size(); ++i) printf("  %-3zu %s\n", i, names[i].c_str());
    return fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int RunCapture(const CaptureOptions& options) {
    if (options.rawPath == "-" && isatty(STDOUT_FILENO) == 1) {
        Error("--raw - writes frames to standard output, which is a terminal: pipe it into a program or name a file");
        return kExitUsage;
    }
    std::string error;
    const std::unique_ptr<PluginLibrary> library = PluginLibrary::Load(options.pluginPath, &error);
    if (!library) {
        Error(error);
        return kExitFailure;
    }
    const PluginApi& api = library->Api();
    const std::vector<std::string> names = InputNames(api);
    const int nInput = ResolveInput(options.input, names);
    if (nInput < 0) {
        Error("unknown input '" + options.input + "'; the plug-in's inputs are " + InputList(names));
        return kExitUsage;
    }

    const FrameSize& size = options.size;
    const size_t nFrameBytes = static_cast<size_t>(size.nWidth) * static_cast<size_t>(size.nHeight) * 3;
    Outputs outputs;
    if (!outputs.Open(options, &error)) {
        Error(error);
        return kExitFailure;
    }
    Session session(api);
    if (!session.Begin(options, nInput, &error)) {
        Error(error);
        return kExitFailure;
    }
    std::vector<uint8_t> frame;
    try {
        frame.resize(nFrameBytes);
    } catch (const std::bad_alloc&) {
        Error("no memory for a " + SizeText(size.nWidth, size.nHeight) + " frame (" + std::to_string(nFrameBytes) + " bytes)");
        return kExitFailure;
    }

    Progress progress;
    const double cpuStart = Now(CLOCK_PROCESS_CPUTIME_ID);
    const double start = Now(CLOCK_MONOTONIC);
    double readCpu = 0;  // seconds spent inside Read_Packet
    uint32_t nRead = 0, nBadSize = 0;
    for (uint32_t i = 0; i < options.nFrames; ++i) {
        if (options.fps > 0) SleepUntil(start + i / options.fps);
        VideoPacket packet = {};
        packet.pData = frame.data();
        const double readStart = Now(CLOCK_THREAD_CPUTIME_ID);
        const int32_t nResult = api.Read_Packet(&packet);
        readCpu += Now(CLOCK_THREAD_CPUTIME_ID) - readStart;
        if (nResult != 0) {
            Error("frame " + std::to_string(i) + ": Read_Packet answered " + std::to_string(nResult));
            return kExitFailure;
        }
        ++nRead;
        if (packet.ulDataSize != nFrameBytes) {
            if (nBadSize++ < kMaxReportedBadFrames) {
                Error("frame " + std::to_string(i) + ": the packet says " + std::to_string(packet.ulDataSize) +
                      " bytes, a " + SizeText(size.nWidth, size.nHeight) + " frame has " + std::to_string(nFrameBytes) +
                      "; not written");
            }
            continue;
        }
        if (!outputs.Write(i, packet, frame.data(), &error)) {
            Error(error);
            return kExitFailure;
        }
        progress.Update(i + 1, options.nFrames, Now(CLOCK_MONOTONIC) - start);
    }
    // A paced capture lasts its frames' periods, the last one included, as a
    // device's would; the achieved rate then reads as the rate asked for.
    if (options.fps > 0) SleepUntil(start + options.nFrames / options.fps);
    if (!outputs.Close(&error) || !session.End(&error)) {
        Error(error);
        return kExitFailure;
    }
    const double elapsed = Now(CLOCK_MONOTONIC) - start;
    const double cpu = Now(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;

    ClearProgress();
    fprintf(stderr, "tcap-host: %u frames %s of input %d \"%s\" in %.2f s: %.1f frames/s, CPU %.2f ms per frame (%.2f in Read_Packet)",
            nRead, SizeText(size.nWidth, size.nHeight).c_str(), nInput, names[static_cast<size_t>(nInput)].c_str(), elapsed,
            elapsed > 0 ? nRead / elapsed : 0.0, cpu * 1e3 / nRead, readCpu * 1e3 / nRead);
    if (nBadSize > 0) fprintf(stderr, "; %u with a wrong data size, not written", nBadSize);
    fputc('\n', stderr);
    return nBadSize > 0 ? kExitFailure : kExitOk;
}

}  // namespace tcap_host
