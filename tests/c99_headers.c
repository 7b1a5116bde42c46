/* A C host includes the plug-in's public headers and takes the address of
 * every export under the types they declare. Built as strict C99. */
#include "gettickcount.h"
#include "lin_tcap.h"

#define TCAP_ENTRY_POINT(name) (void (*)(void))name,
#define TCAP_CLOCK_EXPORT(name) (void (*)(void))name,
void (*const tcapExports[])(void) = {
#include "entry_points.def"
};

VideoFormatInfo tcapFormat;
VideoPacket tcapPacket;
