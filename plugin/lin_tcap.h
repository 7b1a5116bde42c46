/* tcap: a video test capture plug-in. The host's interface.
 *
 * A host loads the shared library at run time, looks these entry points up
 * by name (dlsym) and calls them from one thread at a time; the plug-in never
 * calls the host and has no thread of its own. Nothing is thrown, nothing is
 * logged. This header compiles as C99 and as C++.
 *
 * A session: Open_Plugin; Set_Video_Format; Open_Source; Get_Video_Format;
 * Start_Source (and possibly Set_Current_Time); one Read_Packet per frame;
 * Stop_Source; Close_Plugin. The identity queries answer at any time.
 *
 * Records are fixed-width 32-bit words, laid out as the 32-bit x86 host lays
 * them out; the `ul` and `n` prefixes in field names are part of the names,
 * not their types. */
#ifndef TCAP_LIN_TCAP_H
#define TCAP_LIN_TCAP_H

#include <stddef.h>
#include <stdint.h>

/* Marks the library's exports: unmangled, visible, the platform's calling
 * convention. Everything else in the library is hidden. */
#ifdef __cplusplus
#define TCAP_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define TCAP_EXPORT __attribute__((visibility("default")))
#endif

/* The video format record, exchanged with the host in both directions. */
typedef struct VideoFormatInfo {
    int32_t nFormatCode; /* 2: packed 24-bit pixels, bytes blue, green, red */
    int32_t nWidth;      /* pixels */
    int32_t nHeight;     /* pixels */
    int32_t nBitDepth;   /* 24 */
} VideoFormatInfo;

/* The host's packet record. The plug-in touches only these seven words: it
 * writes the header words, the timestamp and the data size, reads pData, and
 * leaves the two host words alone. A frame is width * height pixels of three
 * bytes (blue, green, red), row 0 first, rows without gaps. */
typedef struct VideoPacket {
    uint32_t ulHeadWord0; /* set to 1 */
    uint32_t ulHeadWord1; /* set to 1 */
    uint32_t ulTimestamp; /* milliseconds: tick count after painting + time offset + 15 */
    uint32_t ulHostWord3; /* the host's */
    uint32_t ulDataSize;  /* bytes of pixel data: width * height * 3 */
    uint32_t ulHostWord5; /* the host's */
    uint8_t* pData;       /* host buffer of at least width * height * 3 bytes */
} VideoPacket;

#ifdef __cplusplus
static_assert(sizeof(VideoFormatInfo) == 16, "host record: four 32-bit words");
static_assert(offsetof(VideoFormatInfo, nBitDepth) == 12, "host record layout");
static_assert(offsetof(VideoPacket, ulDataSize) == 16, "host record layout");
static_assert(offsetof(VideoPacket, ulHostWord5) == 20, "host record layout");
static_assert(offsetof(VideoPacket, pData) == 24, "host record layout");
static_assert(sizeof(VideoPacket) == 24 + sizeof(void*), "host record layout");
#endif

/* ---- Lifecycle and format ---------------------------------------------- */

/* Creates the plug-in's state (opens it). 0 on success, also when it is
 * already open, which keeps the open state and its settings; 2 when there is
 * no memory for it, and the plug-in stays closed. A new open starts with
 * input 0 and width, height and time offset 0. */
TCAP_EXPORT int32_t Open_Plugin(void);

/* Destroys the plug-in's state (closes it). Does nothing when closed. The
 * frame counter and the clock's base live on while the library is loaded. */
TCAP_EXPORT void Close_Plugin(void);

/* Selects the input: 0 plasma, 1 red, 2 green, 3 blue; any other index is
 * stored as it is and Read_Packet then paints nothing. The first argument is
 * ignored. 0; 1, storing nothing, when the plug-in is closed. */
TCAP_EXPORT int32_t Open_Source(void* pReserved, int32_t nInput);

/* Takes the frame size from the record's nWidth and nHeight; the code and
 * the depth are not read, any are accepted. 1 on success. 0, keeping the
 * previous size, when the plug-in is closed, the record is null, a size is
 * negative or a frame would be more than 2^31 - 1 bytes. Zero sizes are
 * accepted and give empty frames. */
TCAP_EXPORT int32_t Set_Video_Format(const VideoFormatInfo* pInfo);

/* The plug-in's own record, rewritten on each call as code 2, the width and
 * height set, depth 24. The same address on every call until Close_Plugin;
 * the host reads it and never frees it. Null when the plug-in is closed. */
TCAP_EXPORT VideoFormatInfo* Get_Video_Format(void);

/* ---- Identity and input queries ----------------------------------------
 * Constants, the same whether the plug-in is open or closed. Strings are
 * static and read-only, valid while the library is loaded. */

/* "Quorvane, Inc." */
TCAP_EXPORT const char* Get_Vendor(void);
/* "Video Test Capture Plugin" */
TCAP_EXPORT const char* Get_Description(void);
/* 2: the kind of media this plug-in delivers, video frames. */
TCAP_EXPORT int32_t Get_Media_Type(void);
/* 2: where the media comes from, a capture source that the host pulls from.
 * The plug-in reports these two values; their meaning is the host's. */
TCAP_EXPORT int32_t Get_Media_Source(void);
/* 0x10001000: the version of the plug-in as hosts of this interface compare
 * it, one 32-bit number. */
TCAP_EXPORT int32_t Get_Version(void);
/* 4: inputs 0 to 3. */
TCAP_EXPORT int32_t Query_Num_Inputs(void);
/* The input's name: "Psychadelic", "Red", "Green", "Blue" for 0 to 3; null
 * for any other index. */
TCAP_EXPORT const char* Input_Description(int32_t nInput);
/* 0: there is no device behind the inputs. */
TCAP_EXPORT int32_t Query_Device_Handles(void);
/* 1 for any source name, empty or not; the name is not read. */
TCAP_EXPORT int32_t Validate_Source(const char* pszSource);

/* ---- Streaming control and time ----------------------------------------
 * The plug-in paces nothing: it paints a frame exactly when Read_Packet is
 * called, in every one of these states. */

/* Sets the time offset to the tick count now (+S, not -S), so timestamps
 * read T + S + 15. 0; 1, changing nothing, when the plug-in is closed. */
TCAP_EXPORT int32_t Start_Source(void);
/* 0; no effect. */
TCAP_EXPORT int32_t Stop_Source(void);
/* 0; no effect. */
TCAP_EXPORT int32_t Pause_Source(void);
/* 0; no effect. */
TCAP_EXPORT int32_t Resume_Source(void);
/* 0; no effect: a proposed rate, if the host passes one, is not read. */
TCAP_EXPORT int32_t Set_Video_Frame_Rate(void);
/* Sets the time offset to nTime minus the tick count now, so timestamps
 * read nTime + elapsed ms + 15. Does nothing when the plug-in is closed. */
TCAP_EXPORT void Set_Current_Time(int32_t nTime);

/* ---- Frames ------------------------------------------------------------ */

/* Paints one frame of the selected input into pPacket->pData, sets both
 * header words to 1, the timestamp (see VideoPacket) and the data size, and
 * answers 0. The buffer's capacity is not known to the plug-in: it must hold
 * width * height * 3 bytes. An unknown input leaves the buffer as it was but
 * still stamps the packet. Answers non-zero, writing nothing and not
 * advancing the frame counter, when the plug-in is closed or the packet or
 * its buffer is null. */
TCAP_EXPORT int32_t Read_Packet(VideoPacket* pPacket);

#endif /* TCAP_LIN_TCAP_H */
