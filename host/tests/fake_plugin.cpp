// A stand-in plug-in for tcap-host's tests: the same entry points as the real
// one, with one misbehaviour chosen at compile time, so that the host's
// handling of each can be seen. Frames are a counting pattern: byte i of the
// n-th frame (from 0) is (i + n) mod 256.
//   FAKE_MISSING_ENTRY_POINTS  Stop_Source and Read_Packet are not exported
//   FAKE_SHORT_EVERY_SECOND    every second packet reports 3 bytes too few
//   FAKE_READ_FAILS_AT=n       the n-th Read_Packet (from 1) answers 7
//   FAKE_OPEN_FAILS            Open_Plugin answers 2
//   FAKE_OTHER_SIZE            Get_Video_Format reports a width one larger
#include "lin_tcap.h"

namespace {
bool g_bOpen = false;
VideoFormatInfo g_format = {2, 0, 0, 24};
}  // namespace

int32_t Open_Plugin(void) {
#ifdef FAKE_OPEN_FAILS
    return 2;
#else
    g_bOpen = true;
    return 0;
#endif
}
void Close_Plugin(void) { g_bOpen = false; }
int32_t Open_Source(void*, int32_t) { return g_bOpen ? 0 : 1; }
int32_t Set_Video_Format(const VideoFormatInfo* pInfo) {
    if (!g_bOpen || !pInfo || pInfo->nWidth < 0 || pInfo->nHeight < 0) return 0;
    g_format.nWidth = pInfo->nWidth;
    g_format.nHeight = pInfo->nHeight;
    return 1;
}
VideoFormatInfo* Get_Video_Format(void) {
#ifdef FAKE_OTHER_SIZE
    static VideoFormatInfo other;
    other = g_format;
    other.nWidth += 1;
    return &other;
#else
    return &g_format;
#endif
}
const char* Get_Vendor(void) { return "Test Fakes"; }
const char* Get_Description(void) { return "Misbehaving test plug-in"; }
int32_t Get_Media_Type(void) { return 2; }
int32_t Get_Media_Source(void) { return 2; }
int32_t Get_Version(void) { return 0x00000001; }
int32_t Query_Num_Inputs(void) { return 1; }
const char* Input_Description(int32_t nInput) { return nInput == 0 ? "Counting" : nullptr; }
int32_t Query_Device_Handles(void) { return 0; }
int32_t Validate_Source(const char*) { return 1; }
int32_t Start_Source(void) { return 0; }
int32_t Pause_Source(void) { return 0; }
int32_t Resume_Source(void) { return 0; }
int32_t Set_Video_Frame_Rate(void) { return 0; }
void Set_Current_Time(int32_t) {}

#ifndef FAKE_MISSING_ENTRY_POINTS
int32_t Stop_Source(void) { return 0; }

namespace {
uint32_t g_nFrame = 0;  // packets read so far
}  // namespace

int32_t Read_Packet(VideoPacket* pPacket) {
    const uint32_t n = g_nFrame++;
#ifdef FAKE_READ_FAILS_AT
    if (n + 1 == FAKE_READ_FAILS_AT) return 7;
#endif
    const uint32_t nBytes = static_cast<uint32_t>(g_format.nWidth) * static_cast<uint32_t>(g_format.nHeight) * 3u;
    for (uint32_t i = 0; i < nBytes; ++i) pPacket->pData[i] = static_cast<uint8_t>(i + n);
    pPacket->ulHeadWord0 = pPacket->ulHeadWord1 = 1;
    pPacket->ulTimestamp = 1000u + 40u * n;
    pPacket->ulDataSize = nBytes;
#ifdef FAKE_SHORT_EVERY_SECOND
    if (n % 2 == 1) pPacket->ulDataSize = nBytes - 3;
#endif
    return 0;
}
#endif
