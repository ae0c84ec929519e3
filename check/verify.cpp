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
//
// The walk is cut in three (walk.h): the reader's steps, a worker's verdict
// on each group, the writer's output. Here they run one after the other;
// with -j they run on threads of their own (pipeline.cpp), with the same
// results.
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include "catalog/group_run.h"
#include "check/bak.h"
#include "check/walk.h"
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

// ---- the reader: a file's steps --------------------------------------------------------

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

// A step to fill, cleared; null when the walk is to stop.
Step* take_step(Producer* p, int32_t kind, bool big = false) {
    Step* s = p->take(p, big);
    if (!s) return nullptr;
    s->kind = kind;
    s->file = p->file;
    s->disk = 0;
    s->group = nullptr;
    s->idx = 0;
    s->got = GOT_DATA;
    s->hole_disk = 0;
    s->from = s->to = s->most = 0;
    s->rest_lost = s->ran_out = s->stored = false;
    s->in_len = 0;
    s->verdict = VERDICT_NONE;
    s->problem = 0;
    s->a = s->b = 0;
    s->text = nullptr;
    s->size_only = false;
    s->data = nullptr;
    s->length = 0;
    return s;
}

// Group number idx (from 1) of the file, whose bytes lie at stream offset pos.
bool produce_group(Producer* p, const CompRecord* g, int64_t pos, int32_t idx) {
    const Placement* pl = &p->bak->set.placement;
    int64_t compsize = g->COMPSIZE > 0 ? g->COMPSIZE : 0;
    int32_t level = g->COMP_LVL;
    bool held = stream_has(pl, pos, compsize);
    Step* s = take_step(p, STEP_GROUP, held && compsize > STAGING_MAX);
    if (!s) return false;
    s->group = g;
    s->idx = idx;
    s->disk = disk_at(pl, pos);
    if (!held) {
        s->got = GOT_HOLE;
        s->hole_disk = disk_expected(pl, first_missing(pl, pos, compsize));
    } else if (level != 4 && level != -1) {
        s->got = GOT_LEVEL;
    } else if (level == -1 && g->ORGSIZE != g->COMPSIZE) {
        // unbak reads ORGSIZE bytes where the stream holds COMPSIZE.
        s->got = GOT_STORED_SIZE;
    } else if (!grow_buffer(&s->in, &s->in_cap, compsize)) {
        s->got = GOT_MEMORY;
    } else if (pipeline_stream_read(p->bak, pos, compsize, s->in) != STREAM_OK) {
        s->got = GOT_READ_FAILED;
    } else {
        s->in_len = compsize;
    }
    p->give(p, s);
    return true;
}

// Stored data: size bytes from stream offset pos. A stretch on no disk read
// becomes zeros only as far as the images could have held it.
bool produce_stored(Producer* p, int64_t pos, int64_t size) {
    const Placement* pl = &p->bak->set.placement;
    int64_t plausible = pl->stream_length;
    if (pl->images_hold >= 0 && pl->images_hold < plausible) plausible = pl->images_hold;
    int64_t done = 0;
    while (done < size) {
        bool held;
        int64_t n = stream_stretch(pl, pos + done, size - done, &held);
        if (!held) {
            Step* s = take_step(p, STEP_STORED_HOLE);
            if (!s) return false;
            int64_t zeros = plausible - (pos + done);
            s->from = done;
            s->to = done + n;
            s->most = zeros > 0 ? zeros : 0;
            s->hole_disk = disk_expected(pl, pos + done);
            // Beyond what the images could hold: the rest is lost.
            s->rest_lost = s->most < n;
            p->give(p, s);
            if (s->rest_lost) return true;
            done += n;
            continue;
        }
        int64_t end = done + n;
        while (done < end) {
            int64_t piece = end - done < STORED_PIECE ? end - done : STORED_PIECE;
            Step* s = take_step(p, STEP_STORED_PIECE);
            if (!s) return false;
            s->disk = disk_at(pl, pos + done);
            s->from = done;
            s->to = end;
            bool failed = !grow_buffer(&s->in, &s->in_cap, piece) ||
                          pipeline_stream_read(p->bak, pos + done, piece, s->in) != STREAM_OK;
            s->got = failed ? GOT_READ_FAILED : GOT_DATA;
            s->in_len = failed ? 0 : piece;
            p->give(p, s);
            done = failed ? end : done + piece;
        }
    }
    return true;
}

// ---- a worker: a group judged -----------------------------------------------------------

// What zlib makes of a group: its length (up to `limit` bytes and one
// more), whether it ended, its CRC-32; the first KEEP_MAX bytes of output
// kept in the step's buffer. With a walk, every byte goes out instead.
struct Inflated {
    bool ended;
    int code;             // zlib's result when not ended
    const char* message;
    int64_t length;
    uint32_t crc;
    bool no_memory;
    bool over_keep;       // more than `keep` bytes and not ended: left for later
};

// Makes *buf hold at least need bytes, keeping its first `kept` (the
// output made so far).
bool grow_kept(unsigned char** buf, int64_t* cap, int64_t need, int64_t kept) {
    if (need <= *cap) return true;
    if (kept == 0) return grow_buffer(buf, cap, need);
    if ((uint64_t)need > (uint64_t)SIZE_MAX) return false;
    unsigned char* p = (unsigned char*)realloc(*buf, (size_t)need);
    if (!p) return false;
    *buf = p;
    *cap = need;
    return true;
}

Inflated inflate_group(Step* s, int64_t orgsize, int64_t limit, Walk* out_to,
                       int64_t keep = KEEP_MAX) {
    Inflated r = {false, Z_OK, nullptr, 0, 0, false, false};
    z_stream z;
    memset(&z, 0, sizeof z);
    int ret = inflateInit2(&z, -15);
    if (ret != Z_OK) {
        r.code = ret;
        r.no_memory = ret == Z_MEM_ERROR;
        return r;
    }
    z.next_in = s->in;
    z.avail_in = (uInt)s->in_len;
    for (;;) {
        unsigned char* at;
        int64_t room;
        if (!out_to && r.length >= keep && keep < KEEP_MAX) {
            r.over_keep = true;
            break;
        }
        if (!out_to && r.length < KEEP_MAX) {
            int64_t want = orgsize + 1 > GROUP_OUT_START ? orgsize + 1 : GROUP_OUT_START;
            if (want < r.length * 2) want = r.length * 2;
            if (want > keep) want = keep;
            if (!grow_kept(&s->out, &s->out_cap, want, r.length)) {
                r.no_memory = true;
                break;
            }
            at = s->out + r.length;
            room = s->out_cap - r.length;
            if (room > KEEP_MAX - r.length) room = KEEP_MAX - r.length;
        } else {
            if (!grow_buffer(&s->window, &s->window_cap, WINDOW)) {
                r.no_memory = true;
                break;
            }
            at = s->window;
            room = WINDOW;
        }
        z.next_out = at;
        z.avail_out = (uInt)room;
        ret = inflate(&z, Z_NO_FLUSH);
        int64_t made = room - (int64_t)z.avail_out;
        r.crc = (uint32_t)crc32(r.crc, at, (uInt)made);
        r.length += made;
        if (out_to) put(out_to, at, made);
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

void bad(Step* s, int32_t problem, int64_t a, int64_t b, const char* text = nullptr) {
    s->verdict = VERDICT_BAD;
    s->problem = problem;
    s->a = a;
    s->b = b;
    s->text = text;
}

// The slow way: zlib says what the group is. Its output is kept up to
// `keep` bytes: a group that makes more (damaged, or its ORGSIZE wrong) is
// left for the writer (VERDICT_LATER), so that the steps of the ring never
// hold more than their groups' sizes.
void judge_slow(Step* s, int64_t keep) {
    const CompRecord* g = s->group;
    int64_t orgsize = g->ORGSIZE > 0 ? g->ORGSIZE : 0;
    int64_t limit = orgsize > KEEP_MAX ? orgsize : KEEP_MAX;
    Inflated r = inflate_group(s, orgsize, limit, nullptr, keep);
    if (r.over_keep) {
        s->verdict = VERDICT_LATER;
        return;
    }
    bool checks = r.ended && r.crc + (uint32_t)g->CHK_SUM == 0xFFFFFFFFu;
    if (r.no_memory) {
        bad(s, PROB_MEMORY, 0, 0);
    } else if (r.length > limit) {
        bad(s, PROB_TOO_LONG, limit, 0);
    } else if (!r.ended) {
        bad(s, PROB_INFLATE, r.code, 0, r.message);
    } else if (!checks && r.length != orgsize) {
        bad(s, PROB_LENGTH, r.length, g->ORGSIZE);
    } else if (!checks) {
        bad(s, PROB_CHECKSUM, r.crc, (uint32_t)g->CHK_SUM);
    } else {
        s->verdict = VERDICT_GOOD;
        s->size_only = r.length != orgsize;
        s->data = s->out;
        s->length = r.length;
    }
}

// ---- the writer: the steps applied ----------------------------------------------------------

void apply_group(Walk* w, Step* s) {
    const CompRecord* g = s->group;
    FileCheck* res = w->res;
    int32_t idx = s->idx;
    int64_t orgsize = g->ORGSIZE > 0 ? g->ORGSIZE : 0;
    if (s->got == GOT_DATA && s->verdict == VERDICT_LATER) judge_slow(s, KEEP_MAX);
    switch (s->got) {
    case GOT_HOLE: add_problem(res, PROB_HOLE, idx, 0, 0, nullptr, s->hole_disk); break;
    case GOT_LEVEL: add_problem(res, PROB_LEVEL, idx, g->COMP_LVL, 0); break;
    case GOT_STORED_SIZE: add_problem(res, PROB_STORED_SIZE, idx, g->ORGSIZE, g->COMPSIZE); break;
    case GOT_MEMORY: add_problem(res, PROB_MEMORY, idx, 0, 0); break;
    case GOT_READ_FAILED: add_problem(res, PROB_READ, idx, 0, 0); break;
    default:
        switch (s->verdict) {
        case VERDICT_STORED:
            res->unverified = true;
            put(w, s->in, s->in_len);
            return;
        case VERDICT_STAGED:
            put(w, s->data, orgsize);
            return;
        case VERDICT_GOOD:
            if (s->size_only) add_problem(res, PROB_SIZE_ONLY, idx, s->length, g->ORGSIZE);
            if (s->length <= KEEP_MAX) {
                put(w, s->data, s->length);
            } else if (w->out->fd >= 0 || w->out->to_stdout || w->out->sink) {
                // Checked whole: now the second time, straight out.
                inflate_group(s, orgsize, orgsize > KEEP_MAX ? orgsize : KEEP_MAX, w);
            } else {
                w->offset += s->length;
            }
            return;
        default:
            add_problem(res, s->problem, idx, s->a, s->b, s->text);
            break;
        }
    }
    lose(w, orgsize, ZEROS_MAX);
}

// Applies a step of the file; true when it was the file's last.
bool apply_step(Walk* w, Step* s, int64_t before) {
    Bak* bak = w->bak;
    FileCheck* res = w->res;
    DataOut* out = w->out;
    switch (s->kind) {
    case STEP_MISSING:
        // Nothing of it is there: all of it is lost, and nothing is written.
        res->problems.push_back(Problem{PROB_HOLE, res->ngroups > 0 ? 1 : 0, res->ngroups, 0,
                                        w->size, nullptr, s->hole_disk});
        add_lost(res, 0, w->size);
        res->status = FILE_MISSING;
        out->stopped = true;
        bak->progress.bytes_done += w->size;
        return true;
    case STEP_NO_GROUPS:
        add_problem(res, PROB_NO_GROUPS, 0, 0, 0);
        w->damaged = true;
        add_lost(res, 0, w->size);
        out->stopped = true;
        break;
    case STEP_GROUP:
        bak->progress.disk = s->disk;
        apply_group(w, s);
        bak->progress.bytes_done += s->group->ORGSIZE > 0 ? s->group->ORGSIZE : 0;
        progress_update(bak, false);
        return false;
    case STEP_RUN_END:
        // The chain ended inside the run: the rest of the file is lost.
        add_problem(res, PROB_RUN_END, 0, 0, 0);
        damage(w);
        if (w->size > w->offset) add_lost(res, w->offset, w->size - w->offset);
        return false;
    case STEP_STORED_HOLE:
        add_problem(res, PROB_HOLE, 0, s->from, s->to, nullptr, s->hole_disk);
        lose(w, s->to - s->from, s->most);
        if (s->rest_lost) add_lost(res, w->offset, w->size - w->offset);
        return false;
    case STEP_STORED_PIECE:
        bak->progress.disk = s->disk;
        if (s->got != GOT_DATA) {
            add_problem(res, PROB_READ, 0, s->from, s->to);
            lose(w, s->to - s->from, s->to - s->from);
            return false;
        }
        put(w, s->in, s->in_len);
        bak->progress.bytes_done += s->in_len;
        progress_update(bak, false);
        return false;
    default:  // STEP_END
        if (s->stored) res->unverified = true;
        if (s->ran_out && w->offset != w->size) {
            add_problem(res, PROB_FILE_LENGTH, 0, w->offset, w->size);
            damage(w);
            if (w->offset < w->size) add_lost(res, w->offset, w->size - w->offset);
        }
        break;
    }
    bak->progress.bytes_done = before + w->size;
    if (out->failure) add_problem(res, PROB_WRITE, 0, 0, 0, out->failure);
    res->status = w->damaged ? FILE_DAMAGED : res->unverified ? FILE_PRESENT : FILE_INTACT;
    return true;
}

// ---- one thread: each step judged and applied as it is read -------------------------------

struct Inline {
    Walk* walk;
    Step* step;
    int64_t before;
};

Step* inline_take(Producer* p, bool) {
    return ((Inline*)p->ctx)->step;
}

void inline_give(Producer* p, Step* s) {
    Inline* in = (Inline*)p->ctx;
    judge_step(s, false);
    apply_step(in->walk, s, in->before);
}

}  // namespace

bool produce_file(Producer* p, const BakFile* file) {
    const FileRecord* f = file->rec;
    const Placement* pl = &p->bak->set.placement;
    int64_t pos = file->pos;
    if (all_on_no_disk(pl, f, pos)) {
        Step* s = take_step(p, STEP_MISSING);
        if (!s) return false;
        s->hole_disk = disk_expected(pl, pos);
        p->give(p, s);
        return true;
    }
    Step* end;
    if (!f->comp && p->bak->set.compressed) {
        end = take_step(p, STEP_NO_GROUPS);
        if (!end) return false;
        p->give(p, end);
        return true;
    }
    bool last = false;
    if (!f->comp) {
        if (!produce_stored(p, pos, f->size_lo > 0 ? f->size_lo : 0)) return false;
    } else {
        int32_t idx = 0;
        const CompRecord* g = f->comp;
        while (!last) {
            if (!g) {
                Step* s = take_step(p, STEP_RUN_END);
                if (!s) return false;
                p->give(p, s);
                break;
            }
            idx++;
            last = closes_run(g);
            if (!produce_group(p, g, pos, idx)) return false;
            pos += g->COMPSIZE > 0 ? g->COMPSIZE : 0;
            g = g->next;
        }
    }
    end = take_step(p, STEP_END);
    if (!end) return false;
    end->ran_out = last;
    end->stored = !f->comp;
    p->give(p, end);
    return true;
}

void judge_step(Step* s, bool bounded, Staging* scratch) {
    if (s->kind != STEP_GROUP || s->got != GOT_DATA) return;
    const CompRecord* g = s->group;
    if (g->COMP_LVL == -1) {
        s->verdict = VERDICT_STORED;
        return;
    }
    s->data = stage_group(scratch ? scratch : &s->staging, s->in, (int32_t)s->in_len, g->ORGSIZE,
                          (uint32_t)g->CHK_SUM);
    if (s->data) {
        s->verdict = VERDICT_STAGED;
    } else {
        int64_t orgsize = g->ORGSIZE > 0 ? g->ORGSIZE : 0;
        int64_t keep = orgsize + 1 > GROUP_OUT_START ? orgsize + 1 : GROUP_OUT_START;
        judge_slow(s, bounded && keep < KEEP_MAX ? keep : KEEP_MAX);
    }
}

void release_step(Step* s) {
    free(s->in);
    free(s->out);
    free(s->window);
    s->in = s->out = s->window = nullptr;
    s->in_cap = s->out_cap = s->window_cap = 0;
    staging_release(&s->staging);
}

void trim_step(Step* s) {
    if (s->in_cap > STAGING_MAX) {
        free(s->in);
        s->in = nullptr;
        s->in_cap = 0;
    }
    // Output kept of a group judged late (beyond its ORGSIZE).
    if (s->out_cap > s->in_cap + GROUP_OUT_START && s->out_cap > 2 * GROUP_OUT_START) {
        free(s->out);
        s->out = nullptr;
        s->out_cap = 0;
    }
}

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
    staging_release(&s->staging);
    release_step(&s->step);
    memset(s, 0, sizeof *s);
}

void check_file(Bak* bak, const BakFile* file, DataOut* out, FileCheck* res) {
    const FileRecord* f = file->rec;
    res->status = FILE_INTACT;
    res->ngroups = 0;
    res->problems.clear();
    res->more_problems = 0;
    res->lost.clear();
    res->bytes_lost = 0;
    res->written = 0;
    res->unverified = false;
    Walk w = {bak, out, res, f->size_lo > 0 ? f->size_lo : 0, 0, false};
    for (const CompRecord* g = run_first(f->comp, RUN_CLOSES_ON_NONZERO); g;
         g = run_next(g, RUN_CLOSES_ON_NONZERO))
        res->ngroups++;
    int64_t before = bak->progress.bytes_done;

    // The file's steps from the threads, when they have them: once its
    // first step came, the rest of them follow.
    Step* s = bak->pipeline ? pipeline_next(bak->pipeline, file) : nullptr;
    if (s) {
        while (s) {
            bool last = apply_step(&w, s, before);
            pipeline_done(bak->pipeline, s);
            if (last) return;
            s = pipeline_next(bak->pipeline, file);
        }
        return;
    }
    Inline in = {&w, &bak->scratch.step, before};
    bak->scratch.step.staging.exact_only = bak->scratch.staging.exact_only;
    Producer p = {bak, -1, inline_take, inline_give, &in};
    produce_file(&p, file);
}
