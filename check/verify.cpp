// One file's data checked, and with --salvage written: every group of its
// run gathered from the images placed and inflated in one call, its length
// and checksum tested; stored data checked for presence and read.
//
// Files are independent here: each one's place in the stream is known
// beforehand (the sum of the sizes of the files before it), so a bad or
// missing group costs only its own bytes. In a salvaged file every group
// takes its ORGSIZE bytes, the good ones their data, the others zeros, so
// the offsets of everything after a lost group stay right.
//
// Memory is one group at a time, as in unbak: the group's bytes as read and
// what they inflate to, in two buffers that grow to the largest group met.
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include "check/bakcheck.h"
#include "platform/platform.h"
#include "restore/restore.h"
#include "restore/staging.h"

enum {
    STORED_CHUNK = 256 * 1024,  // stored data is read and written in pieces of this size
    ZERO_CHUNK = 64 * 1024,
    // Deflate yields at most 1032 bytes per byte of input; an inflate
    // buffer is never made larger than the group's bytes can fill.
    DEFLATE_MAX_RATIO = 1032,
};

// The run's group buffers and inflate state; released by verify_release.
static unsigned char* in_buf;
static int64_t in_cap;
static unsigned char* out_buf;
static int64_t out_cap;
static z_stream inflater;
static bool inflater_ready;
static const unsigned char zeros[ZERO_CHUNK] = {0};
static unsigned char spill[32 * 1024];  // output beyond ORGSIZE, counted and dropped

// The path of the file being checked, as listed: directory part and name.
static char path_text[PATH_BUF_SIZE];

void verify_release(void) {
    free(in_buf);
    free(out_buf);
    in_buf = out_buf = NULL;
    in_cap = out_cap = 0;
    if (inflater_ready) inflateEnd(&inflater);
    inflater_ready = false;
}

static bool ensure(unsigned char** buf, int64_t* cap, int64_t need) {
    if (need < 1) need = 1;
    if (need <= *cap) return true;
    if ((uint64_t)need > (uint64_t)SIZE_MAX) return false;
    unsigned char* p = (unsigned char*)realloc(*buf, (size_t)need);
    if (!p) return false;
    *buf = p;
    *cap = need;
    return true;
}

// ---- findings ---------------------------------------------------------------------

static void add_problem(FileResult* r, int32_t kind, int32_t group, int64_t a, int64_t b,
                        const char* text) {
    // Groups on no image, one after the other, make one finding.
    if (kind == PROB_HOLE && group > 0 && r->nproblems > 0) {
        Problem* prev = &r->problems[r->nproblems - 1];
        if (prev->kind == PROB_HOLE && prev->last_group == group - 1) {
            prev->last_group = group;
            return;
        }
    }
    if (r->nproblems >= MAX_PROBLEMS) {
        r->more_problems++;
        return;
    }
    Problem* p = &r->problems[r->nproblems++];
    p->kind = kind;
    p->first_group = p->last_group = group;
    p->a = a;
    p->b = b;
    p->text = text;
}

static void add_lost(FileResult* r, int64_t offset, int64_t length) {
    if (length <= 0) return;
    r->bytes_lost += length;
    if (r->nlost > 0) {
        LostRange* prev = &r->lost[r->nlost - 1];
        if (prev->offset + prev->length == offset) {
            prev->length += length;
            return;
        }
    }
    if (r->nlost == r->lost_cap) {
        int32_t cap = r->lost_cap ? r->lost_cap * 2 : 16;
        LostRange* p = (LostRange*)realloc(r->lost, (size_t)cap * sizeof *p);
        if (!p) {
            // The total above still counts it; the list says one range less.
            return;
        }
        r->lost = p;
        r->lost_cap = cap;
    }
    r->lost[r->nlost].offset = offset;
    r->lost[r->nlost].length = length;
    r->nlost++;
}

static bool is_data_problem(int32_t kind) {
    return kind != PROB_UNSAFE_NAME && kind != PROB_NO_NAME && kind != PROB_DIR_PATH &&
           kind != PROB_WRITE;
}

// ---- salvage output ---------------------------------------------------------------

struct Output {
    int fd;               // -1 when nothing is written
    const char* failure;  // the first thing that went wrong
};

static void put_bytes(Output* out, const unsigned char* data, int64_t n) {
    while (out->fd >= 0 && !out->failure && n > 0) {
        int32_t piece = n > INT32_MAX ? INT32_MAX : (int32_t)n;
        if (plat_write(out->fd, data, piece) != piece) out->failure = "write error";
        data += piece;
        n -= piece;
    }
}

static void put_zeros(Output* out, int64_t n) {
    while (out->fd >= 0 && !out->failure && n > 0) {
        int32_t piece = n < ZERO_CHUNK ? (int32_t)n : ZERO_CHUNK;
        put_bytes(out, zeros, piece);
        n -= piece;
    }
}

// The output path below the salvage directory for a path as listed (the
// colons of drives made underscores, as unbak does).
static const char* output_path(Run* run, const char* rel) {
    size_t rel_len = strlen(rel);
    if (rel_len + 1 > run->out_path_size) return NULL;
    memcpy(run->out_path, rel, rel_len + 1);
    out_fix_colons(run->out_path);
    return run->out_path;
}

// Makes every directory on the way to path (up to its last backslash) that
// is not there. Those of the previous call are known to be there.
static bool make_path_dirs(Run* run, char* path) {
    size_t len = strlen(path);
    for (size_t i = 0; i < len; i++) {
        if (path[i] != '\\') continue;
        if (strncmp(path, run->made_dir, i) == 0 &&
            (run->made_dir[i] == '\\' || run->made_dir[i] == '\0'))
            continue;
        path[i] = '\0';
        OutDir made = out_make_dir(&run->tree, path);
        path[i] = '\\';
        if (made != OUT_DIR_MADE && made != OUT_DIR_EXISTED) return false;
    }
    size_t keep = len < run->out_path_size ? len : run->out_path_size - 1;
    memcpy(run->made_dir, path, keep);
    run->made_dir[keep] = '\0';
    return true;
}

void make_dirs_for_all(Run* run) {
    // Every directory of the catalog whose path can be built, as unbak's
    // mk_dirs makes them (so empty directories come back too); a directory
    // that cannot be made shows up as its files' write failures.
    for (int32_t i = 1; i <= run->ndirs; i++) {
        if (!run->dir_paths[i]) continue;
        const char* p = output_path(run, run->dir_paths[i]);
        if (p) make_path_dirs(run, run->out_path);
    }
}

// ---- groups ------------------------------------------------------------------------

// Inflates in_buf[0 .. in_len) into out_buf. Gives back true with the
// count produced, or false with zlib's code and message.
static bool inflate_group(int64_t in_len, int64_t orgsize, int64_t* produced, int* code,
                          const char** message) {
    *message = NULL;
    // Room for ORGSIZE and one byte more, which tells a group that yields
    // more; never more than the group's bytes can fill.
    int64_t room = orgsize + 1;
    int64_t bound = in_len * DEFLATE_MAX_RATIO + 64;
    if (room > bound) room = bound;
    if (room > UINT32_MAX) room = UINT32_MAX;
    if (!ensure(&out_buf, &out_cap, room)) {
        *code = Z_MEM_ERROR;
        return false;
    }
    if (!inflater_ready) {
        memset(&inflater, 0, sizeof inflater);
        int ret = inflateInit2(&inflater, -15);
        if (ret != Z_OK) {
            *code = ret;
            return false;
        }
        inflater_ready = true;
    } else {
        inflateReset(&inflater);
    }
    inflater.next_in = in_buf;
    inflater.avail_in = (uInt)in_len;
    inflater.next_out = out_buf;
    inflater.avail_out = (uInt)room;
    // The whole group in one call.
    int ret = inflate(&inflater, Z_FINISH);
    if (ret == Z_BUF_ERROR && inflater.avail_out == 0) {
        // More than ORGSIZE: count the rest, for the report.
        do {
            inflater.next_out = spill;
            inflater.avail_out = sizeof spill;
            ret = inflate(&inflater, Z_NO_FLUSH);
        } while (ret == Z_OK);
    }
    if (ret == Z_STREAM_END) {
        *produced = (int64_t)inflater.total_out;
        return true;
    }
    *code = ret;
    if (ret == Z_BUF_ERROR)
        *message = "deflate data ends early";
    else if (inflater.msg)
        *message = inflater.msg;
    return false;
}

// Checks group number idx (from 1) of the file, whose bytes lie at stream
// offset pos and whose data belongs at file offset offset; writes its data
// or zeros. True when the group is good.
static bool check_group(Run* run, const CompRecord* g, int64_t pos, int32_t idx, int64_t offset,
                        FileResult* res, Output* out) {
    int64_t orgsize = g->ORGSIZE > 0 ? g->ORGSIZE : 0;
    int64_t compsize = g->COMPSIZE > 0 ? g->COMPSIZE : 0;
    int32_t level = g->COMP_LVL;
    const unsigned char* data = NULL;

    if (!stream_has(&run->placement, pos, compsize)) {
        add_problem(res, PROB_HOLE, idx, 0, 0, NULL);
    } else if (level != 4 && level != -1) {
        add_problem(res, PROB_LEVEL, idx, level, 0, NULL);
    } else if (level == -1 && g->ORGSIZE != g->COMPSIZE) {
        // unbak would read ORGSIZE bytes where the stream holds COMPSIZE.
        add_problem(res, PROB_STORED_SIZE, idx, g->ORGSIZE, g->COMPSIZE, NULL);
    } else if (compsize > INT32_MAX || !ensure(&in_buf, &in_cap, compsize)) {
        add_problem(res, PROB_MEMORY, idx, 0, 0, NULL);
    } else if (stream_read(&run->placement, pos, (int32_t)compsize, in_buf) != STREAM_OK) {
        add_problem(res, PROB_READ, idx, 0, 0, NULL);
    } else if (level == -1) {
        data = in_buf;
    } else if ((data = stage_group(&run->staging, in_buf, (int32_t)compsize, g->ORGSIZE,
                                   (uint32_t)g->CHK_SUM))) {
        // Intact: inflated whole to ORGSIZE bytes with its checksum, the fast
        // way unbak restores it. Anything else is inflated again below, with
        // zlib, to say what is wrong.
    } else {
        int64_t produced = 0;
        int code = 0;
        const char* message = NULL;
        if (!inflate_group(compsize, orgsize, &produced, &code, &message)) {
            add_problem(res, code == Z_MEM_ERROR ? PROB_MEMORY : PROB_INFLATE, idx, code, 0,
                        message);
        } else if (produced != g->ORGSIZE) {
            add_problem(res, PROB_LENGTH, idx, produced, g->ORGSIZE, NULL);
        } else {
            uint32_t crc = (uint32_t)crc32(0L, out_buf, (uInt)produced);
            if ((uint32_t)g->CHK_SUM + crc != 0xFFFFFFFFu)
                add_problem(res, PROB_CHECKSUM, idx, crc, (uint32_t)g->CHK_SUM, NULL);
            else
                data = out_buf;
        }
    }

    if (data) {
        put_bytes(out, data, orgsize);
        return true;
    }
    add_lost(res, offset, orgsize);
    put_zeros(out, orgsize);
    return false;
}

// Stored data: size bytes from stream offset pos.
static void check_stored(Run* run, int64_t pos, int64_t size, FileResult* res, Output* out) {
    int64_t done = 0;
    while (done < size) {
        bool held;
        int64_t n = stream_stretch(&run->placement, pos + done, size - done, &held);
        if (!held) {
            add_problem(res, PROB_HOLE, 0, done, done + n, NULL);
            add_lost(res, done, n);
            put_zeros(out, n);
            done += n;
            continue;
        }
        int64_t end = done + n;
        while (done < end) {
            int32_t piece = end - done < STORED_CHUNK ? (int32_t)(end - done) : STORED_CHUNK;
            if (!ensure(&in_buf, &in_cap, piece) ||
                stream_read(&run->placement, pos + done, piece, in_buf) != STREAM_OK) {
                add_problem(res, PROB_READ, 0, done, end, NULL);
                add_lost(res, done, end - done);
                put_zeros(out, end - done);
                done = end;
                break;
            }
            run->progress_disk = disk_at(&run->placement, pos + done);
            put_bytes(out, in_buf, piece);
            done += piece;
            run->progress_bytes += piece;
            progress_update(run, false);
        }
    }
}

// True when no byte of the file's data lies on an image placed (and it has
// some data to lie anywhere).
static bool all_on_no_image(Run* run, const FileRecord* file, int64_t pos) {
    if (!file->comp) {
        if (file->size_lo <= 0) return false;
        bool held;
        int64_t n = stream_stretch(&run->placement, pos, file->size_lo, &held);
        return !held && n == file->size_lo;
    }
    for (const CompRecord* g = run_first(file->comp, RUN_CLOSES_ON_NONZERO); g;
         g = run_next(g, RUN_CLOSES_ON_NONZERO)) {
        int64_t compsize = g->COMPSIZE > 0 ? g->COMPSIZE : 0;
        if (stream_has(&run->placement, pos, compsize)) return false;
        pos += compsize;
    }
    return true;
}

// ---- one file ----------------------------------------------------------------------

// The file's path as listed into path_text; its name and directory checked.
static void build_path(Run* run, const FileRecord* file, FileResult* res) {
    const char* name = file->name ? file->name : "";
    const char* dir = file->dir >= 1 && file->dir <= run->ndirs ? run->dir_paths[file->dir] : NULL;
    size_t dir_len = dir ? strlen(dir) : 0;
    size_t name_len = strlen(name);
    // As unbak: without a usable directory part, the bare name.
    if (dir_len + name_len + 1 > sizeof path_text) dir_len = 0;
    if (name_len + 1 > sizeof path_text) name_len = sizeof path_text - 1;
    if (dir_len) memcpy(path_text, dir, dir_len);
    memcpy(path_text + dir_len, name, name_len);
    path_text[dir_len + name_len] = '\0';
    res->path = path_text;

    res->name_ok = true;
    if (!file->name) {
        add_problem(res, PROB_NO_NAME, 0, file->serial, 0, NULL);
        res->name_ok = false;
    } else if (!safe_component(file->name)) {
        add_problem(res, PROB_UNSAFE_NAME, 0, 0, 0, NULL);
        res->name_ok = false;
    } else if (!dir) {
        add_problem(res, PROB_DIR_PATH, 0, 0, 0, NULL);
    }
}

static void set_meta(Run* run, const FileRecord* file, const char* path, Output* out) {
    // set_file_meta without its message: the report says it.
    int32_t failed = apply_file_meta(&run->tree, file, path);
    if (failed & META_TIMES_FAILED)
        out->failure = "times not set";
    else if (failed & META_WRITABLE_FAILED)
        out->failure = "read-only state not set";
}

void verify_file(Run* run, const FileRecord* file, int64_t pos, FileResult* res) {
    LostRange* lost = res->lost;
    int32_t lost_cap = res->lost_cap;
    memset(res, 0, sizeof *res);
    res->lost = lost;
    res->lost_cap = lost_cap;
    res->file = file;
    build_path(run, file, res);

    bool none_held = all_on_no_image(run, file, pos);
    Output out = {-1, NULL};
    const char* target = NULL;
    if (run->salvage_dir && res->name_ok && !none_held) {
        target = output_path(run, res->path);
        if (!target) {
            out.failure = "path too long";
        } else {
            OutFile created;
            OutCreate r = out_create(&run->tree, target, &created);
            out.fd = created.fd;
            if (r == OUT_DUPLICATE)
                out.failure = "another file of the set was saved under its name";
            else if (r != OUT_CREATED)
                out.failure = "cannot create it";
        }
    }

    if (!file->comp) {
        check_stored(run, pos, file->size_lo > 0 ? file->size_lo : 0, res, &out);
    } else {
        for (const CompRecord* g = run_first(file->comp, RUN_CLOSES_ON_NONZERO); g;
             g = run_next(g, RUN_CLOSES_ON_NONZERO))
            res->ngroups++;
        int64_t offset = 0;
        int32_t idx = 0;
        bool last = false;
        const CompRecord* g = file->comp;
        while (!last) {
            if (!g) {
                // The chain ended inside the run: the rest of the file is lost.
                add_problem(res, PROB_RUN_END, 0, 0, 0, NULL);
                if (file->size_lo > offset) {
                    add_lost(res, offset, file->size_lo - offset);
                    put_zeros(&out, file->size_lo - offset);
                    offset = file->size_lo;
                }
                break;
            }
            idx++;
            last = closes_run(g);
            run->progress_disk = disk_at(&run->placement, pos);
            check_group(run, g, pos, idx, offset, res, &out);
            int64_t orgsize = g->ORGSIZE > 0 ? g->ORGSIZE : 0;
            offset += orgsize;
            pos += g->COMPSIZE > 0 ? g->COMPSIZE : 0;
            run->progress_bytes += orgsize;
            progress_update(run, false);
            g = g->next;
        }
        if (last && offset != file->size_lo)
            add_problem(res, PROB_FILE_LENGTH, 0, offset, file->size_lo, NULL);
    }

    if (out.fd >= 0) {
        plat_close(out.fd);
        res->created = true;
        if (!out.failure) set_meta(run, file, target, &out);
    }
    if (out.failure) add_problem(res, PROB_WRITE, 0, 0, 0, out.failure);

    bool data_problem = false;
    for (int32_t i = 0; i < res->nproblems; i++)
        if (is_data_problem(res->problems[i].kind)) data_problem = true;
    if (res->more_problems > 0) data_problem = true;
    if (none_held) {
        res->status = FILE_MISSING;
        // Nothing of it was there: all of it is lost.
        res->nlost = 0;
        res->bytes_lost = 0;
        add_lost(res, 0, file->size_lo);
    } else {
        res->status = data_problem ? FILE_DAMAGED : FILE_INTACT;
    }
}
