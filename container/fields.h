// Field helpers for the fixed-width text records of the catalog tables.
//
// Numeric fields are 12 characters of decimal text padded with blanks; text
// fields are padded with trailing blanks. Shared by both programs.
#ifndef CONTAINER_FIELDS_H
#define CONTAINER_FIELDS_H

#include <stdint.h>

#include "container/report.h"

// Copies n bytes of src to dst and appends a NUL (dst holds n + 1 bytes).
void copy_field(char* dst, const char* src, int32_t n);
// The signed 32-bit value of a numeric field; warns when len is not 12.
// Values that do not fit wrap modulo 2^32.
int32_t dvatol(const char* text, int32_t len, const Reporter* rep);
// A new heap string of the field without trailing blanks, or null when the
// field is all blanks or its copy could not be allocated; *no_memory says
// whether it was the latter. The caller owns the string.
char* dup_field(const char* text, int32_t len, bool* no_memory);

// How many bytes of a descriptor's name C's "%s" prints: those before the
// first NUL. The name field is 11 bytes; a name that fills it has no NUL
// there, so the type letter and the bytes behind it follow up to the next
// NUL, but never beyond the `room` bytes of the buffer from desc on. Print
// the name with a precision: "%11.*s" or "%-10.*s".
int32_t desc_name_len(const char* desc, int32_t room);

// A 32-bit pattern as the signed value it holds on a two's-complement
// machine, without relying on implementation-defined narrowing.
static inline int32_t to_i32(uint32_t v) {
    return v <= (uint32_t)INT32_MAX ? (int32_t)v : -(int32_t)(~v) - 1;
}

// Little-endian helpers for the binary parts of headers and descriptors.
static inline uint32_t le32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static inline uint16_t le16(const unsigned char* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
static inline void put_le32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

#endif
