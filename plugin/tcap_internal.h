// The plug-in's internals: not exported, not for hosts. The entry points in
// lin_tcap.cpp are built on these; the plug-in's own tests and benchmarks
// link the plug-in's objects and call them directly.
#ifndef TCAP_TCAP_INTERNAL_H
#define TCAP_TCAP_INTERNAL_H

#include <stdint.h>

namespace tcap {

// What Read_Packet answers when it writes nothing (closed plug-in, null
// packet or buffer).
constexpr int32_t kReadPacketRefused = 1;

// Byte count of a width x height frame, or -1 for a negative size or one
// that does not fit in a signed 32-bit data size.
int64_t FrameBytes(int32_t nWidth, int32_t nHeight);

// Fills the first nBytes / 3 * 3 bytes from pData with the pixel (b, g, r).
// This is the definition; Read_Packet uses the fast fill (fast_paths.h),
// which writes the same bytes.
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

// The plasma for frame counter d and tick count t1, painted the
// straightforward way, in extended precision per pixel. It defines every
// byte of the picture; the fast painter is tested against it. Non-positive
// sizes paint nothing.
void PaintPlasmaReference(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1);

// The arithmetic of GetTickCount for one reading: sets *pFirst to sec - 1
// when it is 0, then answers (sec - *pFirst) * 1000 + usec / 1000 mod 2^32.
uint32_t TickFromTime(uint32_t sec, uint32_t usec, uint32_t* pFirst);

}  // namespace tcap

#endif  // TCAP_TCAP_INTERNAL_H
