// bak extract: the chosen files restored under DIR, never asking, past
// every failure to the end, with a summary.
//
// Every byte goes through the output tree (restore/outtree.h) with bak's
// policy: modes 0666/0777 less the umask, existing files kept unless
// --overwrite, a second file of the run on one path numbered, and each file
// written under a temporary name in its directory and renamed to its own
// only once it is whole and checked. So nothing is written outside DIR or
// through a link, no special file is opened, no image is written over, and
// a damaged or interrupted file never stands under its real name: a
// damaged one is dropped (kept with --salvage, zeros in its lost ranges,
// and without its recorded time, so a later run does not take it for
// restored), an interrupted one leaves its temporary name, which the next
// run that writes the file removes.
//
// A file already in DIR with the catalog's size and time counts as already
// present and is not written again: running the same command again resumes
// an interrupted run. The names come from naming.h, computed over the whole
// catalog, so they are the same in every run whatever is chosen.
//
// Files come directory by directory, so each directory is opened once
// (plat_open_dir_at, following no link) and the tree works below it by
// bare names: the way from DIR is walked once a directory, not once for
// every step of every file.
#include <stdio.h>
#include <string.h>

#include "check/bak.h"
#include "check/bak_json.h"
#include "check/names.h"
#include "check/naming.h"
#include "check/outcome.h"
#include "platform/dirs.h"
#include "restore/outtree.h"
#include "restore/restore.h"

namespace {

// The run's output: the tree below DIR and the report file.
struct Extract {
    Bak* bak;
    int root;        // DIR
    OutTree tree;    // its root is DIR, or the directory entered
    std::string entered;  // the directory entered, with its '/'; "" for DIR
    int entered_root;     // its handle, -1 when none
    std::vector<OutputName> names;  // by the files' catalog index
    RestoreTally counts;
};

// Makes the directories of a file's path and works below the last one; false
// when it cannot be made or entered.
bool enter(Extract* x, const std::string& dir) {
    if (dir == x->entered && (dir.empty() || x->entered_root >= 0)) return true;
    if (x->entered_root >= 0) plat_close_root(x->entered_root);
    x->entered_root = -1;
    x->entered = dir;
    x->tree.root = x->root;
    if (dir.empty()) return true;
    if (!out_make_parents(&x->tree, dir.c_str())) return false;
    x->entered_root = plat_open_dir_at(x->root, dir.substr(0, dir.size() - 1).c_str());
    if (x->entered_root < 0) return false;
    x->tree.root = x->entered_root;
    return true;
}

void leave(Extract* x) {
    if (x->entered_root >= 0) plat_close_root(x->entered_root);
    x->entered_root = -1;
    x->entered.clear();
    x->tree.root = x->root;
}

bool matches_catalog(Extract* x, const std::string& name, const FileRecord* f) {
    PlatStat st;
    return plat_stat_at(x->tree.root, name.c_str(), &st) == 0 && st.regular &&
           st.size == (f->size_lo > 0 ? f->size_lo : 0) && st.mtime == date_to_secs(f->date);
}

void extract_file(Extract* x, const BakFile* f) {
    Bak* bak = x->bak;
    const FileRecord* rec = f->rec;
    const OutputName& name = x->names[(size_t)f->index];
    std::string shown = shown_text(f->shown);
    say_name_taken(bak, f, &name);

    OutFile of;
    size_t cut = name.path.find_last_of('/') + 1;
    std::string dir = name.path.substr(0, cut);
    OutCreate made = enter(x, dir) ? out_create(&x->tree, name.path.c_str() + cut, &of) : OUT_FAILED;
    // of.path is the name in its directory; output the path below DIR.
    std::string output = dir + of.path;
    if (made == OUT_EXISTS) {
        // Already restored (by an earlier run) when it has the catalog's
        // size and time; left alone either way.
        if (matches_catalog(x, of.path, rec) && out_claim(&x->tree, of.path)) {
            x->counts.present++;
        } else {
            x->counts.skipped++;
            say_error(bak, "exists, left alone: %s", shown_text(output).c_str());
        }
        bak->progress.bytes_done += rec->size_lo > 0 ? rec->size_lo : 0;
        return;
    }
    if (made != OUT_CREATED) {
        x->counts.failed++;
        say_error(bak, "not written: %s: %s cannot be written (a link, a special file or an image "
                       "in the way, or no room)",
                  shown.c_str(), shown_text(name.path).c_str());
        bak->progress.bytes_done += rec->size_lo > 0 ? rec->size_lo : 0;
        return;
    }
    if (of.copy > 0)
        say_error(bak, "%s goes to %s: %s is another file of this run", shown.c_str(),
                  shown_text(output).c_str(), shown_text(name.path).c_str());

    DataOut out = {of.fd, false, false, !bak->opt.salvage, false, nullptr, nullptr, nullptr};
    FileCheck res;
    check_file(bak, f, &out, &res);
    bool good = res.status == FILE_INTACT || res.status == FILE_PRESENT;
    bool keep = !out.failure && keep_file(bak, f, &res);
    if (!keep) {
        out_discard(&x->tree, &of);
        if (out.failure) {
            x->counts.failed++;
            say_error(bak, "not written: %s: %s", shown.c_str(), out.failure);
        } else {
            say_not_kept(bak, &x->counts, f, &res, output);
        }
        return;
    }
    if (out_commit(&x->tree, &of) != 0) {
        x->counts.failed++;
        say_error(bak, "not written: %s: %s could not be completed", shown.c_str(),
                  shown_text(output).c_str());
        return;
    }
    x->counts.bytes += res.written;
    // A salvaged file keeps the time of the run: it is no restored copy.
    int32_t failed = 0;
    if (good) {
        failed = out_set_meta(&x->tree, of.path, date_to_secs(rec->date), file_writable(rec));
    } else if (plat_set_writable_at(x->tree.root, of.path, file_writable(rec)) != 0) {
        failed = OUT_META_WRITABLE_FAILED;
    }
    if (failed) {
        x->counts.meta_failed = true;
        say_error(bak, "%s: its %s could not be set", shown_text(output).c_str(),
                  failed == OUT_META_TIMES_FAILED      ? "time"
                  : failed == OUT_META_WRITABLE_FAILED ? "read-only state"
                                                       : "time and read-only state");
    }
    if (good) {
        x->counts.restored++;
        // Good data the catalog misdescribes: said with the set's
        // inconsistencies at the end.
        for (const Problem& p : res.problems)
            if (p.kind == PROB_SIZE_ONLY)
                bak->set.inconsistencies.push_back(f->shown + ": " + problem_text(bak, &res, &p));
    } else {
        x->counts.salvaged++;
        say_error(bak, "damaged, salvaged: %s%s", shown.c_str(),
                  problems_line(bak, &res, rec->size_lo).c_str());
        note_loss(bak, &x->counts, f, &res, output, true);
    }
}

// The files that will be written, for the threads to read ahead: all of
// them, but for those whose name is taken already (kept unless --overwrite).
// A file in a directory that is not there yet costs no look.
std::vector<const BakFile*> to_write(Extract* x, const std::vector<const BakFile*>& files) {
    if (x->bak->opt.overwrite) return files;
    std::vector<const BakFile*> out;
    std::string dir;
    bool dir_there = false, first = true;
    for (const BakFile* f : files) {
        const std::string& path = x->names[(size_t)f->index].path;
        size_t cut = path.find_last_of('/');
        std::string d = cut == std::string::npos ? "" : path.substr(0, cut);
        if (first || d != dir) {
            first = false;
            dir = d;
            dir_there = d.empty() || plat_path_status_at(x->root, d.c_str()) == PLAT_PATH_DIR;
        }
        if (!dir_there || plat_path_status_at(x->root, path.c_str()) == PLAT_PATH_NONE)
            out.push_back(f);
    }
    return out;
}

// The directories the patterns choose (all of them without patterns), so
// that empty ones come back too.
void make_dirs(Extract* x) {
    Bak* bak = x->bak;
    for (size_t i = 1; i < bak->set.dir_paths.size(); i++) {
        const std::string& dir = bak->set.dir_paths[i];
        if (dir.empty()) continue;
        if (!bak->patterns.include.empty() &&
            !select_path(&bak->patterns, decode_charset(bak->set.charset, dir)))
            continue;
        out_make_parents(&x->tree, output_dir_name(dir, bak->set.charset).c_str());
    }
}

}  // namespace

int cmd_extract(Bak* bak) {
    auto started = std::chrono::steady_clock::now();
    bool unmatched = false;
    std::vector<const BakFile*> files = select_files(bak, &unmatched);
    const std::string dir = bak->opt.dir.empty() ? "." : bak->opt.dir;

    Extract x;
    x.bak = bak;
    tally_init(&x.counts);
    // DIR is the user's: a link on the way to it is followed. Below it the
    // output tree follows none.
    x.entered_root = -1;
    x.root = open_output_dir(dir);
    if (x.root < 0) {
        say_error(bak, "%s: cannot make or open the directory", shown_text(dir).c_str());
        return BAK_EXIT_UNUSABLE;
    }
    // The report is made first, and held open for reading as well: the
    // output tree writes over no file the run reads, so no restored file
    // can take its place.
    ReportFile report;
    if (!open_report_file(bak, &report)) {
        plat_close_root(x.root);
        return BAK_EXIT_UNUSABLE;
    }
    OutPolicy policy = {true, !bak->opt.overwrite, true, true};
    out_tree_init(&x.tree, x.root, &policy);
    NameTable table;
    table.fold_case = plat_names_ignore_case();
    for (const BakFile& f : bak->set.files)
        x.names.push_back(output_name(&table, f.dir_ok ? bak->set.dir_paths[(size_t)f.rec->dir] : "",
                                      f.rec->name, f.rec->serial, bak->set.charset));
    // Looked at before the directories are made: what is there is the
    // earlier runs'.
    std::vector<const BakFile*> writing = to_write(&x, files);
    make_dirs(&x);

    int64_t total = 0;
    for (const BakFile* f : files) total += f->rec->size_lo > 0 ? f->rec->size_lo : 0;
    progress_start(bak, (int32_t)files.size(), total);
    walk_start(bak, writing);
    for (const BakFile* f : files) {
        extract_file(&x, f);
        bak->progress.files_done++;
        progress_update(bak, false);
    }
    walk_stop(bak);
    progress_clear(bak);
    leave(&x);
    out_tree_free(&x.tree);
    plat_close_root(x.root);

    bool report_failed = !finish_report_file(bak, &x.counts, &report);

    double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    int status = say_tally(bak, &x.counts, secs, unmatched);
    return report_failed ? BAK_EXIT_UNUSABLE : status;
}
