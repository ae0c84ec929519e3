// The list-and-extract driver: decides where in the data stream reading
// starts (asking the user on the last disk of a multi-disk set), then walks
// the Files list in catalog order, filters by path, lists each file and, when
// extracting, restores it or steps over its data.
//
// xtract_files runs three steps: the start file (-s#), where the stream is
// read from (the first disk, or the last disk and the Y/N/L/A dialogue), and
// the walk. The image handle and the data space left on it travel together
// by address through the extraction operations, which change disks as the
// data runs out.
#include "restore/restore.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "restore/events.h"
#include "restore/outtree.h"

// The file's output path into path (PATH_BUF_SIZE bytes): its directory
// part followed by its name, or the bare name when the directory part
// cannot be built. A file without a name yields its directory part (or the
// empty text).
static void build_path(const Catalog* catalog, const FileRecord* file, char* path) {
    const char* name = file->name ? file->name : "";
    size_t name_len = strlen(name);
    int32_t length;
    char* dir_part = mk_path_str(catalog, file->dir, path, &length);
    size_t pos = dir_part ? (size_t)length : 0;
    // A directory part (at most 254) and a name (its field is 240 wide)
    // always fit with the NUL. The checks only keep the copy inside the
    // buffer should that ever change: the bare name then, never a cut path.
    if (pos + name_len + 1 > PATH_BUF_SIZE) pos = 0;
    if (name_len + 1 > PATH_BUF_SIZE) name_len = PATH_BUF_SIZE - 1;
    memcpy(path + pos, name, name_len);
    path[pos + name_len] = '\0';
}

static void list_file(const Catalog* catalog, const FileRecord* file, const char* path) {
    say(catalog->io.rep, EV_FILE_LISTED,
        {ev_num(file->serial), ev_text(path), ev_text(file->date), ev_num(file->size_lo)});

    const CompRecord* first = file->comp;
    if (has_option(catalog, OPT_VERBOSE) && first != NULL && first->CHK_SUM != 0) {
        for (const CompRecord* g = run_first(first, RUN_CLOSES_ON_NONZERO); g;
             g = run_next(g, RUN_CLOSES_ON_NONZERO))
            say(catalog->io.rep, EV_FILE_GROUP,
                {ev_num(g->COMPSIZE), ev_num((uint32_t)g->CHK_SUM), ev_num(g->OFFS_LO)});
    }
}

// -s#: the file at list position start_file (from 1) into *file; the list
// head without -s#. RESTORE_START_UNREACHED when the list is too short for
// the position.
static RestoreResult find_start_file(const Catalog* catalog, FileRecord** file) {
    *file = catalog->files;
    if (!has_option(catalog, OPT_START_FILE)) return RESTORE_OK;
    uint32_t position = 1;
    while (*file != NULL && position < catalog->start_file) {
        *file = (*file)->next;
        position++;
    }
    if (position != catalog->start_file) {
        say(catalog->io.rep, EV_START_FILE_UNREACHED, {ev_num((int32_t)catalog->start_file)});
        return RESTORE_START_UNREACHED;
    }
    return RESTORE_OK;
}

// Reading from the start of the stream on the image given (a one-disk set,
// or -s#): its data from 0x200 on, as disk 1.
static RestoreResult start_on_first_disk(int img, Catalog* catalog, int32_t* avail) {
    if (plat_seek(img, DATA_START, PLAT_SEEK_SET) != DATA_START) {
        say(catalog->io.rep, EV_DATA_START_SEEK_FAILED);
        return RESTORE_DATA_START_SEEK_FAILED;
    }
    catalog->cur_disk = 0;
    *avail = (int32_t)(fh_cat_offs(catalog->header) - (uint32_t)DATA_START);
    return RESTORE_OK;
}

// -s# on a one-disk set: every file's data lies from 0x200 on in list
// order, so the start file's data begins behind the data of the files
// before it. Those are stepped over, or the start file would be restored
// from the first file's bytes. The result of the first failed step, or
// RESTORE_OK.
static RestoreResult skip_to_start_file(int* img, Catalog* catalog, const FileRecord* file,
                                        int32_t* avail) {
    RestoreResult stop = RESTORE_OK;
    for (const FileRecord* f = catalog->files; f != file && stop == RESTORE_OK; f = f->next)
        stop = skip_file(img, catalog, f, avail);
    return stop;
}

// Extracting from the last disk of a multi-disk set: finds the first whole
// file of this disk and lets the user choose: Y restores from it, N from
// disk 1 (the image given is closed and *closed set; *img becomes disk 1's),
// L lists from it instead, A stops. RESTORE_OK to go on with the walk from
// *file.
static RestoreResult start_on_last_disk(int* img, Catalog* catalog, FileRecord** file,
                                        int32_t* avail, int32_t num_disks, bool* closed) {
    catalog->cur_disk = (int32_t)((uint32_t)num_disks - 1u);
    say(catalog->io.rep, EV_LAST_DISK, {ev_num(num_disks), ev_num(table_count(catalog, TBL_FILES))});

    int32_t skip = 0;
    *file = find_first_whole_file(catalog, &skip);
    if (skip < 0) {
        say(catalog->io.rep, EV_SKIP_IMPOSSIBLE, {ev_num(skip)});
        return RESTORE_SKIP_IMPOSSIBLE;
    }

    const Dialogue* d = catalog->dialogue;
    switch (d ? d->start_choice(d->ctx) : START_ABORT) {
    case START_THIS_DISK: {  // the whole files of this disk
        int64_t start = (int64_t)DATA_START + skip;
        if (plat_seek(*img, start, PLAT_SEEK_SET) != start) {
            say(catalog->io.rep, EV_LAST_DISK_SEEK_FAILED, {ev_num((int32_t)(uint32_t)start)});
            return RESTORE_LAST_DISK_SEEK_FAILED;
        }
        *avail = (int32_t)(fh_cat_offs(catalog->header) - (uint32_t)start);
        return RESTORE_OK;
    }
    case START_FIRST_DISK:  // everything, from disk 1
        plat_close(*img);
        *closed = true;
        catalog->cur_disk = 0;
        if (get_disk(catalog, img, avail) != DISK_READY) return RESTORE_FIRST_DISK_MISSING;
        *file = catalog->files;
        return RESTORE_OK;
    case START_LIST:  // list this disk's files instead
        *catalog->options &= (uint16_t)~OPT_EXTRACT;
        *catalog->options |= OPT_LIST;
        return RESTORE_OK;
    default:  // A
        return RESTORE_ABORTED;
    }
}

// A listed file, when extracting: restored under its path (made usable as
// an output path first) with its time and write bit, or its data stepped
// over when its name is missing or unsafe or its path reaches a file this
// run has already restored. The result of the data step.
static RestoreResult restore_file(int* img, Catalog* catalog, const FileRecord* file, char* path,
                                  int32_t* avail) {
    if (file->name == NULL) {
        warn(catalog->io.rep, EV_NO_NAME_SKIPPED, {ev_num(file->serial)});
        return skip_file(img, catalog, file, avail);
    }
    if (!safe_component(file->name)) {
        warn(catalog->io.rep, EV_UNSAFE_NAME_SKIPPED, {ev_text(file->name)});
        return skip_file(img, catalog, file, avail);
    }
    fix_colons(path);
    OutFile out;
    switch (out_create(catalog->out_tree, path, &out)) {
    case OUT_CREATED:
        break;
    case OUT_DUPLICATE:
        warn(catalog->io.rep, EV_DUPLICATE_SKIPPED, {ev_text(path)});
        return skip_file(img, catalog, file, avail);
    default:
        say(catalog->io.rep, EV_OUTPUT_OPEN_FAILED, {ev_text(file->name)});
        return RESTORE_OUTPUT_OPEN_FAILED;
    }
    RestoreResult result = file->comp != NULL ? xtract_comp(img, catalog, file, out.fd, avail)
                                              : xtract_stored(img, catalog, file, out.fd, avail);
    if (result == RESTORE_OK) set_file_meta(catalog->out_tree, catalog->io.rep, file, path);
    return result;
}

// The walk from `file` to the end of the list, or to the first failed data
// step (stop is the result of what came before: a failure walks nothing).
// Gives back the stop result; RESTORE_CUT_SHORT when the disk count (a job
// that counts fewer disks than were read) ended it with files neither
// listed nor restored, which prints nothing more but is not what was asked.
static RestoreResult walk_files(int* img, Catalog* catalog, FileRecord* file, int32_t* avail,
                                int32_t num_disks, RestoreResult stop) {
    say(catalog->io.rep, EV_LISTING_BEGIN);
    const char* filter = catalog->path_filter;
    size_t filter_len = 0;
    if (filter != NULL) {
        say(catalog->io.rep, EV_PATH_FILTER, {ev_text(filter)});
        filter_len = strlen(filter);
    }

    int32_t skipped = 0;
    char path[PATH_BUF_SIZE];  // the file's, until the next file
    while (stop == RESTORE_OK && file != NULL && catalog->cur_disk < num_disks) {
        build_path(catalog, file, path);
        bool extract = has_option(catalog, OPT_EXTRACT);
        if (filter != NULL && strncmp(path, filter, filter_len) != 0) {
            skipped++;
            if (extract) stop = skip_file(img, catalog, file, avail);
        } else {
            list_file(catalog, file, path);
            if (extract) stop = restore_file(img, catalog, file, path, avail);
        }
        file = file->next;
    }
    if (stop == RESTORE_OK && file != NULL) stop = RESTORE_CUT_SHORT;

    if (filter != NULL && skipped > 0)
        say(catalog->io.rep, EV_FILTERED_OUT, {ev_num(skipped)});
    say(catalog->io.rep, EV_LISTING_END);
    return stop;
}

RestoreResult xtract_files(int* image, Catalog* catalog) {
    int img = *image;
    int32_t avail = 0;
    int32_t num_disks = catalog->job ? catalog->job->num_disks : 1;
    FileRecord* file = NULL;
    RestoreResult result = find_start_file(catalog, &file);
    if (result != RESTORE_OK) return result;

    // Set once the front end's handle has been closed: by choice N, or by
    // the first disk change while stepping to the start file or walking.
    // Handle numbers are reused, so a new handle may look like the old one.
    bool image_closed = false;
    RestoreResult stop = RESTORE_OK;
    bool extract = has_option(catalog, OPT_EXTRACT);
    if (extract && (has_option(catalog, OPT_START_FILE) || num_disks == 1)) {
        result = start_on_first_disk(img, catalog, &avail);
        if (result != RESTORE_OK) return result;
        if (has_option(catalog, OPT_START_FILE) && num_disks == 1) {
            stop = skip_to_start_file(&img, catalog, file, &avail);
            if (catalog->cur_disk != 0) image_closed = true;
        }
    } else if (extract) {
        result = start_on_last_disk(&img, catalog, &file, &avail, num_disks, &image_closed);
        if (result != RESTORE_OK) {
            if (image_closed) *image = -1;
            return result;
        }
    }

    int32_t walk_disk = catalog->cur_disk;
    stop = walk_files(&img, catalog, file, &avail, num_disks, stop);
    // Every disk change closes the image in use, the first one the front
    // end's. The image in use at the end is then one the walk opened: it
    // is closed here, as the front end closes its own.
    if (catalog->cur_disk != walk_disk) image_closed = true;
    if (image_closed) {
        if (img >= 0) plat_close(img);
        *image = -1;
    }
    return stop;
}
