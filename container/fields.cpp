// Field helpers: copy_field, dvatol, dup_field and the printed length of a
// descriptor's name.
#include "container/fields.h"

#include <stdlib.h>
#include <string.h>

#include "container/events.h"
#include "container/scan.h"

void copy_field(char* dst, const char* src, int32_t n) {
    if (n < 0) n = 0;
    memcpy(dst, src, (size_t)n);
    dst[n] = '\0';
}

int32_t desc_name_len(const char* desc, int32_t room) {
    if (room <= 0) return 0;
    const void* nul = memchr(desc, '\0', (size_t)room);
    return nul ? (int32_t)((const char*)nul - desc) : room;
}

int32_t dvatol(const char* text, int32_t len, const Reporter* rep) {
    if (len != 12) warn(rep, EV_NUMBER_FIELD_WIDTH, {ev_num(len)});
    // At most 14 characters, up to a NUL among them; no digits give 0.
    int32_t n = len > 14 ? 14 : len < 0 ? 0 : len;
    int32_t v = 0;
    scan_int(text, n, SCAN_NO_WIDTH, &v);
    return v;
}

char* dup_field(const char* text, int32_t len, bool* no_memory) {
    *no_memory = false;
    int32_t last = len - 1;
    while (last >= 0 && text[last] == ' ') last--;
    if (last < 0) return NULL;
    char* s = (char*)malloc((size_t)last + 2);
    if (!s) {
        *no_memory = true;
        return NULL;
    }
    copy_field(s, text, last + 1);
    return s;
}
