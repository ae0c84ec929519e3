// Built-in shapes of the seven catalog tables and the check of a region's
// descriptors against them.
#ifndef CONTAINER_SCHEMA_H
#define CONTAINER_SCHEMA_H

#include <stdint.h>

struct SchemaField {
    char kind;        // 'L' number, 'C' short text, 'S' long text
    uint16_t length;
};

struct TableSchema {
    const char* name;
    int32_t nfields;
    int32_t ent_sz;
    const SchemaField* fields;
};

extern const TableSchema TABLE_SCHEMAS[7];

// Compares a region's descriptors with schemas[index], the shape of table
// index among the seven. Number of mismatches (0: matches), or -1 for an
// index outside 0..6.
int32_t validate_region(const TableSchema* schemas, int32_t index, int32_t nfields, int32_t ent_sz,
                        const int32_t* lengths, const char* types);

#endif
