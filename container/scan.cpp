// scanf's integer conversions on bounded text, values modulo 2^32.
#include "container/scan.h"

static bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Past the white space in front of a number. A NUL is no white space, so it
// ends the skip like the end of the room.
static int32_t skip_space(const char* text, int32_t room) {
    int32_t i = 0;
    while (i < room && is_space(text[i])) i++;
    return i;
}

// An optional sign at text[*i] (before end); true when it is a minus.
static bool take_sign(const char* text, int32_t* i, int32_t end) {
    if (*i >= end || (text[*i] != '+' && text[*i] != '-')) return false;
    return text[(*i)++] == '-';
}

int32_t scan_dec(const char* text, int32_t room, int32_t width, uint32_t* value) {
    int32_t i = skip_space(text, room);
    // The width counts from the sign or first digit, never the white space.
    int32_t end = width > 0 && width < room - i ? i + width : room;
    bool neg = take_sign(text, &i, end);
    bool digits = false;
    uint32_t v = 0;
    for (; i < end && text[i] >= '0' && text[i] <= '9'; i++) {
        v = v * 10u + (uint32_t)(text[i] - '0');
        digits = true;
    }
    if (!digits) return 0;
    *value = neg ? 0u - v : v;
    return i;
}

int32_t scan_hex(const char* text, int32_t room, uint32_t* value) {
    int32_t i = skip_space(text, room);
    bool neg = take_sign(text, &i, room);
    bool digits = false;
    if (i + 1 < room && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        digits = true;  // the 0 counts even when no hex digit follows the x
        i += 2;
    }
    uint32_t v = 0;
    for (; i < room && hex_digit(text[i]) >= 0; i++) {
        v = v * 16u + (uint32_t)hex_digit(text[i]);
        digits = true;
    }
    if (!digits) return 0;
    *value = neg ? 0u - v : v;
    return i;
}

bool scan_int(const char* text, int32_t room, int32_t width, int32_t* value) {
    uint32_t v = 0;
    if (scan_dec(text, room, width, &v) == 0) return false;
    *value = (int32_t)v;
    return true;
}

int scan_ints(const char* text, int32_t room, int32_t* out, int max) {
    int n = 0;
    int32_t at = 0;
    while (n < max) {
        uint32_t v = 0;
        int32_t took = scan_dec(text + at, room - at, SCAN_NO_WIDTH, &v);
        if (took == 0) break;
        out[n++] = (int32_t)v;
        at += took;
    }
    return n;
}

bool scan_ulong(const char* text, int32_t room, uint32_t* value) {
    return scan_dec(text, room, SCAN_NO_WIDTH, value) != 0;
}
