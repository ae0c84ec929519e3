// Where each image lies in the data stream, without the disk dialogue; and
// reading stream bytes from the images placed.
//
// Why positions follow from sizes. A set's file data is one stream that
// fills the data area of each disk in turn: unbak reads a disk's data area
// to its very end and goes on at offset 0x200 of the next disk (get_disk),
// and the last disk's data area ends at its catalog, which follows the last
// file's data (check_alloc, for unbak's choice Y, relies on just that). So the
// data areas, laid end to end in disk order, are the stream, nothing between
// and nothing left over, and
//     start of disk k = size of the data areas of disks 1 .. k-1
//                     = stream length - size of the data areas of disks k .. N,
// where the stream length is the catalog's sum of the files' sizes in the
// stream (link_data's cum_dat; check_alloc's data total). Every data area
// size we know exactly from an image's length (the last disk's from its
// cat_offs), except a missing disk's, and a cut-short image's, whose true size
// is lost with its tail. So the disks before the first such uncertain disk
// are placed by the first sum, those after the last uncertain one by the
// second; a cut-short image still begins where the first sum says, since only
// its tail is gone. A disk between two uncertain ones has an unknown size on
// either side of it: the catalog alone cannot place it, and we say so.
//
// A cut-short image is recognised by its size: the data disks of one set are
// written to media of one capacity, so each fills the same data area, and
// one smaller than another data disk given has lost its tail. Should a data
// disk of a set really be smaller, treating it as cut short costs nothing:
// its start from the first sum is right all the same, and the disks after it
// are then placed from the end, which is right too (without another missing
// disk, the stretch between them comes out empty). A cut image we cannot
// recognise (no other data disk given to compare with, and a disk before it
// missing) would be placed from the end and read wrongly; the checksums of
// compressed groups then report its files damaged, but stored data has no
// checksum to tell.
#include <stdlib.h>

#include "check/bakcheck.h"
#include "platform/platform.h"
#include "restore/restore.h"

void place_disks(Placement* pl) {
    int32_t n = pl->num_disks;
    DiskSlot* d = pl->disks;
    int64_t length = pl->stream_length;

    // Data disks smaller than the largest one given.
    int64_t capacity = 0;
    for (int32_t k = 1; k < n; k++)
        if (d[k].path && d[k].data_size > capacity) capacity = d[k].data_size;
    bool whole = true;  // every disk given, none cut short
    int64_t total = 0;
    for (int32_t k = 1; k <= n; k++) {
        d[k].cut_short = d[k].path && k < n && d[k].data_size < capacity;
        d[k].placed = PLACED_NOT;
        d[k].start = d[k].first_used = 0;
        if (!d[k].path || d[k].cut_short) whole = false;
        total += d[k].data_size;
    }
    // A whole set that holds the stream is read from the start to the end,
    // the last disk too, exactly as unbak's full restore reads it; bytes
    // the images hold beyond the stream are then left at the last disk's end.
    // Else the last disk (the catalog's) is left to the walk from the end.
    int32_t last_from_start = whole && total >= length ? n : n - 1;

    // From the start, up to the first missing disk; a cut-short disk is
    // placed and ends the walk.
    int64_t at = 0;
    int32_t k = 1;
    for (; k <= last_from_start && d[k].path; k++) {
        d[k].placed = PLACED_FROM_START;
        d[k].start = d[k].first_used = at;
        at += d[k].data_size;
        if (d[k].cut_short) {
            k++;
            break;
        }
    }
    int32_t after_start = k;  // the first disk not placed from the start
    int64_t start_end = at;

    // From the end, down to the first missing or cut-short disk.
    int64_t end = length;
    int32_t j = n;
    for (; j >= after_start && d[j].path && !d[j].cut_short; j--) {
        d[j].placed = PLACED_FROM_END;
        end -= d[j].data_size;
        d[j].start = d[j].first_used = end;
    }

    // Where the two meet: images holding more than the stream leaves room
    // for. Their bytes are read from the disks placed from the start.
    pl->excess = 0;
    if (after_start > n) {
        pl->excess = start_end - length;
        end = start_end;
    } else if (end < start_end) {
        pl->excess = start_end - end;
        for (int32_t m = j + 1; m <= n; m++)
            if (d[m].first_used < start_end) d[m].first_used = start_end;
    }
    pl->hole_start = start_end < end ? start_end : end;
    pl->hole_end = end;
    if (pl->hole_start > pl->hole_end) pl->hole_start = pl->hole_end;
    // The disks that would hold the hole: a cut-short disk placed from the
    // start (its tail), then every disk placed from neither side.
    pl->hole_first =
        after_start > 1 && d[after_start - 1].cut_short ? after_start - 1 : after_start;
    pl->hole_last = j;

    // The disks whose bytes are read, in disk order (which is stream order).
    pl->nplaced = 0;
    for (int32_t m = 1; m <= n; m++)
        if (d[m].placed != PLACED_NOT && d[m].first_used < d[m].start + d[m].data_size)
            pl->placed[pl->nplaced++] = m;
}

// The placed disk that holds stream byte pos, or 0. There are no more placed
// disks than images given, a handful, so a walk does.
int32_t disk_at(const Placement* pl, int64_t pos) {
    for (int32_t i = 0; i < pl->nplaced; i++) {
        const DiskSlot* s = &pl->disks[pl->placed[i]];
        if (pos >= s->first_used && pos < s->start + s->data_size) return pl->placed[i];
    }
    return 0;
}

int64_t stream_stretch(const Placement* pl, int64_t pos, int64_t len, bool* held) {
    int32_t k = disk_at(pl, pos);
    *held = k != 0;
    if (k != 0) {
        const DiskSlot* s = &pl->disks[k];
        int64_t left = s->start + s->data_size - pos;
        return left < len ? left : len;
    }
    // Not held: up to the next byte some disk holds.
    int64_t next = pos + len;
    for (int32_t i = 0; i < pl->nplaced; i++) {
        const DiskSlot* s = &pl->disks[pl->placed[i]];
        if (s->first_used > pos && s->first_used < next) next = s->first_used;
    }
    return next - pos;
}

bool stream_has(const Placement* pl, int64_t pos, int64_t len) {
    while (len > 0) {
        bool held;
        int64_t n = stream_stretch(pl, pos, len, &held);
        if (!held) return false;
        pos += n;
        len -= n;
    }
    return true;
}

int stream_read(Placement* pl, int64_t pos, int32_t len, unsigned char* out) {
    while (len > 0) {
        bool held;
        int32_t n = (int32_t)stream_stretch(pl, pos, len, &held);
        if (!held) return STREAM_HOLE;
        DiskSlot* s = &pl->disks[disk_at(pl, pos)];
        int64_t offset = DATA_START + (pos - s->start);
        // Reads run forward through each image; a seek only where the
        // handle does not already stand.
        if (s->position != offset) {
            if (plat_seek(s->image, offset, PLAT_SEEK_SET) != offset) {
                s->position = -1;
                return STREAM_READ_ERROR;
            }
        }
        if (plat_read(s->image, out, n) != n) {
            s->position = -1;
            return STREAM_READ_ERROR;
        }
        s->position = offset + n;
        out += n;
        pos += n;
        len -= n;
    }
    return STREAM_OK;
}
