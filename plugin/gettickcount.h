// The plug-in's millisecond clock, on top of the wall-clock time of day.
#ifndef TCAP_GETTICKCOUNT_H
#define TCAP_GETTICKCOUNT_H

#include <stdint.h>

#include "lin_tcap.h"  // TCAP_EXPORT

// Milliseconds since one second before the first call, modulo 2^32. The base
// is set on the first call and kept while the library stays loaded; a wall
// clock set back before it wraps the count.
TCAP_EXPORT uint32_t GetTickCount(void);

#ifdef __cplusplus
namespace tcap {
// The arithmetic of GetTickCount for one reading: sets *pFirst to sec - 1
// when it is 0, then answers (sec - *pFirst) * 1000 + usec / 1000 mod 2^32.
uint32_t TickFromTime(uint32_t sec, uint32_t usec, uint32_t* pFirst);
}  // namespace tcap
#endif

#endif  // TCAP_GETTICKCOUNT_H
