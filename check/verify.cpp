// One file's data checked, and put out as it is checked: every group of
// its run read from the disks placed, inflated whole and tested against its
// length and checksum; stored data checked for presence and copied.
//
// Files are independent here: each one's place in the stream is known
// beforehand (the sum of the stream bytes of the files before it), so a bad
// or missing group costs only its own bytes. What goes out:
//   - a group that inflates with its checksum, at the length it inflated
//     to: a group whose ORGSIZE is wrong (off by a digit) but whose data is
//     right is the data, and only the catalog is at fault;
//   - for a group that cannot be read or does not check out, zeros: its
//     ORGSIZE of them, so the offsets behind it stay right, but never more
//     than 16 MiB for one group, whatever a hostile ORGSIZE says;
//   - nothing beyond the file's recorded size.
// A DataOut that must carry only verified bytes (bak cat) stops at the
// first damage; one whose file will be thrown away (extract without
// --salvage) stops writing there too, and the check goes on to the end to
// name every problem.
//
// The fast way is restore/staging.h's stage_group (libdeflate where it is
// built in), which takes a group only when it comes out exactly as
// recorded. Every other group goes through zlib here, once to find out what
// it is; its output is kept up to KEEP_MAX bytes, and a good group longer
// than that is inflated a second time straight to the output. Memory is one
// group's bytes and at most KEEP_MAX of its output, as in unbak.
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include "catalog/group_run.h"
#include "check/bak.h"
#include "platform/platform.h"
#include "restore/staging.h"

namespace {

enum : int64_t {
    STORED_PIECE = 256 * 1024,  // stored data is read and written in pieces of this size
    ZERO_PIECE = 64 * 1024,
    KEEP_MAX = STAGING_MAX,     // inflated output kept in memory
    ZEROS_MAX = 16 * 1024 * 1024,  // zeros for one lost group at most
    WINDOW = 256 * 1024,        // zlib's output window beyond KEEP_MAX
    GROUP_OUT_START = 64 * 1024,
};

const unsigned char zero_bytes[ZERO_PIECE] = {0};

// A file's walk: where its bytes go and how far it has come.
struct Walk {
    Bak* bak;
    DataOut* out;
    FileCheck* res;
    int64_t size;    // the recorded size: nothing is put beyond it
    int64_t offset;  // the file offset of the next byte
    bool damaged;
};

// ---- findings ------------------------------------------------------------------

void add_problem(FileCheck* r, int32_t kind, int32_t group, int64_t a, int64_t b,
                 const char* text = nullptr, int32_t disk = 0) {
    // Groups on no disk read, one after the other on one disk, make one finding.
    if (kind == PROB_HOLE && group > 0 && !r->problems.empty()) {
        Problem& prev = r->problems.back();
        if (prev.kind == PROB_HOLE && prev.last_group == group - 1 && prev.disk == disk) {
            prev.last_group = group;
            return;
        }
    }
    if ((int32_t)r->problems.size() >= MAX_PROBLEMS) {
        r->more_problems++;
        return;
    }
    r->problems.push_back(Problem{kind, group, group, a, b, text, disk});
}

void add_lost(FileCheck* r, int64_t offset, int64_t length) {
    if (length <= 0) return;
    r->bytes_lost += length;
    if (!r->lost.empty()) {
        LostRange& prev = r->lost.back();
        if (prev.offset + prev.length == offset) {
            prev.length += length;
            return;
        }
    }
    r->lost.push_back(LostRange{offset, length});
}

// ---- output -------------------------------------------------------------------------

void put(Walk* w, const unsigned char* data, int64_t n) {
    // Nothing beyond the recorded size.
    int64_t room = w->size - w->offset;
    int64_t take = n < room ? n : room > 0 ? room : 0;
    w->offset += n;
    DataOut* out = w->out;
    if (out->stopped || out->failure || take <= 0) return;
    if (out->sink) {
        if (!out->sink(out->sink_ctx, data, take)) out->failure = "write error";
    } else if (out->to_stdout) {
        put_stdout(w->bak, data, (size_t)take);
        if (w->bak->stdout_failed) out->failure = "standard output cannot be written";
    } else if (out->fd >= 0) {
        while (take > 0 && !out->failure) {
            int32_t piece = take > (1 << 30) ? (1 << 30) : (int32_t)take;
            if (plat_write(out->fd, data, piece) != piece) out->failure = "write error";
            data += piece;
            take -= piece;
        }
    }
    if (!out->failure) w->res->written += n < room ? n : room > 0 ? room : 0;
}

// Marks the file damaged; the outputs that carry only good bytes stop.
void damage(Walk* w) {
    w->damaged = true;
    if (w->out->stop_at_damage || w->out->give_up) w->out->stopped = true;
}

// length bytes of the file lost from here: zeros in their place, at most
// `most` of them.
void lose(Walk* w, int64_t length, int64_t most) {
    damage(w);
    int64_t n = length < most ? length : most;
    int64_t room = w->size - w->offset;
    add_lost(w->res, w->offset, n < room ? n : room);
    while (n > 0) {
        int64_t piece = n < ZERO_PIECE ? n : ZERO_PIECE;
        put(w, zero_bytes, piece);
        n -= piece;
    }
}

// ---- groups ----------------------------------------------------------------------------

// The first stream byte of [pos, pos + len) that no disk read holds.
int64_t first_missing(const Placement* pl, int64_t pos, int64_t len) {
    while (len > 0) {
        bool held;
        int64_t n = stream_stretch(pl, pos, len, &held);
        if (!held) return pos;
        pos += n;
        len -= n;
    }
    return pos;
}

// What zlib makes of a group: its length (up to `limit` bytes and one
// more), whether it ended, its CRC-32; the first KEEP_MAX bytes of output
// kept in the scratch buffer. With `to`, every byte goes there instead.
struct Inflated {
    bool ended;
    int code;             // zlib's result when not ended
    const char* message;
    int64_t length;
    uint32_t crc;
    bool no_memory;
};

Inflated inflate_group(Walk* w, int64_t in_len, int64_t orgsize, int64_t limit, bool write_out) {
    Scratch* sc = &w->bak->scratch;
    Inflated r = {false, Z_OK, nullptr, 0, 0, false};
    z_stream z;
    memset(&z, 0, sizeof z);
    int ret = inflateInit2(&z, -15);
    if (ret != Z_OK) {
        r.code = ret;
        r.no_memory = ret == Z_MEM_ERROR;
        return r;
    }
    z.next_in = sc->in;
    z.avail_in = (uInt)in_len;
    for (;;) {
        unsigned char* at;
        int64_t room;
        if (!write_out && r.length < KEEP_MAX) {
            int64_t want = orgsize + 1 > GROUP_OUT_START ? orgsize + 1 : GROUP_OUT_START;
            if (want < r.length * 2) want = r.length * 2;
            if (want > KEEP_MAX) want = KEEP_MAX;
            if (!grow_buffer(&sc->out, &sc->out_cap, want)) {
                r.no_memory = true;
                break;
            }
            at = sc->out + r.length;
            room = sc->out_cap - r.length;
            if (room > KEEP_MAX - r.length) room = KEEP_MAX - r.length;
        } else {
            if (!grow_buffer(&sc->window, &sc->window_cap, WINDOW)) {
                r.no_memory = true;
                break;
            }
            at = sc->window;
            room = WINDOW;
        }
        z.next_out = at;
        z.avail_out = (uInt)room;
        ret = inflate(&z, Z_NO_FLUSH);
        int64_t made = room - (int64_t)z.avail_out;
        r.crc = (uint32_t)crc32(r.crc, at, (uInt)made);
        r.length += made;
        if (write_out) put(w, at, made);
        if (r.length > limit) break;
        if (ret == Z_STREAM_END) {
            r.ended = true;
            break;
        }
        if (ret == Z_BUF_ERROR && z.avail_in == 0) {
            r.code = ret;
            r.message = "the deflate data ends early";
            break;
        }
        if (ret != Z_OK && ret != Z_BUF_ERROR) {
            r.code = ret;
            r.no_memory = ret == Z_MEM_ERROR;
            r.message = z.msg;
            break;
        }
    }
    // z.msg points into zlib's constant texts: it outlives the stream.
    inflateEnd(&z);
    return r;
}

// The slow way: zlib says what the group is, and its data goes out when it
// checks out.
void inflate_slow(Walk* w, const CompRecord* g, int32_t idx, int64_t compsize) {
    int64_t orgsize = g->ORGSIZE > 0 ? g->ORGSIZE : 0;
    int64_t limit = orgsize > KEEP_MAX ? orgsize : KEEP_MAX;
    Inflated r = inflate_group(w, compsize, orgsize, limit, false);
    bool checks = r.ended && r.crc + (uint32_t)g->CHK_SUM == 0xFFFFFFFFu;
    if (r.no_memory) {
        add_problem(w->res, PROB_MEMORY, idx, 0, 0);
    } else if (r.length > limit) {
        add_problem(w->res, PROB_TOO_LONG, idx, limit, 0);
    } else if (!r.ended) {
        add_problem(w->res, PROB_INFLATE, idx, r.code, 0, r.message);
    } else if (!checks && r.length != orgsize) {
        add_problem(w->res, PROB_LENGTH, idx, r.length, g->ORGSIZE);
    } else if (!checks) {
        add_problem(w->res, PROB_CHECKSUM, idx, r.crc, (uint32_t)g->CHK_SUM);
    }
    if (!checks || r.no_memory || r.length > limit) {
        lose(w, orgsize, ZEROS_MAX);
        return;
    }
    if (r.length != orgsize) add_problem(w->res, PROB_SIZE_ONLY, idx, r.length, g->ORGSIZE);
    if (r.length <= KEEP_MAX) {
        put(w, w->bak->scratch.out, r.length);
    } else if (w->out->fd >= 0 || w->out->to_stdout || w->out->sink) {
        // Checked whole: now the second time, straight out.
        inflate_group(w, compsize, orgsize, limit, true);
    } else {
        w->offset += r.length;
    }
}

// Group number idx (from 1) of the file, whose bytes lie at stream offset pos.
void check_group(Walk* w, const CompRecord* g, int64_t pos, int32_t idx) {
    Placement* pl = &w->bak->set.placement;
    Scratch* sc = &w->bak->scratch;
    FileCheck* res = w->res;
    int64_t orgsize = g->ORGSIZE > 0 ? g->ORGSIZE : 0;
    int64_t compsize = g->COMPSIZE > 0 ? g->COMPSIZE : 0;
    int32_t level = g->COMP_LVL;

    if (!stream_has(pl, pos, compsize)) {
        add_problem(res, PROB_HOLE, idx, 0, 0, nullptr,
                    disk_expected(pl, first_missing(pl, pos, compsize)));
    } else if (level != 4 && level != -1) {
        add_problem(res, PROB_LEVEL, idx, level, 0);
    } else if (level == -1 && g->ORGSIZE != g->COMPSIZE) {
        // unbak reads ORGSIZE bytes where the stream holds COMPSIZE.
        add_problem(res, PROB_STORED_SIZE, idx, g->ORGSIZE, g->COMPSIZE);
    } else if (!grow_buffer(&sc->in, &sc->in_cap, compsize)) {
        add_problem(res, PROB_MEMORY, idx, 0, 0);
    } else if (stream_read(pl, pos, compsize, sc->in) != STREAM_OK) {
        add_problem(res, PROB_READ, idx, 0, 0);
    } else if (level == -1) {
        res->unverified = true;
        put(w, sc->in, compsize);
        return;
    } else {
        const unsigned char* staged =
            stage_group(&sc->staging, sc->in, (int32_t)compsize, g->ORGSIZE, (uint32_t)g->CHK_SUM);
        if (staged)
            put(w, staged, orgsize);
        else
            inflate_slow(w, g, idx, compsize);
        return;
    }
    lose(w, orgsize, ZEROS_MAX);
}

// Stored data: size bytes from stream offset pos. A stretch on no disk read
// becomes zeros only as far as the images could have held it.
void check_stored(Walk* w, int64_t pos, int64_t size) {
    Placement* pl = &w->bak->set.placement;
    Scratch* sc = &w->bak->scratch;
    int64_t plausible = pl->stream_length;
    if (pl->images_hold >= 0 && pl->images_hold < plausible) plausible = pl->images_hold;
    w->res->unverified = true;
    int64_t done = 0;
    while (done < size) {
        bool held;
        int64_t n = stream_stretch(pl, pos + done, size - done, &held);
        if (!held) {
            add_problem(w->res, PROB_HOLE, 0, done, done + n, nullptr,
                        disk_expected(pl, pos + done));
            int64_t zeros = plausible - (pos + done);
            lose(w, n, zeros > 0 ? zeros : 0);
            if (w->offset < done + n) {
                // Beyond what the images could hold: the rest is lost.
                add_lost(w->res, w->offset, size - w->offset);
                return;
            }
            done += n;
            continue;
        }
        int64_t end = done + n;
        while (done < end) {
            int64_t piece = end - done < STORED_PIECE ? end - done : STORED_PIECE;
            w->bak->progress.disk = disk_at(pl, pos + done);
            if (!grow_buffer(&sc->in, &sc->in_cap, piece) ||
                stream_read(pl, pos + done, piece, sc->in) != STREAM_OK) {
                add_problem(w->res, PROB_READ, 0, done, end);
                lose(w, end - done, end - done);
                done = end;
                break;
            }
            put(w, sc->in, piece);
            done += piece;
            w->bak->progress.bytes_done += piece;
            progress_update(w->bak, false);
        }
    }
}

// True when no byte of the file's data lies on a disk read (and it has
// some data to lie anywhere).
bool all_on_no_disk(const Placement* pl, const FileRecord* file, int64_t pos) {
    if (!file->comp) {
        if (file->size_lo <= 0) return false;
        bool held;
        int64_t n = stream_stretch(pl, pos, file->size_lo, &held);
        return !held && n == file->size_lo;
    }
    for (const CompRecord* g = run_first(file->comp, RUN_CLOSES_ON_NONZERO); g;
         g = run_next(g, RUN_CLOSES_ON_NONZERO)) {
        int64_t compsize = g->COMPSIZE > 0 ? g->COMPSIZE : 0;
        bool held;
        if (compsize == 0 || stream_stretch(pl, pos, compsize, &held) < compsize || held)
            return false;
        pos += compsize;
    }
    return true;
}

}  // namespace

bool grow_buffer(unsigned char** buf, int64_t* cap, int64_t need) {
    if (need < 1) need = 1;
    if (need <= *cap) return true;
    if ((uint64_t)need > (uint64_t)SIZE_MAX) return false;
    // Replaced, not grown in place: its contents need not survive.
    free(*buf);
    *buf = (unsigned char*)malloc((size_t)need);
    *cap = *buf ? need : 0;
    return *buf != nullptr;
}

void release_scratch(Scratch* s) {
    free(s->in);
    free(s->out);
    free(s->window);
    staging_release(&s->staging);
    memset(s, 0, sizeof *s);
}

void check_file(Bak* bak, const BakFile* file, DataOut* out, FileCheck* res) {
    const FileRecord* f = file->rec;
    Placement* pl = &bak->set.placement;
    res->status = FILE_INTACT;
    res->ngroups = 0;
    res->problems.clear();
    res->more_problems = 0;
    res->lost.clear();
    res->bytes_lost = 0;
    res->written = 0;
    res->unverified = false;
    Walk w = {bak, out, res, f->size_lo > 0 ? f->size_lo : 0, 0, false};
    int64_t size = w.size;
    int64_t pos = file->pos;
    for (const CompRecord* g = run_first(f->comp, RUN_CLOSES_ON_NONZERO); g;
         g = run_next(g, RUN_CLOSES_ON_NONZERO))
        res->ngroups++;

    if (all_on_no_disk(pl, f, pos)) {
        // Nothing of it is there: all of it is lost, and nothing is written.
        res->problems.push_back(Problem{PROB_HOLE, res->ngroups > 0 ? 1 : 0, res->ngroups, 0, size,
                                        nullptr, disk_expected(pl, pos)});
        add_lost(res, 0, size);
        res->status = FILE_MISSING;
        out->stopped = true;
        bak->progress.bytes_done += size;
        return;
    }
    int64_t before = bak->progress.bytes_done;
    if (!f->comp && bak->set.compressed) {
        add_problem(res, PROB_NO_GROUPS, 0, 0, 0);
        w.damaged = true;
        add_lost(res, 0, size);
        out->stopped = true;
    } else if (!f->comp) {
        check_stored(&w, pos, size);
    } else {
        int32_t idx = 0;
        bool last = false;
        const CompRecord* g = f->comp;
        while (!last) {
            if (!g) {
                // The chain ended inside the run: the rest of the file is lost.
                add_problem(res, PROB_RUN_END, 0, 0, 0);
                damage(&w);
                if (size > w.offset) add_lost(res, w.offset, size - w.offset);
                break;
            }
            idx++;
            last = closes_run(g);
            bak->progress.disk = disk_at(pl, pos);
            check_group(&w, g, pos, idx);
            pos += g->COMPSIZE > 0 ? g->COMPSIZE : 0;
            bak->progress.bytes_done += g->ORGSIZE > 0 ? g->ORGSIZE : 0;
            progress_update(bak, false);
            g = g->next;
        }
        if (last && w.offset != size) {
            add_problem(res, PROB_FILE_LENGTH, 0, w.offset, size);
            damage(&w);
            if (w.offset < size) add_lost(res, w.offset, size - w.offset);
        }
    }
    bak->progress.bytes_done = before + size;
    if (out->failure) add_problem(res, PROB_WRITE, 0, 0, 0, out->failure);
    res->status = w.damaged ? FILE_DAMAGED : res->unverified ? FILE_PRESENT : FILE_INTACT;
}
