// unbak's front end: the command line, the banner, and the fixed order of a
// run (header, region location, table reads, linking, listing or
// extraction, catalog save, catalog display).
//
// Exit status: the number of catalog tables that failed to read (1 to 7);
// else RUN_FAILED when any other step failed; else 0. No message depends on
// the status.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "catalog/catalog.h"
#include "platform/platform.h"
#include "restore/restore.h"

// Run state, owned here and handed down through the Catalog: the option
// word (read by every layer through catalog.options, changed by the
// driver's choice L), the Catalog itself, the image's header and the region
// table. Reset at the start of every run so unbak_main can be called more
// than once in a process.
static uint16_t opt_flags;
static Catalog catalog;
static FileHeader header;
static RegionInfo regions[REGION_COUNT];

// Status of a run that failed for a reason other than the table reads: no
// header, no catalog for -x or -l, regions not all found and accepted in
// catalog mode, a catalog file not written whole, or a listing or
// extraction that did not reach its end. Above every table failure count.
enum { RUN_FAILED = 8 };

// What the command line asks for beyond the option word.
struct Request {
    int show_table;     // -vs#: the table (a TBL_ index) shown after its read; -1 for none
    bool catalog_mode;  // -x, -l or a valid -vs#: validate, read and display the catalog
};

static bool match_option(const char* arg, char letter) {
    return arg[0] == '-' && toupper((unsigned char)arg[1]) == letter;
}

// "%lu" semantics without sscanf's undefined overflow: optional blanks and
// sign, at least one digit, value modulo 2^32.
static bool scan_ulong(const char* s, uint32_t* out) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\v' || *s == '\f' || *s == '\r') s++;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = *s++ == '-';
    if (*s < '0' || *s > '9') return false;
    uint32_t v = 0;
    while (*s >= '0' && *s <= '9') v = v * 10u + (uint32_t)(*s++ - '0');
    *out = neg ? 0u - v : v;
    return true;
}

static void show_source(const char* path) {
    printf("\nsource file: ");
    if (strlen(path) > 65) printf("\n");
    printf("%s\n", path);
}

static void show_usage(void) {
    printf("\nusage: unbak <bkup file> [-f] [-l] [-p] [-x] [-vv] or [-vs#]");
    printf("\n  with just <bkup file> displays the file header info and exits");
    printf("\n-c extract the catalog file to <bkup file>.cat");
    printf("\n-f is primarily a debug and validation tool,\n   just display where structure definitions are");
    printf("\n   use -f with -v to display structure headers");
    printf("\n-l list files that -x would extract");
    printf("\n-p set path string to limit List and Xtract operations");
    printf("\n-x extract files, without this option just displays catalog");
    printf("\n-s# set starting file # of update extraction");
    printf("\n-v verbose mode and -vv is very verbose mode for additional information");
    printf("\n-vs# verbose mode to just list structure data for # where 1 <= # <= 7\n");
}

static void reset_run(void) {
    plat_close_all();
    catalog_free(&catalog);
    free(header.name);
    memset(&header, 0, sizeof header);
    memset(regions, 0, sizeof regions);
    opt_flags = 0;
    catalog_init(&catalog, &opt_flags);
    regions_reset();
}

// Parses the options (from the second argument on) into the option word
// and the Catalog. "\nbad argument %s\n" comes out here, before the banner.
static Request parse_args(int argc, char** argv) {
    Request req = {-1, false};
    for (int i = 2; i < argc; i++) {
        const char* arg = argv[i];
        if (match_option(arg, 'X')) {
            opt_flags |= OPT_EXTRACT;
            req.catalog_mode = true;
        } else if (match_option(arg, 'F')) {
            opt_flags |= OPT_FIND_REGIONS;
        } else if (match_option(arg, 'L')) {
            opt_flags |= OPT_LIST;
            req.catalog_mode = true;
        } else if (match_option(arg, 'P')) {
            catalog.path_filter = arg + 2;
        } else if (match_option(arg, 'V')) {
            char third = (char)toupper((unsigned char)arg[2]);
            if (third == 'V') {
                opt_flags |= OPT_VERY_VERBOSE;
            } else if (third == 'S' && arg[3] >= '1' && arg[3] <= '7') {
                req.show_table = arg[3] - '1';
                req.catalog_mode = true;
            } else {
                opt_flags |= OPT_VERBOSE;
            }
        } else if (match_option(arg, 'C')) {
            opt_flags |= OPT_SAVE_CATALOG;
        } else if (match_option(arg, 'S')) {
            uint32_t n;
            if (scan_ulong(arg + 2, &n)) {
                catalog.start_file = n;
                opt_flags |= OPT_START_FILE;
            } else {
                printf("\nbad argument %s\n", arg);
            }
        }
    }
    return req;
}

// ---- the catalog tables ------------------------------------------------------------

// Each load reads one table from its region into the Catalog and gives back
// the reader's count, or a negative code with the table left absent.

static int32_t load_disks(int image, Catalog* c) {
    int32_t status = 0;
    c->disks = read_disks(image, c->regions[TBL_DISKS].offset, &status);
    if (status < 0) {
        free(c->disks);
        c->disks = NULL;
    }
    return status;
}

static int32_t load_dirs(int image, Catalog* c) {
    int32_t status = 0;
    c->dirs = read_dirs(image, c->regions[TBL_DIRS].offset, &status);
    if (status < 0) {
        free(c->dirs);
        c->dirs = NULL;
    }
    return status;
}

static int32_t load_files(int image, Catalog* c) {
    int32_t status = 0;
    c->files = read_files(image, c->regions[TBL_FILES].offset, &status);
    if (status < 0) {
        free_files(c->files);
        c->files = NULL;
    }
    return status;
}

// Also says whether the data is compressed. A compressed job's Comp count
// is set to 0 until the Comp read gives it.
static int32_t load_job(int image, Catalog* c) {
    c->job = get_job(image, c->regions[TBL_JOB].offset);
    if (!c->job) return -1;
    if (c->job->compressed != 0) {
        printf("\ndata is compressed");
        c->regions[TBL_COMP].count = 0;
    } else {
        printf("\ndata is not compressed");
    }
    return 0;
}

static bool data_compressed(const Catalog* c) {
    return c->job && c->job->compressed != 0;
}

static int32_t load_comp(int image, Catalog* c) {
    int32_t status = 0;
    c->comp = read_comp(image, c->regions[TBL_COMP].offset, &status);
    if (status < 0) {
        free_comp(c->comp);
        c->comp = NULL;
    }
    return status;
}

static int32_t load_paths(int image, Catalog* c) {
    int32_t status = 0;
    c->paths = read_paths(image, c->regions[TBL_PATHS].offset, &status);
    if (status < 0) {
        free_paths(c->paths);
        c->paths = NULL;
    }
    return status;
}

static int32_t load_sessions(int image, Catalog* c) {
    int32_t count = 0;
    c->sessions = get_sess(image, c->regions[TBL_SESSION].offset, &count);
    return c->sessions ? count : -1;
}

// The -vs# displays, each only of a table that is present.
static void show_disks(const Catalog* c) {
    if (c->disks) disp_disks(c->disks, table_count(c, TBL_DISKS));
}
static void show_dirs(const Catalog* c) {
    if (c->dirs) disp_dirs(c, c->dirs, table_count(c, TBL_DIRS));
}
static void show_files(const Catalog* c) {
    if (c->files) disp_files(c->files, table_count(c, TBL_FILES));
}
static void show_comp(const Catalog* c) {
    if (c->comp) disp_comp(c->comp);
}
static void show_paths(const Catalog* c) {
    if (c->paths) disp_paths(c->paths);
}
static void show_sessions(const Catalog* c) {
    if (c->sessions) disp_sess(c);
}

struct TableStep {
    int table;  // TBL_ index: the region read from, and what -vs# names
    int32_t (*load)(int image, Catalog* catalog);
    // The message of a failed load; a "%d" in it gets the code.
    const char* failure;
    // The count of a successful load replaces the region's record count
    // (not for the Job, whose load gives no count).
    bool counts;
    // The step runs only when this says so (null: always).
    bool (*wanted)(const Catalog* catalog);
    void (*show)(const Catalog* catalog);  // null: no -vs# display
};

// The reads in their fixed order: the Job before the Comp table, which is
// read only for compressed data.
static const TableStep TABLE_STEPS[] = {
    {TBL_DISKS, load_disks, "\nError %d reading Disks", true, NULL, show_disks},
    {TBL_DIRS, load_dirs, "\nError %d reading Dirs", true, NULL, show_dirs},
    {TBL_FILES, load_files, "\nError %d reading Files", true, NULL, show_files},
    {TBL_JOB, load_job, "\nfailed to read job data", false, NULL, NULL},
    {TBL_COMP, load_comp, "\nError %d reading Comp, can't decompress data", true, data_compressed,
     show_comp},
    {TBL_PATHS, load_paths, "\nError %d reading Paths", true, NULL, show_paths},
    {TBL_SESSION, load_sessions, "\nfailed to read session data", true, NULL, show_sessions},
};

// Reads the seven tables, showing the -vs# table right after its read;
// every table is tried whatever failed before. Gives back the failures.
static int read_tables(int image, int show_table) {
    int errors = 0;
    for (const TableStep& step : TABLE_STEPS) {
        if (step.wanted && !step.wanted(&catalog)) continue;
        int32_t status = step.load(image, &catalog);
        if (status < 0) {
            // A message without "%d" leaves the code unused.
            printf(step.failure, (int)status);
            errors++;
        } else if (step.counts) {
            regions[step.table].count = status;
        }
        if (step.table == show_table && step.show) step.show(&catalog);
    }
    return errors;
}

// ---- the run -------------------------------------------------------------------------

// Catalog mode reads, links, lists or extracts and displays the catalog;
// every mode but -f may save it. *image is -1 on return when a disk change
// closed it. True when a step failed; *errors counts the failed table reads.
static bool run_catalog(int* image, const Request& req, int* errors) {
    bool failed = false;
    uint32_t cat_offs = fh_cat_offs(&header);
    int32_t located =
        locate_regions(*image, cat_offs, regions, req.catalog_mode ? catalog.schemas : NULL);
    if (req.catalog_mode && located == REGION_COUNT) {
        *errors = read_tables(*image, req.show_table);
        if (*errors == 0) {
            link_data(&catalog, regions[TBL_COMP].count);
            if (has_option(&catalog, OPT_LIST | OPT_EXTRACT)) {
                if (has_option(&catalog, OPT_EXTRACT)) mk_dirs(&catalog, true);
                if (xtract_files(image, &catalog) != 0) failed = true;
            }
        } else {
            printf("\ncan not continue, error parsing catalog\n");
        }
    } else if (req.catalog_mode) {
        failed = true;  // locate_regions has said why
    }
    if (*errors == 0 && has_option(&catalog, OPT_SAVE_CATALOG) && save_cat(*image, &catalog) != 0)
        failed = true;
    if (req.catalog_mode) disp_catalog(&catalog);
    return failed;
}

// Everything after the banner for the image at path. True when a step
// failed; *errors counts the failed table reads.
static bool run_image(const char* path, const Request& req, int* errors) {
    bool failed = false;
    int image = get_fhead(path, &header);
    if (image < 0) {
        printf("\nfailed to read a valid Tarnel Backup file header from target file\n");
        failed = true;
    } else if (has_option(&catalog, OPT_EXTRACT | OPT_LIST) && fh_cat_offs(&header) == 0) {
        printf("\nabort: to extract or list files, must start with the last disk in the series which contains the catalog\n");
        failed = true;
    } else if (fh_cat_offs(&header) != 0) {
        catalog.image_path = path;
        catalog.header = &header;
        printf("\nattempt to step through catalog and locate structure definition regions");
        if (has_option(&catalog, OPT_FIND_REGIONS)) {
            int32_t n = walk_regions(image, fh_cat_offs(&header), has_option(&catalog, OPT_VERBOSE));
            printf("\nfound %d structure definition regions\n", (int)n);
        } else {
            failed = run_catalog(&image, req, errors);
        }
    }
    if (image >= 0) plat_close(image);
    return failed;
}

int unbak_main(int argc, char** argv) {
    reset_run();
    Request req = parse_args(argc, argv);
    catalog.regions = regions;

    printf("\nunbak version %s compiled for %s", "1.02", "WIN32");
    printf("\n       using: zlib version %s with raw decompression\n", zlibVersion());
    int errors = 0;
    bool failed = false;
    if (argc < 2) {
        printf("\nabort: target path to archive is required as the first argument");
        show_usage();  // a request for help, not a failure
    } else {
        show_source(argv[1]);
        failed = run_image(argv[1], req, &errors);
    }
    printf("\n");
    fflush(stdout);
    if (errors > 0) return errors;
    return failed ? RUN_FAILED : 0;
}
