// The fast painters Read_Packet uses: the same bytes as the definitions in
// lin_tcap.cpp (PaintPlasmaReference, FillSolid), at a fraction of the cost.
// Each has a portable form and forms for wider instruction sets; which one
// runs is decided once, from the CPU, in fast_paths.cpp.
#ifndef TCAP_FAST_PATHS_H
#define TCAP_FAST_PATHS_H

#include <stdint.h>

#include "tcap_internal.h"

namespace tcap {

// The instruction sets the fast painters come in: portable integer code;
// SSE2, taken on any CPU that has it (the i386 library also runs on CPUs
// without); and, in the x86-64 library, AVX-512 with byte permutes (VBMI).
enum class SimdPath : int32_t { kScalar = 1, kSse2 = 2, kAvx512 = 3 };

// The widest path this CPU runs, decided on the first call.
SimdPath ChosenPath();

// Whether this CPU can run the path (and this library has it).
bool PathRuns(SimdPath path);

// Paints the plasma for frame counter d and tick count t1 into a
// width x height frame, on the chosen path. Non-positive sizes paint
// nothing. Sines the table (if any) lacks are computed on the way.
void PaintPlasma(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                 const SineTable* pSines = nullptr);

// PaintPlasma on the given path; paints nothing if the CPU cannot run it.
void PaintPlasmaOn(SimdPath path, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                   const SineTable* pSines = nullptr);

}  // namespace tcap

#endif  // TCAP_FAST_PATHS_H
