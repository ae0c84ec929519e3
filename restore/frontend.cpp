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
#include "restore/unbak_dialogue.h"
#include "restore/unbak_words.h"

// A run's state, made by unbak_main and released at its end: the option
// word (read by every layer through catalog.options, changed by the
// driver's choice L), the Catalog (and in it the work buffer every header,
// descriptor and record is read through), the image's header and the
// region table, the output tree, the extraction's buffers (on the heap,
// made with the run), and the Reporter (unbak's words on stdout, with the
// tally behind exit status 9) and Dialogue that go down with the Catalog.
struct UnbakRun {
    uint16_t options;
    Catalog catalog;
    FileHeader header;
    RegionInfo regions[REGION_COUNT];
    OutTree tree;
    ExtractBuffers buffers;
    UnbakTally tally;
    Reporter rep;
};

// Status of a run that failed for a reason other than the table reads: no
// memory for its copy buffer, no header, no catalog for -x or -l, regions
// not all found and accepted in catalog mode, a catalog file not written
// whole, or a listing or extraction that did not reach its end. Above every
// table failure count.
enum { RUN_FAILED = 8 };
// Status of a listing or restore that went to its end with something not
// restored as recorded (see UnbakTally).
enum { RUN_NOT_AS_RECORDED = 9 };

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

// Sets the run up; false when its buffers cannot be had.
static bool start_run(UnbakRun* run, bool fast_inflate) {
    plat_close_all();
    memset(run, 0, sizeof *run);
    catalog_init(&run->catalog, &run->options);
    run->rep.event = unbak_print_event;
    run->rep.ctx = &run->tally;
    run->catalog.io.rep = &run->rep;
    run->catalog.dialogue = &UNBAK_DIALOGUE;
    out_tree_init(&run->tree, PLAT_CWD, NULL);
    run->catalog.out_tree = &run->tree;
    run->catalog.regions = run->regions;
    run->catalog.buffers = &run->buffers;
    bool made = make_extract_buffers(&run->buffers);
    run->buffers.staging.exact_only = !fast_inflate;
    return made;
}

// Releases everything the run opened or allocated.
static void end_run(UnbakRun* run) {
    plat_close_all();
    catalog_free(&run->catalog);
    free(run->header.name);
    out_tree_free(&run->tree);
    release_extract_buffers(&run->buffers);
}

// Parses the options (from the second argument on) into the option word
// and the Catalog. "\nbad argument %s\n" comes out here, before the banner.
static Request parse_args(UnbakRun* run, int argc, char** argv) {
    Request req = {-1, false};
    for (int i = 2; i < argc; i++) {
        const char* arg = argv[i];
        if (match_option(arg, 'X')) {
            run->options |= OPT_EXTRACT;
            req.catalog_mode = true;
        } else if (match_option(arg, 'F')) {
            run->options |= OPT_FIND_REGIONS;
        } else if (match_option(arg, 'L')) {
            run->options |= OPT_LIST;
            req.catalog_mode = true;
        } else if (match_option(arg, 'P')) {
            run->catalog.path_filter = arg + 2;
        } else if (match_option(arg, 'V')) {
            char third = (char)toupper((unsigned char)arg[2]);
            if (third == 'V') {
                run->options |= OPT_VERY_VERBOSE;
            } else if (third == 'S' && arg[3] >= '1' && arg[3] <= '7') {
                req.show_table = arg[3] - '1';
                req.catalog_mode = true;
            } else {
                run->options |= OPT_VERBOSE;
            }
        } else if (match_option(arg, 'C')) {
            run->options |= OPT_SAVE_CATALOG;
        } else if (match_option(arg, 'S')) {
            uint32_t n;
            if (scan_ulong(arg + 2, arg_room(arg + 2), &n)) {
                run->catalog.start_file = n;
                run->options |= OPT_START_FILE;
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
static bool run_catalog(UnbakRun* run, int* image, const Request& req, int* errors) {
    Catalog* catalog = &run->catalog;
    bool failed = false;
    uint32_t cat_offs = fh_cat_offs(&run->header);
    run->tally.locating = true;
    int32_t located = locate_regions(*image, cat_offs, run->regions, req.catalog_mode, &catalog->io);
    run->tally.locating = false;
    if (req.catalog_mode && located == REGION_COUNT) {
        *errors = read_catalog(*image, catalog, req.show_table, show_table_read, NULL, 0);
        if (*errors == 0) {
            link_data(catalog, run->regions[TBL_COMP].count);
            if (has_option(catalog, OPT_LIST | OPT_EXTRACT)) {
                if (has_option(catalog, OPT_EXTRACT)) mk_dirs(catalog, true);
                if (xtract_files(image, catalog) != RESTORE_OK) failed = true;
            }
        } else {
            printf("\ncan not continue, error parsing catalog\n");
        }
    } else if (req.catalog_mode) {
        failed = true;  // locate_regions has said why
    }
    if (*errors == 0 && has_option(catalog, OPT_SAVE_CATALOG) &&
        save_cat(*image, catalog) != SAVE_DONE)
        failed = true;
    if (req.catalog_mode) disp_catalog(catalog);
    return failed;
}

// Everything after the banner for the image at path. True when a step
// failed; *errors counts the failed table reads.
static bool run_image(UnbakRun* run, const char* path, const Request& req, int* errors) {
    Catalog* catalog = &run->catalog;
    FileHeader* header = &run->header;
    bool failed = false;
    int image = get_fhead(path, header, &catalog->io);
    if (image < 0) {
        printf("\nfailed to read a valid Tarnel Backup file header from target file\n");
        failed = true;
    } else if (has_option(catalog, OPT_EXTRACT | OPT_LIST) && fh_cat_offs(header) == 0) {
        printf("\nabort: to extract or list files, must start with the last disk in the series which contains the catalog\n");
        failed = true;
    } else if (fh_cat_offs(header) != 0) {
        catalog->image_path = path;
        catalog->header = header;
        printf("\nattempt to step through catalog and locate structure definition regions");
        if (has_option(catalog, OPT_FIND_REGIONS)) {
            int32_t n = walk_regions(image, fh_cat_offs(header), has_option(catalog, OPT_VERBOSE),
                                     &catalog->io);
            printf("\nfound %d structure definition regions\n", (int)n);
        } else {
            failed = run_catalog(run, &image, req, errors);
        }
    }
    if (image >= 0) plat_close(image);
    return failed;
}

// The run, with whole groups inflated the fast way or not.
static int run_unbak(int argc, char** argv, bool fast_inflate) {
    UnbakRun state;
    UnbakRun* run = &state;
    bool ready = start_run(run, fast_inflate);
    Request req = parse_args(run, argc, argv);
    bool lists_files = has_option(&run->catalog, OPT_LIST | OPT_EXTRACT);

    // "WIN32" on every build: the banner has always read so.
    printf("\nunbak version %s compiled for %s", "1.02", "WIN32");
    printf("\n       using: zlib version %s with raw decompression\n", zlibVersion());
    int errors = 0;
    bool failed = false;
    if (!ready) {
        printf("\nfailed to allocate %d bytes for the copy buffer\n", (int)COPY_BUF_SIZE);
        failed = true;
    } else if (argc < 2) {
        printf("\nabort: target path to archive is required as the first argument");
        show_usage();  // a request for help, not a failure
    } else {
        show_source(argv[1]);
        failed = run_image(run, argv[1], req, &errors);
    }
    printf("\n");
    fflush(stdout);
    bool not_as_recorded = lists_files && run->tally.not_as_recorded;
    end_run(run);
    if (errors > 0) return errors;
    if (failed) return RUN_FAILED;
    return not_as_recorded ? RUN_NOT_AS_RECORDED : 0;
}

int unbak_main(int argc, char** argv) {
    return run_unbak(argc, argv, true);
}

int unbak_main_exact(int argc, char** argv) {
    return run_unbak(argc, argv, false);
}
