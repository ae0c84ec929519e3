// Reading steps shared by the catalog table readers (tables.cpp,
// group_tables.cpp): the descriptor block and its checks against the
// table's shape, record reads through the run's work buffer, the fields of
// a record in the shape's order, and the bound that keeps a table array
// within what the image can hold.
#ifndef CATALOG_TABLE_IO_H
#define CATALOG_TABLE_IO_H

#include <stdint.h>
#include <string.h>

#include "container/fields.h"
#include "container/io_state.h"
#include "container/schema.h"
#include "container/table_format.h"
#include "platform/platform.h"

static inline char table_fold(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// True when a descriptor's NUL-padded name field holds exactly `name`,
// ignoring letter case.
static inline bool desc_name_is(const char* desc, const char* name) {
    size_t n = strlen(name);
    for (size_t k = 0; k < n; k++)
        if (table_fold(desc[k]) != table_fold(name[k])) return false;
    return n >= FIELDDEF_NAME_SIZE || desc[n] == '\0';
}

// What a reader checks of a descriptor against its field in the shape.
enum {
    CHECK_NAME = 1,    // the name, ignoring case
    CHECK_TYPE = 2,    // the type letter
    CHECK_LENGTH = 4,  // the length
};

// Seeks to the region's first descriptor, reads the descriptor block (the
// shape's descriptors and the closing byte) into the work buffer and checks
// the descriptors from `first` on as `what` says, and the closing 0x0D.
// 0, -1 when the seek misses, -2 when the block comes short, -3 when a check
// fails.
static inline int32_t read_descriptors(int file, int32_t offset, const TableSchema* s, int32_t first,
                                       unsigned what, IoState* io) {
    if (offset < 0 || plat_seek(file, offset, PLAT_SEEK_SET) != offset) return -1;
    int32_t block = s->nfields * FIELDDEF_SIZE + 1;
    const char* descs = io->work_buf;
    if (plat_read(file, io->work_buf, block) != block) return -2;
    bool ok = descs[s->nfields * FIELDDEF_SIZE] == END_OF_FIELDS;
    for (int32_t k = first; k < s->nfields; k++) {
        const char* desc = descs + k * FIELDDEF_SIZE;
        const unsigned char* udesc = (const unsigned char*)desc;
        const SchemaField* f = &s->fields[k];
        if ((what & CHECK_NAME) && !desc_name_is(desc, f->name)) ok = false;
        if ((what & CHECK_TYPE) && fielddef_type(udesc) != schema_type_letter(f)) ok = false;
        if ((what & CHECK_LENGTH) && fielddef_length(udesc) != f->length) ok = false;
    }
    return ok ? 0 : -3;
}

// Reads one whole record of the table into the work buffer; false when it
// comes short.
static inline bool read_record(int file, const TableSchema* s, IoState* io) {
    return plat_read(file, io->work_buf, s->ent_sz) == s->ent_sz;
}

// What a read inside a table's records gave.
enum {
    READ_WHOLE = 1,   // every byte asked for
    READ_AT_END = 0,  // fewer, and the image ends there: the table ran out
    READ_FAILED = -1  // fewer while the image holds more: the OS failed the read
};

// Reads n bytes into buf. A read that comes short is told apart by where
// it left the position: at the end of the image the table simply ends,
// anywhere before it the read failed (as it did when the position cannot be
// had). A failed read leaves the position anywhere.
static inline int32_t read_part(int file, void* buf, int32_t n) {
    int32_t got = plat_read(file, buf, n);
    if (got == n) return READ_WHOLE;
    if (got < 0) return READ_FAILED;
    int64_t here = plat_seek(file, 0, PLAT_SEEK_CUR);
    return here >= 0 && plat_seek(file, 0, PLAT_SEEK_END) == here ? READ_AT_END : READ_FAILED;
}

// Reads the next record into the work buffer: READ_WHOLE, READ_AT_END at
// the end of the table (the 0x1A end byte, or the image ends within the
// record), or READ_FAILED.
static inline int32_t next_record(int file, const TableSchema* s, IoState* io) {
    int32_t got = read_part(file, io->work_buf, s->ent_sz);
    return got == READ_WHOLE && io->work_buf[0] == END_OF_DATA ? READ_AT_END : got;
}

// The fields of one record, taken in the shape's order, each as its kind
// says: a number with dvatol (which reports to rep), a short text copied, a
// long text trimmed.
struct RecordFields {
    const char* record;
    const SchemaField* next;
    const Reporter* rep;
};

static inline RecordFields record_fields(const TableSchema* s, const char* record,
                                         const Reporter* rep) {
    RecordFields r = {record, s->fields, rep};
    return r;
}
static inline int32_t take_number(RecordFields* r) {
    const SchemaField* f = r->next++;
    return dvatol(r->record + f->offset, f->length, r->rep);
}
// Copies the text with a closing NUL into dst, which holds size bytes.
static inline void take_copy(RecordFields* r, char* dst, int32_t size) {
    const SchemaField* f = r->next++;
    copy_field(dst, r->record + f->offset, f->length < size ? f->length : size - 1);
}
// A new heap string, or null for a blank field or when there is no memory
// for it; *no_memory tells which (see dup_field).
static inline char* take_text(RecordFields* r, bool* no_memory) {
    const SchemaField* f = r->next++;
    return dup_field(r->record + f->offset, f->length, no_memory);
}

// How many of the `wanted` records announced by a count record the image can
// still hold behind its current position. An array is never sized beyond
// this, so a hostile count costs no more memory than the image's own size.
// The position is left where it was. -1 when a seek fails: without the
// room no table can be sized.
static inline int64_t records_possible(int file, int64_t wanted, int32_t ent_sz) {
    int64_t here = plat_seek(file, 0, PLAT_SEEK_CUR);
    int64_t end = plat_seek(file, 0, PLAT_SEEK_END);
    if (here < 0 || end < here || plat_seek(file, here, PLAT_SEEK_SET) != here) return -1;
    int64_t left = (end - here) / ent_sz;
    return wanted < left ? wanted : left;
}

#endif
