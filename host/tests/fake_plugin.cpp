// A stand-in plug-in for tcap-host's tests: the same entry points as the real
// one, with one misbehaviour chosen at compile time, so that the host's
// handling of each can be seen. Without one it behaves as a careful plug-in
// of the interface should. Two inputs: 0 "Counting", where byte i of the
// n-th frame (from 0) is (i + n) mod 256, and 1 "Red", solid red. Timestamps
// follow the wall clock.
//
// What tcap-host capture meets:
//   FAKE_MISSING_ENTRY_POINTS  Stop_Source and Read_Packet are not exported
//   FAKE_SHORT_EVERY_SECOND    every second packet reports 3 bytes too few
//   FAKE_READ_FAILS_AT=n       the n-th Read_Packet (from 1) answers 7
//   FAKE_OPEN_FAILS            Open_Plugin answers 2
//   FAKE_OTHER_SIZE            Get_Video_Format reports a width one larger
// What tcap-host check is there to catch:
//   FAKE_LAZY_SYMBOL           needs a symbol nothing defines: loads lazily only
//   FAKE_NO_CLOCK              GetTickCount is not exported
//   FAKE_STRINGS_CHANGE        Get_Vendor's text changes from call to call
//   FAKE_COUNT_TOO_HIGH        Query_Num_Inputs counts an input that has no name
//   FAKE_OPEN_ANSWERS_DIFFER   Get_Version answers differently while open
//   FAKE_ACCEPTS_NEGATIVE      Set_Video_Format takes negative sizes
//   FAKE_ACCEPTS_OVERFLOW      Set_Video_Format takes frames of 2^31 bytes and more
//   FAKE_REFUSAL_CHANGES_SIZE  a refused size is stored all the same
//   FAKE_PAST_END_ABOVE_1000   frames wider than 1000 pixels get a pixel too many
//   FAKE_BEFORE_START          Read_Packet writes the byte before the buffer
//   FAKE_HOST_WORD             Read_Packet writes the host's ulHostWord5
//   FAKE_NO_HEADER             Read_Packet leaves the header words alone
//   FAKE_NOT_UNIFORM           the last pixel of "Red" is black
//   FAKE_CLOCK_BACK            the fourth packet is stamped 100 ms early
//   FAKE_SLOW_CLOCK            timestamps count half the milliseconds
//   FAKE_NULL_PACKET_CRASHES   Read_Packet(null) crashes
//   FAKE_CLOSED_CRASHES        Get_Video_Format crashes while closed
//   FAKE_NULL_PACKET_HANGS     Read_Packet(null) never returns
//   FAKE_STAYS_MAPPED          the library cannot be unloaded
//   FAKE_LOSES_INPUTS          after 50 opens it counts one input fewer
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include "gettickcount.h"
#include "lin_tcap.h"

#ifdef FAKE_STAYS_MAPPED
#include <dlfcn.h>
#endif

namespace {
bool g_bOpen = false;
[[maybe_unused]] int g_nOpens = 0;
int32_t g_nInput = 0;
int32_t g_nOffset = 0;  // ms, added to the clock for timestamps
VideoFormatInfo g_format = {2, 0, 0, 24};

uint32_t WallMs() {
    timeval tv = {};
    gettimeofday(&tv, nullptr);
    const uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
#ifdef FAKE_SLOW_CLOCK
    return static_cast<uint32_t>(ms / 2);
#else
    return static_cast<uint32_t>(ms);
#endif
}

// What a crash in a careless plug-in looks like to the host.
[[maybe_unused]] void Crash() { raise(SIGSEGV); }

#ifdef FAKE_LAZY_SYMBOL
extern "C" void tcap_fake_symbol_nothing_defines(void);
#endif

#ifdef FAKE_STAYS_MAPPED
// Marks the library as never to be unloaded, as some plug-ins' runtimes do.
__attribute__((constructor)) void PinLibrary() {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) && info.dli_fname) {
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
}
#endif
}  // namespace

#ifndef FAKE_NO_CLOCK
uint32_t GetTickCount(void) { return WallMs(); }
#endif

int32_t Open_Plugin(void) {
#ifdef FAKE_OPEN_FAILS
    return 2;
#else
    if (!g_bOpen) ++g_nOpens;
    g_bOpen = true;
    return 0;
#endif
}
void Close_Plugin(void) { g_bOpen = false; }
int32_t Open_Source(void*, int32_t nInput) {
    if (!g_bOpen) return 1;
    g_nInput = nInput;
    return 0;
}
int32_t Set_Video_Format(const VideoFormatInfo* pInfo) {
    if (!g_bOpen || !pInfo) return 0;
    const bool bNegative = pInfo->nWidth < 0 || pInfo->nHeight < 0;
    bool bRefused = false;
#ifndef FAKE_ACCEPTS_NEGATIVE
    bRefused = bRefused || bNegative;
#endif
#ifndef FAKE_ACCEPTS_OVERFLOW
    // More than 2^31 - 1 bytes: width x height above (2^31 - 1) / 3.
    bRefused = bRefused || (!bNegative && static_cast<uint64_t>(pInfo->nWidth) * static_cast<uint64_t>(pInfo->nHeight) > INT32_MAX / 3);
#endif
#ifndef FAKE_REFUSAL_CHANGES_SIZE
    if (bRefused) return 0;
#endif
    g_format.nWidth = pInfo->nWidth;
    g_format.nHeight = pInfo->nHeight;
    return bRefused ? 0 : 1;
}
VideoFormatInfo* Get_Video_Format(void) {
    if (!g_bOpen) {
#ifdef FAKE_CLOSED_CRASHES
        Crash();
#endif
        return nullptr;
    }
#ifdef FAKE_OTHER_SIZE
    static VideoFormatInfo other;
    other = g_format;
    other.nWidth += 1;
    return &other;
#else
    return &g_format;
#endif
}
const char* Get_Vendor(void) {
#ifdef FAKE_STRINGS_CHANGE
    static char szVendor[] = "Test Fakes 0";
    szVendor[11] = static_cast<char>('0' + (szVendor[11] - '0' + 1) % 10);
    return szVendor;
#else
    return "Test Fakes";
#endif
}
const char* Get_Description(void) { return "Misbehaving test plug-in"; }
int32_t Get_Media_Type(void) { return 2; }
int32_t Get_Media_Source(void) { return 2; }
int32_t Get_Version(void) {
#ifdef FAKE_OPEN_ANSWERS_DIFFER
    if (g_bOpen) return 0x00000002;
#endif
    return 0x00000001;
}
int32_t Query_Num_Inputs(void) {
#ifdef FAKE_COUNT_TOO_HIGH
    return 3;
#elif defined(FAKE_LOSES_INPUTS)
    return g_nOpens > 50 ? 1 : 2;
#else
    return 2;
#endif
}
const char* Input_Description(int32_t nInput) {
    return nInput == 0 ? "Counting" : nInput == 1 ? "Red" : nullptr;
}
int32_t Query_Device_Handles(void) { return 0; }
int32_t Validate_Source(const char*) { return 1; }
int32_t Start_Source(void) {
    if (!g_bOpen) return 1;
    g_nOffset = 0;
    return 0;
}
int32_t Pause_Source(void) {
#ifdef FAKE_LAZY_SYMBOL
    tcap_fake_symbol_nothing_defines();
#endif
    return 0;
}
int32_t Resume_Source(void) { return 0; }
int32_t Set_Video_Frame_Rate(void) { return 0; }
void Set_Current_Time(int32_t nTime) {
    if (g_bOpen) g_nOffset = static_cast<int32_t>(static_cast<uint32_t>(nTime) - WallMs());
}

#ifndef FAKE_MISSING_ENTRY_POINTS
int32_t Stop_Source(void) { return 0; }

namespace {
uint32_t g_nFrame = 0;  // packets read so far
}  // namespace

int32_t Read_Packet(VideoPacket* pPacket) {
#ifdef FAKE_NULL_PACKET_CRASHES
    if (!pPacket) Crash();
#endif
#ifdef FAKE_NULL_PACKET_HANGS
    while (!pPacket) sleep(1);
#endif
    if (!g_bOpen || !pPacket || !pPacket->pData) return 1;
    const uint32_t n = g_nFrame++;
#ifdef FAKE_READ_FAILS_AT
    if (n + 1 == FAKE_READ_FAILS_AT) return 7;
#endif
    uint32_t nBytes = static_cast<uint32_t>(g_format.nWidth) * static_cast<uint32_t>(g_format.nHeight) * 3u;
#ifdef FAKE_PAST_END_ABOVE_1000
    if (g_format.nWidth > 1000) nBytes += 3;  // a column table one entry too short, say
#endif
    for (uint32_t i = 0; i < nBytes; ++i) {
        pPacket->pData[i] = g_nInput == 1 ? static_cast<uint8_t>(i % 3 == 2 ? 255 : 0) : static_cast<uint8_t>(i + n);
    }
#ifdef FAKE_NOT_UNIFORM
    if (g_nInput == 1 && nBytes >= 3) pPacket->pData[nBytes - 1] = 0;
#endif
#ifdef FAKE_BEFORE_START
    pPacket->pData[-1] = 0;
#endif
#ifndef FAKE_NO_HEADER
    pPacket->ulHeadWord0 = pPacket->ulHeadWord1 = 1;
#endif
#ifdef FAKE_HOST_WORD
    pPacket->ulHostWord5 = 0;
#endif
    pPacket->ulTimestamp = WallMs() + static_cast<uint32_t>(g_nOffset) + 15u;
#ifdef FAKE_CLOCK_BACK
    if (n == 3) pPacket->ulTimestamp -= 100u;
#endif
    pPacket->ulDataSize = static_cast<uint32_t>(g_format.nWidth) * static_cast<uint32_t>(g_format.nHeight) * 3u;
#ifdef FAKE_SHORT_EVERY_SECOND
    if (n % 2 == 1) pPacket->ulDataSize -= 3;
#endif
    return 0;
}
#endif
