// What extract and convert say of their runs (see outcome.h).
#include "check/outcome.h"

#include <stdio.h>
#include <string.h>

#include "check/bak.h"
#include "platform/dirs.h"
#include "platform/platform.h"

void tally_init(RestoreTally* o) {
    o->restored = o->present = o->damaged = o->salvaged = o->missing = o->skipped = o->failed = 0;
    o->bytes = 0;
    o->meta_failed = false;
    o->lost_text.clear();
    o->lost_files = Json::array();
}

void note_loss(const Bak* bak, RestoreTally* o, const BakFile* f, const FileCheck* res,
               const std::string& output, bool written) {
    Json j = file_json(bak, f, res);
    if (written) json_name(j, "output", output);
    j["written"] = written;
    o->lost_files.push_back(j);
    o->lost_text += std::string(written ? "salvaged" : status_word(res->status)) + ": " +
                    shown_text(f->shown) + (written ? " as " + shown_text(output) : "") +
                    problems_line(bak, res, f->rec->size_lo) + "\n";
}

void say_name_taken(Bak* bak, const BakFile* f, const OutputName* name) {
    std::string shown = shown_text(f->shown);
    if (name->unplaced)
        say_error(bak, "%s goes to %s: its %s", shown.c_str(), shown_text(name->path).c_str(),
                  !f->dir_ok ? "directory path cannot be built" : "name cannot be a file name");
    else if (name->copy > 0)
        say_error(bak, "%s goes to %s: an earlier file of the set has its name", shown.c_str(),
                  shown_text(name->path).c_str());
}

bool keep_file(const Bak* bak, const BakFile* f, const FileCheck* res) {
    return res->status == FILE_INTACT || res->status == FILE_PRESENT ||
           (bak->opt.salvage && res->status == FILE_DAMAGED && res->bytes_lost < f->rec->size_lo);
}

void say_not_kept(Bak* bak, RestoreTally* o, const BakFile* f, const FileCheck* res,
                  const std::string& output) {
    std::string shown = shown_text(f->shown);
    std::string problems = problems_line(bak, res, f->rec->size_lo);
    if (res->status == FILE_MISSING) {
        o->missing++;
        say_error(bak, "missing: %s%s", shown.c_str(), problems.c_str());
    } else {
        o->damaged++;
        say_error(bak, "damaged, not written: %s%s", shown.c_str(), problems.c_str());
    }
    note_loss(bak, o, f, res, output, false);
}

std::string loss_text(const Bak* bak, const RestoreTally* o) {
    return "backup \"" + shown_text(bak->set.found.key.name) + "\", job " +
           std::to_string(bak->set.found.key.job_num) + ": what was lost\n" +
           (o->lost_text.empty() ? std::string("nothing\n") : o->lost_text);
}

bool write_loss_report(const Bak* bak, const RestoreTally* o, int fd) {
    const std::string& path = bak->opt.report;
    bool json = path.size() >= 5 && strcmp(path.c_str() + path.size() - 5, ".json") == 0;
    std::string text;
    if (json) {
        Json j = set_json(bak);
        j["files"] = o->lost_files;
        j["summary"] = Json{{"restored", o->restored}, {"already_present", o->present},
                            {"damaged", o->damaged},   {"salvaged", o->salvaged},
                            {"missing", o->missing},   {"skipped", o->skipped},
                            {"not_written", o->failed}, {"bytes", o->bytes}};
        text = json_line(j);
    } else {
        text = loss_text(bak, o);
    }
    return plat_write(fd, text.data(), (int32_t)text.size()) == (int32_t)text.size();
}

bool open_report_file(Bak* bak, ReportFile* r) {
    r->fd = r->guard = -1;
    if (bak->opt.report.empty()) return true;
    r->fd = plat_create(bak->opt.report.c_str());
    if (r->fd >= 0) r->guard = plat_open_read(bak->opt.report.c_str());
    if (r->guard >= 0) return true;
    drop_report_file(r);
    say_error(bak, "--report %s: cannot be written", shown_text(bak->opt.report).c_str());
    return false;
}

bool finish_report_file(Bak* bak, const RestoreTally* o, ReportFile* r) {
    if (r->fd < 0) return true;
    bool failed = !write_loss_report(bak, o, r->fd);
    if (plat_close(r->fd) != 0) failed = true;
    plat_close(r->guard);
    r->fd = r->guard = -1;
    if (failed) say_error(bak, "--report %s: cannot be written", shown_text(bak->opt.report).c_str());
    return !failed;
}

void drop_report_file(ReportFile* r) {
    if (r->fd >= 0) plat_close(r->fd);
    if (r->guard >= 0) plat_close(r->guard);
    r->fd = r->guard = -1;
}

int say_tally(Bak* bak, const RestoreTally* o, double secs, bool unmatched) {
    char line[512];
    int n = snprintf(line, sizeof line,
                     "%d restored, %d already present, %d damaged, %d missing, %d skipped",
                     (int)o->restored, (int)o->present, (int)(o->damaged + o->salvaged),
                     (int)o->missing, (int)o->skipped);
    if (o->salvaged) n += snprintf(line + n, sizeof line - (size_t)n, " (%d salvaged)", (int)o->salvaged);
    if (o->failed) n += snprintf(line + n, sizeof line - (size_t)n, ", %d not written", (int)o->failed);
    snprintf(line + n, sizeof line - (size_t)n, "; %lld bytes in %.1f s", (long long)o->bytes, secs);
    say_error(bak, "%s", line);
    for (const std::string& t : bak->set.inconsistencies)
        say_error(bak, "inconsistent: %s", shown_text(t).c_str());
    bool all = o->damaged == 0 && o->salvaged == 0 && o->missing == 0 && o->skipped == 0 &&
               o->failed == 0 && !o->meta_failed;
    return all && !unmatched && bak->set.inconsistencies.empty() ? BAK_EXIT_OK : BAK_EXIT_NOT_ALL;
}

int open_output_dir(const std::string& dir) {
    int root = plat_open_root(dir.c_str());
    if (root >= 0) return root;
    for (size_t i = 1; i < dir.size(); i++) {
        if (dir[i] != '/' && dir[i] != '\\') continue;
        std::string above = dir.substr(0, i);
        if (plat_entry_kind(above.c_str(), true) == PLAT_ENTRY_NONE) plat_make_root(above.c_str());
    }
    plat_make_root(dir.c_str());
    return plat_open_root(dir.c_str());
}
