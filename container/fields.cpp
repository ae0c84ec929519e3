// Field helpers: copy_field, dvatol, dup_field and the integer scan the table
// readers use in place of sscanf (sscanf's overflow behaviour is undefined).
#include "container/fields.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void copy_field(char* dst, const char* src, int32_t n) {
    if (n < 0) n = 0;
    memcpy(dst, src, (size_t)n);
    dst[n] = '\0';
}

static bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%ld"-style conversion at *p; advances *p past it. False when no digits.
static bool scan_one(const char** p, int32_t* out) {
    const char* s = *p;
    while (is_space(*s)) s++;
    bool neg = false;
    if (*s == '+' || *s == '-') {
        neg = *s == '-';
        s++;
    }
    if (*s < '0' || *s > '9') return false;
    uint32_t v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10u + (uint32_t)(*s - '0');
        s++;
    }
    if (neg) v = 0u - v;
    *out = (int32_t)v;
    *p = s;
    return true;
}

int scan_ints(const char* text, int32_t* out, int max) {
    const char* p = text;
    int n = 0;
    while (n < max && scan_one(&p, &out[n])) n++;
    return n;
}

int32_t dvatol(const char* text, int32_t len) {
    if (len != 12) printf("\nwaring dvatol() called with len %d", (int)len);
    char tmp[15];
    int32_t n = len > 14 ? 14 : len < 0 ? 0 : len;
    copy_field(tmp, text, n);
    const char* p = tmp;
    int32_t v = 0;
    if (!scan_one(&p, &v)) return 0;
    return v;
}

char* dup_field(const char* text, int32_t len) {
    int32_t last = len - 1;
    while (last >= 0 && text[last] == ' ') last--;
    if (last < 0) return NULL;
    char* s = (char*)malloc((size_t)last + 2);
    if (!s) return NULL;
    copy_field(s, text, last + 1);
    return s;
}
