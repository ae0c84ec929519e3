// OS layer, text side: decoding names written in a legacy code page
// (CP437, CP850, CP1252...) to UTF-8, for bak's --charset. The tables of
// the code pages are the system's: iconv on POSIX, the code-page calls on
// Windows, so this is the one place that asks for them.
#ifndef PLATFORM_CHARSET_H
#define PLATFORM_CHARSET_H

#include <stdint.h>

struct PlatCharset;

// A decoder from the named code page to UTF-8; null when the system does
// not know the name or cannot decode it. Names as iconv takes them
// ("CP437", "cp850", "IBM850", "WINDOWS-1252", "ISO-8859-1"); a bare
// number is a code page's number ("437").
PlatCharset* plat_charset_open(const char* name);

// Decodes n bytes into out, which has room bytes: gives back the count of
// bytes written (no NUL is added), -1 when they do not fit (4 bytes of room
// per byte of input are always enough). A byte or sequence that has no
// character in the code page becomes U+FFFD, the replacement character.
// Each call starts afresh: nothing is carried from one call to the next.
int32_t plat_charset_decode(PlatCharset* cs, const char* in, int32_t n, char* out, int32_t room);

// Frees the decoder; a null one is nothing.
void plat_charset_close(PlatCharset* cs);

// Makes the calling thread take text as UTF-8 (the character type of the
// C.UTF-8 locale), for a library that converts names by the locale (bak
// convert's archive library), until plat_utf8_text_end with what this
// gives back. Null when the system has no such locale (then nothing
// changed), and on Windows, where nothing needs it.
void* plat_utf8_text_begin(void);
void plat_utf8_text_end(void* saved);

#endif
