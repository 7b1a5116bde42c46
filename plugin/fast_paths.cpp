// Which fast path this CPU takes: read from cpuid once, at the first frame
// that needs it (loading the library runs none of its code), then kept.
#include "fast_paths.h"

#include <cpuid.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "fast_kernels.h"

namespace tcap {

namespace {

// 0 until the first call asks; then the SimdPath this CPU takes.
int32_t g_nChosenPath = 0;
// 0 until asked; then bit k set when SimdPath k runs here. cpuid can cost
// microseconds (in a virtual machine it traps to the hypervisor), so it is
// read once.
uint32_t g_nRunnablePaths = 0;

// The extended state the kernel saves for us (XCR0): bit 1 SSE, 2 AVX,
// 5 to 7 the AVX-512 opmask and upper registers.
bool OsSaves(unsigned int bits) {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0) return false;
    unsigned int xcr0Low = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    return (xcr0Low & bits) == bits;
}

bool CpuHasAvx2() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_AVX) == 0) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) || (ebx & bit_AVX2) == 0) return false;
    return OsSaves(0x6u);
}

// AVX-512 F, BW and VBMI, with the vector state enabled by the kernel.
bool CpuHasAvx512Vbmi() {
#if defined(__x86_64__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    if ((ebx & bit_AVX512F) == 0 || (ebx & bit_AVX512BW) == 0 || (ecx & bit_AVX512VBMI) == 0) return false;
    return OsSaves(0xe6u);
#else
    return false;  // the i386 library has no AVX-512 path: qemu cannot run it to test it
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

}  // namespace

PaintRunFn PlasmaRunOn(int32_t path) {
    switch (static_cast<SimdPath>(path)) {
#if defined(__x86_64__)
        case SimdPath::kAvx512: return PaintRunAvx512;
#endif
        case SimdPath::kAvx2: return PaintRunAvx2;
        case SimdPath::kSse2: return PaintRunSse2;
        default: break;
    }
    return PaintRunScalar;
}

namespace {

PaintRunFn PlasmaRunFor(SimdPath path) { return PlasmaRunOn(static_cast<int32_t>(path)); }

FillSolidFn FillFor(SimdPath path) {
    switch (path) {
#if defined(__x86_64__)
        case SimdPath::kAvx512: return FillSolidAvx512;
#endif
        case SimdPath::kAvx2: return FillSolidAvx2;
        case SimdPath::kSse2: return FillSolidSse2;
        default: break;
    }
    return FillSolid;
}

}  // namespace

const char* PathName(SimdPath path) {
    switch (path) {
        case SimdPath::kScalar: return "scalar";
        case SimdPath::kSse2: return "SSE2";
        case SimdPath::kAvx2: return "AVX2";
        case SimdPath::kAvx512: return "AVX-512";
    }
    return "unknown";
}

SimdPath ChosenPath() {
    if (g_nChosenPath == 0) {
        const SimdPath path = PathRuns(SimdPath::kAvx512) ? SimdPath::kAvx512
                              : PathRuns(SimdPath::kAvx2) ? SimdPath::kAvx2
                              : PathRuns(SimdPath::kSse2) ? SimdPath::kSse2
                                                          : SimdPath::kScalar;
        g_nChosenPath = static_cast<int32_t>(path);
    }
    return static_cast<SimdPath>(g_nChosenPath);
}

bool PathRuns(SimdPath path) {
    if (g_nRunnablePaths == 0) {
        const auto bit = [](SimdPath p) { return 1u << static_cast<int>(p); };
        uint32_t runs = bit(SimdPath::kScalar);
        if (CpuHasSse2()) runs |= bit(SimdPath::kSse2);
        if (CpuHasAvx2()) runs |= bit(SimdPath::kAvx2);
        if (CpuHasAvx512Vbmi()) runs |= bit(SimdPath::kAvx512);
        g_nRunnablePaths = runs;
    }
    const int k = static_cast<int>(path);
    return k >= 0 && k < 32 && (g_nRunnablePaths >> k & 1u) != 0;
}

void FillSineTable(SineTable* pSines, int32_t nUpTo) {
    const int32_t n = nUpTo < kSineTableSize ? nUpTo : kSineTableSize;
    for (int32_t k = pSines->n; k < n; ++k) pSines->v[k] = sinl(k / 20.0L);  // as the reference computes it
    if (n > pSines->n) pSines->n = n;
}

void PaintPlasmaOn(SimdPath path, PlasmaWork* pWork, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d,
                   int32_t t1) {
    if (!PathRuns(path)) return;
    PaintPlasmaWith(PlasmaRunFor(path), pWork, pData, nWidth, nHeight, d, t1);
}

void PaintPlasma(PlasmaWork* pWork, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1) {
    PaintPlasmaWith(PlasmaRunFor(ChosenPath()), pWork, pData, nWidth, nHeight, d, t1);
}

void PaintPlasmaOn(SimdPath path, uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1) {
    // A plain structure of arrays: zeroed memory is an empty work area.
    void* pMem = calloc(1, sizeof(PlasmaWork));
    if (!pMem) return;
    PaintPlasmaOn(path, static_cast<PlasmaWork*>(pMem), pData, nWidth, nHeight, d, t1);
    free(pMem);
}

void PaintPlasma(uint8_t* pData, int32_t nWidth, int32_t nHeight, int32_t d, int32_t t1) {
    PaintPlasmaOn(ChosenPath(), pData, nWidth, nHeight, d, t1);
}

bool StartSolidFill(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r, size_t width, uint8_t* pattern,
                    SolidFill* pFill) {
    const size_t patternBytes = 4 * width;
    for (size_t i = 0; i < patternBytes; ++i) pattern[i] = i % 3 == 0 ? b : i % 3 == 1 ? g : r;
    const size_t n = nBytes > 0 ? static_cast<size_t>(nBytes) / 3 * 3 : 0;
    const size_t block = 3 * width;
    if (n < block + width) {
        for (size_t i = 0; i < n; i += block) memcpy(pData + i, pattern, n - i < block ? n - i : block);
        return false;
    }
    memcpy(pData, pattern, width);  // covers the bytes up to the aligned address
    pFill->n = n;
    pFill->start = (0u - reinterpret_cast<uintptr_t>(pData)) & (width - 1);
    pFill->phase = pattern + pFill->start % 3;
    return true;
}

void EndSolidFill(uint8_t* pData, const SolidFill& fill, size_t end) {
    memcpy(pData + end, fill.phase, fill.n - end);  // less than a block
}

void FillSolidOn(SimdPath path, uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r) {
    if (PathRuns(path)) FillFor(path)(pData, nBytes, b, g, r);
}

void FillSolidFast(uint8_t* pData, int32_t nBytes, uint8_t b, uint8_t g, uint8_t r) {
    FillFor(ChosenPath())(pData, nBytes, b, g, r);
}

}  // namespace tcap
