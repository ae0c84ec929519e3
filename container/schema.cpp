// The built-in shapes of the seven catalog tables, and validate_region, which
// compares the descriptors found in a region with its table's shape.
#include "container/schema.h"

#include <stdio.h>


static const SchemaField DISK_FIELDS[] = {
    {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12},
    {'L', 12}, {'C', 12}, {'C', 14}, {'C', 14}, {'C', 2},  {'L', 12},
};
static const SchemaField DIR_FIELDS[] = {{'L', 12}, {'L', 12}, {'L', 12}, {'S', 240}};
static const SchemaField FILE_FIELDS[] = {
    {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'C', 14}, {'S', 240},
};
static const SchemaField COMP_FIELDS[] = {
    {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12},
    {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12},
};
static const SchemaField JOB_FIELDS[] = {
    {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12},
    {'L', 12}, {'L', 12}, {'C', 14}, {'S', 32},  {'S', 256},
};
static const SchemaField PATH_FIELDS[] = {{'L', 12}, {'L', 12}, {'S', 240}};
static const SchemaField SESSION_FIELDS[] = {{'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'L', 12}, {'C', 14}};

#define SCHEMA(name, ent_sz, fields) {name, (int32_t)(sizeof fields / sizeof fields[0]), ent_sz, fields}

const TableSchema TABLE_SCHEMAS[7] = {
    SCHEMA("Disk", 151, DISK_FIELDS),   SCHEMA("Dir", 277, DIR_FIELDS),
    SCHEMA("File", 339, FILE_FIELDS),   SCHEMA("Comp", 133, COMP_FIELDS),
    SCHEMA("Job", 399, JOB_FIELDS),     SCHEMA("Path", 265, PATH_FIELDS),
    SCHEMA("Session", 75, SESSION_FIELDS),
};

int32_t validate_region(const TableSchema* schemas, int32_t index, int32_t nfields, int32_t ent_sz,
                        const int32_t* lengths, const char* types) {
    if (index < 0 || index > 6) {
        printf("\nvalidation error: structure index %d out of range", (int)index);
        return -1;
    }
    const TableSchema* s = &schemas[index];
    int32_t mismatches = 0;
    if (s->nfields != nfields) {
        printf("\nmismatch in # of fields %d != %d", (int)s->nfields, (int)nfields);
        mismatches++;
    }
    if (s->ent_sz != ent_sz) {
        printf("\nmismatch in total size of data element %d != %d", (int)s->ent_sz, (int)ent_sz);
        mismatches++;
    }
    // A field-count mismatch stops here, so k stays inside the schema's fields.
    for (int32_t k = 0; k < nfields && mismatches == 0; k++) {
        const SchemaField* f = &s->fields[k];
        if (f->length != lengths[k]) {
            printf("\nfield %d  len mismatch  %d != %d", (int)k, (int)f->length, (int)lengths[k]);
            mismatches++;
        }
        if (types[k] == 'C') {
            char expected = f->length > 14 ? 'S' : 'C';
            if (f->kind != expected) {
                printf("\nfield %d type %c mis match, should not be %c", (int)k, expected, f->kind);
                mismatches++;
            }
        } else if (types[k] == 'N' && f->kind != 'L') {
            printf("\nfield %d type %c mis match, should not be %c", (int)k, f->kind, 'N');
            mismatches++;
        }
    }
    return mismatches;
}
