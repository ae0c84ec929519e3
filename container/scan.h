// Number scanning with the C library's scanf rules, on bounded text.
//
// The programs read every number the way scanf's "%d", "%12d", "%ld",
// "%lu" and "%lx" read it: white space in front is skipped (it does not
// count toward a width), then an optional sign and the digits are taken, at
// most `width` characters of them when a width is given, and they may run on
// past a fixed-width field into the text behind it. Two things differ from
// scanf on purpose: a value wraps modulo 2^32 where scanf's overflow is
// undefined, and the text ends at its first NUL or after `room` bytes,
// whichever comes first, so a scan never reads outside the buffer it is
// given.
//
// It lives in container/ beside the field helpers because both programs
// scan: unbak's region walks, table readers and command line, and dbfscan's
// field conversion and offset option.
#ifndef CONTAINER_SCAN_H
#define CONTAINER_SCAN_H

#include <stdint.h>

enum { SCAN_NO_WIDTH = 0 };

// One decimal conversion: "%d", "%ld" and "%lu" with SCAN_NO_WIDTH, "%12d"
// with width 12. Gives back the number of bytes taken, white space
// included, or 0 when no digit came (a matching failure or the end of the
// text); *value is set only when a number was found.
int32_t scan_dec(const char* text, int32_t room, int32_t width, uint32_t* value);

// One "%lx" conversion: like scan_dec without a width, with an optional 0x
// or 0X in front of the hexadecimal digits. A "0x" that no hex digit
// follows still reads as 0, as the C library reads it.
int32_t scan_hex(const char* text, int32_t room, uint32_t* value);

// "%<width>d" (or "%d") into a signed 32-bit value; true when a number came.
bool scan_int(const char* text, int32_t room, int32_t width, int32_t* value);

// Up to max "%d" conversions one after the other, as "%d %d" reads them;
// gives back how many numbers came.
int scan_ints(const char* text, int32_t room, int32_t* out, int max);

// "%lu": true when a number came; "-1" is 4294967295.
bool scan_ulong(const char* text, int32_t room, uint32_t* value);

#endif
