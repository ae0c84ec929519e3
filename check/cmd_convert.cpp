// bak convert: the chosen files written into one archive (tar, plain or
// compressed, zip or 7z, by OUTPUT's suffix; "-" for a tar on standard
// output), named, timed and moded as bak extract would restore them, with
// its messages, report and exit statuses. This is bak's front end to
// libarchive: no other file calls it.
//
// An archive entry's header carries the file's size before its data, but
// damage shows only while a file is inflated, and a damaged file must not
// appear unless --salvage asks for it. So a file is checked before its
// header goes out:
//   - a file of up to HOLD_MAX bytes is checked once, its checked bytes
//     held in memory, and written as an entry only when it is to be kept;
//   - a larger one is checked first with no output, then, when it is to be
//     kept, checked again with its bytes going straight into the entry. Its
//     data is read and inflated twice, which only such files pay for.
// If the second check finds what the first did not (an image that changed
// or failed between the two), the entry already begun cannot be taken back:
// the archive is given up as unusable, with status 2.
//
// A kept file's entry always holds its recorded size: a salvaged file whose
// groups hold fewer bytes is padded with zeros, as its lost tail. Memory is
// the hold buffer (up to HOLD_MAX, grown to the largest file held) beside
// what check_file uses, a group and its staging; .7z alone is staged by
// libarchive in TMPDIR, since that format puts its index first.
//
// Times: an intact file has its recorded time, as bak extract sets it; a
// salvaged file and every directory have the time of the run, as bak
// extract leaves them. Modes: 0444 for a read-only file, 0644 for others,
// 0755 for directories.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <archive.h>
#include <archive_entry.h>

#include <chrono>
#include <set>

#include "check/bak.h"
#include "check/bak_json.h"
#include "check/names.h"
#include "check/naming.h"
#include "check/outcome.h"
#include "platform/charset.h"
#include "platform/dirs.h"
#include "platform/platform.h"
#include "restore/restore.h"

namespace {

enum : int64_t {
    HOLD_MAX = 64 * 1024 * 1024,  // a file's checked bytes held in memory at most
    PAD_PIECE = 64 * 1024,
};

const char LOST_DATA_NAME[] = "LOST-DATA.txt";

// The archive kinds, by the suffix of OUTPUT.
enum Kind { KIND_NONE, KIND_TAR, KIND_TAR_GZ, KIND_TAR_XZ, KIND_TAR_ZST, KIND_ZIP, KIND_7Z };

Kind kind_of(const std::string& output) {
    static const struct {
        const char* suffix;
        Kind kind;
    } SUFFIXES[] = {{".tar.gz", KIND_TAR_GZ}, {".tar.xz", KIND_TAR_XZ}, {".tar.zst", KIND_TAR_ZST},
                    {".tar", KIND_TAR},       {".zip", KIND_ZIP},       {".7z", KIND_7Z}};
    if (output == "-") return KIND_TAR;
    for (const auto& s : SUFFIXES) {
        size_t n = strlen(s.suffix);
        if (output.size() > n && strcasecmp(output.c_str() + output.size() - n, s.suffix) == 0)
            return s.kind;
    }
    return KIND_NONE;
}

// The run's output: the archive and what is said of the files.
struct Convert {
    Bak* bak;
    struct archive* arc;
    struct archive_entry* entry;
    int fd;                  // OUTPUT, -1 for standard output
    bool broken;             // the archive cannot be completed
    std::string broken_why;
    int64_t now;             // the time of the run, for salvaged files and LOST-DATA.txt
    int64_t dirs_time;       // the backup's (its session's date), for directories: the
                             // same archive from the same set; the run's when unknown
    std::vector<OutputName> names;  // by the files' catalog index
    RestoreTally counts;
    unsigned char* held;     // a file's checked bytes, up to HOLD_MAX
    int64_t held_len, held_cap;
};

// ---- the archive ---------------------------------------------------------------------

la_ssize_t write_out(struct archive* arc, void* ctx, const void* buf, size_t n) {
    Convert* x = (Convert*)ctx;
    if (x->fd < 0) {
        put_stdout(x->bak, buf, n);
        if (x->bak->stdout_failed) {
            archive_set_error(arc, EIO, "standard output cannot be written");
            return -1;
        }
        return (la_ssize_t)n;
    }
    const unsigned char* p = (const unsigned char*)buf;
    for (size_t left = n; left > 0;) {
        int32_t piece = left > (1u << 30) ? (1 << 30) : (int32_t)left;
        if (plat_write(x->fd, p, piece) != piece) {
            archive_set_error(arc, EIO, "write error (no room, or a file-size limit)");
            return -1;
        }
        p += piece;
        left -= (size_t)piece;
    }
    return (la_ssize_t)n;
}

// Gives the archive up at its first fatal error.
void break_archive(Convert* x) {
    if (x->broken) return;
    x->broken = true;
    const char* why = archive_error_string(x->arc);
    x->broken_why = why ? why : "write error";
}

bool open_archive(Convert* x, Kind kind) {
    struct archive* a = archive_write_new();
    x->arc = a;
    x->entry = archive_entry_new();
    if (!a || !x->entry) return false;
    int r = ARCHIVE_OK;
    switch (kind) {
    case KIND_ZIP: r = archive_write_set_format_zip(a); break;
    case KIND_7Z: r = archive_write_set_format_7zip(a); break;
    default: r = archive_write_set_format_pax_restricted(a); break;
    }
    if (r == ARCHIVE_OK && kind == KIND_TAR_GZ) r = archive_write_add_filter_gzip(a);
    if (r == ARCHIVE_OK && kind == KIND_TAR_XZ) r = archive_write_add_filter_xz(a);
    if (r == ARCHIVE_OK && kind == KIND_TAR_ZST) r = archive_write_add_filter_zstd(a);
    // Written in pieces of 1 MiB, not tar's 10 KiB records: a tenth of the
    // time goes to the calls otherwise. The last piece is not padded.
    if (r == ARCHIVE_OK) r = archive_write_set_bytes_per_block(a, 1 << 20);
    if (r == ARCHIVE_OK) r = archive_write_set_bytes_in_last_block(a, 1);
    if (r == ARCHIVE_OK) r = archive_write_open2(a, x, nullptr, write_out, nullptr, nullptr);
    return r == ARCHIVE_OK;
}

// An entry's header; false when the archive refuses it (and then whether
// the archive is broken says if it can go on).
bool begin_entry(Convert* x, const std::string& path, bool dir, int64_t size, int64_t mtime,
                 int perm) {
    struct archive_entry* e = archive_entry_clear(x->entry);
    archive_entry_copy_pathname(e, path.c_str());
    archive_entry_set_filetype(e, dir ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(e, (mode_t)perm);
    archive_entry_set_mtime(e, (time_t)mtime, 0);
    archive_entry_set_size(e, dir ? 0 : size);
    int r = archive_write_header(x->arc, e);
    if (r == ARCHIVE_FATAL) break_archive(x);
    return r == ARCHIVE_OK || r == ARCHIVE_WARN;
}

bool put_data(Convert* x, const unsigned char* data, int64_t n) {
    while (n > 0 && !x->broken) {
        size_t piece = n > (1 << 30) ? (size_t)1 << 30 : (size_t)n;
        la_ssize_t w = archive_write_data(x->arc, data, piece);
        if (w <= 0) {
            break_archive(x);
            return false;
        }
        data += w;
        n -= w;
    }
    return !x->broken;
}

bool pad_zeros(Convert* x, int64_t n) {
    static const unsigned char zeros[PAD_PIECE] = {0};
    while (n > 0) {
        int64_t piece = n < PAD_PIECE ? n : PAD_PIECE;
        if (!put_data(x, zeros, piece)) return false;
        n -= piece;
    }
    return true;
}

bool end_entry(Convert* x) {
    if (x->broken) return false;
    int r = archive_write_finish_entry(x->arc);
    if (r == ARCHIVE_FATAL) break_archive(x);
    return !x->broken;
}

// check_file's output: into the hold buffer, or straight into the entry.
bool hold_sink(void* ctx, const unsigned char* data, int64_t n) {
    Convert* x = (Convert*)ctx;
    if (x->held_len + n > x->held_cap) return false;  // never: put stops at the size
    memcpy(x->held + x->held_len, data, (size_t)n);
    x->held_len += n;
    return true;
}

bool entry_sink(void* ctx, const unsigned char* data, int64_t n) {
    return put_data((Convert*)ctx, data, n);
}

// Makes the hold buffer hold size bytes; its contents need not survive.
bool hold_room(Convert* x, int64_t size) {
    x->held_len = 0;
    if (size <= x->held_cap) return true;
    free(x->held);
    x->held = (unsigned char*)malloc((size_t)(size > 0 ? size : 1));
    x->held_cap = x->held ? size : 0;
    return x->held != nullptr;
}

// ---- the report (as bak extract writes it) --------------------------------------------

// ---- the files ------------------------------------------------------------------------

// A file checked with its bytes held or with none put out.
struct Checked {
    FileCheck res;
    bool good, keep;
    bool held;  // its bytes are in the hold buffer
};

void decide(Convert* x, const BakFile* f, Checked* c) {
    c->good = c->res.status == FILE_INTACT || c->res.status == FILE_PRESENT;
    c->keep = keep_file(x->bak, f, &c->res);
}

void convert_file(Convert* x, const BakFile* f) {
    Bak* bak = x->bak;
    const FileRecord* rec = f->rec;
    const OutputName& name = x->names[(size_t)f->index];
    std::string shown = shown_text(f->shown);
    say_name_taken(bak, f, &name);

    int64_t size = rec->size_lo > 0 ? rec->size_lo : 0;
    Checked c;
    c.held = size <= HOLD_MAX && hold_room(x, size);
    DataOut out = {-1, false, false, !bak->opt.salvage, false, nullptr,
                   c.held ? hold_sink : nullptr, x};
    int64_t before = bak->progress.bytes_done;
    check_file(bak, f, &out, &c.res);
    decide(x, f, &c);
    if (!c.keep) {
        say_not_kept(bak, &x->counts, f, &c.res, name.path);
        return;
    }

    if (!begin_entry(x, name.path, false, size, c.good ? date_to_secs(rec->date) : x->now,
                     file_writable(rec) ? 0644 : 0444)) {
        if (!x->broken) {
            x->counts.failed++;
            const char* why = archive_error_string(x->arc);
            say_error(bak, "not written: %s: %s", shown.c_str(), why ? why : "the archive refuses it");
        }
        return;
    }
    int64_t written;
    if (c.held) {
        put_data(x, x->held, x->held_len);
        written = x->held_len;
    } else {
        // The second pass, straight into the entry.
        bak->progress.bytes_done = before;
        FileCheck again;
        DataOut direct = {-1, false, false, false, false, nullptr, entry_sink, x};
        check_file(bak, f, &direct, &again);
        written = again.written;
        if (!x->broken && (again.status != c.res.status || again.bytes_lost != c.res.bytes_lost)) {
            x->broken = true;
            x->broken_why = "the images read differently the second time through " + shown;
        }
    }
    if (written < size) pad_zeros(x, size - written);
    if (!end_entry(x)) return;
    x->counts.bytes += written;
    if (c.good) {
        x->counts.restored++;
        for (const Problem& p : c.res.problems)
            if (p.kind == PROB_SIZE_ONLY)
                bak->set.inconsistencies.push_back(f->shown + ": " + problem_text(bak, &c.res, &p));
    } else {
        x->counts.salvaged++;
        say_error(bak, "damaged, salvaged: %s%s", shown.c_str(),
                  problems_line(bak, &c.res, rec->size_lo).c_str());
        note_loss(bak, &x->counts, f, &c.res, name.path, true);
    }
}

// Every directory bak extract would make: those the patterns choose (all
// of them without patterns, empty ones too) and those above each file.
void write_dirs(Convert* x, const std::vector<const BakFile*>& files) {
    Bak* bak = x->bak;
    std::set<std::string> dirs;
    auto add_levels = [&dirs](const std::string& path) {
        for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
            dirs.insert(path.substr(0, at + 1));
    };
    for (size_t i = 1; i < bak->set.dir_paths.size(); i++) {
        const std::string& dir = bak->set.dir_paths[i];
        if (dir.empty()) continue;
        if (!bak->patterns.include.empty() &&
            !select_path(&bak->patterns, decode_charset(bak->set.charset, dir)))
            continue;
        add_levels(output_dir_name(dir, bak->set.charset));
    }
    for (const BakFile* f : files) add_levels(x->names[(size_t)f->index].path);
    // A set orders parents before what lies below them.
    for (const std::string& d : dirs)
        if (!begin_entry(x, d, true, 0, x->dirs_time, 0755) || !end_entry(x)) return;
}

void write_lost_data(Convert* x) {
    std::string text = loss_text(x->bak, &x->counts);
    if (begin_entry(x, LOST_DATA_NAME, false, (int64_t)text.size(), x->now, 0644))
        put_data(x, (const unsigned char*)text.data(), (int64_t)text.size());
    end_entry(x);
}

}  // namespace

bool convert_output_known(const std::string& output) { return kind_of(output) != KIND_NONE; }

int cmd_convert(Bak* bak) {
    auto started = std::chrono::steady_clock::now();
    bool unmatched = false;
    std::vector<const BakFile*> files = select_files(bak, &unmatched);
    const std::string& output = bak->opt.output;

    Convert x{};
    x.bak = bak;
    x.fd = -1;
    tally_init(&x.counts);
    x.now = (int64_t)std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
    x.dirs_time = x.now;
    if (bak->set.catalog.sessions && bak->set.regions[TBL_SESSION].count > 0)
        x.dirs_time = date_to_secs(bak->set.catalog.sessions[0].date);

    // The report first, held open for reading as well: OUTPUT is then
    // refused if it names it, as it is refused over an image of the set.
    ReportFile report;
    if (!open_report_file(bak, &report)) return BAK_EXIT_UNUSABLE;
    if (output != "-") {
        x.fd = plat_create_as(output.c_str(), PLAT_OUT_SHARED);
        if (x.fd < 0) {
            drop_report_file(&report);
            say_error(bak, "%s: cannot be written (an image of the set, the report, a link or "
                           "not writable)",
                      shown_text(output).c_str());
            return BAK_EXIT_UNUSABLE;
        }
    }
    // Names are UTF-8 (after --charset) or the catalog's bytes: the archive
    // library takes them by the locale, so it is made UTF-8 for the run
    // (7z holds UTF-16 names). Bytes that are not UTF-8 stay as they are in
    // a tar or zip; in a 7z they become replacement characters.
    void* text = plat_utf8_text_begin();
    if (!open_archive(&x, kind_of(output))) break_archive(&x);

    NameTable table;
    table.fold_case = plat_names_ignore_case();
    for (const BakFile& f : bak->set.files)
        x.names.push_back(output_name(&table, f.dir_ok ? bak->set.dir_paths[(size_t)f.rec->dir] : "",
                                      f.rec->name, f.rec->serial, bak->set.charset));
    if (!x.broken) write_dirs(&x, files);

    int64_t total = 0;
    for (const BakFile* f : files) total += f->rec->size_lo > 0 ? f->rec->size_lo : 0;
    progress_start(bak, (int32_t)files.size(), total);
    // A file read twice (too large to hold) is read the second time on
    // this thread.
    walk_start(bak, files);
    for (const BakFile* f : files) {
        if (x.broken) break;
        convert_file(&x, f);
        bak->progress.files_done++;
        progress_update(bak, false);
    }
    walk_stop(bak);
    progress_clear(bak);
    if (!x.broken && bak->opt.report_in_archive) write_lost_data(&x);
    if (x.arc && !x.broken && archive_write_close(x.arc) != ARCHIVE_OK) break_archive(&x);
    if (x.arc) archive_write_free(x.arc);
    if (x.entry) archive_entry_free(x.entry);
    free(x.held);
    plat_utf8_text_end(text);
    if (x.fd >= 0 && plat_close(x.fd) != 0 && !x.broken) {
        x.broken = true;
        x.broken_why = "write error";
    }

    bool report_failed = !finish_report_file(bak, &x.counts, &report);
    if (x.broken) {
        say_error(bak, "%s: cannot be written: %s; the archive is incomplete, do not use it",
                  shown_text(output).c_str(), x.broken_why.c_str());
        return BAK_EXIT_UNUSABLE;
    }

    double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    int status = say_tally(bak, &x.counts, secs, unmatched);
    return report_failed ? BAK_EXIT_UNUSABLE : status;
}
