// bakcheck's front end: the command line, the images given (which set,
// which disk), the catalog read with unbak's readers, the placement of the
// images in the data stream, and the walk over every file.
//
// The catalog layers report what they find as events (the header, the
// region offsets, link_data's summary, the readers' failures). bakcheck
// reports in its own words, so it gives them no Reporter, and what went
// wrong is said afterwards. Standard output is still silenced while those
// layers run, as it was when they printed.
#include "check/bakcheck.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/console.h"
#include "platform/platform.h"
#include "restore/restore.h"

static const char* const REPORT_NAME = "SALVAGE-REPORT.txt";
// The most disks a set can have: disk numbers are 16-bit.
static const int32_t MAX_DISKS = 65535;

static void show_usage(void) {
    printf(
        "usage: bakcheck [--salvage DIR] [--json] IMAGE...\n"
        "  Checks every file of a backup set without writing anything. IMAGE... are\n"
        "  the disk images of the set that you have, in any order; the one that holds\n"
        "  the catalog (the last disk) must be among them.\n"
        "  --salvage DIR  restore into DIR every file that can be saved, lost ranges\n"
        "                 filled with zeros, and write DIR/%s\n"
        "  --json         write the report to standard output as JSON\n"
        "exit status: 0 every file intact, 1 some file damaged, missing or not\n"
        "restorable, 2 no readable set (no catalog, bad usage)\n",
        REPORT_NAME);
}

// A failure that ends the run before any file was checked: said in the
// report's form, status 2.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
static int
fail(const Run* run, const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (run->json) {
        Sink s = {true, -1, false};
        sink_printf(&s, "{\"error\": \"");
        for (const char* p = line; *p; p++) {
            if (*p == '"' || *p == '\\')
                sink_printf(&s, "\\%c", *p);
            else if ((unsigned char)*p < 0x20)
                sink_printf(&s, "\\u%04x", (unsigned char)*p);
            else
                sink_printf(&s, "%c", *p);
        }
        sink_printf(&s, "\"}\n");
    } else {
        printf("bakcheck: %s\n", line);
    }
    return BAKCHECK_UNREADABLE;
}

// ---- images -----------------------------------------------------------------------

// Opens every image and reads its header (get_fhead, unreported).
static void open_images(Run* run) {
    for (int32_t i = 0; i < run->ngiven; i++) {
        GivenImage* g = &run->given[i];
        FileHeader h;
        memset(&h, 0, sizeof h);
        g->image = get_fhead(g->path, &h, &run->catalog.io);
        if (g->image < 0) {
            g->left_out = "not a readable backup image";
            continue;
        }
        g->header_ok = true;
        g->set_id1 = fh_set_id1(&h);
        g->set_id2 = fh_set_id2(&h);
        g->job_num = fh_job_num(&h);
        g->disk_num = fh_disk_num(&h);
        g->cat_offs = fh_cat_offs(&h);
        if (run->catalog_given < 0 && g->cat_offs != 0) {
            run->catalog_given = i;
            run->header = h;  // the name stays with the run
        } else {
            free(h.name);
        }
    }
}

// Every directory's path as listed (mk_path_str, unreported), for the
// files' paths.
static bool build_dir_paths(Run* run) {
    run->ndirs = run->catalog.dirs ? run->regions[TBL_DIRS].count : 0;
    run->dir_paths = (char**)calloc((size_t)run->ndirs + 1, sizeof(char*));
    if (!run->dir_paths) return false;
    char buf[PATH_BUF_SIZE];
    for (int32_t i = 1; i <= run->ndirs; i++) {
        int32_t length = 0;
        const char* p = mk_path_str(&run->catalog, i, buf, &length);
        if (p) {
            run->dir_paths[i] = (char*)malloc((size_t)length + 1);
            if (!run->dir_paths[i]) return false;
            memcpy(run->dir_paths[i], p, (size_t)length + 1);
        }
    }
    return true;
}

// Gives each image of the catalog's set its disk; names the others.
static bool assign_disks(Run* run) {
    const GivenImage* cat = &run->given[run->catalog_given];
    int32_t n = run->catalog.job->num_disks;
    // A disk count the headers cannot express: the catalog image's own
    // number says how many disks there are.
    if (n < 1 || n > MAX_DISKS) n = cat->disk_num >= 1 ? cat->disk_num : 1;
    Placement* pl = &run->placement;
    pl->num_disks = n;
    pl->disks = (DiskSlot*)calloc((size_t)n + 1, sizeof(DiskSlot));
    pl->placed = (int32_t*)calloc((size_t)n + 1, sizeof(int32_t));
    if (!pl->disks || !pl->placed) return false;
    for (int32_t k = 0; k <= n; k++) {
        pl->disks[k].image = -1;
        pl->disks[k].position = -1;
    }

    // The catalog image is the last disk, whatever number its header gives.
    DiskSlot* last = &pl->disks[n];
    last->path = cat->path;
    last->image = cat->image;
    last->data_size = cat->cat_offs > DATA_START ? (int64_t)cat->cat_offs - DATA_START : 0;

    for (int32_t i = 0; i < run->ngiven; i++) {
        GivenImage* g = &run->given[i];
        if (i == run->catalog_given || !g->header_ok) continue;
        if (g->set_id1 != cat->set_id1 || g->set_id2 != cat->set_id2 ||
            g->job_num != cat->job_num) {
            g->left_out = "another set";
        } else if (g->cat_offs != 0 || g->disk_num == n) {
            g->left_out = "a second image of the last disk";
        } else if (g->disk_num < 1 || g->disk_num > n) {
            g->left_out = "a disk number outside the set";
        } else if (pl->disks[g->disk_num].path) {
            g->left_out = "a second image of the same disk";
        } else {
            DiskSlot* d = &pl->disks[g->disk_num];
            int64_t end = plat_seek(g->image, 0, PLAT_SEEK_END);
            if (end < 0) {
                g->left_out = "its size cannot be read";
                continue;
            }
            d->path = g->path;
            d->image = g->image;
            d->data_size = end > DATA_START ? end - DATA_START : 0;
        }
    }
    return true;
}

// ---- the run ------------------------------------------------------------------------

static int parse_args(Run* run, int argc, char** argv) {
    run->given = (GivenImage*)calloc((size_t)(argc > 1 ? argc : 1), sizeof(GivenImage));
    if (!run->given) return fail(run, "out of memory");
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (options && a[0] == '-' && a[1] != '\0') {
            if (strcmp(a, "--") == 0) {
                options = false;
            } else if (strcmp(a, "--json") == 0) {
                run->json = true;
            } else if (strcmp(a, "--salvage") == 0 && i + 1 < argc) {
                run->salvage_dir = argv[++i];
            } else if (strncmp(a, "--salvage=", 10) == 0) {
                run->salvage_dir = a + 10;
            } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
                show_usage();
                return -1;
            } else {
                printf("bakcheck: unknown option or missing value: %s\n", a);
                show_usage();
                return BAKCHECK_UNREADABLE;
            }
            continue;
        }
        GivenImage* g = &run->given[run->ngiven++];
        g->path = a;
        g->image = -1;
    }
    if (run->salvage_dir && run->salvage_dir[0] == '\0') {
        printf("bakcheck: --salvage needs a directory\n");
        return BAKCHECK_UNREADABLE;
    }
    if (run->ngiven == 0) {
        show_usage();
        return BAKCHECK_UNREADABLE;
    }
    return 0;
}

// Reads the catalog and everything it decides; gives back 0 or the status
// to end with. Standard output is silenced meanwhile.
static int load_set(Run* run) {
    int mute = plat_stdout_mute();
    open_images(run);
    int result = 0;
    char failed[128] = "";
    int32_t located = 0;
    int32_t linked = 0;
    bool paths_ok = true;
    const GivenImage* cat = NULL;
    if (run->catalog_given >= 0) {
        cat = &run->given[run->catalog_given];
        run->catalog.header = &run->header;
        run->catalog.image_path = cat->path;
        located = locate_regions(cat->image, cat->cat_offs, run->regions, true, &run->catalog.io);
        if (located == REGION_COUNT) {
            read_catalog(cat->image, &run->catalog, -1, nullptr, failed, sizeof failed);
            if (!failed[0] && run->catalog.files)
                linked = link_data(&run->catalog, run->regions[TBL_COMP].count);
            if (!failed[0]) paths_ok = build_dir_paths(run);
        }
    }
    plat_stdout_unmute(mute);

    if (!cat) {
        result = fail(run, "no image given holds the catalog (the set's last disk)");
    } else if (located != REGION_COUNT) {
        result = fail(run, "the catalog of %s cannot be read: its tables are not where they belong",
                      cat->path);
    } else if (failed[0]) {
        result = fail(run, "the catalog of %s cannot be read: table%s %s", cat->path,
                      strchr(failed, ',') ? "s" : "", failed);
    } else if (linked < 0) {
        result = fail(run, "the catalog of %s links no file to its data (its Paths table is empty)",
                      cat->path);
    } else if (!paths_ok || !assign_disks(run)) {
        result = fail(run, "out of memory");
    }
    return result;
}

static int open_salvage_dir(Run* run) {
    const char* dir = run->salvage_dir;
    // The directory is the user's: links on the way to it are followed.
    // Below it the output tree follows none.
    run->out_root = plat_open_root(dir);
    if (run->out_root < 0 && plat_make_root(dir) == 0) run->out_root = plat_open_root(dir);
    if (run->out_root < 0) return fail(run, "cannot make or open the directory %s", dir);
    out_tree_init(&run->tree, run->out_root, NULL);
    run->out_path_size = PATH_BUF_SIZE + 32;
    run->out_path = (char*)malloc(run->out_path_size);
    run->made_dir = (char*)calloc(run->out_path_size, 1);
    if (!run->out_path || !run->made_dir) return fail(run, "out of memory");
    OutFile report;
    if (out_create(&run->tree, REPORT_NAME, &report) != OUT_CREATED)
        return fail(run, "cannot create %s\\%s", dir, REPORT_NAME);
    int fd = report.fd;
    run->text_file.open = true;
    run->text_file.fd = fd;
    make_dirs_for_all(run);
    return 0;
}

static void walk_files(Run* run) {
    FileResult res;
    memset(&res, 0, sizeof res);
    int64_t pos = 0;
    for (const FileRecord* f = run->catalog.files; f; f = f->next) {
        verify_file(run, f, pos, &res);
        report_file(run, &res);
        pos += stream_step(f);
        run->progress_files++;
    }
    free(res.lost);
}

static void release(Run* run) {
    verify_release();
    staging_release(&run->staging);
    for (int32_t i = 0; i < run->ngiven; i++)
        if (run->given[i].image >= 0) plat_close(run->given[i].image);
    if (run->text_file.open) plat_close(run->text_file.fd);
    if (run->dir_paths)
        for (int32_t i = 0; i <= run->ndirs; i++) free(run->dir_paths[i]);
    free(run->dir_paths);
    free(run->placement.disks);
    free(run->placement.placed);
    free(run->out_path);
    free(run->made_dir);
    out_tree_free(&run->tree);
    if (run->out_root >= 0) plat_close_root(run->out_root);
    catalog_free(&run->catalog);
    free(run->header.name);
    free(run->given);
    fflush(stdout);
}

int bakcheck_main(int argc, char** argv) {
    Run run;
    memset(&run, 0, sizeof run);
    run.out_root = -1;
    catalog_init(&run.catalog, &run.options);
    run.catalog.regions = run.regions;
    run.catalog_given = -1;
    run.text_out = {true, -1, false};
    run.json_out = {false, -1, false};

    int result = parse_args(&run, argc, argv);
    if (result == 0) result = load_set(&run);
    if (result == 0 && run.salvage_dir) result = open_salvage_dir(&run);
    if (result == 0) {
        if (run.json) {
            run.json_out.open = true;
            run.text_out.open = false;
        }
        run.progress = plat_stderr_is_terminal();
        for (const FileRecord* f = run.catalog.files; f; f = f->next) {
            run.totals.files++;
            run.totals.bytes += f->size_lo > 0 ? f->size_lo : 0;
            run.placement.stream_length += stream_step(f);
        }
        place_disks(&run.placement);
        report_begin(&run);
        walk_files(&run);
        report_end(&run);
        result = run.totals.intact == run.totals.files ? BAKCHECK_ALL_INTACT : BAKCHECK_NOT_INTACT;
        // A salvage whose report is not all there has not done its job.
        if (run.text_file.failed) {
            result = BAKCHECK_UNREADABLE;
            if (!run.json) printf("bakcheck: cannot write %s\\%s\n", run.salvage_dir, REPORT_NAME);
        }
    }
    if (result < 0) result = BAKCHECK_ALL_INTACT;  // --help
    release(&run);
    return result;
}
