// Which fast path this CPU takes: read from cpuid once, at the first frame
// that needs it (loading the library runs none of its code), then kept.
#include "fast_paths.h"

#include <cpuid.h>
#include <math.h>

#include "plasma_kernels.h"

namespace tcap {

namespace {

// 0 until the first call asks; then the SimdPath this CPU takes.
int32_t g_nChosenPath = 0;

// AVX-512 F, BW and VBMI, with the vector state enabled by the kernel.
bool CpuHasAvx512Vbmi() {
#if defined(__x86_64__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    if ((ebx & bit_AVX512F) == 0 || (ebx & bit_AVX512BW) == 0 || (ecx & bit_AVX512VBMI) == 0) return false;
    unsigned int xcr0Low = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    return (xcr0Low & 0xe6u) == 0xe6u;  // SSE, AVX, opmask and both halves of the upper registers
#else
    return false;  // the i386 library has no AVX-512 path
#endif
}

bool CpuHasSse2() {
#if defined(__SSE2__)
    return true;  // part of the baseline this file is compiled for (x86-64)
#else
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;  // no CPUID: older than any SSE2 CPU
    return (edx & bit_SSE2) != 0;
#endif
}

PaintRunFn PlasmaRunFor(SimdPath path) {
    switch (path) {
#if defined(__x86_64__)
        case SimdPath::kAvx512: return PaintRunAvx512;
#endif
        case SimdPath::kSse2: return PaintRunSse2;
        default: break;
    }
    return PaintRunScalar;
}

}  // namespace

SimdPath ChosenPath() {
    if (g_nChosenPath == 0) {
        const SimdPath path = CpuHasAvx512Vbmi() ? SimdPath::kAvx512
                              : CpuHasSse2()     ? SimdPath::kSse2
                                                 : SimdPath::kScalar;
        g_nChosenPath = static_cast<int32_t>(path);
    }
    return static_cast<SimdPath>(g_nChosenPath);
}

bool PathRuns(SimdPath path) {
    switch (path) {
        case SimdPath::kScalar: return true;
        case SimdPath::kSse2: return CpuHasSse2();
        case SimdPath::kAvx512: return CpuHasAvx512Vbmi();
    }
    return false;
}

void FillSineTable(SineTable* pSines, int32_t nUpTo) {
    const int32_t n = nUpTo < kSineTableSize ? nUpTo : kSineTableSize;
    for (int32_t k = pSines->n; k < n; ++k) pSines->v[k] = sinl(k / 20.0L);  // as the reference computes it
    if (n > pSines->n) pSines->n = n;
}

void PaintPlasmaOn(SimdPath path, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1,
                   const SineTable* pSines) {
    if (!PathRuns(path)) return;
    PaintPlasmaWith(PlasmaRunFor(path), pData, nWidth, nHeight, d, t1, pSines);
}

void PaintPlasma(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1, const SineTable* pSines) {
    PaintPlasmaWith(PlasmaRunFor(ChosenPath()), pData, nWidth, nHeight, d, t1, pSines);
}

}  // namespace tcap
