/* tcap: the plug-in's millisecond clock. Compiles as C99 and as C++. */
#ifndef TCAP_GETTICKCOUNT_H
#define TCAP_GETTICKCOUNT_H

#include <stdint.h>

#include "lin_tcap.h" /* TCAP_EXPORT */

/* Milliseconds since one second before the first call, modulo 2^32, on top of
 * the wall-clock time of day: the first call answers 1000 to 1999. The base is
 * set on the first call and kept while the library stays loaded; a wall clock
 * set back before it wraps the count.
 *
 * Not one of the host's entry points. It is exported so that a host, or a
 * test, can read the very clock the plug-in stamps its packets with, and
 * predict timestamps and plasma frames from it. The plug-in's own calls are
 * bound inside the library: a host that defines a GetTickCount of its own
 * does not replace the plug-in's. */
TCAP_EXPORT uint32_t GetTickCount(void);

#endif /* TCAP_GETTICKCOUNT_H */
