// Multi-disk sets: where the first whole file begins on the last disk, the
// prompt for another disk's image with its check against the catalog
// image's header, and the console answers.
//
// Standard input may be a script; its end counts as an empty image name at
// the disk prompt and as the answer A at the choice, so a closed input never
// makes us ask forever.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "container/fields.h"
#include "platform/platform.h"
#include "restore/restore.h"

enum {
    NAME_LINE_SIZE = 512,  // 511 characters and the NUL
    CHOICE_MAX = 10,
};

FileRecord* check_alloc(const Catalog* catalog, int32_t* skip, int32_t* file_num) {
    *skip = 0;
    *file_num = 0;
    int32_t space = to_i32(fh_cat_offs(catalog->header) - (uint32_t)DATA_START);

    uint32_t stored_total = 0, data_total = 0;
    for (const FileRecord* f = catalog->files; f; f = f->next) {
        stored_total += (uint32_t)f->size_lo;
        data_total += stream_bytes(f);
        *file_num = to_i32((uint32_t)*file_num + 1u);
    }
    printf("\n%ld files uncompressed data space %lu used data space %lu", (long)*file_num,
           (unsigned long)stored_total, (unsigned long)data_total);
    printf("\n%ld data bytes available for data storage on this disk", (long)space);

    bool compressed = catalog->comp != nullptr;
    int32_t excess = to_i32((compressed ? data_total : stored_total) - (uint32_t)space);
    if (excess <= 0) {
        *skip = excess;
        return nullptr;
    }

    FileRecord* file = catalog->files;
    uint32_t counter = 1;
    while (file && excess > 0) {
        if (compressed && file->comp) {
            // The whole run is subtracted even when the boundary falls inside
            // it: the stream is read in order, so the first whole file must
            // start behind the spanning file's last group.
            int32_t pos = 0;
            bool reported = false;
            for (const CompRecord* g = run_first(file->comp, RUN_CLOSES_ON_NONZERO); g;
                 g = run_next(g, RUN_CLOSES_ON_NONZERO)) {
                pos++;
                excess = to_i32((uint32_t)excess - (uint32_t)g->COMPSIZE);
                if (closes_run(g)) break;  // the closing group: no middle
                if (excess <= 0 && !reported) {
                    reported = true;
                    if (has_option(catalog, OPT_VERBOSE))
                        printf("\ntother = %ld on file %ld comp rec %d, in middle of group",
                               (long)excess, (long)to_i32(counter), (int)pos);
                }
            }
        } else {
            excess = to_i32((uint32_t)excess - (uint32_t)file->size_lo);
        }
        file = file->next;
        counter++;
    }
    if (excess < 0) {
        *skip = to_i32(0u - (uint32_t)excess);
        *file_num = to_i32(counter);
    }
    printf("\n1st full file on disk %ld  ", (long)to_i32(counter));
    if (file)
        printf(" => %s", file->name ? file->name : "");
    else
        printf("\nthis disk just contains continuation data from a prior file and the catalog");
    if (*skip > 0)
        printf("\n must skip first %ld data bytes on this media disk as previous file spans 2 disks",
               (long)*skip);
    return file;
}

// Reads the rest of an over-long line so it is not taken as the next answer.
static void drop_rest_of_line(void) {
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
    }
}

// Prompts for disk `disk`'s image and reads the name the user types into
// name (NAME_LINE_SIZE bytes). False when none was given: the input ended or
// the line was empty.
static bool ask_image_name(int32_t disk, char* name) {
    printf("\n\nenter file name for disk %d image followed by 'Enter', empty name aborts\n",
           (int)disk);
    // The file bytes first: once the prompt shows, what was restored is
    // on disk, whatever the user does next.
    plat_flush_all();
    fflush(stdout);
    if (!fgets(name, NAME_LINE_SIZE, stdin)) return false;
    if (name[0] == '\n') return false;
    size_t len = strlen(name);
    if (len > 0 && name[len - 1] != '\n' && len == NAME_LINE_SIZE - 1) drop_rest_of_line();
    // Trailing newline, carriage return, tabs and other control bytes
    // are not part of the name, but the first character always is: a
    // line of only a CR or a tab is a name (one no file has), not an
    // empty one. Only a line that begins with a NUL is empty here.
    while (len > 1 && (unsigned char)name[len - 1] < 15) name[--len] = '\0';
    return len != 0;
}

// Opens the named image when its header makes it disk `disk` of the set
// whose catalog image has the header ref: the same set ids and job number.
// The open handle, or a negative value with the image closed.
static int open_set_disk(const char* name, const FileHeader* ref, int32_t disk,
                         const Reporter* rep) {
    FileHeader header;
    memset(&header, 0, sizeof header);
    int image = get_fhead(name, &header, rep);
    if (image < 0) return image;
    bool same = ref && fh_set_id1(&header) == fh_set_id1(ref) &&
                fh_set_id2(&header) == fh_set_id2(ref) && fh_job_num(&header) == fh_job_num(ref) &&
                (int32_t)fh_disk_num(&header) == disk;
    free(header.name);
    if (!same) {
        printf("\nnew header data does not match catalog header");
        plat_close(image);
        return -1;
    }
    return image;
}

// The data space of disk `disk`'s image into *avail: up to the catalog on
// the last disk, else up to the image's end, where the image is then put
// back at the data start. The image, or -2 with the image closed when its
// end cannot be found.
static int measure_disk(int image, int32_t disk, int32_t num_disks, const FileHeader* ref,
                        int32_t* avail) {
    if (disk == num_disks) {
        *avail = to_i32(fh_cat_offs(ref) - (uint32_t)DATA_START);
        printf("\nDisk %d is last disk in set with 0x%lx bytes available", (int)disk,
               (unsigned long)(uint32_t)*avail);
        return image;
    }
    // The data space is counted in 32 bits: an image whose data does not
    // fit cannot belong to a set and is refused like one whose end is not
    // found.
    int64_t end = plat_seek(image, 0, PLAT_SEEK_END);
    bool ok = end > 0 && end - DATA_START <= INT32_MAX;
    if (ok) {
        *avail = (int32_t)(end - DATA_START);
        printf("\nDisk %d with out of %d with 0x%lx bytes available", (int)disk, (int)num_disks,
               (unsigned long)(uint32_t)*avail);
        ok = plat_seek(image, DATA_START, PLAT_SEEK_SET) == DATA_START;
    }
    if (!ok) {
        printf("\n seek error reaching EOF to establish available data space");
        plat_close(image);
        return -2;
    }
    return image;
}

int get_disk(Catalog* catalog, int32_t* avail) {
    int32_t disk = to_i32((uint32_t)catalog->cur_disk + 1u);
    int32_t num_disks = catalog->job ? catalog->job->num_disks : 0;
    // The name has a buffer of its own: get_fhead reads the header through
    // the work buffer.
    char name[NAME_LINE_SIZE];
    int result = -2;
    for (;;) {
        if (!ask_image_name(disk, name)) return result;  // end of input or empty: abort
        result = open_set_disk(name, catalog->header, disk, catalog->rep);
        if (result >= 0) return measure_disk(result, disk, num_disks, catalog->header, avail);
    }
}

int read_reply(void) {
    plat_flush_all();
    fflush(stdout);
    int first = EOF;
    int c;
    while ((c = getchar()) != EOF) {
        if (first == EOF) first = c;
        if (c == '\n') break;
    }
    if (first >= 'a' && first <= 'z') first -= 'a' - 'A';
    return first;
}

int get_choice(const char* allowed) {
    char choices[CHOICE_MAX];
    int n = 0;
    for (; n < CHOICE_MAX && allowed[n]; n++) {
        char c = allowed[n];
        choices[n] = c >= 'a' && c <= 'z' ? (char)(c - ('a' - 'A')) : c;
    }
    printf("\nenter char: ");
    for (;;) {
        int c = read_reply();
        bool at_end = c == EOF;
        if (at_end) c = 'A';  // no more answers: abort
        for (int i = 0; i < n; i++)
            if ((unsigned char)choices[i] == c) return i;
        if (at_end) return -1;  // and no A among the choices to give
        printf("\ntry again, invalid response:");
    }
}
