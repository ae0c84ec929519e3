// The shapes of the seven catalog tables, written once: each field's name
// (where a step requires it), kind and length, and from the lengths each
// field's offset in the record and the record size. validate_region checks
// a region's descriptors against them, the table readers take their checks
// and field positions from them.
#ifndef CONTAINER_SCHEMA_H
#define CONTAINER_SCHEMA_H

#include <stdint.h>

#include "container/report.h"

// Table indices, shared by the region table, the schemas and -vs# (which is
// the index plus 1), in catalog order.
enum { TBL_DISKS = 0, TBL_DIRS = 1, TBL_FILES = 2, TBL_COMP = 3, TBL_JOB = 4, TBL_PATHS = 5, TBL_SESSION = 6 };
enum { TABLE_COUNT = 7 };

struct SchemaField {
    // The name a step requires at this position (the region search or a
    // table reader), or null where none is looked at.
    const char* name;
    char kind;        // 'L' number, 'C' short text (copied), 'S' long text (trimmed)
    uint16_t length;
    uint16_t offset;  // in the record, behind the flag byte and the fields before
};

struct TableSchema {
    const char* name;  // as region messages print it
    int32_t nfields;
    int32_t ent_sz;    // the flag byte and every field
    const SchemaField* fields;
};

extern const TableSchema TABLE_SCHEMAS[TABLE_COUNT];

// The type letter a descriptor of this kind carries: 'N' for a number, 'C'
// for either text.
static inline char schema_type_letter(const SchemaField* f) {
    return f->kind == 'L' ? 'N' : 'C';
}

// Compares a region's descriptors with TABLE_SCHEMAS[index], the shape of
// table index among the seven, and reports each mismatch. Number of
// mismatches (0: matches), or -1 for an index outside 0..6.
int32_t validate_region(int32_t index, int32_t nfields, int32_t ent_sz, const int32_t* lengths,
                        const char* types, const Reporter* rep);

#endif
