// unbak's display of the catalog: one listing per table (shown by -vs#
// right after a table's read) and the closing summary of all tables (with
// every listing under -v).
//
// These are unbak's output of what it read, not the engine's messages, so
// they live in its front end and print directly. Listings only read the
// Catalog. Record counts come from the region table, which holds the number
// of records each reader converted. Numbers are 32-bit values; "%ld"/"%lx"
// get them widened explicitly so they print as they would with a 32-bit
// long.
#include "restore/display.h"

#include <stdint.h>
#include <stdio.h>

#include "catalog/dir_path.h"

static void disp_disks(const DiskRecord* disks, int32_t count) {
    printf("\nFound %d disks in catalog", (int)count);
    for (int32_t i = 0; disks && i < count; i++) {
        const DiskRecord* d = &disks[i];
        printf("\n%2d: %3s  %-12s used_hi %ld, used_low %ld", (int)(i + 1), d->drive, d->label,
               (long)d->used_hi, (long)d->used_low);
    }
    printf("\n");
}

// Under -vv also every directory's path, through catalog->io.rep.
static void disp_dirs(const Catalog* catalog, const DirRecord* dirs, int32_t count) {
    printf("\nfound %ld entries in Dir", (long)count);
    for (int32_t i = 0; dirs && i < count; i++) {
        const DirRecord* d = &dirs[i];
        printf("\n%3ld: disk ndx %3ld dir ndx %3ld   ", (long)d->serial, (long)d->disk,
               (long)d->parent);
        // A drive's root has no name: nothing follows the three blanks.
        if (d->name) printf("%s", d->name);
    }
    // The paths come as the Catalog's events, which unbak's reporter prints.
    if (catalog && has_option(catalog, OPT_VERY_VERBOSE) && catalog->disks && catalog->dirs)
        list_dir_paths(catalog, NULL);
}

void disp_files(const FileRecord* files, int32_t count) {
    printf("\nfound %d files in catalog", (int)count);
    printf("\norder   name                             date             size_lo  Dir ndx");
    int32_t line = 0;
    for (const FileRecord* f = files; f && line < count; f = f->next) {
        line++;
        printf("\n%3d: %-30s  %s   %10ld    %2ld", (int)line, f->name ? f->name : "", f->date,
               (long)f->size_lo, (long)f->dir);
    }
}

static void disp_comp(const CompRecord* comp) {
    printf("\nComp records found in catalog:");
    printf("\n #  seq     orgsize    compsize comp_lvl  chksum      offs_low is_last");
    int line = 0;
    for (const CompRecord* c = comp; c; c = c->next) {
        line++;
        printf("\n%3d %3ld  %10ld  %10ld    %2ld   0x%8lx  %10ld  %2ld", line, (long)c->SEQUENCE,
               (long)c->ORGSIZE, (long)c->COMPSIZE, (long)c->COMP_LVL,
               (unsigned long)(uint32_t)c->CHK_SUM, (long)c->OFFS_LO, (long)c->IS_LAST);
    }
}

static void disp_paths(const PathNode* paths) {
    printf("\npaths found in catalog:");
    int line = 0;
    for (const PathNode* p = paths; p; p = p->next) {
        line++;
        printf("\n%3d  %s", line, p->text ? p->text : "");
    }
}

// Buffer writes of an uncompressed backup: one per started 65535 bytes of
// each file, at least one per file. Summed modulo 2^32, as a 32-bit counter
// would.
static uint32_t count_buffer_writes(const FileRecord* files) {
    uint32_t total = 0;
    for (const FileRecord* f = files; f; f = f->next) {
        if (f->size_lo <= 65535) {
            total += 1;
        } else {
            uint32_t writes = (uint32_t)(f->size_lo / 65535);
            if (f->size_lo % 65535) writes++;
            total += writes;
        }
    }
    return total;
}

void disp_sess(const Catalog* catalog) {
    if (!catalog || !catalog->sessions) {
        printf("\ndisp_sess() called but catalog pointer to session information is NULL");
        return;
    }
    int32_t nsess = table_count(catalog, TBL_SESSION);
    printf("\n%d session records for %d files:", (int)nsess, (int)table_count(catalog, TBL_FILES));
    for (int32_t i = 0; i < nsess; i++) {
        const SessionRecord* s = &catalog->sessions[i];
        printf("\n%2d: sessfrom %3ld sessto %3ld job number %2ld  disk number %2ld date %s",
               (int)(i + 1), (long)s->sessfrom, (long)s->sessto, (long)s->job_num,
               (long)s->disk_num, s->date);
    }
    if (catalog->files && catalog->job && catalog->job->compressed == 0) {
        uint32_t writes = count_buffer_writes(catalog->files);
        // The 32-bit pattern as a signed number, as the counter would hold it.
        int64_t shown = (int64_t)writes - (writes > INT32_MAX ? INT64_C(4294967296) : 0);
        printf("\n a total of %d buffer writes were required for this backup", (int)shown);
    }
}

void disp_catalog(const Catalog* catalog) {
    bool verbose = has_option(catalog, OPT_VERBOSE);
    printf("\n\n\ndisplay of catalog");
    if (catalog->disks) {
        printf("\nDisks with %d entries", (int)table_count(catalog, TBL_DISKS));
        if (verbose) disp_disks(catalog->disks, table_count(catalog, TBL_DISKS));
    }
    if (catalog->dirs) {
        printf("\nDirs  with %d entries", (int)table_count(catalog, TBL_DIRS));
        if (verbose) disp_dirs(catalog, catalog->dirs, table_count(catalog, TBL_DIRS));
    }
    if (catalog->files) {
        printf("\nFiles with %d entries", (int)table_count(catalog, TBL_FILES));
        if (verbose) disp_files(catalog->files, table_count(catalog, TBL_FILES));
    }
    if (catalog->comp) {
        printf("\nComp with %d entries", (int)table_count(catalog, TBL_COMP));
        if (verbose) disp_comp(catalog->comp);
    }
    if (catalog->paths) {
        printf("\nPaths with %d entries", (int)table_count(catalog, TBL_PATHS));
        if (verbose) disp_paths(catalog->paths);
    }
    if (catalog->job) {
        printf("\nJob data: Job number %ld  number of disks %ld", (long)catalog->job->job_num,
               (long)catalog->job->num_disks);
        if (catalog->job->compressed != 0) printf(" data is compressed");
    }
    if (catalog->sessions) {
        printf("\nSession with %d entries", (int)table_count(catalog, TBL_SESSION));
        if (verbose) disp_sess(catalog);
    }
    printf("\n");
}

void show_table_read(const Catalog* catalog, int table) {
    const Catalog* c = catalog;
    switch (table) {
    case TBL_DISKS:
        if (c->disks) disp_disks(c->disks, table_count(c, TBL_DISKS));
        break;
    case TBL_DIRS:
        if (c->dirs) disp_dirs(c, c->dirs, table_count(c, TBL_DIRS));
        break;
    case TBL_FILES:
        if (c->files) disp_files(c->files, table_count(c, TBL_FILES));
        break;
    case TBL_COMP:
        if (c->comp) disp_comp(c->comp);
        break;
    case TBL_PATHS:
        if (c->paths) disp_paths(c->paths);
        break;
    case TBL_SESSION:
        if (c->sessions) disp_sess(c);
        break;
    default:
        break;  // the Job has no listing of its own
    }
}
