// tcap: a video test capture plug-in.
//
// A host loads the shared library, looks these entry points up by name and
// calls them from one thread at a time. Records are fixed-width 32-bit words
// as the 32-bit x86 host lays them out; the `ul`/`n` prefixes in field names
// are part of the names, not their types.
#ifndef TCAP_LIN_TCAP_H
#define TCAP_LIN_TCAP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TCAP_EXTERN_C extern "C"
#else
#define TCAP_EXTERN_C
#endif
#define TCAP_EXPORT TCAP_EXTERN_C __attribute__((visibility("default")))

// The video format record, exchanged with the host in both directions.
typedef struct VideoFormatInfo {
    int32_t nFormatCode;  // 2: packed 24-bit blue, green, red
    int32_t nWidth;       // pixels
    int32_t nHeight;      // pixels
    int32_t nBitDepth;    // 24
} VideoFormatInfo;

// The host's packet record. The plug-in touches only these seven words:
// it writes the header words, the timestamp and the data size, reads pData,
// and leaves the two host words alone.
typedef struct VideoPacket {
    uint32_t ulHeadWord0;  // set to 1
    uint32_t ulHeadWord1;  // set to 1
    uint32_t ulTimestamp;  // milliseconds
    uint32_t ulHostWord3;  // the host's
    uint32_t ulDataSize;   // bytes of pixel data: width * height * 3
    uint32_t ulHostWord5;  // the host's
    uint8_t* pData;        // host buffer of at least width * height * 3 bytes
} VideoPacket;

#ifdef __cplusplus
static_assert(sizeof(VideoFormatInfo) == 16, "host record: four 32-bit words");
static_assert(offsetof(VideoFormatInfo, nBitDepth) == 12, "host record layout");
static_assert(offsetof(VideoPacket, ulDataSize) == 16, "host record layout");
static_assert(offsetof(VideoPacket, ulHostWord5) == 20, "host record layout");
static_assert(offsetof(VideoPacket, pData) == 24, "host record layout");
static_assert(sizeof(VideoPacket) == 24 + sizeof(void*), "host record layout");
#endif

// Lifecycle. Open_Plugin creates the one manager (0; 2 when it cannot be
// created) and keeps an existing one as it is; Close_Plugin destroys it.
TCAP_EXPORT int32_t Open_Plugin(void);
TCAP_EXPORT void Close_Plugin(void);

// Selects the input (0 plasma, 1 red, 2 green, 3 blue; any other index paints
// nothing). The first argument is ignored. 0; 1 when the plug-in is closed.
TCAP_EXPORT int32_t Open_Source(void* pReserved, int32_t nInput);

// Takes width and height from the record; code and depth are not read.
// 1 on success; 0, keeping the previous size, when the plug-in is closed,
// the record is null, a size is negative or a frame would not fit in 2^31-1
// bytes.
TCAP_EXPORT int32_t Set_Video_Format(const VideoFormatInfo* pInfo);

// The manager's own record, refreshed on each call (code 2, width, height,
// depth 24); the same address until Close_Plugin. Null when closed.
TCAP_EXPORT VideoFormatInfo* Get_Video_Format(void);

// Identity and input queries: constants, valid whether open or closed.
TCAP_EXPORT const char* Get_Vendor(void);
TCAP_EXPORT const char* Get_Description(void);
TCAP_EXPORT int32_t Get_Media_Type(void);
TCAP_EXPORT int32_t Get_Media_Source(void);
TCAP_EXPORT int32_t Get_Version(void);
TCAP_EXPORT int32_t Query_Num_Inputs(void);
TCAP_EXPORT const char* Input_Description(int32_t nInput);  // null outside 0..3
TCAP_EXPORT int32_t Query_Device_Handles(void);
TCAP_EXPORT int32_t Validate_Source(const char* pszSource);  // always 1

// Streaming controls. Start_Source sets the time offset to the tick count;
// Set_Current_Time sets it to nTime minus the tick count. The others do
// nothing; the plug-in paces nothing itself.
TCAP_EXPORT int32_t Start_Source(void);
TCAP_EXPORT int32_t Stop_Source(void);
TCAP_EXPORT int32_t Pause_Source(void);
TCAP_EXPORT int32_t Resume_Source(void);
TCAP_EXPORT int32_t Set_Video_Frame_Rate(void);
TCAP_EXPORT void Set_Current_Time(int32_t nTime);

// Paints one frame into pPacket->pData and stamps the packet. 0 on success;
// non-zero, with nothing written and the frame counter not advanced, when the
// plug-in is closed or the packet or its buffer is null.
TCAP_EXPORT int32_t Read_Packet(VideoPacket* pPacket);

#ifdef __cplusplus
// Internals, not exported: the painters and limits, for the plug-in's own
// tests and benchmarks, which link the plug-in's objects directly.
namespace tcap {

constexpr int32_t kReadPacketRefused = 1;

// Byte count of a width x height frame, or -1 for a negative size or one
// that does not fit in a signed 32-bit data size.
int64_t FrameBytes(int32_t nWidth, int32_t nHeight);

// Fills `nBytes` bytes from pData with the 3-byte pixel (b, g, r).
void FillSolid(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r);

// The three palettes, the same for every frame: blue, green, red, 256 bytes
// each (the frame counter shifts the indices, not the tables).
void BuildPalettes(uint8_t blue[256], uint8_t green[256], uint8_t red[256]);

// sinl(k / 20) for k below n: the one transcendental function the plasma
// needs for every column and row, the same in every frame. The manager keeps
// one, so that only the first plasma frame after Open_Plugin computes it.
constexpr int32_t kSineTableSize = 4096;
struct SineTable {
    int32_t n;
    long double v[kSineTableSize];
};

// Extends the table to min(nUpTo, kSineTableSize) entries.
void FillSineTable(SineTable* pSines, int32_t nUpTo);

// Paints the plasma for frame counter d and tick count t1 into a
// width x height frame. Non-positive sizes paint nothing. This is the fast
// painter Read_Packet uses, on the path ChosenPlasmaPath() names. Sines the
// table (if any) lacks are computed on the way.
void PaintPlasma(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                 const SineTable* pSines = nullptr);

// The same frames painted the straightforward way, in extended precision
// per pixel: the reference PaintPlasma is tested against.
void PaintPlasmaReference(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1);

// The fast painter's inner loops: portable integer code; SSE2, taken on any
// CPU that has it (the i386 library also runs on CPUs without); and, in the
// x86-64 library, AVX-512 with byte permutes (VBMI) where the CPU has them.
enum class PlasmaPath : int32_t { kScalar = 1, kSse2 = 2, kAvx512 = 3 };

// The path PaintPlasma takes on this CPU, decided on the first call.
PlasmaPath ChosenPlasmaPath();

// Whether this CPU can run the path.
bool PlasmaPathRuns(PlasmaPath path);

// PaintPlasma on the given path; paints nothing if the CPU cannot run it.
void PaintPlasmaOn(PlasmaPath path, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                   const SineTable* pSines = nullptr);

}  // namespace tcap
#endif

#endif  // TCAP_LIN_TCAP_H
