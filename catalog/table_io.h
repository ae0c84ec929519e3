// Reading steps shared by the catalog table readers (tables.cpp,
// group_tables.cpp): descriptor checks and record reads through the shared
// work buffer, and the bound that keeps a table array within what the image
// can hold.
#ifndef CATALOG_TABLE_IO_H
#define CATALOG_TABLE_IO_H

#include <stdint.h>
#include <string.h>

#include "container/fields.h"
#include "container/regions.h"
#include "platform/platform.h"

enum {
    DESC_NAME_SIZE = 11,
    DESC_TYPE = 11,
    DESC_LENGTH = 16,
};

static inline char table_fold(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// True when a descriptor's NUL-padded name field holds exactly `name`,
// ignoring letter case.
static inline bool desc_name_is(const char* desc, const char* name) {
    size_t n = strlen(name);
    for (size_t k = 0; k < n; k++)
        if (table_fold(desc[k]) != table_fold(name[k])) return false;
    return n >= DESC_NAME_SIZE || desc[n] == '\0';
}

static inline uint16_t desc_length(const char* desc) {
    return le16((const unsigned char*)desc + DESC_LENGTH);
}

// Seeks to the region's first descriptor and reads the descriptor block
// (nfields descriptors and the closing byte) into work_buf.
// 0, -1 when the seek misses, -2 when the block comes short.
static inline int32_t read_descriptors(int file, int32_t offset, int32_t nfields) {
    if (offset < 0 || plat_seek(file, offset, PLAT_SEEK_SET) != offset) return -1;
    int32_t block = nfields * FIELDDEF_SIZE + 1;
    if (plat_read(file, work_buf, block) != block) return -2;
    return 0;
}

// Reads the next record into work_buf; false at the end of the table (a
// short read or the 0x1A end byte).
static inline bool next_record(int file, int32_t ent_sz) {
    if (plat_read(file, work_buf, ent_sz) != ent_sz) return false;
    return work_buf[0] != END_OF_DATA;
}

// How many of the `wanted` records announced by a count record the image can
// still hold behind its current position. An array is never sized beyond
// this, so a hostile count costs no more memory than the image's own size.
// The position is left where it was.
static inline int64_t records_possible(int file, int64_t wanted, int32_t ent_sz) {
    int64_t here = plat_seek(file, 0, PLAT_SEEK_CUR);
    int64_t end = plat_seek(file, 0, PLAT_SEEK_END);
    if (here < 0 || end < here || plat_seek(file, here, PLAT_SEEK_SET) != here) return 0;
    int64_t left = (end - here) / ent_sz;
    return wanted < left ? wanted : left;
}

#endif
