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
#include "container/scan.h"
#include "platform/platform.h"
#include "restore/display.h"
#include "restore/outtree.h"
#include "restore/restore.h"
#include "restore/unbak_words.h"

// Run state, owned here and handed down through the Catalog: the option
// word (read by every layer through catalog.options, changed by the
// driver's choice L), the Catalog itself, the image's header and the region
// table. The run's Reporter, unbak's words on stdout, goes down as
// catalog.rep. Reset at the start of every run so unbak_main can be called
// more than once in a process.
static uint16_t opt_flags;
static Catalog catalog;
static FileHeader header;
static RegionInfo regions[REGION_COUNT];
static OutTree out_tree;

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

// The bytes of an argument a scan may look at (its whole text).
static int32_t arg_room(const char* text) {
    size_t n = strlen(text);
    return n < (size_t)INT32_MAX ? (int32_t)n : INT32_MAX;
}

static bool match_option(const char* arg, char letter) {
    return arg[0] == '-' && toupper((unsigned char)arg[1]) == letter;
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
    catalog.rep = &UNBAK_REPORTER;
    out_tree_free(&out_tree);
    out_tree_init(&out_tree, PLAT_CWD, NULL);
    catalog.out_tree = &out_tree;
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
            if (scan_ulong(arg + 2, arg_room(arg + 2), &n)) {
                catalog.start_file = n;
                opt_flags |= OPT_START_FILE;
            } else {
                printf("\nbad argument %s\n", arg);
            }
        }
    }
    return req;
}

// ---- the run -------------------------------------------------------------------------

// Catalog mode reads, links, lists or extracts and displays the catalog;
// every mode but -f may save it. *image is -1 on return when a disk change
// closed it. True when a step failed; *errors counts the failed table reads.
static bool run_catalog(int* image, const Request& req, int* errors) {
    bool failed = false;
    uint32_t cat_offs = fh_cat_offs(&header);
    int32_t located = locate_regions(*image, cat_offs, regions,
                                     req.catalog_mode ? catalog.schemas : NULL, catalog.rep);
    if (req.catalog_mode && located == REGION_COUNT) {
        *errors = read_catalog(*image, &catalog, req.show_table, show_table_read, NULL, 0);
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
    int image = get_fhead(path, &header, catalog.rep);
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
            int32_t n = walk_regions(image, fh_cat_offs(&header), has_option(&catalog, OPT_VERBOSE),
                                     catalog.rep);
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
