// POSIX implementation of the code-page decoder (see charset.h), on iconv.
#include "platform/charset.h"

#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

struct PlatCharset {
    iconv_t cd;
};

static const char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

struct Utf8Text {
    locale_t utf8, before;
};

void* plat_utf8_text_begin(void) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (utf8 == (locale_t)0) return nullptr;
    Utf8Text* t = (Utf8Text*)malloc(sizeof *t);
    if (!t) {
        freelocale(utf8);
        return nullptr;
    }
    t->utf8 = utf8;
    t->before = uselocale(utf8);
    return t;
}

void plat_utf8_text_end(void* saved) {
    Utf8Text* t = (Utf8Text*)saved;
    if (!t) return;
    uselocale(t->before);
    freelocale(t->utf8);
    free(t);
}

PlatCharset* plat_charset_open(const char* name) {
    char numbered[32];
    // glibc takes a bare number as that code page, others may not.
    if (name[0] >= '0' && name[0] <= '9' && strlen(name) < sizeof numbered - 3) {
        strcpy(numbered, "CP");
        strcat(numbered, name);
        name = numbered;
    }
    iconv_t cd = iconv_open("UTF-8", name);
    if (cd == (iconv_t)-1) return NULL;
    PlatCharset* cs = (PlatCharset*)malloc(sizeof(PlatCharset));
    if (!cs) {
        iconv_close(cd);
        return NULL;
    }
    cs->cd = cd;
    return cs;
}

int32_t plat_charset_decode(PlatCharset* cs, const char* in, int32_t n, char* out, int32_t room) {
    if (n < 0 || room < 0) return -1;
    iconv(cs->cd, NULL, NULL, NULL, NULL);  // the initial shift state
    char* ip = (char*)in;
    size_t il = (size_t)n;
    char* op = out;
    size_t ol = (size_t)room;
    while (il > 0) {
        if (iconv(cs->cd, &ip, &il, &op, &ol) != (size_t)-1) break;
        if (errno == E2BIG) return -1;
        // EILSEQ: no character for the bytes at ip; EINVAL: a sequence cut
        // short by the end. Either way one byte is replaced and the rest
        // decoded after it.
        if (ol < sizeof REPLACEMENT - 1) return -1;
        memcpy(op, REPLACEMENT, sizeof REPLACEMENT - 1);
        op += sizeof REPLACEMENT - 1;
        ol -= sizeof REPLACEMENT - 1;
        ip++;
        il--;
        iconv(cs->cd, NULL, NULL, NULL, NULL);
    }
    // A decoder that holds a character back (to join it with a following
    // accent) gives it up here.
    if (iconv(cs->cd, NULL, NULL, &op, &ol) == (size_t)-1) return -1;
    return (int32_t)(op - out);
}

void plat_charset_close(PlatCharset* cs) {
    if (!cs) return;
    iconv_close(cs->cd);
    free(cs);
}
