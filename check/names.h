// Names as bak shows them and as it writes them.
//
// Catalog names are bytes: whatever code page the machine that made the
// backup used, and sometimes damaged. bak prints them as UTF-8 text that a
// terminal cannot take for a command: escape_for_output shows every control
// character and every byte that is not UTF-8 as \xNN. With --charset the
// bytes are first decoded from the code page the user names
// (decode_charset, on the OS layer's tables). output_path gives the
// relative path a listed catalog path is restored to.
#ifndef CHECK_NAMES_H
#define CHECK_NAMES_H

#include <stddef.h>

#include <string>

#include "platform/charset.h"

// The length of the well-formed UTF-8 sequence at p (left bytes from p on):
// 1 to 4, or 0 when the bytes there are not one (a stray continuation byte,
// an overlong form, a surrogate, beyond U+10FFFF, or cut short).
int utf8_sequence_length(const unsigned char* p, size_t left);

// Text as bak prints it: well-formed UTF-8 stays as it is, and every byte
// of a control character (C0, DEL, and the C1 range U+0080-U+009F) and every
// byte that is not part of well-formed UTF-8 becomes \xNN (two lowercase hex
// digits). A backslash stays as it is: it separates a catalog path's parts.
std::string escape_for_output(const std::string& text);

// The bytes decoded from the code page of cs to UTF-8 (a byte without a
// character becomes U+FFFD); with a null cs, the bytes as they are.
std::string decode_charset(PlatCharset* cs, const std::string& raw);

// The relative path, '/'-separated, that a catalog path as listed is
// restored to: every ':' becomes '_' (so drive C: becomes the directory
// C_) and every '\' a '/'. C:\Data\x.txt becomes C_/Data/x.txt. Nothing
// else is checked or changed: whether each part is a safe name is the
// restore's question.
std::string output_path(const std::string& listed);

#endif
