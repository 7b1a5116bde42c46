// The plug-in's millisecond clock.
#include "gettickcount.h"
#include "tcap_internal.h"

#include <sys/time.h>

namespace {
// Base second of the clock; 0 until the first call. Lives as long as the
// library is loaded: closing the plug-in does not reset it.
uint32_t ulFirst = 0;
}  // namespace

namespace tcap {

uint32_t TickFromTime(uint32_t sec, uint32_t usec, uint32_t* pFirst) {
    if (*pFirst == 0) *pFirst = sec - 1u;  // the first reading counts from 1000 ms
    // Unsigned on purpose: a wall clock set back before the base wraps the
    // count modulo 2^32 instead of overflowing. With usec below one million
    // this equals elapsed * 1000 + usec / 1000 evaluated in floating point
    // and truncated, modulo 2^32.
    const uint32_t elapsed = sec - *pFirst;
    return elapsed * 1000u + usec / 1000u;
}

}  // namespace tcap

uint32_t GetTickCount(void) {
    struct timeval tv = {};
    gettimeofday(&tv, nullptr);  // its result is not examined: tv stays 0 if it fails
    return tcap::TickFromTime(static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec), &ulFirst);
}
