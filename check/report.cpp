// bakcheck's reports: the text report (standard output, and with --salvage
// also DIR/SALVAGE-REPORT.txt), the JSON report (standard output with
// --json), and the progress line on standard error.
//
// Reports are written as the walk goes: a heading with the set and where
// each image lies, one entry per file that is not intact, the summary.
// Nothing is kept of a file once its entry is written.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "check/bakcheck.h"
#include "platform/platform.h"

enum { LINE_SIZE = 4096, LABEL_SIZE = 200 };

static void sink_write(Sink* s, const char* text, size_t n) {
    if (!s->open || n == 0) return;
    if (s->fd < 0) {
        if (fwrite(text, 1, n, stdout) != n) s->failed = true;
    } else if (plat_write(s->fd, text, (int32_t)n) != (int32_t)n) {
        s->failed = true;
    }
}

void sink_printf(Sink* s, const char* fmt, ...) {
    if (!s->open) return;
    char line[LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    sink_write(s, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

// Text goes to every text sink open.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
static void
text(Run* run, const char* fmt, ...) {
    char line[LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    size_t len = (size_t)n < sizeof line ? (size_t)n : sizeof line - 1;
    sink_write(&run->text_out, line, len);
    sink_write(&run->text_file, line, len);
}

// A JSON string. Catalog names are bytes of whatever code page the backup
// was made on: valid UTF-8 passes, any other byte is taken as Latin-1.
static void json_string(Sink* s, const char* str) {
    char buf[LINE_SIZE];
    size_t n = 0;
    buf[n++] = '"';
    const unsigned char* p = (const unsigned char*)str;
    while (*p) {
        if (n + 16 >= sizeof buf) {
            sink_write(s, buf, n);
            n = 0;
        }
        unsigned char c = *p;
        int extra = c >= 0xF0 && c < 0xF5   ? 3
                    : c >= 0xE0 && c < 0xF0 ? 2
                    : c >= 0xC2 && c < 0xE0 ? 1
                                            : 0;
        bool utf8 = extra > 0;
        for (int i = 1; utf8 && i <= extra; i++)
            if ((p[i] & 0xC0) != 0x80) utf8 = false;
        if (utf8) {
            memcpy(buf + n, p, (size_t)extra + 1);
            n += (size_t)extra + 1;
            p += extra + 1;
            continue;
        }
        if (c == '"' || c == '\\') {
            buf[n++] = '\\';
            buf[n++] = (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            n += (size_t)snprintf(buf + n, sizeof buf - n, "\\u%04x", c);
        } else {
            buf[n++] = (char)c;
        }
        p++;
    }
    buf[n++] = '"';
    sink_write(s, buf, n);
}

static const char* disk_state(const DiskSlot* d) {
    return !d->path ? "missing" : d->cut_short ? "cut short" : "not placed";
}

void hole_label(const Placement* pl, char* out, int32_t size) {
    out[0] = '\0';
    int32_t first = pl->hole_first, last = pl->hole_last;
    if (first > last) {
        snprintf(out, (size_t)size, "the images hold less than the catalog's files take");
        return;
    }
    int32_t missing = 0, cut = 0, unplaced = 0;
    for (int32_t k = first; k <= last; k++) {
        const DiskSlot* d = &pl->disks[k];
        if (!d->path)
            missing++;
        else if (d->cut_short)
            cut++;
        else
            unplaced++;
    }
    int32_t count = last - first + 1;
    if (count == 1) {
        snprintf(out, (size_t)size, "disk %d %s", (int)first, disk_state(&pl->disks[first]));
    } else if (missing == count || cut == count || unplaced == count) {
        snprintf(out, (size_t)size, "disks %d to %d %s", (int)first, (int)last,
                 disk_state(&pl->disks[first]));
    } else {
        int n = snprintf(out, (size_t)size, "disks %d to %d:", (int)first, (int)last);
        const char* sep = " ";
        if (missing && n >= 0 && n < size) {
            n += snprintf(out + n, (size_t)(size - n), "%s%d missing", sep, (int)missing);
            sep = ", ";
        }
        if (cut && n >= 0 && n < size) {
            n += snprintf(out + n, (size_t)(size - n), "%s%d cut short", sep, (int)cut);
            sep = ", ";
        }
        if (unplaced && n >= 0 && n < size)
            snprintf(out + n, (size_t)(size - n), "%s%d not placed", sep, (int)unplaced);
    }
}

// ---- heading ------------------------------------------------------------------

static void text_heading(Run* run) {
    const Placement* pl = &run->placement;
    text(run, "bakcheck: backup \"%s\", job %u: %d disk%s, %d file%s, %lld bytes\n",
         run->header.name, (unsigned)fh_job_num(&run->header), (int)pl->num_disks,
         pl->num_disks == 1 ? "" : "s", (int)run->totals.files, run->totals.files == 1 ? "" : "s",
         (long long)run->totals.bytes);
    for (int32_t k = 1; k <= pl->num_disks; k++) {
        const DiskSlot* d = &pl->disks[k];
        if (!d->path) {
            // A run of missing disks makes one line.
            int32_t to = k;
            while (to < pl->num_disks && !pl->disks[to + 1].path) to++;
            if (to > k)
                text(run, "disks %d-%d: missing\n", (int)k, (int)to);
            else
                text(run, "disk %d: missing\n", (int)k);
            k = to;
            continue;
        }
        const char* role = k == pl->num_disks ? ", catalog" : "";
        if (d->placed == PLACED_NOT) {
            text(run,
                 "disk %d: %s%s: %scannot be placed from the catalog alone (disks missing or cut "
                 "short on both sides)\n",
                 (int)k, d->path, role, d->cut_short ? "cut short, " : "");
            continue;
        }
        int64_t end = d->start + d->data_size;
        char range[64] = "no data bytes";
        if (d->data_size > 0)
            snprintf(range, sizeof range, "stream bytes %lld-%lld", (long long)d->start,
                     (long long)(end - 1));
        text(run, "disk %d: %s%s: %s%s%s\n", (int)k, d->path, role, range,
             d->placed == PLACED_FROM_END ? ", placed from the end" : "",
             d->cut_short ? ", cut short" : "");
    }
    if (pl->hole_end > pl->hole_start) {
        char label[LABEL_SIZE];
        hole_label(pl, label, sizeof label);
        text(run, "lost: stream bytes %lld-%lld (%s)\n", (long long)pl->hole_start,
             (long long)(pl->hole_end - 1), label);
    }
    if (pl->excess > 0)
        text(run, "note: the images hold %lld bytes more than the catalog's files take\n",
             (long long)pl->excess);
    for (int32_t i = 0; i < run->ngiven; i++)
        if (run->given[i].left_out)
            text(run, "left out: %s: %s\n", run->given[i].path, run->given[i].left_out);
}

static void json_heading(Run* run) {
    Sink* s = &run->json_out;
    const Placement* pl = &run->placement;
    sink_printf(s, "{\n  \"backup\": ");
    json_string(s, run->header.name);
    sink_printf(s, ",\n  \"job\": %u,\n  \"disks\": [", (unsigned)fh_job_num(&run->header));
    for (int32_t k = 1; k <= pl->num_disks; k++) {
        const DiskSlot* d = &pl->disks[k];
        sink_printf(s, "%s\n    {\"disk\": %d, \"image\": ", k > 1 ? "," : "", (int)k);
        if (d->path)
            json_string(s, d->path);
        else
            sink_printf(s, "null");
        const char* state = !d->path ? "missing" : d->placed == PLACED_NOT ? "not placed" : "placed";
        sink_printf(s, ", \"state\": \"%s\"", state);
        if (d->path) sink_printf(s, ", \"cut_short\": %s", d->cut_short ? "true" : "false");
        if (d->placed != PLACED_NOT)
            sink_printf(s,
                        ", \"placed_from\": \"%s\", \"stream_offset\": %lld, \"data_bytes\": %lld",
                        d->placed == PLACED_FROM_END ? "end" : "start", (long long)d->start,
                        (long long)d->data_size);
        sink_printf(s, "}");
    }
    sink_printf(
        s, "\n  ],\n  \"stream_bytes\": %lld,\n  \"stream_lost\": ", (long long)pl->stream_length);
    if (pl->hole_end > pl->hole_start) {
        char label[LABEL_SIZE];
        hole_label(pl, label, sizeof label);
        sink_printf(s, "{\"offset\": %lld, \"length\": %lld, \"why\": ", (long long)pl->hole_start,
                    (long long)(pl->hole_end - pl->hole_start));
        json_string(s, label);
        sink_printf(s, "}");
    } else {
        sink_printf(s, "null");
    }
    sink_printf(s, ",\n  \"left_out\": [");
    bool first = true;
    for (int32_t i = 0; i < run->ngiven; i++) {
        if (!run->given[i].left_out) continue;
        sink_printf(s, "%s\n    {\"image\": ", first ? "" : ",");
        json_string(s, run->given[i].path);
        sink_printf(s, ", \"why\": ");
        json_string(s, run->given[i].left_out);
        sink_printf(s, "}");
        first = false;
    }
    sink_printf(s, "%s],\n  \"files\": [", first ? "" : "\n  ");
    run->first_json_file = true;
}

void report_begin(Run* run) {
    text_heading(run);
    if (run->json_out.open) json_heading(run);
}

// ---- one file -------------------------------------------------------------------

// A file's category in the summary: its data first, then its name, then
// whether salvage could write it.
static const char* category(const FileResult* res) {
    if (res->status == FILE_MISSING) return "missing";
    if (res->status == FILE_DAMAGED) return "damaged";
    for (int32_t i = 0; i < res->nproblems; i++) {
        int32_t k = res->problems[i].kind;
        if (k == PROB_UNSAFE_NAME || k == PROB_NO_NAME || k == PROB_DIR_PATH) return "unsafe name";
    }
    for (int32_t i = 0; i < res->nproblems; i++)
        if (res->problems[i].kind == PROB_WRITE) return "not written";
    return NULL;
}

// One finding as text.
static void describe(const Run* run, const FileResult* res, const Problem* p, char* out,
                     size_t size) {
    char group[64] = "";
    if (p->first_group > 0 && p->last_group > p->first_group)
        snprintf(group, sizeof group, "groups %d-%d of %d", (int)p->first_group, (int)p->last_group,
                 (int)res->ngroups);
    else if (p->first_group > 0)
        snprintf(group, sizeof group, "group %d of %d", (int)p->first_group, (int)res->ngroups);
    else
        snprintf(group, sizeof group, "bytes %lld-%lld", (long long)p->a, (long long)(p->b - 1));
    char label[LABEL_SIZE];
    switch (p->kind) {
        case PROB_HOLE:
            hole_label(&run->placement, label, sizeof label);
            snprintf(out, size, "%s on no image given (%s)", group, label);
            break;
        case PROB_READ:
            snprintf(out, size, "%s: read error", group);
            break;
        case PROB_LEVEL:
            snprintf(out, size, "%s: unknown compression level %lld", group, (long long)p->a);
            break;
        case PROB_INFLATE:
            snprintf(out, size, "%s: inflate error %lld (%s)", group, (long long)p->a,
                     p->text ? p->text : "no message");
            break;
        case PROB_LENGTH:
            snprintf(out, size, "%s: inflates to %lld bytes, not %lld", group, (long long)p->a,
                     (long long)p->b);
            break;
        case PROB_CHECKSUM:
            snprintf(out, size, "%s: checksum mismatch (CRC-32 0x%08llx, CHK_SUM 0x%08llx)", group,
                     (unsigned long long)p->a, (unsigned long long)p->b);
            break;
        case PROB_STORED_SIZE:
            snprintf(out, size, "%s: stored group of %lld bytes takes %lld in the stream", group,
                     (long long)p->a, (long long)p->b);
            break;
        case PROB_MEMORY:
            snprintf(out, size, "%s: not enough memory", group);
            break;
        case PROB_RUN_END:
            snprintf(out, size, "the catalog's groups end before the file's last group");
            break;
        case PROB_FILE_LENGTH:
            snprintf(out, size, "its groups hold %lld bytes, its length is %lld", (long long)p->a,
                     (long long)p->b);
            break;
        case PROB_UNSAFE_NAME:
            snprintf(out, size, "unsafe name, not restored");
            break;
        case PROB_NO_NAME:
            snprintf(out, size, "file record %lld has no name, not restored", (long long)p->a);
            break;
        case PROB_DIR_PATH:
            snprintf(out, size, "its directory path cannot be used: restored under its bare name");
            break;
        case PROB_WRITE:
            snprintf(out, size, "not written: %s", p->text ? p->text : "error");
            break;
        default:
            snprintf(out, size, "?");
    }
}

static void text_file(Run* run, const FileResult* res, const char* what) {
    text(run, "%s: %s", what, res->path[0] ? res->path : "(no name)");
    char line[LINE_SIZE];
    for (int32_t i = 0; i < res->nproblems; i++) {
        describe(run, res, &res->problems[i], line, sizeof line);
        text(run, "%s%s", i == 0 ? ": " : "; ", line);
    }
    if (res->more_problems > 0) text(run, "; and %d more", (int)res->more_problems);
    int64_t size = res->file->size_lo;
    if (res->nlost == 1 && res->lost[0].offset == 0 && res->lost[0].length >= size && size > 0) {
        text(run, "; all %lld bytes lost", (long long)size);
    } else if (res->nlost > 0) {
        text(run, "; lost bytes");
        for (int32_t i = 0; i < res->nlost; i++)
            text(run, "%s %lld-%lld", i == 0 ? "" : ",", (long long)res->lost[i].offset,
                 (long long)(res->lost[i].offset + res->lost[i].length - 1));
    }
    text(run, "\n");
}

static void json_file(Run* run, const FileResult* res, const char* what) {
    Sink* s = &run->json_out;
    sink_printf(s, "%s\n    {\"path\": ", run->first_json_file ? "" : ",");
    run->first_json_file = false;
    json_string(s, res->path);
    sink_printf(
        s,
        ", \"serial\": %d, \"size\": %lld, \"status\": \"%s\", \"restored\": %s, \"problems\": [",
        (int)res->file->serial, (long long)res->file->size_lo, what,
        res->created ? "true" : "false");
    char line[LINE_SIZE];
    for (int32_t i = 0; i < res->nproblems; i++) {
        describe(run, res, &res->problems[i], line, sizeof line);
        if (i > 0) sink_printf(s, ", ");
        json_string(s, line);
    }
    sink_printf(s, "], \"more_problems\": %d, \"lost\": [", (int)res->more_problems);
    for (int32_t i = 0; i < res->nlost; i++)
        sink_printf(s, "%s{\"offset\": %lld, \"length\": %lld}", i == 0 ? "" : ", ",
                    (long long)res->lost[i].offset, (long long)res->lost[i].length);
    sink_printf(s, "]}");
}

void report_file(Run* run, const FileResult* res) {
    Totals* t = &run->totals;
    t->bytes_lost += res->bytes_lost;
    if (res->created) t->created++;
    const char* what = category(res);
    if (!what) {
        t->intact++;
        return;
    }
    if (res->status == FILE_MISSING)
        t->missing++;
    else if (res->status == FILE_DAMAGED)
        t->damaged++;
    else if (strcmp(what, "unsafe name") == 0)
        t->unsafe++;
    else
        t->not_written++;
    progress_clear(run);
    text_file(run, res, what);
    if (run->json_out.open) json_file(run, res, what);
}

// ---- summary --------------------------------------------------------------------

void report_end(Run* run) {
    const Totals* t = &run->totals;
    progress_clear(run);
    if (t->intact == t->files) {
        text(run, "all %d file%s intact, %lld bytes\n", (int)t->files, t->files == 1 ? "" : "s",
             (long long)t->bytes);
    } else {
        text(run, "%d file%s, %lld bytes: %d intact, %d damaged, %d missing", (int)t->files,
             t->files == 1 ? "" : "s", (long long)t->bytes, (int)t->intact, (int)t->damaged,
             (int)t->missing);
        if (t->unsafe) text(run, ", %d with unsafe names", (int)t->unsafe);
        if (t->not_written) text(run, ", %d not written", (int)t->not_written);
        text(run, "; %lld bytes lost\n", (long long)t->bytes_lost);
    }
    if (run->salvage_dir)
        text(run, "salvage: %d file%s written into %s\n", (int)t->created,
             t->created == 1 ? "" : "s", run->salvage_dir);

    Sink* s = &run->json_out;
    if (s->open) {
        sink_printf(s,
                    "%s],\n  \"summary\": {\"files\": %d, \"bytes\": %lld, \"intact\": %d, "
                    "\"damaged\": %d, \"missing\": %d, \"unsafe_names\": %d, \"not_written\": %d, "
                    "\"bytes_lost\": %lld",
                    run->first_json_file ? "" : "\n  ", (int)t->files, (long long)t->bytes,
                    (int)t->intact, (int)t->damaged, (int)t->missing, (int)t->unsafe,
                    (int)t->not_written, (long long)t->bytes_lost);
        if (run->salvage_dir) {
            sink_printf(s, ", \"salvage_dir\": ");
            json_string(s, run->salvage_dir);
            sink_printf(s, ", \"written\": %d", (int)t->created);
        }
        sink_printf(s, "}\n}\n");
    }
}

// ---- progress -----------------------------------------------------------------------

enum { PROGRESS_WIDTH = 79 };

void progress_update(Run* run, bool force) {
    if (!run->progress) return;
    int64_t now = (int64_t)time(NULL);
    if (!force && now == run->progress_shown) return;
    run->progress_shown = now;
    char disk[32] = "";
    if (run->progress_disk > 0) snprintf(disk, sizeof disk, ", disk %d", (int)run->progress_disk);
    fprintf(stderr, "\r%-*.*s", PROGRESS_WIDTH, PROGRESS_WIDTH, "");
    fprintf(stderr, "\r%s %d/%d files, %lld/%lld MiB%s",
            run->salvage_dir ? "salvaging" : "checking", (int)run->progress_files,
            (int)run->totals.files, (long long)(run->progress_bytes >> 20),
            (long long)(run->totals.bytes >> 20), disk);
    fflush(stderr);
}

void progress_clear(Run* run) {
    if (!run->progress || run->progress_shown == 0) return;
    fprintf(stderr, "\r%-*s\r", PROGRESS_WIDTH, "");
    fflush(stderr);
    run->progress_shown = 0;
}
