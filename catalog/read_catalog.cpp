// Reading the whole catalog: the seven tables in their fixed order into the
// Catalog, every table tried whatever failed before, each failure reported
// and counted. Both front ends read a catalog this way: unbak, which shows a
// -vs# table right after its read, and bak, which wants the names of
// the tables that failed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "catalog/catalog.h"
#include "catalog/events.h"

// Each load reads one table from its region into the Catalog and gives back
// the reader's count, or a negative code with the table left absent.

static int32_t load_disks(int image, Catalog* c) {
    int32_t status = 0;
    c->disks = read_disks(image, c->regions[TBL_DISKS].offset, &status, &c->io);
    if (status < 0) {
        free(c->disks);
        c->disks = NULL;
    }
    return status;
}

static int32_t load_dirs(int image, Catalog* c) {
    int32_t status = 0;
    c->dirs = read_dirs(image, c->regions[TBL_DIRS].offset, &status, &c->io);
    if (status < 0) {
        free(c->dirs);
        c->dirs = NULL;
    }
    return status;
}

static int32_t load_files(int image, Catalog* c) {
    int32_t status = 0;
    c->files = read_files(image, c->regions[TBL_FILES].offset, &status, &c->io);
    if (status < 0) {
        free_files(c->files);
        c->files = NULL;
    }
    return status;
}

// Also says whether the data is compressed. A compressed job's Comp count
// is set to 0 until the Comp read gives it.
static int32_t load_job(int image, Catalog* c) {
    c->job = get_job(image, c->regions[TBL_JOB].offset, &c->io);
    if (!c->job) return -1;
    if (c->job->compressed != 0) {
        say(c->io.rep, EV_DATA_COMPRESSED);
        c->regions[TBL_COMP].count = 0;
    } else {
        say(c->io.rep, EV_DATA_NOT_COMPRESSED);
    }
    return 0;
}

static bool data_compressed(const Catalog* c) {
    return c->job && c->job->compressed != 0;
}

static int32_t load_comp(int image, Catalog* c) {
    int32_t status = 0;
    c->comp = read_comp(image, c->regions[TBL_COMP].offset, &status, &c->io);
    if (status < 0) {
        free_comp(c->comp);
        c->comp = NULL;
    }
    return status;
}

static int32_t load_paths(int image, Catalog* c) {
    int32_t status = 0;
    c->paths = read_paths(image, c->regions[TBL_PATHS].offset, &status, &c->io);
    if (status < 0) {
        free_paths(c->paths);
        c->paths = NULL;
    }
    return status;
}

static int32_t load_sessions(int image, Catalog* c) {
    int32_t count = 0;
    c->sessions = get_sess(image, c->regions[TBL_SESSION].offset, &count, &c->io);
    return c->sessions ? count : -1;
}

struct TableStep {
    int table;  // TBL_ index: the region read from, and what -vs# names
    const char* name;  // in the list of failed tables
    int32_t (*load)(int image, Catalog* catalog);
    int32_t failure;  // the event of a failed load, with its code
    // The count of a successful load replaces the region's record count
    // (not for the Job, whose load gives no count).
    bool counts;
    // The step runs only when this says so (null: always).
    bool (*wanted)(const Catalog* catalog);
};

// The reads in their fixed order: the Job before the Comp table, which is
// read only for compressed data.
static const TableStep TABLE_STEPS[] = {
    {TBL_DISKS, "Disks", load_disks, EV_DISKS_FAILED, true, NULL},
    {TBL_DIRS, "Dirs", load_dirs, EV_DIRS_FAILED, true, NULL},
    {TBL_FILES, "Files", load_files, EV_FILES_FAILED, true, NULL},
    {TBL_JOB, "Job", load_job, EV_JOB_FAILED, false, NULL},
    {TBL_COMP, "Comp", load_comp, EV_COMP_FAILED, true, data_compressed},
    {TBL_PATHS, "Paths", load_paths, EV_PATHS_FAILED, true, NULL},
    {TBL_SESSION, "Sessions", load_sessions, EV_SESSIONS_FAILED, true, NULL},
};

// Adds a table's name to the list of those that failed.
static void note_failure(char* failed, size_t size, const char* name) {
    if (!failed || size == 0) return;
    size_t used = strnlen(failed, size - 1);
    snprintf(failed + used, size - used, "%s%s", used ? ", " : "", name);
}

int read_catalog(int image, Catalog* catalog, int show_table, TableDisplay show, char* failed,
                 size_t size) {
    if (failed && size > 0) failed[0] = '\0';
    int errors = 0;
    for (const TableStep& step : TABLE_STEPS) {
        if (step.wanted && !step.wanted(catalog)) continue;
        int32_t status = step.load(image, catalog);
        if (status < 0) {
            say(catalog->io.rep, step.failure, {ev_num(status)});
            note_failure(failed, size, step.name);
            errors++;
        } else if (step.counts) {
            catalog->regions[step.table].count = status;
        }
        if (step.table == show_table && show) show(catalog, step.table);
    }
    return errors;
}
