// The list-and-extract driver: decides where in the data stream reading
// starts (asking the user on the last disk of a multi-disk set), then walks
// the Files list in catalog order, filters by path, lists each file and, when
// extracting, restores it or steps over its data.
//
// The image handle and the data space left on it travel together by address
// through the extraction operations, which change disks as the data runs out.
#include "restore/restore.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

// Width of the path column of a listing line.
static const size_t LIST_PATH_WIDTH = 40;

// Result of a walk that ended on the disk count (a job that counts fewer
// disks than were read) with files neither listed nor restored. It prints
// nothing more, but the run did not do what was asked. Distinct from every
// result of the extraction operations.
static const int32_t WALK_CUT_SHORT = -20;

// The file's output path in path_buf: its directory part followed by its
// name, or the bare name when the directory part cannot be built. A file
// without a name yields its directory part (or the empty text).
static char* build_path(const Catalog* catalog, const FileRecord* file) {
    const char* name = file->name ? file->name : "";
    size_t name_len = strlen(name);
    int32_t length;
    char* dir_part = mk_path_str(catalog, file->dir, &length);
    size_t pos = dir_part ? (size_t)length : 0;
    // A directory part (at most 254) and a name (its field is 240 wide)
    // always fit with the NUL. The checks only keep the copy inside the
    // buffer should that ever change: the bare name then, never a cut path.
    if (pos + name_len + 1 > PATH_BUF_SIZE) pos = 0;
    if (name_len + 1 > PATH_BUF_SIZE) name_len = PATH_BUF_SIZE - 1;
    memcpy(path_buf + pos, name, name_len);
    path_buf[pos + name_len] = '\0';
    return path_buf;
}

static void list_file(const Catalog* catalog, const FileRecord* file, const char* path) {
    printf("\n%3ld: %-40s  ", (long)file->serial, path);
    if (strlen(path) > LIST_PATH_WIDTH) printf("\n    ");
    printf("%s len %8ld", file->date, (long)file->size_lo);

    const CompRecord* group = file->comp;
    if ((*catalog->options & OPT_VERBOSE) && group != NULL && group->CHK_SUM != 0) {
        for (; group != NULL; group = group->next) {
            printf("\n     compsize %ld chksum 0x%lx offs_lo 0x%ld", (long)group->COMPSIZE,
                   (unsigned long)(uint32_t)group->CHK_SUM, (long)group->OFFS_LO);
            if (group->IS_LAST != 0) break;
        }
    }
}

int32_t xtract_files(int* image, Catalog* catalog) {
    uint16_t* options = catalog->options;
    int img = *image;
    // Set once the front end's handle has been closed, by choice N or by the
    // first disk change of the walk.
    bool image_closed = false;
    int32_t avail = 0;
    int32_t stop = 0;
    FileRecord* file = catalog->files;
    int32_t num_disks = catalog->job ? catalog->job->num_disks : 1;
    int32_t num_files = catalog->regions ? catalog->regions[TBL_FILES].count : 0;
    uint32_t cat_offs = fh_cat_offs(catalog->header);

    if (*options & OPT_START_FILE) {
        uint32_t position = 1;
        while (file != NULL && position < catalog->start_file) {
            file = file->next;
            position++;
        }
        if (position != catalog->start_file) {
            printf("\nfatal error, could not step ahead to file record # %ld",
                   (long)(int32_t)catalog->start_file);
            return -2;
        }
    }

    if ((*options & OPT_EXTRACT) && ((*options & OPT_START_FILE) || num_disks == 1)) {
        if (plat_seek(img, DATA_START, PLAT_SEEK_SET) != DATA_START) {
            printf("\nfatal error seeking to start of file data at 0x200\n");
            return -1;
        }
        catalog->cur_disk = 0;
        avail = (int32_t)(cat_offs - (uint32_t)DATA_START);
        // On a one-disk set every file's data lies from 0x200 on in list
        // order, so the start file's data begins behind the data of the
        // files before it: step over those, or the start file would be
        // restored from the first file's bytes.
        if ((*options & OPT_START_FILE) && num_disks == 1) {
            for (FileRecord* f = catalog->files; f != file && stop == 0; f = f->next)
                stop = skip_file(&img, catalog, f, &avail);
            if (catalog->cur_disk != 0) image_closed = true;
        }
    } else if (*options & OPT_EXTRACT) {
        catalog->cur_disk = (int32_t)((uint32_t)num_disks - 1u);
        printf("\nThis is disk %d of a multi disk Dravik backup", (int)num_disks);
        printf("\nfor a full restore of the total %ld files the other disks are required.",
               (long)num_files);

        int32_t skip = 0;
        int32_t file_num = 0;
        file = check_alloc(catalog, &skip, &file_num);
        if (skip < 0) {
            printf("\nabort check_alloc() returned %ld which shouldn't be possible", (long)skip);
            return -2;
        }

        printf("\nenter one of 4 chars {'Y','N','L','A'} followed by 'Enter' to control operations");
        printf("\n'Y' to just restore the complete files on this last catalog disk");
        printf("\n'N' to start with 1st disk and try to restore all files");
        printf("\n'L' to abort extraction, restoring no files, but changing mode to List for files on this Disk");
        printf("\n'A' to abort and do nothing more");
        switch (get_choice("YNLA")) {
        case 0: {  // Y: the whole files of this disk
            int64_t start = (int64_t)DATA_START + skip;
            if (plat_seek(img, start, PLAT_SEEK_SET) != start) {
                printf("\nfatal error seeking to start of 2nd file data at 0x%ld\n",
                       (long)(int32_t)(uint32_t)start);
                return -1;
            }
            avail = (int32_t)(cat_offs - (uint32_t)start);
            break;
        }
        case 1:  // N: everything, from disk 1
            plat_close(img);
            image_closed = true;
            catalog->cur_disk = 0;
            img = get_disk(catalog, &avail);
            if (img < 0) {
                *image = -1;
                return -3;
            }
            file = catalog->files;
            break;
        case 2:  // L: list this disk's files instead
            *options &= (uint16_t)~OPT_EXTRACT;
            *options |= OPT_LIST;
            break;
        default:  // A
            return -1;
        }
    }

    printf("\ncatalog Files listing:\n");
    const char* filter = catalog->path_filter;
    size_t filter_len = 0;
    if (filter != NULL) {
        printf("using path string: %s\n", filter);
        filter_len = strlen(filter);
    }

    int32_t walk_disk = catalog->cur_disk;
    int32_t skipped = 0;
    while (stop == 0 && file != NULL && catalog->cur_disk < num_disks) {
        char* path = build_path(catalog, file);

        if (filter != NULL && strncmp(path, filter, filter_len) != 0) {
            skipped++;
            if (*options & OPT_EXTRACT) stop = skip_file(&img, catalog, file, &avail);
        } else {
            list_file(catalog, file, path);
            if (*options & OPT_EXTRACT) {
                if (file->name == NULL) {
                    printf("\nfile record %ld has no name, data skipped", (long)file->serial);
                    stop = skip_file(&img, catalog, file, &avail);
                } else if (!safe_component(file->name)) {
                    printf("\nunsafe file name, data skipped: %s", file->name);
                    stop = skip_file(&img, catalog, file, &avail);
                } else {
                    fix_colons(path);
                    if (file->comp != NULL)
                        stop = xtract_comp(&img, catalog, file, path, &avail);
                    else
                        stop = xtract_stored(&img, catalog, file, path, &avail);
                    if (stop == 0) set_file_meta(file, path);
                }
            }
        }
        file = file->next;
    }
    if (stop == 0 && file != NULL) stop = WALK_CUT_SHORT;
    // Every disk change closes the image in use, the first one the front
    // end's.
    if (catalog->cur_disk != walk_disk) image_closed = true;

    if (filter != NULL && skipped > 0)
        printf("\nskipped %ld files due to path comparision from -p<path>", (long)skipped);
    printf("\n");
    if (image_closed) *image = -1;
    return stop;
}
