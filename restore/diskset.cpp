// Multi-disk sets: where the first whole file begins on the last disk, and
// the next disk's image, asked for through the run's Dialogue and checked
// against the catalog image's header (asked again until one fits, or none
// is given).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "container/fields.h"
#include "platform/platform.h"
#include "restore/events.h"
#include "restore/restore.h"

enum {
    NAME_LINE_SIZE = 512,  // 511 characters and the NUL
};

FileRecord* find_first_whole_file(const Catalog* catalog, int32_t* skip) {
    *skip = 0;
    int32_t space = to_i32(fh_cat_offs(catalog->header) - (uint32_t)DATA_START);

    uint32_t stored_total = 0, data_total = 0;
    int32_t nfiles = 0;
    for (const FileRecord* f = catalog->files; f; f = f->next) {
        stored_total += (uint32_t)f->size_lo;
        data_total += stream_bytes(f);
        nfiles = to_i32((uint32_t)nfiles + 1u);
    }
    say(catalog->io.rep, EV_DISK_DATA_SPACE,
        {ev_num(nfiles), ev_num(stored_total), ev_num(data_total)});
    say(catalog->io.rep, EV_DISK_ROOM, {ev_num(space)});

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
                        say(catalog->io.rep, EV_SPAN_IN_GROUP,
                            {ev_num(excess), ev_num(to_i32(counter)), ev_num(pos)});
                }
            }
        } else {
            excess = to_i32((uint32_t)excess - (uint32_t)file->size_lo);
        }
        file = file->next;
        counter++;
    }
    if (excess < 0) *skip = to_i32(0u - (uint32_t)excess);
    say(catalog->io.rep, EV_FIRST_WHOLE_FILE,
        {ev_num(to_i32(counter)), file ? ev_text(file->name) : EventArg{nullptr, 0}});
    if (*skip > 0) say(catalog->io.rep, EV_SKIP_LEADING, {ev_num(*skip)});
    return file;
}

// Opens the named image when its header makes it disk `disk` of the set
// whose catalog image has the header ref: the same set ids and job number.
// The open handle, or -1 with the image closed.
static int open_set_disk(const char* name, const FileHeader* ref, int32_t disk, IoState* io) {
    const Reporter* rep = io->rep;
    FileHeader header;
    memset(&header, 0, sizeof header);
    int image = get_fhead(name, &header, io);
    if (image < 0) return image;
    bool same = ref && fh_set_id1(&header) == fh_set_id1(ref) &&
                fh_set_id2(&header) == fh_set_id2(ref) && fh_job_num(&header) == fh_job_num(ref) &&
                (int32_t)fh_disk_num(&header) == disk;
    free(header.name);
    if (!same) {
        say(rep, EV_DISK_MISMATCH);
        plat_close(image);
        return -1;
    }
    return image;
}

// The data space of disk `disk`'s image into *avail: up to the catalog on
// the last disk, else up to the image's end, where the image is then put
// back at the data start. False, with the image closed, when its end
// cannot be found.
static bool measure_disk(int image, int32_t disk, int32_t num_disks, const FileHeader* ref,
                         int32_t* avail, const Reporter* rep) {
    if (disk == num_disks) {
        *avail = to_i32(fh_cat_offs(ref) - (uint32_t)DATA_START);
        say(rep, EV_LAST_DISK_ACCEPTED, {ev_num(disk), ev_num((uint32_t)*avail)});
        return true;
    }
    // The data space is counted in 32 bits: an image whose data does not
    // fit cannot belong to a set and is refused like one whose end is not
    // found.
    int64_t end = plat_seek(image, 0, PLAT_SEEK_END);
    bool ok = end > 0 && end - DATA_START <= INT32_MAX;
    if (ok) {
        *avail = (int32_t)(end - DATA_START);
        say(rep, EV_DISK_ACCEPTED, {ev_num(disk), ev_num(num_disks), ev_num((uint32_t)*avail)});
        ok = plat_seek(image, DATA_START, PLAT_SEEK_SET) == DATA_START;
    }
    if (!ok) {
        say(rep, EV_DISK_END_UNKNOWN);
        plat_close(image);
    }
    return ok;
}

DiskResult get_disk(Catalog* catalog, int* image, int32_t* avail) {
    *image = -1;
    int32_t disk = to_i32((uint32_t)catalog->cur_disk + 1u);
    int32_t num_disks = catalog->job ? catalog->job->num_disks : 0;
    // The name has a buffer of its own: get_fhead reads the header through
    // the work buffer.
    char name[NAME_LINE_SIZE];
    const Dialogue* d = catalog->dialogue;
    for (;;) {
        // No answer (the input ended, or an empty name): the walk ends here.
        if (!d || !d->next_image(d->ctx, disk, name, sizeof name)) return DISK_NOT_GIVEN;
        int opened = open_set_disk(name, catalog->header, disk, &catalog->io);
        if (opened < 0) continue;  // asked again
        if (!measure_disk(opened, disk, num_disks, catalog->header, avail, catalog->io.rep))
            return DISK_END_UNKNOWN;
        *image = opened;
        return DISK_READY;
    }
}
