#include "check.h"

#include <dlfcn.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <new>

#include "check_support.h"
#include "plugin_library.h"

namespace tcap_host {

namespace {

// ---- The checks, by name ------------------------------------------------------

struct CheckInfo {
    const char* pszName;
    const char* pszWhat;
};

const CheckInfo kChecks[] = {
    {"load.now", "the library loads with RTLD_NOW"},
    {"load.entry-points", "every entry point is found by name"},
    {"load.clock", "GetTickCount is found by name"},
    {"identity.strings", "vendor, description and input names are non-null, NUL-terminated, stable across calls"},
    {"identity.inputs", "Query_Num_Inputs agrees with Input_Description"},
    {"identity.open-closed", "the identity answers are the same closed, open and closed again"},
    {"format.readback", "Get_Video_Format reads back the size set, code 2, depth 24"},
    {"format.refused", "a refused size leaves the previous one"},
    {"format.negative", "negative widths and heights are refused"},
    {"format.overflow", "sizes of more than 2^31 - 1 bytes a frame are refused"},
    {"frames.read", "Read_Packet answers 0 for every input and size"},
    {"frames.size", "the data size is width x height x 3"},
    {"frames.header", "both header words are set to 1"},
    {"frames.host-words", "the host's words and pData are untouched, nothing written around the record"},
    {"frames.bounds", "nothing written outside the buffer (its end against an inaccessible page, a guard before it)"},
    {"frames.solid", "the inputs named Red, Green and Blue are uniform in their colour"},
    {"frames.timestamps", "timestamps never go back and follow the wall clock"},
    {"frames.set-time", "after Set_Current_Time(5000) timestamps read 5000 plus the time elapsed"},
    {"misuse.closed", "calls while closed, before the first Open_Plugin and after Close_Plugin"},
    {"misuse.null-packet", "Read_Packet with a null packet"},
    {"misuse.null-data", "Read_Packet with a null pData"},
    {"misuse.null-format", "Set_Video_Format with a null record"},
    {"misuse.read-before-format", "Read_Packet before Set_Video_Format"},
    {"lifecycle.cycles", "100 open/close cycles, answers unchanged"},
    {"lifecycle.reload", "unload and reload of the library, answers unchanged"},
    {"speed", "frames/s and ns/px at 640x480 and 1920x1080 (reported, not judged)"},
};

const char* const kGroups[] = {"load", "identity", "format", "frames", "misuse", "lifecycle", "speed"};

bool Matches(const std::string& pattern, const std::string& name) {
    return name == pattern || (name.size() > pattern.size() && name.compare(0, pattern.size(), pattern) == 0 &&
                               name[pattern.size()] == '.');
}

bool IsKnownName(const std::string& text) {
    for (const CheckInfo& check : kChecks) {
        if (text == check.pszName) return true;
    }
    for (const char* pszGroup : kGroups) {
        if (text == pszGroup) return true;
    }
    return false;
}

// ---- What a piece of work reports ---------------------------------------------

constexpr int32_t kFormatBgr24 = 2;
constexpr int32_t kBitDepth = 24;
constexpr int32_t kMaxInputs = 256;          // a plug-in that claims more is not believed
constexpr size_t kMaxString = 4096;          // identity strings longer than this count as unterminated
constexpr uint32_t kUnset = 0xBAD0BAD0u;     // what the host puts in the words the plug-in should set
constexpr uint32_t kHostWord3 = 0x486F5333u;  // the host's own words
constexpr uint32_t kHostWord5 = 0x486F5335u;

using Writer = std::function<void(const std::string&)>;

// The child's side: one text line per result, to the parent.
//   P|W|F|I|S <tab> check <tab> detail     pass, warning, failure, information, skipped
//   N <tab> index <tab> name               an input of the plug-in
//   D                                      the work is done
class Probe {
public:
    explicit Probe(const Writer& write) : write_(write) {}

    void Step(const char* pszCheck, const std::string& call) { NoteStep(pszCheck, call); }
    void Pass(const char* pszCheck, const std::string& scope = "") { Emit('P', pszCheck, scope); }
    void Warn(const char* pszCheck, const std::string& seen) { Emit('W', pszCheck, seen); }
    void Fail(const char* pszCheck, const std::string& seen) { Emit('F', pszCheck, seen); }
    void Info(const char* pszCheck, const std::string& text) { Emit('I', pszCheck, text); }
    void Skip(const char* pszCheck, const std::string& why) { Emit('S', pszCheck, why); }
    void Input(int32_t nIndex, const std::string& name) { Emit('N', std::to_string(nIndex).c_str(), name); }
    void Done() { write_("D\n"); }
    // Passes, or fails with `seen`, as `seen` is empty or not.
    void Verdict(const char* pszCheck, const std::string& scope, const std::string& seen) {
        if (seen.empty()) {
            Pass(pszCheck, scope);
        } else {
            Fail(pszCheck, scope.empty() ? seen : scope + ": " + seen);
        }
    }

private:
    void Emit(char kind, const char* pszCheck, std::string detail) {
        std::replace_if(detail.begin(), detail.end(), [](char c) { return c == '\n' || c == '\t' || c == '\r'; }, ' ');
        write_(std::string(1, kind) + "\t" + pszCheck + "\t" + detail + "\n");
    }

    const Writer& write_;
};

std::string Hex(uint32_t n) {
    char sz[16];
    snprintf(sz, sizeof sz, "0x%08x", n);
    return sz;
}

std::string SizeText(int32_t nWidth, int32_t nHeight) { return std::to_string(nWidth) + "x" + std::to_string(nHeight); }
std::string SizeText(const FrameSize& size) { return SizeText(size.nWidth, size.nHeight); }

// Bytes of a frame of a size that is not negative (it fits 64 bits).
uint64_t FrameBytes(int32_t nWidth, int32_t nHeight) {
    return static_cast<uint64_t>(nWidth) * static_cast<uint64_t>(nHeight) * 3u;
}

// The largest frame the checker puts into a guarded buffer.
constexpr uint64_t kMaxCheckedFrame = uint64_t{1} << 30;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string InputText(int32_t nInput, const std::vector<std::string>& names) {
    const std::string name = nInput >= 0 && static_cast<size_t>(nInput) < names.size() ? names[static_cast<size_t>(nInput)] : "";
    return "input " + std::to_string(nInput) + (name.empty() ? "" : " " + Quoted(name));
}

double WallMs() {
    timespec ts = {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

double MonotonicSeconds() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepMs(long nMs) {
    timespec ts = {nMs / 1000, (nMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

std::string OpenPath(const std::string& path) { return path.find('/') == std::string::npos ? "./" + path : path; }

std::unique_ptr<PluginLibrary> LoadFor(Probe& probe, const char* pszCheck, const std::string& path) {
    probe.Step(pszCheck, "loading the library");
    std::string error;
    std::unique_ptr<PluginLibrary> library = PluginLibrary::Load(path, &error);
    if (!library) probe.Fail(pszCheck, error);
    return library;
}

// What a check works with: the plug-in, the sizes asked for and the inputs
// the plug-in named.
struct Context {
    std::string path;
    std::vector<FrameSize> sizes;
    std::vector<std::string> inputs;
    std::string cpu;
};

// ---- Sessions and frames --------------------------------------------------------

// Opens the plug-in, sets the size, opens the input and starts it; reports
// a refusal against `check`. A refused size is a warning when bSizeMayFail.
bool StartSession(Probe& probe, const PluginApi& api, const char* pszCheck, int32_t nInput, FrameSize size,
                  const std::string& scope, bool bSizeMayFail = false) {
    probe.Step(pszCheck, "Open_Plugin, " + scope);
    const int32_t nOpened = api.Open_Plugin();
    if (nOpened != 0) {
        probe.Fail(pszCheck, scope + ": Open_Plugin answers " + std::to_string(nOpened));
        return false;
    }
    probe.Step(pszCheck, "Set_Video_Format(" + SizeText(size) + "), " + scope);
    const VideoFormatInfo format = {kFormatBgr24, size.nWidth, size.nHeight, kBitDepth};
    const int32_t nSet = api.Set_Video_Format(&format);
    if (nSet != 1) {
        const std::string seen = scope + ": Set_Video_Format(" + SizeText(size) + ") answers " + std::to_string(nSet);
        if (bSizeMayFail) {
            probe.Warn(pszCheck, seen + "; no frames checked at this size");
        } else {
            probe.Fail(pszCheck, seen);
        }
        api.Close_Plugin();
        return false;
    }
    probe.Step(pszCheck, "Open_Source(" + std::to_string(nInput) + "), " + scope);
    const int32_t nSource = api.Open_Source(nullptr, nInput);
    probe.Step(pszCheck, "Start_Source, " + scope);
    const int32_t nStarted = nSource == 0 ? api.Start_Source() : 0;
    if (nSource != 0 || nStarted != 0) {
        probe.Fail(pszCheck, scope + (nSource != 0 ? ": Open_Source answers " + std::to_string(nSource)
                                                    : ": Start_Source answers " + std::to_string(nStarted)));
        api.Close_Plugin();
        return false;
    }
    return true;
}

void EndSession(Probe& probe, const PluginApi& api, const char* pszCheck) {
    probe.Step(pszCheck, "Stop_Source");
    api.Stop_Source();
    probe.Step(pszCheck, "Close_Plugin");
    api.Close_Plugin();
}

// A packet record as a careful host hands it over: the words the plug-in
// should set hold kUnset, the host's words their own values.
VideoPacket* PreparePacket(GuardedMemory* pRecord, uint8_t* pData) {
    VideoPacket* pPacket = new (pRecord->Data()) VideoPacket();
    pPacket->ulHeadWord0 = pPacket->ulHeadWord1 = kUnset;
    pPacket->ulTimestamp = kUnset;
    pPacket->ulHostWord3 = kHostWord3;
    pPacket->ulDataSize = kUnset;
    pPacket->ulHostWord5 = kHostWord5;
    pPacket->pData = pData;
    return pPacket;
}

// The colour, as blue, green, red bytes, that an input of this name paints.
bool SolidColour(std::string name, uint8_t bgr[3]) {
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); });
    const struct {
        const char* pszName;
        uint8_t b, g, r;
    } kColours[] = {{"red", 0, 0, 255}, {"green", 0, 255, 0}, {"blue", 255, 0, 0}};
    for (const auto& colour : kColours) {
        if (name == colour.pszName) {
            bgr[0] = colour.b;
            bgr[1] = colour.g;
            bgr[2] = colour.r;
            return true;
        }
    }
    return false;
}

std::string GuardDamage(const GuardedMemory& memory, const char* pszWhere) {
    size_t nNearest = 0;
    const size_t nChanged = memory.GuardChanged(&nNearest);
    if (nChanged == 0) return "";
    return "changes " + std::to_string(nChanged) + " byte" + (nChanged == 1 ? "" : "s") + " before " + pszWhere +
           ", the nearest " + std::to_string(nNearest) + " before its start";
}

// Three frames of one input at one size into a guarded buffer and record.
void CheckFrames(Probe& probe, const Context& context, int32_t nInput, FrameSize size) {
    const std::string scope = InputText(nInput, context.inputs) + " " + SizeText(size);
    const std::unique_ptr<PluginLibrary> library = LoadFor(probe, "frames.read", context.path);
    if (!library) return;
    const PluginApi& api = library->Api();
    if (!StartSession(probe, api, "frames.read", nInput, size, scope, true)) return;

    if (FrameBytes(size.nWidth, size.nHeight) > kMaxCheckedFrame) {
        probe.Warn("frames.read", scope + ": a frame of " + std::to_string(FrameBytes(size.nWidth, size.nHeight)) +
                                      " bytes is more than the checker puts into a buffer");
        EndSession(probe, api, "frames.read");
        return;
    }
    const size_t nBytes = static_cast<size_t>(FrameBytes(size.nWidth, size.nHeight));
    GuardedMemory frame(nBytes), record(sizeof(VideoPacket));
    if (!frame.Ok() || !record.Ok()) {
        probe.Warn("frames.read", scope + ": no memory for the frame (" + std::to_string(nBytes) + " bytes)");
        return;
    }
    NoteFence(0, frame.FenceStart(), frame.FenceEnd(), "frames.bounds",
              "the inaccessible page after the buffer: past the frame's end");
    NoteFence(1, record.FenceStart(), record.FenceEnd(), "frames.host-words",
              "the inaccessible page after the packet record: past its end");
    uint8_t colour[3] = {0, 0, 0};
    const bool bSolid = SolidColour(context.inputs[static_cast<size_t>(nInput)], colour);

    std::string read, bytes, header, host, bounds, solid;
    auto first = [](std::string* pSeen, const std::string& text) {
        if (pSeen->empty()) *pSeen = text;
    };
    for (int k = 1; k <= 3; ++k) {
        const std::string frameText = "frame " + std::to_string(k);
        memset(frame.Data(), 0x11 * k, nBytes);
        VideoPacket* pPacket = PreparePacket(&record, frame.Data());
        probe.Step("frames.read", "Read_Packet, " + scope + ", " + frameText);
        const int32_t nResult = api.Read_Packet(pPacket);

        first(&bounds, GuardDamage(frame, "the buffer"));
        first(&host, GuardDamage(record, "the packet record"));
        if (pPacket->ulHostWord3 != kHostWord3) first(&host, "ulHostWord3 changed to " + Hex(pPacket->ulHostWord3));
        if (pPacket->ulHostWord5 != kHostWord5) first(&host, "ulHostWord5 changed to " + Hex(pPacket->ulHostWord5));
        if (pPacket->pData != frame.Data()) first(&host, "pData changed");
        if (nResult != 0) {
            first(&read, "Read_Packet answers " + std::to_string(nResult) + " at " + frameText);
            continue;
        }
        if (pPacket->ulDataSize != nBytes) {
            first(&bytes, "ulDataSize " + std::to_string(pPacket->ulDataSize) + " at " + frameText + ", the frame has " +
                              std::to_string(nBytes) + " bytes");
        }
        if (pPacket->ulHeadWord0 != 1 || pPacket->ulHeadWord1 != 1) {
            auto word = [](uint32_t n) { return n == kUnset ? std::string("not set") : std::to_string(n); };
            first(&header, "the header words are " + word(pPacket->ulHeadWord0) + " and " + word(pPacket->ulHeadWord1));
        }
        if (bSolid && solid.empty()) {
            const uint8_t* p = frame.Data();
            for (size_t i = 0; i < nBytes; i += 3) {
                if (p[i] != colour[0] || p[i + 1] != colour[1] || p[i + 2] != colour[2]) {
                    const size_t nPixel = i / 3, w = static_cast<size_t>(size.nWidth);
                    solid = "pixel (" + std::to_string(nPixel % w) + ", " + std::to_string(nPixel / w) + ") of " +
                            frameText + " is " + std::to_string(p[i]) + "," + std::to_string(p[i + 1]) + "," +
                            std::to_string(p[i + 2]) + " (blue, green, red), not " + std::to_string(colour[0]) + "," +
                            std::to_string(colour[1]) + "," + std::to_string(colour[2]);
                    break;
                }
            }
        }
    }
    ClearFences();
    probe.Verdict("frames.read", scope, read);
    if (read.empty() || !bytes.empty()) probe.Verdict("frames.size", scope, bytes);
    if (read.empty() || !header.empty()) probe.Verdict("frames.header", scope, header);
    probe.Verdict("frames.host-words", scope, host);
    probe.Verdict("frames.bounds", scope, bounds);
    if (bSolid) probe.Verdict("frames.solid", scope, solid);
    EndSession(probe, api, "frames.read");
}

// ---- Load, identity, format ---------------------------------------------------

void CheckLoad(Probe& probe, const Context& context) {
    const std::string path = OpenPath(context.path);
    probe.Step("load.now", "dlopen(RTLD_NOW)");
    dlerror();
    void* pHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!pHandle) {
        const char* pszReason = dlerror();
        const std::string reason = pszReason ? pszReason : "no reason given";
        void* pLazy = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
        probe.Fail("load.now", pLazy ? "it loads lazily only, a host that binds at once fails: " + reason : reason);
        if (pLazy) dlclose(pLazy);
        return;
    }
    probe.Pass("load.now");
    std::unique_ptr<PluginLibrary> library = LoadFor(probe, "load.entry-points", context.path);
    if (library) {
        int nEntryPoints = 0;
#define TCAP_ENTRY_POINT(name) ++nEntryPoints;
#include "entry_points.def"
        probe.Pass("load.entry-points", std::to_string(nEntryPoints) + " entry points");
        const PluginApi& api = library->Api();
        if (api.GetTickCount) {
            probe.Step("load.clock", "GetTickCount");
            probe.Pass("load.clock", "it answers " + std::to_string(api.GetTickCount()));
        } else {
            probe.Warn("load.clock", "not exported: a host cannot read the clock the plug-in stamps its packets with");
        }
        // The inputs, for the frame checks: names as far as they can be read.
        probe.Step("identity.inputs", "Query_Num_Inputs");
        const int32_t nInputs = std::min(api.Query_Num_Inputs(), kMaxInputs);
        for (int32_t i = 0; i < nInputs; ++i) {
            probe.Step("identity.inputs", "Input_Description(" + std::to_string(i) + ")");
            std::string name;
            SafeReadString(api.Input_Description(i), 64, &name);
            probe.Input(i, name);
        }
    }
    library.reset();
    dlclose(pHandle);
}

// Everything a plug-in answers without being opened, as one comparable list.
std::vector<std::pair<std::string, std::string>> Identity(Probe& probe, const PluginApi& api, const char* pszCheck) {
    std::vector<std::pair<std::string, std::string>> answers;
    auto text = [&](const std::string& call, const char* psz) {
        std::string value;
        if (!psz) {
            value = "null";
        } else if (!SafeReadString(psz, kMaxString, &value)) {
            value = "unterminated text";
        }
        answers.emplace_back(call, value);
    };
    auto number = [&](const std::string& call, int32_t n) { answers.emplace_back(call, std::to_string(n)); };
    probe.Step(pszCheck, "the identity queries");
    text("Get_Vendor", api.Get_Vendor());
    text("Get_Description", api.Get_Description());
    number("Get_Media_Type", api.Get_Media_Type());
    number("Get_Media_Source", api.Get_Media_Source());
    answers.emplace_back("Get_Version", Hex(static_cast<uint32_t>(api.Get_Version())));
    number("Query_Device_Handles", api.Query_Device_Handles());
    number("Validate_Source(\"\")", api.Validate_Source(""));
    const int32_t nInputs = api.Query_Num_Inputs();
    number("Query_Num_Inputs", nInputs);
    for (int32_t i = 0; i < std::min(nInputs, kMaxInputs); ++i) {
        text("Input_Description(" + std::to_string(i) + ")", api.Input_Description(i));
    }
    return answers;
}

// The first answer that differs between two lists, or "".
std::string IdentityChange(const std::vector<std::pair<std::string, std::string>>& before,
                           const std::vector<std::pair<std::string, std::string>>& after, const char* pszBefore,
                           const char* pszAfter) {
    for (size_t i = 0; i < std::max(before.size(), after.size()); ++i) {
        if (i >= before.size() || i >= after.size()) return "the number of inputs changes " + std::string(pszAfter);
        if (before[i] != after[i]) {
            return before[i].first + " answers " + before[i].second + " " + pszBefore + ", " + after[i].second + " " + pszAfter;
        }
    }
    return "";
}

void CheckIdentity(Probe& probe, const Context& context) {
    const std::unique_ptr<PluginLibrary> library = LoadFor(probe, "identity.strings", context.path);
    if (!library) return;
    const PluginApi& api = library->Api();

    // Strings: readable, terminated, the same text (and address) each call.
    std::string strings, moving;
    // A null input name is the business of the input count's check.
    auto checkString = [&](const std::string& call, const std::function<const char*()>& get, bool bNullNamesNone = false) {
        probe.Step("identity.strings", call);
        const char* psz1 = get();
        std::string text1, text2;
        if (!psz1) {
            if (strings.empty() && !bNullNamesNone) strings = call + " answers null";
            return;
        }
        if (!SafeReadString(psz1, kMaxString, &text1)) {
            if (strings.empty()) {
                strings = call + (text1.size() >= kMaxString ? " answers text without a NUL in its first " + std::to_string(kMaxString) + " bytes"
                                                             : " answers a pointer to memory that cannot be read in full");
            }
            return;
        }
        const char* psz2 = get();
        SafeReadString(psz2, kMaxString, &text2);
        if (text1 != text2) {
            if (strings.empty()) strings = call + " answers " + Quoted(text1) + ", then " + Quoted(text2);
        } else if (psz1 != psz2 && moving.empty()) {
            moving = call + " answers the same text at a new address on each call";
        }
    };
    checkString("Get_Vendor", [&] { return api.Get_Vendor(); });
    checkString("Get_Description", [&] { return api.Get_Description(); });
    probe.Step("identity.inputs", "Query_Num_Inputs");
    const int32_t nInputs = api.Query_Num_Inputs();
    for (int32_t i = 0; i < std::min(nInputs, kMaxInputs); ++i) {
        checkString("Input_Description(" + std::to_string(i) + ")", [&] { return api.Input_Description(i); }, true);
    }
    if (!strings.empty()) {
        probe.Fail("identity.strings", strings);
    } else if (!moving.empty()) {
        probe.Warn("identity.strings", moving);
    } else {
        probe.Pass("identity.strings");
    }

    // The count against the names.
    std::string inputs, oddities;
    if (nInputs <= 0) {
        inputs = "Query_Num_Inputs answers " + std::to_string(nInputs) + ": there is no input to open";
    } else if (nInputs > kMaxInputs) {
        inputs = "Query_Num_Inputs answers " + std::to_string(nInputs) + ", more than any host lists";
    } else {
        std::vector<std::string> names;
        for (int32_t i = 0; i < nInputs && inputs.empty(); ++i) {
            probe.Step("identity.inputs", "Input_Description(" + std::to_string(i) + ")");
            std::string name;
            if (!api.Input_Description(i)) {
                inputs = "Query_Num_Inputs answers " + std::to_string(nInputs) + ", but Input_Description(" +
                         std::to_string(i) + ") is null";
            } else if (SafeReadString(api.Input_Description(i), kMaxString, &name)) {
                if (std::find(names.begin(), names.end(), name) != names.end() && oddities.empty()) {
                    oddities = "two inputs are named " + Quoted(name) + ": a host that lists them by name cannot tell them apart";
                }
                names.push_back(name);
            }
        }
        for (int32_t nBeyond : {nInputs, -1}) {
            probe.Step("identity.inputs", "Input_Description(" + std::to_string(nBeyond) + ")");
            if (api.Input_Description(nBeyond) && oddities.empty()) {
                oddities = "Input_Description(" + std::to_string(nBeyond) + ") names an input beyond the " +
                           std::to_string(nInputs) + " that Query_Num_Inputs counts";
            }
        }
    }
    if (!inputs.empty()) {
        probe.Fail("identity.inputs", inputs);
    } else if (!oddities.empty()) {
        probe.Warn("identity.inputs", oddities);
    } else {
        probe.Pass("identity.inputs", std::to_string(nInputs) + " inputs");
    }

    // Closed, open, closed again.
    const auto closed = Identity(probe, api, "identity.open-closed");
    probe.Step("identity.open-closed", "Open_Plugin");
    const int32_t nOpened = api.Open_Plugin();
    if (nOpened != 0) {
        probe.Fail("identity.open-closed", "Open_Plugin answers " + std::to_string(nOpened));
        return;
    }
    const auto open = Identity(probe, api, "identity.open-closed");
    probe.Step("identity.open-closed", "Close_Plugin");
    api.Close_Plugin();
    const auto after = Identity(probe, api, "identity.open-closed");
    std::string change = IdentityChange(closed, open, "closed", "open");
    if (change.empty()) change = IdentityChange(open, after, "open", "after Close_Plugin");
    probe.Verdict("identity.open-closed", "", change);
}

void CheckFormat(Probe& probe, const Context& context) {
    const std::unique_ptr<PluginLibrary> library = LoadFor(probe, "format.readback", context.path);
    if (!library) return;
    const PluginApi& api = library->Api();
    probe.Step("format.readback", "Open_Plugin");
    const int32_t nOpened = api.Open_Plugin();
    if (nOpened != 0) {
        probe.Fail("format.readback", "Open_Plugin answers " + std::to_string(nOpened));
        return;
    }

    // Sets a size (with an odd code and depth, which the plug-in should not
    // read) and says what was wrong with the answer and the record read back.
    // A size given with --size may be refused (the frame checks warn about
    // that); 320x240 may not.
    auto setAndRead = [&](int32_t nWidth, int32_t nHeight, bool bMayRefuse = false) -> std::string {
        const std::string size = SizeText(nWidth, nHeight);
        const VideoFormatInfo wanted = {7, nWidth, nHeight, 8};
        probe.Step("format.readback", "Set_Video_Format(" + size + ")");
        const int32_t nSet = api.Set_Video_Format(&wanted);
        if (nSet == 0 && bMayRefuse) return "";
        if (nSet != 1) return "Set_Video_Format(" + size + ") answers " + std::to_string(nSet);
        probe.Step("format.readback", "Get_Video_Format after " + size);
        const VideoFormatInfo* pFormat = api.Get_Video_Format();
        if (!pFormat) return "Get_Video_Format answers null after " + size;
        if (pFormat->nWidth != nWidth || pFormat->nHeight != nHeight) {
            return "Get_Video_Format reads " + SizeText(pFormat->nWidth, pFormat->nHeight) + " after " + size + " was set";
        }
        if (pFormat->nFormatCode != kFormatBgr24 || pFormat->nBitDepth != kBitDepth) {
            return "Get_Video_Format reads code " + std::to_string(pFormat->nFormatCode) + ", depth " +
                   std::to_string(pFormat->nBitDepth) + " after " + size;
        }
        return "";
    };

    std::string readback = setAndRead(320, 240);
    for (const FrameSize& size : context.sizes) {
        if (readback.empty()) readback = setAndRead(size.nWidth, size.nHeight, true);
    }
    const VideoFormatInfo* pFirst = api.Get_Video_Format();
    if (readback.empty() && pFirst != api.Get_Video_Format()) {
        probe.Warn("format.readback", "Get_Video_Format answers a new record on each call");
    } else {
        probe.Verdict("format.readback", std::to_string(context.sizes.size() + 1) + " sizes", readback);
    }

    // Sizes a host must not be given: each refused, and the size before it kept.
    struct BadSize {
        const char* pszCheck;
        int32_t nWidth, nHeight;
    };
    const BadSize kBad[] = {
        {"format.negative", -1, 480},
        {"format.negative", 640, -1},
        {"format.negative", -2, -3},                // a positive product
        {"format.negative", INT32_MIN, INT32_MIN},  // a product that wraps to 0
        {"format.overflow", 715827883, 1},          // 2^31 + 1 bytes: fits 32 unsigned bits, not 31
        {"format.overflow", 46341, 46341},
        {"format.overflow", 65536, 65536},          // 3 x 2^32 bytes: 0 in 32 bits
        {"format.overflow", INT32_MAX, INT32_MAX},
    };
    std::map<std::string, std::string> seen;
    std::string refused;
    for (const BadSize& bad : kBad) {
        const std::string size = SizeText(bad.nWidth, bad.nHeight);
        if (!setAndRead(320, 240).empty()) continue;  // reported above
        const VideoFormatInfo wanted = {kFormatBgr24, bad.nWidth, bad.nHeight, kBitDepth};
        probe.Step(bad.pszCheck, "Set_Video_Format(" + size + ")");
        const int32_t nSet = api.Set_Video_Format(&wanted);
        if (nSet != 0) {
            std::string& first = seen[bad.pszCheck];
            if (first.empty()) {
                first = "Set_Video_Format(" + size + ") answers " + std::to_string(nSet) +
                        (bad.nWidth < 0 || bad.nHeight < 0
                             ? std::string()
                             : " (a frame of " + std::to_string(FrameBytes(bad.nWidth, bad.nHeight)) + " bytes)");
            }
            continue;
        }
        probe.Step("format.refused", "Get_Video_Format after refusing " + size);
        const VideoFormatInfo* pFormat = api.Get_Video_Format();
        if (refused.empty() && (!pFormat || pFormat->nWidth != 320 || pFormat->nHeight != 240)) {
            refused = "after refusing " + size + " Get_Video_Format reads " +
                      (pFormat ? SizeText(pFormat->nWidth, pFormat->nHeight) : std::string("null")) + ", not 320x240";
        }
    }
    probe.Verdict("format.negative", "4 sizes", seen["format.negative"]);
    probe.Verdict("format.overflow", "4 sizes", seen["format.overflow"]);
    probe.Verdict("format.refused", "", refused);
    probe.Step("format.readback", "Close_Plugin");
    api.Close_Plugin();
}

// ---- Timestamps ------------------------------------------------------------------

void CheckTimestamps(Probe& probe, const Context& context) {
    const std::unique_ptr<PluginLibrary> library = LoadFor(probe, "frames.timestamps", context.path);
    if (!library) return;
    const PluginApi& api = library->Api();
    const FrameSize size = {64, 48};
    const std::string scope = SizeText(size);
    if (!StartSession(probe, api, "frames.timestamps", 0, size, scope)) return;
    GuardedMemory frame(static_cast<size_t>(FrameBytes(size.nWidth, size.nHeight)));

    // One frame, bracketed by readings of the wall clock.
    struct Reading {
        double before, after;
        uint32_t nTimestamp;
        int32_t nResult;
    };
    auto read = [&](const char* pszCheck, int32_t nInput) {
        VideoPacket packet = {};
        packet.pData = frame.Data();
        Reading reading = {};
        probe.Step(pszCheck, "Read_Packet, " + InputText(nInput, context.inputs) + " " + scope);
        reading.before = WallMs();
        reading.nResult = api.Read_Packet(&packet);
        reading.after = WallMs();
        reading.nTimestamp = packet.ulTimestamp;
        return reading;
    };

    // Frames 20 ms apart, switching inputs: each rise of the timestamp lies
    // within what the wall clock could have advanced between the two packets.
    const int32_t nInputs = static_cast<int32_t>(context.inputs.size());
    std::string seen;
    Reading previous = read("frames.timestamps", 0);
    for (int k = 1; k <= 6 && seen.empty(); ++k) {
        SleepMs(20);
        const int32_t nInput = k % std::max(nInputs, 1);
        probe.Step("frames.timestamps", "Open_Source(" + std::to_string(nInput) + ")");
        api.Open_Source(nullptr, nInput);
        const Reading now = read("frames.timestamps", nInput);
        if (previous.nResult != 0 || now.nResult != 0) {
            seen = "Read_Packet answers " + std::to_string(previous.nResult != 0 ? previous.nResult : now.nResult);
            break;
        }
        const int64_t nRise = static_cast<int32_t>(now.nTimestamp - previous.nTimestamp);  // wraps like the clock
        const double lowest = now.before - previous.after - 2, highest = now.after - previous.before + 2;
        if (nRise < 0) {
            seen = "frame " + std::to_string(k + 1) + " is stamped " + std::to_string(-nRise) + " ms before frame " +
                   std::to_string(k) + " (" + std::to_string(previous.nTimestamp) + ", then " +
                   std::to_string(now.nTimestamp) + ")";
        } else if (static_cast<double>(nRise) < lowest || static_cast<double>(nRise) > highest) {
            char sz[160];
            snprintf(sz, sizeof sz, "from frame %d to %d the timestamp rises %lld ms, the wall clock %.0f to %.0f ms", k,
                     k + 1, static_cast<long long>(nRise), lowest + 2, highest - 2);
            seen = sz;
        }
        previous = now;
    }
    probe.Verdict("frames.timestamps", "7 frames 20 ms apart", seen);

    // Set_Current_Time: the host's clock, advanced by the time elapsed.
    constexpr int32_t kTime = 5000;
    probe.Step("frames.set-time", "Set_Current_Time(5000)");
    const double setBefore = WallMs();
    api.Set_Current_Time(kTime);
    const double setAfter = WallMs();
    const Reading reading = read("frames.set-time", 0);
    if (reading.nResult != 0) {
        probe.Fail("frames.set-time", "Read_Packet answers " + std::to_string(reading.nResult));
    } else {
        const int64_t nSince = static_cast<int32_t>(reading.nTimestamp - static_cast<uint32_t>(kTime));
        const double lowest = reading.before - setAfter, highest = reading.after - setBefore;
        char sz[200];
        if (static_cast<double>(nSince) < lowest - 2 || static_cast<double>(nSince) > highest + 1000) {
            snprintf(sz, sizeof sz, "the next packet, %.0f to %.0f ms after Set_Current_Time(5000), is stamped %u", lowest,
                     highest, reading.nTimestamp);
            probe.Fail("frames.set-time", sz);
        } else {
            snprintf(sz, sizeof sz, "stamped 5000 + the elapsed time + %.0f ms", static_cast<double>(nSince) - (lowest + highest) / 2);
            probe.Pass("frames.set-time", sz);
        }
    }
    EndSession(probe, api, "frames.timestamps");
}

// ---- Misuse ----------------------------------------------------------------------

struct Misuse {
    const char* pszCheck;
    const char* pszCall;
    // Calls the plug-in; answers what a host would not expect, and whether
    // that is a failure (else a warning).
    std::function<std::string(const PluginApi&, bool* pbFail)> call;
};

std::string ReadInto(const PluginApi& api, FrameSize size, const char* pszWhat) {
    GuardedMemory frame(static_cast<size_t>(FrameBytes(size.nWidth, size.nHeight))), record(sizeof(VideoPacket));
    if (!frame.Ok() || !record.Ok()) return "";
    NoteFence(0, frame.FenceStart(), frame.FenceEnd(), "", "the inaccessible page after the buffer");
    VideoPacket* pPacket = PreparePacket(&record, frame.Data());
    const int32_t nResult = api.Read_Packet(pPacket);
    ClearFences();
    return nResult == 0 ? std::string("Read_Packet answers 0 ") + pszWhat + ", as if it had delivered a frame" : "";
}

const std::vector<Misuse>& MisuseCases() {
    static const VideoFormatInfo kFormat = {kFormatBgr24, 64, 48, kBitDepth};
    static const std::vector<Misuse> kCases = {
        {"misuse.closed", "Set_Video_Format",
         [](const PluginApi& api, bool* pbFail) {
             const int32_t n = api.Set_Video_Format(&kFormat);
             *pbFail = true;
             return n != 0 ? "Set_Video_Format answers " + std::to_string(n) + ": a host takes the size as set" : "";
         }},
        {"misuse.closed", "Get_Video_Format",
         [](const PluginApi& api, bool* pbFail) {
             *pbFail = true;
             return api.Get_Video_Format() ? std::string("Get_Video_Format answers a record, not null") : "";
         }},
        {"misuse.closed", "Open_Source",
         [](const PluginApi& api, bool*) {
             return api.Open_Source(nullptr, 0) == 0 ? std::string("Open_Source answers 0") : "";
         }},
        {"misuse.closed", "Start_Source",
         [](const PluginApi& api, bool*) { return api.Start_Source() == 0 ? std::string("Start_Source answers 0") : ""; }},
        {"misuse.closed", "Set_Current_Time",
         [](const PluginApi& api, bool*) {
             api.Set_Current_Time(5000);
             return std::string();
         }},
        {"misuse.closed", "Read_Packet",
         [](const PluginApi& api, bool*) { return ReadInto(api, {64, 48}, "while closed"); }},
        {"misuse.closed", "Close_Plugin",
         [](const PluginApi& api, bool*) {
             api.Close_Plugin();
             return std::string();
         }},
        {"misuse.closed", "Stop_Source, Pause_Source, Resume_Source, Set_Video_Frame_Rate",
         [](const PluginApi& api, bool*) {
             api.Stop_Source();
             api.Pause_Source();
             api.Resume_Source();
             api.Set_Video_Frame_Rate();
             return std::string();
         }},
    };
    return kCases;
}

void CheckClosedCall(Probe& probe, const Context& context, const Misuse& misuse) {
    const std::unique_ptr<PluginLibrary> library = LoadFor(probe, misuse.pszCheck, context.path);
    if (!library) return;
    const PluginApi& api = library->Api();
    std::string seen;
    bool bFail = false;
    for (const char* pszPhase : {"before the first Open_Plugin", "after Close_Plugin"}) {
        if (strcmp(pszPhase, "after Close_Plugin") == 0) {
            if (!StartSession(probe, api, misuse.pszCheck, 0, {64, 48}, "a session before the closed calls")) return;
            EndSession(probe, api, misuse.pszCheck);
        }
        probe.Step(misuse.pszCheck, std::string(misuse.pszCall) + " " + pszPhase);
        bool bThisFails = false;
        const std::string odd = misuse.call(api, &bThisFails);
        if (!odd.empty() && seen.empty()) {
            seen = odd + " " + pszPhase;
            bFail = bThisFails;
        }
    }
    if (seen.empty()) {
        probe.Pass(misuse.pszCheck, misuse.pszCall);
    } else if (bFail) {
        probe.Fail(misuse.pszCheck, seen);
    } else {
        probe.Warn(misuse.pszCheck, seen);
    }
}

// Read_Packet(null), a null pData, Set_Video_Format(null), Read_Packet
// before any size was set: each in a session of its own.
void CheckOpenMisuse(Probe& probe, const Context& context, const char* pszCheck) {
    const std::unique_ptr<PluginLibrary> library = LoadFor(probe, pszCheck, context.path);
    if (!library) return;
    const PluginApi& api = library->Api();
    const std::string check = pszCheck;
    std::string seen;
    bool bFail = false;
    if (check == "misuse.read-before-format") {
        probe.Step(pszCheck, "Open_Plugin");
        if (api.Open_Plugin() != 0) return probe.Fail(pszCheck, "Open_Plugin does not answer 0");
        probe.Step(pszCheck, "Open_Source(0), Start_Source");
        api.Open_Source(nullptr, 0);
        api.Start_Source();
        probe.Step(pszCheck, "Get_Video_Format before Set_Video_Format");
        const VideoFormatInfo* pFormat = api.Get_Video_Format();
        FrameSize size = {0, 0};
        if (pFormat && pFormat->nWidth > 0 && pFormat->nHeight > 0 && FrameBytes(pFormat->nWidth, pFormat->nHeight) <= kMaxCheckedFrame) {
            size = {pFormat->nWidth, pFormat->nHeight};
        }
        // A buffer as large as the size the plug-in reports: a host that
        // reads the format first gives no more.
        const size_t nBytes = static_cast<size_t>(FrameBytes(size.nWidth, size.nHeight));
        GuardedMemory frame(nBytes), record(sizeof(VideoPacket));
        NoteFence(0, frame.FenceStart(), frame.FenceEnd(), pszCheck,
                  "the inaccessible page after a buffer of the size Get_Video_Format reports");
        VideoPacket* pPacket = PreparePacket(&record, frame.Data());
        probe.Step(pszCheck, "Read_Packet before Set_Video_Format, into a buffer of " + std::to_string(nBytes) + " bytes");
        const int32_t nResult = api.Read_Packet(pPacket);
        ClearFences();
        if (nResult == 0 && pPacket->ulDataSize != nBytes) {
            seen = "Read_Packet reports " + std::to_string(pPacket->ulDataSize) + " bytes while Get_Video_Format reports " +
                   SizeText(size) + " (" + std::to_string(nBytes) + " bytes)";
            bFail = true;
        }
        probe.Step(pszCheck, "Close_Plugin");
        api.Close_Plugin();
    } else {
        if (!StartSession(probe, api, pszCheck, 0, {64, 48}, "64x48")) return;
        if (check == "misuse.null-packet") {
            probe.Step(pszCheck, "Read_Packet(null)");
            const int32_t n = api.Read_Packet(nullptr);
            if (n == 0) seen = "Read_Packet(null) answers 0, as if it had delivered a frame";
        } else if (check == "misuse.null-data") {
            GuardedMemory record(sizeof(VideoPacket));
            VideoPacket* pPacket = PreparePacket(&record, nullptr);
            probe.Step(pszCheck, "Read_Packet with pData null");
            const int32_t n = api.Read_Packet(pPacket);
            if (n == 0) seen = "Read_Packet answers 0 for a packet without a buffer";
        } else if (check == "misuse.null-format") {
            probe.Step(pszCheck, "Set_Video_Format(null)");
            const int32_t n = api.Set_Video_Format(nullptr);
            probe.Step(pszCheck, "Get_Video_Format after Set_Video_Format(null)");
            const VideoFormatInfo* pFormat = api.Get_Video_Format();
            if (!pFormat || pFormat->nWidth != 64 || pFormat->nHeight != 48) {
                seen = "after Set_Video_Format(null) Get_Video_Format reads " +
                       (pFormat ? SizeText(pFormat->nWidth, pFormat->nHeight) : std::string("null")) + ", not 64x48";
                bFail = true;
            } else if (n != 0) {
                seen = "Set_Video_Format(null) answers " + std::to_string(n) + ", as if it had taken a size";
            }
        }
        EndSession(probe, api, pszCheck);
    }
    if (seen.empty()) {
        probe.Pass(pszCheck);
    } else if (bFail) {
        probe.Fail(pszCheck, seen);
    } else {
        probe.Warn(pszCheck, seen);
    }
}

// ---- Lifecycle ---------------------------------------------------------------------

// One short session with a frame; what went wrong, or "".
std::string OneFrame(Probe& probe, const PluginApi& api, const char* pszCheck, int32_t nInput) {
    const FrameSize size = {32, 16};
    probe.Step(pszCheck, "a session of " + SizeText(size));
    if (api.Open_Plugin() != 0) return "Open_Plugin does not answer 0";
    const VideoFormatInfo format = {kFormatBgr24, size.nWidth, size.nHeight, kBitDepth};
    std::string seen;
    GuardedMemory frame(static_cast<size_t>(FrameBytes(size.nWidth, size.nHeight)));
    VideoPacket packet = {};
    packet.pData = frame.Data();
    if (api.Set_Video_Format(&format) != 1) {
        seen = "Set_Video_Format(32x16) does not answer 1";
    } else if (api.Open_Source(nullptr, nInput) != 0 || api.Start_Source() != 0) {
        seen = "Open_Source or Start_Source does not answer 0";
    } else if (api.Read_Packet(&packet) != 0 || packet.ulDataSize != frame.Size()) {
        seen = "Read_Packet fails or reports " + std::to_string(packet.ulDataSize) + " bytes";
    }
    api.Stop_Source();
    api.Close_Plugin();
    return seen;
}

void CheckLifecycle(Probe& probe, const Context& context, bool bCycles, bool bReload) {
    std::unique_ptr<PluginLibrary> library = LoadFor(probe, "lifecycle.cycles", context.path);
    if (!library) return;
    const auto identity = Identity(probe, library->Api(), "lifecycle.cycles");
    const int32_t nInputs = std::max(static_cast<int32_t>(context.inputs.size()), 1);

    if (bCycles) {
        const PluginApi& api = library->Api();
        std::string seen, twice;
        // Opening an open plug-in keeps it as it is.
        probe.Step("lifecycle.cycles", "Open_Plugin twice");
        const VideoFormatInfo format = {kFormatBgr24, 64, 48, kBitDepth};
        if (api.Open_Plugin() == 0 && api.Set_Video_Format(&format) == 1) {
            const int32_t nAgain = api.Open_Plugin();
            const VideoFormatInfo* pFormat = api.Get_Video_Format();
            if (nAgain != 0) {
                twice = "a second Open_Plugin answers " + std::to_string(nAgain);
            } else if (!pFormat || pFormat->nWidth != 64 || pFormat->nHeight != 48) {
                twice = "a second Open_Plugin forgets the size set";
            }
        }
        api.Close_Plugin();
        for (int nCycle = 1; nCycle <= 100 && seen.empty(); ++nCycle) {
            const std::string problem = OneFrame(probe, api, "lifecycle.cycles", nCycle % nInputs);
            if (!problem.empty()) seen = "cycle " + std::to_string(nCycle) + ": " + problem;
            if (seen.empty() && nCycle % 10 == 0) {
                const std::string change = IdentityChange(identity, Identity(probe, api, "lifecycle.cycles"), "at first",
                                                          ("after " + std::to_string(nCycle) + " cycles").c_str());
                if (!change.empty()) seen = change;
            }
        }
        if (seen.empty() && !twice.empty()) {
            probe.Warn("lifecycle.cycles", twice);
        } else {
            probe.Verdict("lifecycle.cycles", "", seen);
        }
    }

    if (bReload) {
        std::string seen, mapped;
        for (int nLoad = 1; nLoad <= 3 && seen.empty(); ++nLoad) {
            probe.Step("lifecycle.reload", "dlclose");
            library.reset();
            if (PluginLibrary::IsMapped(context.path) && mapped.empty()) {
                mapped = "the library stays mapped after dlclose: a host cannot unload it";
            }
            library = LoadFor(probe, "lifecycle.reload", context.path);
            if (!library) return;
            const std::string after = "after reload " + std::to_string(nLoad);
            seen = IdentityChange(identity, Identity(probe, library->Api(), "lifecycle.reload"), "at first", after.c_str());
            if (seen.empty()) {
                const std::string problem = OneFrame(probe, library->Api(), "lifecycle.reload", 0);
                if (!problem.empty()) seen = after + ": " + problem;
            }
        }
        if (seen.empty() && !mapped.empty()) {
            probe.Warn("lifecycle.reload", mapped);
        } else {
            probe.Verdict("lifecycle.reload", "3 reloads", seen);
        }
    }
}

// ---- Speed -------------------------------------------------------------------------

void CheckSpeed(Probe& probe, const Context& context, int32_t nInput) {
    const std::unique_ptr<PluginLibrary> library = LoadFor(probe, "speed", context.path);
    if (!library) return;
    const PluginApi& api = library->Api();
    for (const FrameSize size : {FrameSize{640, 480}, FrameSize{1920, 1080}}) {
        const std::string scope = InputText(nInput, context.inputs) + " " + SizeText(size);
        if (!StartSession(probe, api, "speed", nInput, size, scope, true)) continue;
        GuardedMemory frame(static_cast<size_t>(FrameBytes(size.nWidth, size.nHeight)));
        VideoPacket packet = {};
        packet.pData = frame.Data();
        probe.Step("speed", "Read_Packet, " + scope);
        api.Read_Packet(&packet);  // the first frame may set up tables
        int nFrames = 0;
        const double start = MonotonicSeconds();
        double elapsed = 0;
        do {
            api.Read_Packet(&packet);
            ++nFrames;
            elapsed = MonotonicSeconds() - start;
        } while (elapsed < 0.3 || nFrames < 3);
        char sz[200];
        snprintf(sz, sizeof sz, "%-34s %8.1f frames/s %7.3f ns/px (%s)", scope.c_str(), nFrames / elapsed,
                 elapsed * 1e9 / nFrames / (double{1} * size.nWidth * size.nHeight), context.cpu.c_str());
        probe.Info("speed", sz);
        EndSession(probe, api, "speed");
    }
}

// ---- The parent's side -------------------------------------------------------------

// The results of one check, from every piece of work that reported on it.
struct Tally {
    int nPassed = 0;
    std::string passScope;
    std::vector<std::string> failures, warnings, infos;
    std::string skipped;
};

struct Job {
    std::vector<std::string> checks;  // what it reports on
    std::function<void(Probe&)> work;
};

std::string SignalText(int nSignal) {
    const char* pszAbbrev = sigabbrev_np(nSignal);
    return pszAbbrev ? std::string("SIG") + pszAbbrev : "signal " + std::to_string(nSignal);
}

// Turns a child's death into the failure of the check it was working on.
std::string DeathText(const ChildOutcome& outcome, unsigned nTimeout) {
    const std::string call = outcome.call.empty() ? "the check" : outcome.call;
    if (outcome.bTimedOut) return call + " did not return within " + std::to_string(nTimeout) + " s";
    if (outcome.nSignal != 0) {
        std::string text = call + " died of " + SignalText(outcome.nSignal);
        if (outcome.bFault) {
            char sz[40];
            snprintf(sz, sizeof sz, " at %#llx", static_cast<unsigned long long>(outcome.faultAddress));
            text += sz;
            if (!outcome.fenceWhat.empty()) text += ", in " + outcome.fenceWhat;
        }
        return text;
    }
    if (outcome.nExitStatus != 0) return call + " ended the process with exit status " + std::to_string(outcome.nExitStatus);
    return call + " ended the process";
}

class Runner {
public:
    explicit Runner(const CheckOptions& options) : options_(options) {}

    bool Selected(const std::string& name) const {
        bool bIn = options_.only.empty();
        for (const std::string& pattern : options_.only) bIn = bIn || Matches(pattern, name);
        for (const std::string& pattern : options_.skip) bIn = bIn && !Matches(pattern, name);
        return bIn;
    }

    // Runs one piece of work and files what it reported.
    void Run(const Job& job, std::vector<std::string>* pInputs = nullptr) {
        bool bAny = false;
        for (const std::string& check : job.checks) bAny = bAny || Selected(check);
        if (!bAny && !pInputs) return;
        const ChildOutcome outcome = RunIsolated(
            [&job](const Writer& write) {
                Probe probe(write);
                job.work(probe);
                probe.Done();
            },
            options_.nTimeout, options_.bInProcess);
        bool bDone = false;
        size_t nStart = 0;
        while (nStart < outcome.output.size()) {
            size_t nEnd = outcome.output.find('\n', nStart);
            if (nEnd == std::string::npos) nEnd = outcome.output.size();
            const std::string line = outcome.output.substr(nStart, nEnd - nStart);
            nStart = nEnd + 1;
            if (line == "D") {
                bDone = true;
                continue;
            }
            const size_t nTab1 = line.find('\t'), nTab2 = line.find('\t', nTab1 + 1);
            if (nTab1 != 1 || nTab2 == std::string::npos) continue;
            const std::string check = line.substr(2, nTab2 - 2), detail = line.substr(nTab2 + 1);
            if (line[0] == 'N') {
                if (pInputs) pInputs->push_back(detail);
                continue;
            }
            File(line[0], check, detail);
        }
        if (!bDone || !outcome.bFinished) {
            std::string check = !outcome.fenceCheck.empty() ? outcome.fenceCheck : outcome.check;
            if (check.empty()) check = job.checks.front();
            File('F', check, DeathText(outcome, options_.nTimeout));
        }
    }

    bool Failed(const std::string& check) const {
        const auto found = tallies_.find(check);
        return found != tallies_.end() && !found->second.failures.empty();
    }

    void File(char kind, const std::string& check, const std::string& detail) {
        Tally& tally = tallies_[check];
        switch (kind) {
            case 'P':
                if (tally.nPassed++ == 0) tally.passScope = detail;
                break;
            case 'W': tally.warnings.push_back(detail); break;
            case 'F': tally.failures.push_back(detail); break;
            case 'I': tally.infos.push_back(detail); break;
            case 'S': tally.skipped = detail; break;
            default: break;
        }
    }

    // Prints one line per selected check; answers the exit status.
    int Report(bool bLoaded) {
        int nPassed = 0, nWarned = 0, nFailed = 0, nNotRun = 0;
        for (const CheckInfo& check : kChecks) {
            const auto found = tallies_.find(check.pszName);
            const bool bLoadCheck = Matches("load", check.pszName);
            if (!Selected(check.pszName) && !(bLoadCheck && found != tallies_.end() && !found->second.failures.empty())) {
                continue;
            }
            if (found == tallies_.end() || (found->second.nPassed == 0 && found->second.failures.empty() &&
                                            found->second.warnings.empty() && found->second.infos.empty())) {
                ++nNotRun;
                if (!bLoaded) continue;  // one line below says why
                std::string why = found != tallies_.end() && !found->second.skipped.empty() ? found->second.skipped
                                  : !bLoaded ? "needs a plug-in that loads"
                                             : "not reached: an earlier step of its work failed (see above)";
                Line("SKIP", check, why);
                continue;
            }
            const Tally& tally = found->second;
            if (!tally.infos.empty()) {
                for (const std::string& info : tally.infos) Line("INFO", check, info, false);
                for (const std::string& failure : tally.failures) Line("FAIL", check, failure), ++nFailed;
                continue;
            }
            if (!tally.failures.empty()) {
                ++nFailed;
                Line("FAIL", check, Join(tally.failures, tally.warnings));
            } else if (!tally.warnings.empty()) {
                ++nWarned;
                Line("WARN", check, Join(tally.warnings, {}));
            } else {
                ++nPassed;
                if (!options_.bQuiet) {
                    Line("PASS", check, tally.nPassed > 1 ? std::to_string(tally.nPassed) + " cases" : tally.passScope);
                }
            }
        }
        if (!bLoaded && nNotRun > 0) printf("The other checks need a plug-in that loads.\n");
        printf("%d passed, %d warning%s, %d failed", nPassed, nWarned, nWarned == 1 ? "" : "s", nFailed);
        if (nNotRun > 0) printf(", %d not run", nNotRun);
        printf("\n");
        fflush(stdout);
        return nFailed > 0 ? kExitFailure : kExitOk;
    }

private:
    static std::string Join(const std::vector<std::string>& first, const std::vector<std::string>& then) {
        std::vector<std::string> all;
        for (const std::vector<std::string>* pList : {&first, &then}) {
            for (const std::string& text : *pList) {
                if (std::find(all.begin(), all.end(), text) == all.end()) all.push_back(text);
            }
        }
        constexpr size_t kShown = 3;
        std::string text;
        for (size_t i = 0; i < std::min(all.size(), kShown); ++i) text += (i ? "; " : "") + all[i];
        if (all.size() > kShown) text += "; and " + std::to_string(all.size() - kShown) + " more";
        return text;
    }

    static void Line(const char* pszStatus, const CheckInfo& check, const std::string& detail, bool bWhat = true) {
        std::string text = bWhat ? check.pszWhat : "";
        if (!detail.empty()) text += (text.empty() ? "" : ": ") + detail;
        printf("%-4s  %-26s %s\n", pszStatus, check.pszName, text.c_str());
    }

    const CheckOptions& options_;
    std::map<std::string, Tally> tallies_;
};

std::string CpuName() {
    FILE* pFile = fopen("/proc/cpuinfo", "r");
    std::string name = "CPU unknown";
    if (!pFile) return name;
    char line[512];
    while (fgets(line, sizeof line, pFile)) {
        if (strncmp(line, "model name", 10) == 0) {
            const char* pColon = strchr(line, ':');
            if (pColon) {
                name = pColon + 1;
                name.erase(0, name.find_first_not_of(" \t"));
                name.erase(name.find_last_not_of(" \t\n") + 1);
            }
            break;
        }
    }
    fclose(pFile);
    return name;
}

}  // namespace

std::vector<FrameSize> DefaultCheckSizes() { return {{1, 1}, {1001, 3}, {640, 480}}; }

bool ParseCheckArguments(const std::vector<std::string>& args, CheckOptions* pOptions, std::string* pError) {
    enum { kSize = 1000, kOnly, kSkip, kQuiet, kInProcess, kList, kTimeout };
    static const option kOptions[] = {
        {"size", required_argument, nullptr, kSize},     {"only", required_argument, nullptr, kOnly},
        {"skip", required_argument, nullptr, kSkip},     {"quiet", no_argument, nullptr, kQuiet},
        {"in-process", no_argument, nullptr, kInProcess}, {"list", no_argument, nullptr, kList},
        {"timeout", required_argument, nullptr, kTimeout},
        {nullptr, 0, nullptr, 0},
    };
    ArgumentVector arguments("check", args);
    const int argc = arguments.Count();
    char** argv = arguments.Values();

    CheckOptions options;
    std::vector<std::string> positional;
    auto names = [pError](const std::string& list, std::vector<std::string>* pNames) {
        size_t nStart = 0;
        for (;;) {
            const size_t nComma = list.find(',', nStart);
            const std::string name = list.substr(nStart, nComma == std::string::npos ? std::string::npos : nComma - nStart);
            if (!IsKnownName(name)) {
                *pError = "unknown check '" + name + "' (tcap-host check --list names them)";
                return false;
            }
            pNames->push_back(name);
            if (nComma == std::string::npos) return true;
            nStart = nComma + 1;
        }
    };
    optind = 0;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, "-:", kOptions, nullptr);
        if (c == -1) break;
        const std::string value = optarg ? optarg : "";
        const std::string given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        FrameSize size;
        switch (c) {
            case 1: positional.push_back(value); break;
            case kSize:
                if (!ParseSize(value, &size)) {
                    *pError = "--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '" + value + "'";
                    return false;
                }
                options.sizes.push_back(size);
                break;
            case kOnly:
                if (!names(value, &options.only)) return false;
                break;
            case kSkip:
                if (!names(value, &options.skip)) return false;
                break;
            case kTimeout: {
                int64_t n = 0;
                if (!ParseInteger(value, 1, 86400, &n)) {
                    *pError = "--timeout wants seconds from 1 to 86400, not '" + value + "'";
                    return false;
                }
                options.nTimeout = static_cast<unsigned>(n);
                break;
            }
            case kQuiet: options.bQuiet = true; break;
            case kInProcess: options.bInProcess = true; break;
            case kList: options.bList = true; break;
            case ':': *pError = "option " + given + " needs a value"; return false;
            default: *pError = optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt) : "unknown option " + given; return false;
        }
    }
    if (!options.bList && positional.empty()) return *pError = "check needs the plug-in's file name", false;
    if (positional.size() > 1) return *pError = "check takes one plug-in, not also '" + positional[1] + "'", false;
    if (!positional.empty()) options.pluginPath = positional[0];
    if (options.sizes.empty()) options.sizes = DefaultCheckSizes();
    *pOptions = options;
    return true;
}

int RunCheck(const CheckOptions& options) {
    if (options.bList) {
        for (const CheckInfo& check : kChecks) printf("%-26s %s\n", check.pszName, check.pszWhat);
        return kExitOk;
    }
    Context context;
    context.path = options.pluginPath;
    context.sizes = options.sizes;
    context.cpu = CpuName();

    std::string sizes;
    for (const FrameSize& size : options.sizes) sizes += (sizes.empty() ? "" : ", ") + SizeText(size);
    printf("tcap-host check %s\nframe sizes %s; %s\n", options.pluginPath.c_str(), sizes.c_str(),
           options.bInProcess ? "all in this process" : "each piece of work in a child process");

    Runner runner(options);
    // Loading first, always: without a plug-in that loads nothing else runs.
    runner.Run({{"load.now", "load.entry-points", "load.clock"}, [&](Probe& p) { CheckLoad(p, context); }},
               &context.inputs);
    if (runner.Failed("load.now") || runner.Failed("load.entry-points")) return runner.Report(false);
    std::vector<Job> jobs;
    jobs.push_back({{"identity.strings", "identity.inputs", "identity.open-closed"}, [&](Probe& p) { CheckIdentity(p, context); }});
    jobs.push_back({{"format.readback", "format.refused", "format.negative", "format.overflow"},
                    [&](Probe& p) { CheckFormat(p, context); }});
    const int32_t nInputs = static_cast<int32_t>(context.inputs.size());
    const std::vector<std::string> frameChecks = {"frames.read", "frames.size", "frames.header", "frames.host-words",
                                                  "frames.bounds", "frames.solid"};
    for (int32_t nInput = 0; nInput < nInputs; ++nInput) {
        for (const FrameSize& size : options.sizes) {
            jobs.push_back({frameChecks, [&, nInput, size](Probe& p) { CheckFrames(p, context, nInput, size); }});
        }
    }
    bool bSolidInput = false;
    uint8_t colour[3];
    for (const std::string& name : context.inputs) bSolidInput = bSolidInput || SolidColour(name, colour);
    if (!bSolidInput) runner.File('S', "frames.solid", "no input is named Red, Green or Blue");
    if (nInputs > 0) {
        jobs.push_back({{"frames.timestamps", "frames.set-time"}, [&](Probe& p) { CheckTimestamps(p, context); }});
    }
    for (const Misuse& misuse : MisuseCases()) {
        jobs.push_back({{misuse.pszCheck}, [&](Probe& p) { CheckClosedCall(p, context, misuse); }});
    }
    for (const char* pszCheck : {"misuse.null-packet", "misuse.null-data", "misuse.null-format", "misuse.read-before-format"}) {
        jobs.push_back({{pszCheck}, [&, pszCheck](Probe& p) { CheckOpenMisuse(p, context, pszCheck); }});
    }
    const bool bCycles = runner.Selected("lifecycle.cycles"), bReload = runner.Selected("lifecycle.reload");
    jobs.push_back({{"lifecycle.cycles", "lifecycle.reload"}, [&](Probe& p) { CheckLifecycle(p, context, bCycles, bReload); }});
    for (int32_t nInput = 0; nInput < nInputs; ++nInput) {
        jobs.push_back({{"speed"}, [&, nInput](Probe& p) { CheckSpeed(p, context, nInput); }});
    }

    for (const Job& job : jobs) runner.Run(job);
    return runner.Report(true);
}

}  // namespace tcap_host
