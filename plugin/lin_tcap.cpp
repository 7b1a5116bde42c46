// tcap: the video manager, every host entry point, and the definition of the
// frames. Read top to bottom: the manager and its lifecycle, the identity
// queries, streaming control, then Read_Packet and the pictures it paints.
//
// The fast painters that Read_Packet calls live beside this file
// (fast_paths.h); what they paint is defined here, byte for byte, by
// FillSolid and PaintPlasmaReference.
#include "lin_tcap.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "fast_paths.h"
#include "gettickcount.h"
#include "tcap_internal.h"

namespace {

// ---- The video manager ------------------------------------------------------

// All state of an open plug-in. Plain on purpose: no base class, no virtual
// operations, nothing that needs the C++ runtime.
class LinuxVideoMgr {
public:
    LinuxVideoMgr() = default;
    ~LinuxVideoMgr() { CloseDevice(); }
    LinuxVideoMgr(const LinuxVideoMgr&) = delete;
    LinuxVideoMgr& operator=(const LinuxVideoMgr&) = delete;

    // Stand-ins for a capture device this plug-in does not have.
    void OpenDevice() {}
    void CloseDevice() {}

    int32_t lTimeOffset = 0;  // ms added to every packet timestamp
    uint32_t nInput = 0;      // selected input, as the host gave it
    int32_t nHeight = 0;      // pixels; written only by Set_Video_Format
    int32_t nWidth = 0;
    VideoFormatInfo formatInfo = {0, 0, 0, 0};  // what Get_Video_Format hands out
    // The fast plasma painter's working areas: its table of sinl(k / 20)
    // for columns and rows, filled by the first plasma frame so that later
    // frames skip those sinl calls, and the tables of the current strip of
    // columns, kept here so that Read_Packet needs little stack. They make
    // the manager about 120 KB (96 KB in the i386 library) instead of a few
    // words.
    tcap::PlasmaWork work = {};
};

// Non-null exactly while the plug-in is open.
LinuxVideoMgr* g_pVideoMgr = nullptr;

// ---- The inputs ---------------------------------------------------------------

struct Input;
// Paints one frame of the input into pData, sized as the manager says.
using PaintFn = void (*)(LinuxVideoMgr* pMgr, const Input& input, int32_t d, int32_t t1, uint8_t* pData);
void PaintPlasmaInput(LinuxVideoMgr* pMgr, const Input& input, int32_t d, int32_t t1, uint8_t* pData);
void PaintSolidInput(LinuxVideoMgr* pMgr, const Input& input, int32_t d, int32_t t1, uint8_t* pData);

struct Input {
    const char* pszName;  // what Input_Description answers
    PaintFn Paint;
    uint8_t colour[3];    // the solid inputs' pixel: blue, green, red
};

// Indexed by input number: Query_Num_Inputs, Input_Description and
// Read_Packet all read this table. Adding an input is one line.
const Input kInputs[] = {
    {"Psychadelic", PaintPlasmaInput, {0, 0, 0}},
    {"Red", PaintSolidInput, {0, 0, 255}},
    {"Green", PaintSolidInput, {0, 255, 0}},
    {"Blue", PaintSolidInput, {255, 0, 0}},
};
constexpr uint32_t kNumInputs = sizeof(kInputs) / sizeof(kInputs[0]);

constexpr int32_t kFormatCode = 2;  // packed 24-bit blue, green, red
constexpr int32_t kBitDepth = 24;
constexpr uint32_t kTimestampLead = 15;  // ms added to every timestamp

// Whether a source may be opened. Reads neither argument: every source can.
int32_t Validate(const char* /*pszSource*/, int32_t /*nReserved*/) { return 1; }

}  // namespace

namespace tcap {

int64_t FrameBytes(int32_t nWidth, int32_t nHeight) {
    if (nWidth < 0 || nHeight < 0) return -1;
    const int64_t nPixels = int64_t{nWidth} * nHeight;  // below 2^62: no overflow
    return nPixels > INT32_MAX / 3 ? -1 : nPixels * 3;
}

}  // namespace tcap

// ---- Lifecycle and format ---------------------------------------------------

int32_t Open_Plugin(void) {
    if (g_pVideoMgr) return 0;  // keep the open manager and its settings
    void* pMem = malloc(sizeof(LinuxVideoMgr));
    if (!pMem) return 2;
    g_pVideoMgr = new (pMem) LinuxVideoMgr();
    return 0;
}

void Close_Plugin(void) {
    if (!g_pVideoMgr) return;
    g_pVideoMgr->~LinuxVideoMgr();
    free(g_pVideoMgr);
    g_pVideoMgr = nullptr;
}

int32_t Open_Source(void* /*pReserved*/, int32_t nInput) {
    if (!g_pVideoMgr) return 1;
    g_pVideoMgr->nInput = static_cast<uint32_t>(nInput);  // no range test: see Read_Packet
    return 0;
}

int32_t Set_Video_Format(const VideoFormatInfo* pInfo) {
    if (!g_pVideoMgr || !pInfo) return 0;
    if (tcap::FrameBytes(pInfo->nWidth, pInfo->nHeight) < 0) return 0;  // keeps the previous size
    g_pVideoMgr->nWidth = pInfo->nWidth;
    g_pVideoMgr->nHeight = pInfo->nHeight;
    return 1;
}

VideoFormatInfo* Get_Video_Format(void) {
    if (!g_pVideoMgr) return nullptr;
    VideoFormatInfo& info = g_pVideoMgr->formatInfo;
    info.nFormatCode = kFormatCode;
    info.nWidth = g_pVideoMgr->nWidth;
    info.nHeight = g_pVideoMgr->nHeight;
    info.nBitDepth = kBitDepth;
    return &info;
}

// ---- Identity and input queries ---------------------------------------------

const char* Get_Vendor(void) { return "Quorvane, Inc."; }
const char* Get_Description(void) { return "Video Test Capture Plugin"; }
int32_t Get_Media_Type(void) { return 2; }
int32_t Get_Media_Source(void) { return 2; }
int32_t Get_Version(void) { return 0x10001000; }
int32_t Query_Num_Inputs(void) { return static_cast<int32_t>(kNumInputs); }

const char* Input_Description(int32_t nInput) {
    const uint32_t n = static_cast<uint32_t>(nInput);  // negative indices name no input
    return n < kNumInputs ? kInputs[n].pszName : nullptr;
}

int32_t Query_Device_Handles(void) { return 0; }
int32_t Validate_Source(const char* pszSource) { return Validate(pszSource, 0); }

// ---- Streaming control and time ---------------------------------------------

int32_t Start_Source(void) {
    if (!g_pVideoMgr) return 1;
    // The offset becomes +S, not -S: timestamps then read T + S + 15.
    g_pVideoMgr->lTimeOffset = static_cast<int32_t>(GetTickCount());
    return 0;
}

int32_t Stop_Source(void) { return 0; }
int32_t Pause_Source(void) { return 0; }
int32_t Resume_Source(void) { return 0; }
int32_t Set_Video_Frame_Rate(void) { return 0; }

void Set_Current_Time(int32_t nTime) {
    if (!g_pVideoMgr) return;
    g_pVideoMgr->lTimeOffset = static_cast<int32_t>(static_cast<uint32_t>(nTime) - GetTickCount());
}

// ---- Frames -------------------------------------------------------------------

int32_t Read_Packet(VideoPacket* pPacket) {
    // Frames painted since the library was loaded; the first one is 1.
    // Closing the plug-in does not reset it.
    static int32_t d = 0;

    LinuxVideoMgr* pMgr = g_pVideoMgr;
    if (!pMgr || !pPacket || !pPacket->pData) return tcap::kReadPacketRefused;

    d = static_cast<int32_t>(static_cast<uint32_t>(d) + 1u);  // wraps like two's complement
    const int32_t t1 = static_cast<int32_t>(GetTickCount());

    if (pMgr->nInput < kNumInputs) {
        const Input& input = kInputs[pMgr->nInput];
        input.Paint(pMgr, input, d, t1, pPacket->pData);
    }  // any other input paints nothing: the buffer keeps its contents

    pPacket->ulHeadWord0 = 1;
    pPacket->ulHeadWord1 = 1;
    // Stamped after painting, with a second reading of the clock.
    pPacket->ulTimestamp = GetTickCount() + static_cast<uint32_t>(pMgr->lTimeOffset) + kTimestampLead;
    // Set_Video_Format admits only sizes whose byte count fits in 31 bits.
    // The product is formed wide: a 0 x 2^31-1 frame is 0 bytes, but its
    // height times 3 alone would overflow.
    pPacket->ulDataSize = static_cast<uint32_t>(tcap::FrameBytes(pMgr->nWidth, pMgr->nHeight));
    return 0;
}

namespace {

void PaintSolidInput(LinuxVideoMgr* pMgr, const Input& input, int32_t /*d*/, int32_t /*t1*/, uint8_t* pData) {
    const int32_t nBytes = static_cast<int32_t>(tcap::FrameBytes(pMgr->nWidth, pMgr->nHeight));
    tcap::FillSolidFast(pData, nBytes, input.colour[0], input.colour[1], input.colour[2]);
}

void PaintPlasmaInput(LinuxVideoMgr* pMgr, const Input& /*input*/, int32_t d, int32_t t1, uint8_t* pData) {
    tcap::FillSineTable(&pMgr->work.sines, pMgr->nWidth > pMgr->nHeight ? pMgr->nWidth : pMgr->nHeight);
    tcap::PaintPlasma(&pMgr->work, pData, pMgr->nWidth, pMgr->nHeight, d, t1);
}

// Truncates toward zero, then keeps the low 8 bits: T(-1.2) = 255,
// T(-0.7) = 0, T(258.5) = 2. |v| stays far below 2^63 for every frame.
inline uint8_t TruncByte(long double v) { return static_cast<uint8_t>(static_cast<int64_t>(v)); }

// Columns whose waves are computed at once; wider frames are painted in
// strips of this many columns, so any width works with a fixed table.
constexpr int32_t kColumnStrip = 1024;

}  // namespace

namespace tcap {

// The solid inputs: the pixel (b, g, r) from byte 0, in steps of three.
void FillSolid(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r) {
    // One block of 64 pixels (192 bytes, a whole number of pixels and of
    // cache lines) copied repeatedly; the compiler turns the fixed-size copy
    // into wide stores.
    constexpr size_t kBlock = 192;
    uint8_t block[kBlock];
    for (size_t i = 0; i < kBlock; i += 3) {
        block[i] = b;
        block[i + 1] = g;
        block[i + 2] = r;
    }
    const size_t n = nBytes > 0 ? static_cast<size_t>(nBytes) / 3 * 3 : 0;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) memcpy(pData + i, block, kBlock);
    memcpy(pData + i, block, n - i);
}

// ---- The plasma ---------------------------------------------------------------

// The three palettes, from the cosine and sine of the index, in double
// precision, which gives exactly the tables the picture is defined with.
void BuildPalettes(uint8_t blue[256], uint8_t green[256], uint8_t red[256]) {
    const double kPi = 3.141592653589793;
    const double kHalfPi = 1.5707963267948966;
    for (int i = 0; i < 256; ++i) {
        // Sums above 255 wrap, as a byte does: green starts at 259 -> 3.
        blue[i] = static_cast<uint8_t>(static_cast<int>(128 * fabs(cos(kPi * i * 0.00390625))) + 127);
        green[i] = static_cast<uint8_t>(static_cast<int>(196 * fabs(sin(kPi * i * 0.001953125 + kHalfPi))) + 63);
        red[i] = static_cast<uint8_t>(static_cast<int>(128 * fabs(sin(kPi * i * 0.0078125))) + 127);
    }
}

// The plasma, the straightforward way: every sum in extended precision, each
// column wave rounded to a double when stored. It defines the frames; the
// fast painter matches it byte for byte and is tested against it. Aligned
// to a cache line so that its timing does not hang on where the linker puts
// it: at some placements its truncation loop ran 30 times slower here.
__attribute__((aligned(64))) void PaintPlasmaReference(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d,
                                                       int32_t t1) {
    if (nWidth <= 0 || nHeight <= 0) return;
    uint8_t blue[256], green[256], red[256];
    BuildPalettes(blue, green, red);

    const long double ld = d;
    const long double lt = t1;
    // 2d is formed as a 32-bit value before it is added: d = 2^30 gives -2^31.
    const long double ld2 = static_cast<int32_t>(static_cast<uint32_t>(d) * 2u);
    const long double columnAmp = 150.0L * cosl(ld / 23.0L);
    const long double columnSwell = sinl(lt / 71000.0L);
    const long double rowAmp = 150.0L * sinl(ld / 10.0L);
    const long double rowSwell = sinl(lt / 60000.0L);

    double columnWave[kColumnStrip];
    for (int32_t x0 = 0; x0 < nWidth; x0 += kColumnStrip) {
        const int32_t n = nWidth - x0 < kColumnStrip ? nWidth - x0 : kColumnStrip;
        for (int32_t i = 0; i < n; ++i) {
            const long double x = x0 + i;
            columnWave[i] = static_cast<double>(columnAmp * sinl(x / 20.0L) * columnSwell * columnSwell);
        }
        for (int32_t y = 0; y < nHeight; ++y) {
            const long double rowWave = rowAmp * sinl(y / 20.0L) * rowSwell * rowSwell;
            const long double rowBase = y + rowWave;
            uint8_t* p = pData + (static_cast<size_t>(y) * static_cast<size_t>(nWidth) + static_cast<size_t>(x0)) * 3;
            for (int32_t i = 0; i < n; ++i, p += 3) {
                const long double s = (static_cast<long double>(x0 + i) + columnWave[i]) + rowBase;
                p[0] = blue[TruncByte(s)];
                p[1] = green[TruncByte(s + ld)];
                p[2] = red[TruncByte(s + ld2)];
            }
        }
    }
}

}  // namespace tcap
