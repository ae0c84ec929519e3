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

// Run state; reset at the start of every run so unbak_main can be called
// more than once in a process.
static Catalog catalog;
static FileHeader header;
static RegionInfo regions[REGION_COUNT];

// Status of a run that failed for a reason other than the table reads: no
// header, no catalog for -x or -l, regions not all found and accepted in
// catalog mode, a catalog file not written whole, or a listing or
// extraction that did not reach its end. Above every table failure count.
enum { RUN_FAILED = 8 };

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
    catalog_init(&catalog);
    regions_reset();
}

// Reads the seven tables in their fixed order; gives back the failures.
static int read_tables(int image, int show_table) {
    int errors = 0;
    int32_t status = 0;

    catalog.disks = read_disks(image, regions[TBL_DISKS].offset, &status);
    if (status < 0) {
        printf("\nError %d reading Disks", (int)status);
        free(catalog.disks);
        catalog.disks = NULL;
        errors++;
    } else {
        regions[TBL_DISKS].count = status;
    }
    if (show_table == TBL_DISKS && catalog.disks) disp_disks(catalog.disks, regions[TBL_DISKS].count);

    catalog.dirs = read_dirs(image, regions[TBL_DIRS].offset, &status);
    if (status < 0) {
        printf("\nError %d reading Dirs", (int)status);
        free(catalog.dirs);
        catalog.dirs = NULL;
        errors++;
    } else {
        regions[TBL_DIRS].count = status;
    }
    if (show_table == TBL_DIRS && catalog.dirs) disp_dirs(&catalog, catalog.dirs, regions[TBL_DIRS].count);

    catalog.files = read_files(image, regions[TBL_FILES].offset, &status);
    if (status < 0) {
        printf("\nError %d reading Files", (int)status);
        free_files(catalog.files);
        catalog.files = NULL;
        errors++;
    } else {
        regions[TBL_FILES].count = status;
    }
    if (show_table == TBL_FILES && catalog.files) disp_files(catalog.files, regions[TBL_FILES].count);

    catalog.job = get_job(image, regions[TBL_JOB].offset);
    if (!catalog.job) {
        printf("\nfailed to read job data");
        errors++;
    } else if (catalog.job->compressed != 0) {
        printf("\ndata is compressed");
        regions[TBL_COMP].count = 0;
    } else {
        printf("\ndata is not compressed");
    }

    if (catalog.job && catalog.job->compressed != 0) {
        catalog.comp = read_comp(image, regions[TBL_COMP].offset, &status);
        if (status < 0) {
            printf("\nError %d reading Comp, can't decompress data", (int)status);
            free_comp(catalog.comp);
            catalog.comp = NULL;
            errors++;
        } else {
            regions[TBL_COMP].count = status;
        }
        if (show_table == TBL_COMP && catalog.comp) disp_comp(catalog.comp);
    }

    catalog.paths = read_paths(image, regions[TBL_PATHS].offset, &status);
    if (status < 0) {
        printf("\nError %d reading Paths", (int)status);
        free_paths(catalog.paths);
        catalog.paths = NULL;
        errors++;
    } else {
        regions[TBL_PATHS].count = status;
    }
    if (show_table == TBL_PATHS && catalog.paths) disp_paths(catalog.paths);

    int32_t sess_count = 0;
    catalog.sessions = get_sess(image, regions[TBL_SESSION].offset, &sess_count);
    if (!catalog.sessions) {
        printf("\nfailed to read session data");
        errors++;
    } else {
        regions[TBL_SESSION].count = sess_count;
    }
    if (show_table == TBL_SESSION && catalog.sessions) disp_sess(&catalog);
    return errors;
}

int unbak_main(int argc, char** argv) {
    reset_run();
    int show_table = -1;
    bool catalog_mode = false;
    int errors = 0;
    bool failed = false;

    for (int i = 2; i < argc; i++) {
        const char* arg = argv[i];
        if (match_option(arg, 'X')) {
            opt_flags |= OPT_EXTRACT;
            catalog_mode = true;
        } else if (match_option(arg, 'F')) {
            opt_flags |= OPT_FIND_REGIONS;
        } else if (match_option(arg, 'L')) {
            opt_flags |= OPT_LIST;
            catalog_mode = true;
        } else if (match_option(arg, 'P')) {
            catalog.path_filter = arg + 2;
        } else if (match_option(arg, 'V')) {
            char third = (char)toupper((unsigned char)arg[2]);
            if (third == 'V') {
                opt_flags |= OPT_VERY_VERBOSE;
            } else if (third == 'S' && arg[3] >= '1' && arg[3] <= '7') {
                show_table = arg[3] - '1';
                catalog_mode = true;
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
    catalog.regions = regions;

    printf("\nunbak version %s compiled for %s", "1.02", "WIN32");
    printf("\n       using: zlib version %s with raw decompression\n", zlibVersion());
    if (argc > 1) show_source(argv[1]);

    if (argc < 2) {
        printf("\nabort: target path to archive is required as the first argument");
        show_usage();  // a request for help, not a failure
    } else {
        int image = get_fhead(argv[1], &header);
        if (image < 0) {
            printf("\nfailed to read a valid Tarnel Backup file header from target file\n");
            failed = true;
        } else if ((opt_flags & (OPT_EXTRACT | OPT_LIST)) && fh_cat_offs(&header) == 0) {
            printf("\nabort: to extract or list files, must start with the last disk in the series which contains the catalog\n");
            failed = true;
        } else if (fh_cat_offs(&header) != 0) {
            catalog.image_path = argv[1];
            catalog.header = &header;
            printf("\nattempt to step through catalog and locate structure definition regions");
            if (opt_flags & OPT_FIND_REGIONS) {
                int32_t n = walk_regions(image, fh_cat_offs(&header), (opt_flags & OPT_VERBOSE) != 0);
                printf("\nfound %d structure definition regions\n", (int)n);
            } else {
                int32_t located = locate_regions(image, fh_cat_offs(&header), regions,
                                                 catalog_mode ? catalog.schemas : NULL);
                if (catalog_mode && located == REGION_COUNT) {
                    errors = read_tables(image, show_table);
                    if (errors == 0) {
                        link_data(&catalog, regions[TBL_COMP].count);
                        if (opt_flags & (OPT_LIST | OPT_EXTRACT)) {
                            if (opt_flags & OPT_EXTRACT) mk_dirs(&catalog, true);
                            if (xtract_files(&image, &catalog) != 0) failed = true;
                        }
                    } else {
                        printf("\ncan not continue, error parsing catalog\n");
                    }
                } else if (catalog_mode) {
                    failed = true;  // locate_regions has said why
                }
                if (errors == 0 && (opt_flags & OPT_SAVE_CATALOG) && save_cat(image, &catalog) != 0)
                    failed = true;
                if (catalog_mode) disp_catalog(&catalog);
            }
        }
        if (image >= 0) plat_close(image);
    }
    printf("\n");
    fflush(stdout);
    if (errors > 0) return errors;
    return failed ? RUN_FAILED : 0;
}
