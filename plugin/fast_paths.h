// The fast painters Read_Packet uses: the same bytes as the definitions in
// lin_tcap.cpp (PaintPlasmaReference, FillSolid), at a fraction of the cost.
// Each has a portable form and forms for wider instruction sets; which one
// runs is decided once, from the CPU, in fast_paths.cpp.
#ifndef TCAP_FAST_PATHS_H
#define TCAP_FAST_PATHS_H

#include <stdint.h>

#include "fast_kernels.h"  // PlasmaWork
#include "tcap_internal.h"

namespace tcap {

// The instruction sets the fast painters come in: portable integer code;
// SSE2, taken on any CPU that has it (the i386 library also runs on CPUs
// without); AVX2; and, in the x86-64 library, AVX-512 with byte permutes
// (F, BW, VBMI).
enum class SimdPath : int32_t { kScalar = 1, kSse2 = 2, kAvx2 = 3, kAvx512 = 4 };

// "scalar", "SSE2", "AVX2", "AVX-512".
const char* PathName(SimdPath path);

// The widest path this CPU runs, decided on the first call.
SimdPath ChosenPath();

// Whether this CPU can run the path (and this library has it).
bool PathRuns(SimdPath path);

// Paints the plasma for frame counter d and tick count t1 into a
// width x height frame, on the chosen path, with the working areas in
// *pWork; sines that pWork->sines lacks are computed on the way.
// Non-positive sizes paint nothing.
void PaintPlasma(PlasmaWork* pWork, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1);

// The same on the given path; paints nothing if the CPU cannot run it.
void PaintPlasmaOn(SimdPath path, PlasmaWork* pWork, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d,
                   int32_t t1);

// For tools and tests: the same frames with a fresh work area from the heap
// (nothing painted if there is no memory for it).
void PaintPlasma(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1);
void PaintPlasmaOn(SimdPath path, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1);

// FillSolid on the chosen path, and on a given one (nothing if the CPU
// cannot run it).
void FillSolidFast(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r);
void FillSolidOn(SimdPath path, uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r);

}  // namespace tcap

#endif  // TCAP_FAST_PATHS_H
