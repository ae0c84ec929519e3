// Catalog table readers: Disks, Dirs, Files and Paths.
//
// Each reader seeks to its region's first field descriptor, checks the
// descriptors it depends on against the table's shape (container/schema.h),
// takes the record count from the count record and converts every following
// record, field by field in the shape's order. Records go through the run's
// work buffer one at a time. A table that ends before its announced count
// (its 0x1A, or the end of the image) is no error, a read that fails before
// the image ends is; a table that holds no record comes back null (an empty
// table is absent). Tables live until the run releases them (catalog_free);
// nothing here frees a table it hands back.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "catalog/catalog.h"
#include "catalog/events.h"
#include "catalog/table_io.h"
#include "container/fields.h"
#include "container/io_state.h"
#include "container/schema.h"
#include "container/table_format.h"
#include "platform/platform.h"

// What the common reader needs to know of Disks, Dirs and Files besides
// their shape: its events. The checked descriptor is the table's last one.
struct TableReader {
    const TableSchema* schema;
    int32_t count_unreadable;
    int32_t no_array;  // Disks and Dirs: their array could not be had
};

static const TableReader DISKS_READER = {&TABLE_SCHEMAS[TBL_DISKS], EV_DISKS_COUNT_UNREADABLE,
                                         EV_DISKS_NO_ARRAY};
static const TableReader DIRS_READER = {&TABLE_SCHEMAS[TBL_DIRS], EV_DIRS_COUNT_UNREADABLE,
                                        EV_DIRS_NO_ARRAY};
static const TableReader FILES_READER = {&TABLE_SCHEMAS[TBL_FILES], EV_FILES_COUNT_UNREADABLE, 0};

// Steps common to Disks, Dirs and Files: descriptor block, checked
// descriptor, count record. Gives back 0 with the announced count in *n, or
// the reader's negative status.
static int32_t read_count(int file, int32_t offset, const TableReader* t, int32_t* n,
                          IoState* io) {
    const TableSchema* s = t->schema;
    int32_t status = read_descriptors(file, offset, s, s->nfields - 1,
                                      CHECK_NAME | CHECK_TYPE | CHECK_LENGTH, io);
    if (status < 0) return status;
    if (!read_record(file, s, io)) {
        say(io->rep, t->count_unreadable);
        return -6;
    }
    if (!parse_count(io->work_buf, s->ent_sz, COUNT_AFTER_SERIAL, n)) {
        say(io->rep, t->count_unreadable);
        return -4;
    }
    return 0;
}

// The array of Disks or Dirs: count record read, then zero-filled room for
// the smaller of the announced records and those the image can still hold.
// Gives back null for an empty table (*status 0) or on failure (*status
// negative: -1 when the room could not be measured); else the array, with
// *status 0 and its room in *room.
static void* alloc_table(int file, int32_t offset, const TableReader* t, size_t rec_size,
                         int64_t* room, int32_t* status, IoState* io) {
    int32_t n = 0;
    *status = read_count(file, offset, t, &n, io);
    if (*status < 0) return NULL;
    if (n < 1) {
        say(io->rep, t->no_array);
        *status = -5;
        return NULL;
    }
    // A count of 1 announces no record: an empty table.
    *room = records_possible(file, (int64_t)n - 1, t->schema->ent_sz);
    if (*room < 0) *status = -1;
    if (*room <= 0) return NULL;
    void* table = calloc((size_t)*room, rec_size);
    if (!table) {
        say(io->rep, t->no_array);
        *status = -5;
    }
    return table;
}

static void convert_disk(const TableSchema* s, const char* record, DiskRecord* d,
                         const Reporter* rep) {
    RecordFields r = record_fields(s, record, rep);
    d->serial = take_number(&r);
    d->num2 = take_number(&r);
    d->num3 = take_number(&r);
    d->num4 = take_number(&r);
    d->used_hi = take_number(&r);
    d->used_low = take_number(&r);
    d->num7 = take_number(&r);
    d->num8 = take_number(&r);
    take_copy(&r, d->label, sizeof d->label);
    take_copy(&r, d->text_a, sizeof d->text_a);
    take_copy(&r, d->text_b, sizeof d->text_b);
    take_copy(&r, d->drive, sizeof d->drive);
    d->hasdskst = take_number(&r);
}

// False when there was no memory for the name.
static bool convert_dir(const TableSchema* s, const char* record, DirRecord* d,
                        const Reporter* rep) {
    RecordFields r = record_fields(s, record, rep);
    d->serial = take_number(&r);
    d->disk = take_number(&r);
    d->parent = take_number(&r);
    bool no_memory = false;
    d->name = take_text(&r, &no_memory);
    return !no_memory;
}

// False when there was no memory for the name.
static bool convert_file(const TableSchema* s, const char* record, FileRecord* f,
                         const Reporter* rep) {
    RecordFields r = record_fields(s, record, rep);
    f->serial = take_number(&r);
    f->dir = take_number(&r);
    f->num3 = take_number(&r);
    f->num4 = take_number(&r);
    f->attrib = take_number(&r);
    f->num6 = take_number(&r);
    f->size_lo = take_number(&r);
    take_copy(&r, f->date, sizeof f->date);
    bool no_memory = false;
    f->name = take_text(&r, &no_memory);
    return !no_memory;
}

// A record read that failed ends a table with this status (the code of a
// descriptor block that came short); the records converted are dropped.
enum { RECORD_READ_FAILED = -2 };

DiskRecord* read_disks(int file, int32_t offset, int32_t* status, IoState* io) {
    const TableReader* t = &DISKS_READER;
    int64_t room = 0;
    DiskRecord* disks =
        (DiskRecord*)alloc_table(file, offset, t, sizeof(DiskRecord), &room, status, io);
    if (!disks) return NULL;
    int32_t got = 0;
    int32_t read = READ_WHOLE;
    while (got < room && (read = next_record(file, t->schema, io)) == READ_WHOLE)
        convert_disk(t->schema, io->work_buf, &disks[got++], io->rep);
    if (read == READ_FAILED) {
        *status = RECORD_READ_FAILED;
        free(disks);
        return NULL;
    }
    *status = got;
    if (got == 0) {
        free(disks);
        return NULL;
    }
    return disks;
}

DirRecord* read_dirs(int file, int32_t offset, int32_t* status, IoState* io) {
    const TableReader* t = &DIRS_READER;
    int64_t room = 0;
    DirRecord* dirs = (DirRecord*)alloc_table(file, offset, t, sizeof(DirRecord), &room, status, io);
    if (!dirs) return NULL;
    int32_t got = 0;
    int32_t read = READ_WHOLE;
    while (got < room && (read = next_record(file, t->schema, io)) == READ_WHOLE) {
        if (!convert_dir(t->schema, io->work_buf, &dirs[got++], io->rep)) {
            say(io->rep, t->no_array);
            *status = -5;
            break;
        }
    }
    if (read == READ_FAILED) *status = RECORD_READ_FAILED;
    if (*status < 0) {
        for (int32_t i = 0; i < got; i++) free(dirs[i].name);
        free(dirs);
        return NULL;
    }
    *status = got;
    if (got == 0) {
        free(dirs);
        return NULL;
    }
    return dirs;
}

FileRecord* read_files(int file, int32_t offset, int32_t* status, IoState* io) {
    const TableReader* t = &FILES_READER;
    int32_t n = 0;
    *status = read_count(file, offset, t, &n, io);
    if (*status < 0) return NULL;
    FileRecord* head = NULL;
    FileRecord* last = NULL;
    int32_t got = 0;
    int64_t want = (int64_t)n - 1;  // n may be any 32-bit value
    int32_t read = READ_WHOLE;
    while (got < want && (read = next_record(file, t->schema, io)) == READ_WHOLE) {
        FileRecord* f = (FileRecord*)calloc(1, sizeof(FileRecord));
        if (f && !convert_file(t->schema, io->work_buf, f, io->rep)) {
            free(f);
            f = NULL;
        }
        if (!f) {
            say(io->rep, EV_FILES_NO_MEMORY);
            *status = -5;
            return head;
        }
        f->next = NULL;
        f->comp = NULL;
        if (last)
            last->next = f;
        else
            head = f;
        last = f;
        got++;
    }
    *status = read == READ_FAILED ? RECORD_READ_FAILED : got;
    return head;
}

// Paths keeps the path texts (DATATYPE 1) of the table, dropping a text that
// repeats the one kept just before it. Records 0 to n are handled, n being
// the DATATYPE of the count record. Each record is read in two parts: the
// flag byte, SERIAL and DATATYPE into a buffer of its own, then DATATEXT into
// the work buffer.
PathNode* read_paths(int file, int32_t offset, int32_t* status, IoState* io) {
    const Reporter* rep = io->rep;
    enum { DATATEXT = 2 };
    const TableSchema* s = &TABLE_SCHEMAS[TBL_PATHS];
    const int32_t text_size = s->fields[DATATEXT].length;
    int32_t kept = 0;
    int64_t i = 0;
    int32_t n = 0;
    PathNode* head = NULL;
    PathNode* last = NULL;

    *status = read_descriptors(file, offset, s, 0, CHECK_NAME | CHECK_LENGTH, io);

    // DATATYPE is the second field, where the count record holds its count.
    char head_buf[COUNT_FIELD_AT + COUNT_FIELD_LEN];
    while (*status == 0) {
        int32_t read = read_part(file, head_buf, sizeof head_buf);
        if (read == READ_WHOLE) read = read_part(file, io->work_buf, text_size);
        if (read == READ_FAILED) *status = RECORD_READ_FAILED;
        if (read != READ_WHOLE) break;
        if (head_buf[0] == END_OF_DATA || i > n) break;
        int32_t datatype = 0;
        if (!parse_count(head_buf, sizeof head_buf, COUNT_AFTER_SERIAL, &datatype)) {
            // The record's type is unknown: nothing more is taken from it.
            say(rep, EV_PATHS_COUNT_UNREADABLE);
            *status = -4;
            break;
        }
        if (i == 0) n = datatype;  // the count record's DATATYPE holds the count
        if (i > 0 && datatype == 1) {
            bool no_memory = false;  // no memory fails as a blank text does
            char* text = dup_field(io->work_buf, text_size, &no_memory);
            if (!text) {
                say(rep, EV_PATHS_TEXT_NO_MEMORY);
                *status = -5;
            } else if (last && strcmp(text, last->text) == 0) {
                free(text);
            } else {
                PathNode* node = (PathNode*)malloc(sizeof(PathNode));
                if (!node) {
                    free(text);
                    say(rep, EV_PATHS_NODE_NO_MEMORY);
                    *status = -5;
                    break;
                }
                node->text = text;
                node->next = NULL;
                if (last)
                    last->next = node;
                else
                    head = node;
                last = node;
                kept++;
            }
        }
        i++;
    }
    if (*status < 0)
        say(rep, EV_PATHS_DATA_UNREADABLE);
    else
        *status = kept;
    return head;
}
