// Where each image lies in the data stream, without the disk dialogue; the
// test of each place; reading stream bytes from the images placed.
//
// Why positions follow from sizes. A set's file data is one stream that
// fills the data area of each disk in turn: unbak reads a disk's data area
// to its very end and goes on at offset 0x200 of the next disk (get_disk),
// and the last disk's data area ends at its catalog, which follows the last
// file's data. So the data areas, laid end to end in disk order, are the
// stream, and
//     start of disk k = size of the data areas of disks 1 .. k-1
//                     = stream length - size of the data areas of disks k .. N,
// where the stream length is the catalog's sum of the files' stream bytes.
// Disks before the first missing or cut-short disk are placed by the first
// sum, those after the last such disk by the second.
//
// The capacity. The data disks of one set are written to media of one
// size, so every data area but the last disk's is the same: the capacity.
// The catalog gives it exactly, (stream length - last disk's data) divided
// by the data disks, and the images given bear it out; a data disk shorter
// than it is cut short (its tail lost), one longer holds trailing bytes (a
// copy padded to its medium), which are no part of the stream. Taking the
// capacity from the largest image, as the first checker did, made every
// other disk "cut short" beside one copy with 512 bytes too many. When the
// catalog's figure is no whole number, or two or more images agree on
// another size and none has it, the catalog's stream length is what is
// wrong (an inconsistency the set reports); the size most images share is
// the capacity then. Knowing it also places a disk that lies between two
// missing ones: at (k - 1) x capacity.
//
// A place is a claim until it is tried: confirm_places inflates whole
// groups lying on each placed disk and compares their checksums. One good
// group confirms it (a wrongly placed disk cannot give one: its bytes at a
// group's offset would have to inflate to the recorded length and CRC-32).
// When every group tried fails, the disk is not read: its files are
// reported as on a disk not placed, not read wrongly. Up to CONFIRM_TRIES
// groups are tried, spread over the disk, so a few damaged sectors at its
// start do not throw it out, and one group alone cannot refute a place: a
// disk whose only whole group fails is read all the same (each group of it
// still answers to its own checksum) and called unsure. Disk 1, whose place
// is 0 whatever happens, is always read.
#include <stdlib.h>

#include <algorithm>
#include <map>

#include "check/bak.h"
#include "platform/platform.h"
#include "restore/restore.h"
#include "restore/staging.h"

static const size_t CONFIRM_TRIES = 8;

// The capacity from the catalog and the images given; see above.
static int64_t find_capacity(Placement* pl) {
    int32_t n = pl->num_disks;
    if (n < 2) return 0;
    const DiskSlot& last = pl->disks[n];
    int64_t from_catalog = 0;
    int64_t rest = pl->stream_length - (last.path.empty() ? 0 : last.raw_size);
    if (!last.path.empty() && rest > 0 && rest % (n - 1) == 0) from_catalog = rest / (n - 1);

    // How many data disks given have each size.
    std::map<int64_t, int32_t> sizes;
    for (int32_t k = 1; k < n; k++)
        if (!pl->disks[k].path.empty()) sizes[pl->disks[k].raw_size]++;
    if (sizes.empty()) return from_catalog;
    int64_t common = 0;
    int32_t most = 0;
    for (const auto& s : sizes)
        if (s.second >= most) {  // ties: the larger size
            common = s.first;
            most = s.second;
        }
    if (from_catalog > 0 && (sizes.count(from_catalog) || most < 2)) return from_catalog;
    return common;
}

void list_read_disks(Placement* pl) {
    pl->read.clear();
    for (int32_t k = 1; k <= pl->num_disks; k++) {
        const DiskSlot& d = pl->disks[k];
        if (d.placed != PLACED_NOT && d.confirm != CONFIRM_FAILED &&
            d.first_used < d.start + d.data_size)
            pl->read.push_back(k);
    }
}

void place_disks(Placement* pl) {
    int32_t n = pl->num_disks;
    std::vector<DiskSlot>& d = pl->disks;
    int64_t length = pl->stream_length;

    pl->capacity = find_capacity(pl);
    int64_t cap = pl->capacity;
    bool whole = true;  // every disk given, none cut short
    int64_t total = 0;
    for (int32_t k = 1; k <= n; k++) {
        DiskSlot& s = d[k];
        s.data_size = s.raw_size;
        s.trailing = 0;
        s.cut_short = false;
        if (!s.path.empty() && k < n && cap > 0) {
            if (s.raw_size > cap) {
                s.trailing = s.raw_size - cap;
                s.data_size = cap;
            } else if (s.raw_size < cap) {
                s.cut_short = true;
            }
        }
        s.placed = PLACED_NOT;
        s.confirm = CONFIRM_NOT_TRIED;
        s.start = s.first_used = 0;
        s.position = -1;
        if (s.path.empty() || s.cut_short) whole = false;
        total += s.data_size;
    }
    pl->images_hold = n == 1 ? d[1].data_size : cap > 0 ? (n - 1) * cap + d[n].data_size : -1;

    // A whole set that holds the stream is read from the start to the end,
    // the last disk too, as unbak's full restore reads it; bytes beyond the
    // stream are then left at the last disk's end. Else the last disk (the
    // catalog's) is left to the walk from the end.
    int32_t last_from_start = whole && total >= length ? n : n - 1;

    // From the start, up to the first missing disk; a cut-short disk is
    // placed and ends the walk.
    int64_t at = 0;
    int32_t k = 1;
    for (; k <= last_from_start && !d[k].path.empty(); k++) {
        d[k].placed = PLACED_FROM_START;
        d[k].start = d[k].first_used = at;
        at += d[k].data_size;
        if (d[k].cut_short) {
            k++;
            break;
        }
    }
    int32_t after_start = k;
    int64_t start_end = at;

    // From the end, down to the first missing or cut-short disk.
    int64_t end = length;
    int32_t j = n;
    for (; j >= after_start && !d[j].path.empty() && !d[j].cut_short; j--) {
        d[j].placed = PLACED_FROM_END;
        end -= d[j].data_size;
        d[j].start = d[j].first_used = end;
    }

    // Between them, by the capacity: disks between two missing or cut ones.
    for (int32_t m = after_start; m <= j; m++) {
        if (d[m].path.empty() || cap <= 0) continue;
        d[m].placed = PLACED_BY_SIZE;
        d[m].start = d[m].first_used = (int64_t)(m - 1) * cap;
    }

    // Where the two walks meet with images holding more than the stream
    // leaves room for, their bytes are read from the disks placed from the
    // start.
    if (after_start <= n && end < start_end)
        for (int32_t m = j + 1; m <= n; m++)
            if (d[m].first_used < start_end) d[m].first_used = start_end;
    list_read_disks(pl);
}

void confirm_places(Placement* pl, const std::vector<GroupAt>& groups, bool compressed,
                    unsigned char** buf, int64_t* cap, Staging* staging) {
    for (int32_t k = 1; k <= pl->num_disks; k++) {
        DiskSlot& d = pl->disks[k];
        if (d.placed == PLACED_NOT) continue;
        if (!compressed) {
            d.confirm = CONFIRM_NO_CHECKSUM;
            continue;
        }
        int64_t from = d.first_used, to = d.start + d.data_size;
        // The whole deflate groups on it, by their index in groups.
        auto first = std::lower_bound(groups.begin(), groups.end(), from,
                                      [](const GroupAt& g, int64_t p) { return g.pos < p; });
        std::vector<size_t> whole;
        for (auto g = first; g != groups.end() && g->pos < to; ++g)
            if (g->level == 4 && g->compsize > 0 && g->compsize <= 2 * STAGING_MAX &&
                g->pos + g->compsize <= to &&
                g->orgsize > 0 && g->orgsize <= STAGING_MAX)
                whole.push_back((size_t)(g - groups.begin()));
        if (whole.empty()) {
            d.confirm = CONFIRM_NO_GROUP;
            continue;
        }
        d.confirm = CONFIRM_FAILED;
        size_t tries = whole.size() < CONFIRM_TRIES ? whole.size() : CONFIRM_TRIES;
        for (size_t t = 0; t < tries && d.confirm != CONFIRM_YES; t++) {
            const GroupAt& g = groups[whole[t * whole.size() / tries]];
            if (!grow_buffer(buf, cap, g.compsize)) continue;
            // Read from this disk alone: its own place is on trial.
            int64_t offset = DATA_START + (g.pos - d.start);
            d.position = -1;
            if (!disk_open(pl, k) || plat_seek(d.image, offset, PLAT_SEEK_SET) != offset ||
                plat_read(d.image, *buf, (int32_t)g.compsize) != (int32_t)g.compsize)
                continue;
            if (stage_group(staging, *buf, (int32_t)g.compsize, g.orgsize, g.chk_sum))
                d.confirm = CONFIRM_YES;
        }
        // One failed group may be damage; disk 1 begins the stream whatever
        // its groups say.
        if (d.confirm == CONFIRM_FAILED && (tries < 2 || k == 1)) d.confirm = CONFIRM_UNSURE;
    }
    list_read_disks(pl);
}

bool disk_open(Placement* pl, int32_t k) {
    DiskSlot& d = pl->disks[(size_t)k];
    if (d.image >= 0) return true;
    if (k == pl->num_disks) return false;  // the catalog's image never closes
    disk_close(pl);
    d.image = plat_open_read(d.path.c_str());
    d.position = -1;
    if (d.image < 0) return false;
    pl->open_disk = k;
    return true;
}

void disk_close(Placement* pl) {
    if (pl->open_disk == 0) return;
    DiskSlot& d = pl->disks[(size_t)pl->open_disk];
    if (d.image >= 0) plat_close(d.image);
    d.image = -1;
    d.position = -1;
    pl->open_disk = 0;
}

// The disk read that holds stream byte pos, or 0. There are no more disks
// read than images given, a handful, so a walk does.
int32_t disk_at(const Placement* pl, int64_t pos) {
    for (int32_t k : pl->read) {
        const DiskSlot& s = pl->disks[k];
        if (pos >= s.first_used && pos < s.start + s.data_size) return k;
    }
    return 0;
}

int32_t disk_expected(const Placement* pl, int64_t pos) {
    int32_t n = pl->num_disks;
    for (int32_t k = 1; k <= n; k++) {
        const DiskSlot& s = pl->disks[k];
        if (s.placed != PLACED_NOT && pos >= s.start && pos < s.start + s.data_size) return k;
    }
    if (pl->capacity > 0) {
        int64_t k = pos / pl->capacity + 1;
        return k > n ? n : k < 1 ? 1 : (int32_t)k;
    }
    // Without a capacity: the first disk that is not placed.
    for (int32_t k = 1; k <= n; k++)
        if (pl->disks[k].placed == PLACED_NOT) return k;
    return n;
}

int64_t stream_stretch(const Placement* pl, int64_t pos, int64_t len, bool* held) {
    int32_t k = disk_at(pl, pos);
    *held = k != 0;
    if (k != 0) {
        const DiskSlot& s = pl->disks[k];
        int64_t left = s.start + s.data_size - pos;
        return left < len ? left : len;
    }
    // Not held: up to the next byte some disk holds.
    int64_t next = pos + len;
    for (int32_t m : pl->read) {
        const DiskSlot& s = pl->disks[m];
        if (s.first_used > pos && s.first_used < next) next = s.first_used;
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

int stream_read(Placement* pl, int64_t pos, int64_t len, unsigned char* out) {
    while (len > 0) {
        bool held;
        int64_t n = stream_stretch(pl, pos, len, &held);
        if (!held) return STREAM_HOLE;
        if (n > (1 << 30)) n = 1 << 30;
        int32_t k = disk_at(pl, pos);
        DiskSlot& s = pl->disks[(size_t)k];
        int64_t offset = DATA_START + (pos - s.start);
        if (!disk_open(pl, k)) return STREAM_READ_ERROR;
        // Reads run forward through each image; a seek only where the
        // handle does not already stand.
        if (s.position != offset && plat_seek(s.image, offset, PLAT_SEEK_SET) != offset) {
            s.position = -1;
            return STREAM_READ_ERROR;
        }
        if (plat_read(s.image, out, (int32_t)n) != (int32_t)n) {
            s.position = -1;
            return STREAM_READ_ERROR;
        }
        s.position = offset + n;
        out += n;
        pos += n;
        len -= n;
    }
    return STREAM_OK;
}
