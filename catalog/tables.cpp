// Catalog table readers: Disks, Dirs, Files and Paths.
//
// Each reader seeks to its region's first field descriptor, checks the
// descriptor it depends on, takes the record count from the count record and
// converts every following record. Records go through the shared work buffer
// one at a time. A table that ends before its announced count is no error; a
// table that holds no record comes back null (an empty table is absent).
// Tables live until exit; nothing here frees a table it hands back.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "catalog/catalog.h"
#include "catalog/table_io.h"
#include "container/fields.h"
#include "container/regions.h"
#include "container/scan.h"
#include "platform/platform.h"

// What the common reader needs to know of Disks, Dirs and Files. The checked
// descriptor is the table's last one.
struct TableShape {
    int32_t nfields;
    int32_t ent_sz;
    const char* checked_name;
    char checked_type;
    uint16_t checked_length;
    const char* count_msg;
    const char* alloc_msg;  // Disks and Dirs: their array could not be had
};

static const TableShape DISKS_SHAPE = {13, 151, "HASDSKST", 'N', 12,
                                       "\nfailed to get # of records in disk array",
                                       "\nfailed to allocate space for disk_def"};
static const TableShape DIRS_SHAPE = {4, 277, "NAME", 'C', 240,
                                      "\nfailed to get # of records in dir array",
                                      "\nfailed to allocate space for dir_def"};
static const TableShape FILES_SHAPE = {9, 339, "NAME", 'C', 240,
                                       "\nfailed to get # of records in file array", NULL};

enum {
    PATHS_NFIELDS = 3,
    PATHS_HEAD_SIZE = 25,   // flag byte, SERIAL, DATATYPE
    PATHS_TEXT_SIZE = 240,  // DATATEXT
};

// Steps common to Disks, Dirs and Files: descriptor block, checked
// descriptor, count record. Gives back 0 with the announced count in *n, or
// the reader's negative status.
static int32_t read_count(int file, int32_t offset, const TableShape* t, int32_t* n) {
    int32_t status = read_descriptors(file, offset, t->nfields);
    if (status < 0) return status;
    const char* desc = work_buf + (t->nfields - 1) * FIELDDEF_SIZE;
    if (!desc_name_is(desc, t->checked_name) || desc[DESC_TYPE] != t->checked_type ||
        desc_length(desc) != t->checked_length ||
        work_buf[t->nfields * FIELDDEF_SIZE] != END_OF_FIELDS)
        return -3;
    if (plat_read(file, work_buf, t->ent_sz) != t->ent_sz) {
        printf("%s", t->count_msg);
        return -6;
    }
    int32_t v[2];
    if (scan_ints(work_buf, t->ent_sz, v, 2) < 2) {  // inside the count record
        printf("%s", t->count_msg);
        return -4;
    }
    *n = v[1];
    return 0;
}

// The array of Disks or Dirs: count record read, then zero-filled room for
// the smaller of the announced records and those the image can still hold.
// Gives back null for an empty table (*status 0) or on failure (*status
// negative); else the array, with *status 0 and its room in *room.
static void* alloc_table(int file, int32_t offset, const TableShape* t, size_t rec_size,
                         int64_t* room, int32_t* status) {
    int32_t n = 0;
    *status = read_count(file, offset, t, &n);
    if (*status < 0) return NULL;
    if (n < 1) {
        printf("%s", t->alloc_msg);
        *status = -5;
        return NULL;
    }
    // A count of 1 announces no record: an empty table.
    *room = records_possible(file, (int64_t)n - 1, t->ent_sz);
    if (*room == 0) return NULL;
    void* table = calloc((size_t)*room, rec_size);
    if (!table) {
        printf("%s", t->alloc_msg);
        *status = -5;
    }
    return table;
}

DiskRecord* read_disks(int file, int32_t offset, int32_t* status) {
    const TableShape* t = &DISKS_SHAPE;
    int64_t room = 0;
    DiskRecord* disks = (DiskRecord*)alloc_table(file, offset, t, sizeof(DiskRecord), &room, status);
    if (!disks) return NULL;
    int32_t got = 0;
    while (got < room && next_record(file, t->ent_sz)) {
        const char* r = work_buf;
        DiskRecord* d = &disks[got];
        d->serial = dvatol(r + 1, 12);
        d->num2 = dvatol(r + 13, 12);
        d->num3 = dvatol(r + 25, 12);
        d->num4 = dvatol(r + 37, 12);
        d->used_hi = dvatol(r + 49, 12);
        d->used_low = dvatol(r + 61, 12);
        d->num7 = dvatol(r + 73, 12);
        d->num8 = dvatol(r + 85, 12);
        copy_field(d->label, r + 97, 12);
        copy_field(d->text_a, r + 109, 14);
        copy_field(d->text_b, r + 123, 14);
        copy_field(d->drive, r + 137, 2);
        d->hasdskst = dvatol(r + 139, 12);
        got++;
    }
    *status = got;
    if (got == 0) {
        free(disks);
        return NULL;
    }
    return disks;
}

DirRecord* read_dirs(int file, int32_t offset, int32_t* status) {
    const TableShape* t = &DIRS_SHAPE;
    int64_t room = 0;
    DirRecord* dirs = (DirRecord*)alloc_table(file, offset, t, sizeof(DirRecord), &room, status);
    if (!dirs) return NULL;
    int32_t got = 0;
    while (got < room && next_record(file, t->ent_sz)) {
        const char* r = work_buf;
        DirRecord* d = &dirs[got];
        d->serial = dvatol(r + 1, 12);
        d->disk = dvatol(r + 13, 12);
        d->parent = dvatol(r + 25, 12);
        d->name = dup_field(r + 37, 240);
        got++;
    }
    *status = got;
    if (got == 0) {
        free(dirs);
        return NULL;
    }
    return dirs;
}

FileRecord* read_files(int file, int32_t offset, int32_t* status) {
    const TableShape* t = &FILES_SHAPE;
    int32_t n = 0;
    *status = read_count(file, offset, t, &n);
    if (*status < 0) return NULL;
    FileRecord* head = NULL;
    FileRecord* last = NULL;
    int32_t got = 0;
    int64_t want = (int64_t)n - 1;  // n may be any 32-bit value
    while (got < want && next_record(file, t->ent_sz)) {
        FileRecord* f = (FileRecord*)calloc(1, sizeof(FileRecord));
        if (!f) {
            printf("\nfailed to allocate space for _def");
            *status = -5;
            return head;
        }
        const char* r = work_buf;
        f->serial = dvatol(r + 1, 12);
        f->dir = dvatol(r + 13, 12);
        f->num3 = dvatol(r + 25, 12);
        f->num4 = dvatol(r + 37, 12);
        f->attrib = dvatol(r + 49, 12);
        f->num6 = dvatol(r + 61, 12);
        f->size_lo = dvatol(r + 73, 12);
        copy_field(f->date, r + 85, 14);
        f->name = dup_field(r + 99, 240);
        f->next = NULL;
        f->comp = NULL;
        if (last)
            last->next = f;
        else
            head = f;
        last = f;
        got++;
    }
    *status = got;
    return head;
}

// Paths keeps the path texts (DATATYPE 1) of the table, dropping a text that
// repeats the one kept just before it. Records 0 to n are handled, n being
// the DATATYPE of the count record.
PathNode* read_paths(int file, int32_t offset, int32_t* status) {
    *status = 0;
    int32_t kept = 0;
    int64_t i = 0;
    int32_t n = 0;
    PathNode* head = NULL;
    PathNode* last = NULL;

    int32_t err = read_descriptors(file, offset, PATHS_NFIELDS);
    if (err == 0) {
        static const char* const names[PATHS_NFIELDS] = {"SERIAL", "DATATYPE", "DATATEXT"};
        static const uint16_t lengths[PATHS_NFIELDS] = {12, 12, 240};
        for (int k = 0; k < PATHS_NFIELDS; k++) {
            const char* desc = work_buf + k * FIELDDEF_SIZE;
            if (!desc_name_is(desc, names[k]) || desc_length(desc) != lengths[k]) err = -3;
        }
        if (work_buf[PATHS_NFIELDS * FIELDDEF_SIZE] != END_OF_FIELDS) err = -3;
    }
    *status = err;

    char head_buf[PATHS_HEAD_SIZE];
    while (*status == 0) {
        if (plat_read(file, head_buf, PATHS_HEAD_SIZE) != PATHS_HEAD_SIZE ||
            plat_read(file, work_buf, PATHS_TEXT_SIZE) != PATHS_TEXT_SIZE)
            break;
        if (head_buf[0] == END_OF_DATA || i > n) break;
        int32_t v[2];
        if (scan_ints(head_buf, PATHS_HEAD_SIZE, v, 2) < 2) {
            // The record's type is unknown: nothing more is taken from it.
            printf("\nfailed to get # of records in paths array");
            *status = -4;
            break;
        }
        int32_t datatype = v[1];
        if (i == 0) n = datatype;  // the count record's DATATYPE holds the count
        if (i > 0 && datatype == 1) {
            char* text = dup_field(work_buf, PATHS_TEXT_SIZE);
            if (!text) {
                printf("\nstring allocation error in read_paths()");
                *status = -5;
            } else if (last && strcmp(text, last->text) == 0) {
                free(text);
            } else {
                PathNode* node = (PathNode*)malloc(sizeof(PathNode));
                if (!node) {
                    free(text);
                    printf("\npath node allocation error");
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
        printf("\nfailed to read Paths data section");
    else
        *status = kept;
    return head;
}
