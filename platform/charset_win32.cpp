// Win32 implementation of the code-page decoder (see charset.h), on
// MultiByteToWideChar with the code page's number and WideCharToMultiByte
// to UTF-8. The name gives the number: "CP437", "IBM437", "437",
// "WINDOWS-1252", "ISO-8859-1" (28591) and "LATIN1". Only code pages of one
// or two bytes per character are decoded (every DOS and Windows code page
// of the age of these backups); the others (UTF-7, GB18030, the ISO-2022
// ones) are reported as unknown.
#include "platform/charset.h"

#include <windows.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

struct PlatCharset {
    UINT cp;
};

static const char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// True when text begins with prefix, letter case ignored; *rest is behind it.
static bool starts_with(const char* text, const char* prefix, const char** rest) {
    size_t n = strlen(prefix);
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)text[i]) != tolower((unsigned char)prefix[i])) return false;
    *rest = text + n;
    return true;
}

// The decimal number that is all of text, or 0.
static UINT number_of(const char* text) {
    if (*text == '\0' || strlen(text) > 5) return 0;
    UINT v = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9') return 0;
        v = v * 10 + (UINT)(*p - '0');
    }
    return v;
}

static UINT code_page_of(const char* name) {
    const char* rest;
    if (starts_with(name, "LATIN1", &rest) && *rest == '\0') return 28591;
    if (starts_with(name, "ISO-8859-", &rest) || starts_with(name, "ISO8859-", &rest)) {
        UINT part = number_of(rest);
        return part >= 1 && part <= 16 ? 28590 + part : 0;
    }
    if (starts_with(name, "WINDOWS-", &rest) || starts_with(name, "CP", &rest) ||
        starts_with(name, "IBM", &rest) || starts_with(name, "MS", &rest))
        return number_of(rest);
    return number_of(name);
}

PlatCharset* plat_charset_open(const char* name) {
    UINT cp = code_page_of(name);
    CPINFO info;
    if (cp == 0 || !IsValidCodePage(cp) || !GetCPInfo(cp, &info) || info.MaxCharSize > 2)
        return NULL;
    PlatCharset* cs = (PlatCharset*)malloc(sizeof(PlatCharset));
    if (!cs) return NULL;
    cs->cp = cp;
    return cs;
}

int32_t plat_charset_decode(PlatCharset* cs, const char* in, int32_t n, char* out, int32_t room) {
    if (n < 0 || room < 0) return -1;
    int32_t at = 0;
    // One character at a time: a byte, or a lead byte and the one behind
    // it, so a byte without a character costs only itself.
    for (int32_t i = 0; i < n;) {
        // No room at all would make WideCharToMultiByte measure instead.
        if (at >= room) return -1;
        int len = IsDBCSLeadByteEx(cs->cp, (BYTE)in[i]) && i + 1 < n ? 2 : 1;
        wchar_t wide[4];
        int wn = MultiByteToWideChar(cs->cp, MB_ERR_INVALID_CHARS, in + i, len, wide, 4);
        if (wn <= 0 && len == 2) {
            len = 1;
            wn = MultiByteToWideChar(cs->cp, MB_ERR_INVALID_CHARS, in + i, 1, wide, 4);
        }
        int un = 0;
        if (wn > 0) {
            un = WideCharToMultiByte(CP_UTF8, 0, wide, wn, out + at, room - at, NULL, NULL);
            if (un <= 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) return -1;
        }
        if (un <= 0) {
            if (room - at < (int32_t)sizeof REPLACEMENT - 1) return -1;
            memcpy(out + at, REPLACEMENT, sizeof REPLACEMENT - 1);
            un = (int)sizeof REPLACEMENT - 1;
        }
        at += un;
        i += len;
    }
    return at;
}

void plat_charset_close(PlatCharset* cs) {
    free(cs);
}

void* plat_utf8_text_begin(void) { return nullptr; }
void plat_utf8_text_end(void*) {}
