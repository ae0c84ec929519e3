// bak test: every chosen file's data read and checked, without writing
// anything: each compressed group inflated and tested against its length
// and checksum, each stored byte looked for; with where each disk lies and
// what the catalog says against itself.
//
// Standard output gets the disks, the catalog's inconsistencies and one
// line per file that is not intact (or whose data disagrees with the
// catalog); -q leaves all that out. --json gives the whole result instead.
// The summary goes to standard error. A stored file has no checksum: it is
// counted as present, never as intact, and an inconsistent catalog (which
// may hide files) is never called intact either.
#include <stdio.h>

#include "check/bak.h"
#include "check/bak_json.h"

namespace {

struct Counts {
    int32_t files, intact, present, damaged, missing, odd;
    int64_t bytes, bytes_lost;
};

std::string summary(const Bak* bak, const Counts& c) {
    char line[512];
    bool consistent = bak->set.inconsistencies.empty() && c.odd == 0;
    const char* s = c.files == 1 ? "" : "s";
    if (consistent && c.damaged == 0 && c.missing == 0 && c.present == 0) {
        snprintf(line, sizeof line, "all %d file%s intact, %lld bytes", (int)c.files, s,
                 (long long)c.bytes);
    } else if (consistent && c.damaged == 0 && c.missing == 0) {
        snprintf(line, sizeof line,
                 "all %d file%s present, %lld bytes: %d intact, %d present (a stored file has no "
                 "checksum)",
                 (int)c.files, s, (long long)c.bytes, (int)c.intact, (int)c.present);
    } else {
        int n = 0;
        if (!consistent)
            n = snprintf(line, sizeof line, "the catalog is inconsistent, so it may not list every "
                                            "file; of ");
        snprintf(line + n, sizeof line - (size_t)n,
                 "%d file%s, %lld bytes: %d %s, %d present, %d damaged, %d missing; %lld bytes lost",
                 (int)c.files, s, (long long)c.bytes, (int)c.intact,
                 consistent ? "intact" : "check out", (int)c.present, (int)c.damaged,
                 (int)c.missing, (long long)c.bytes_lost);
    }
    return line;
}

bool has_size_only(const FileCheck& res) {
    for (const Problem& p : res.problems)
        if (p.kind == PROB_SIZE_ONLY) return true;
    return false;
}

}  // namespace

int cmd_test(Bak* bak) {
    bool unmatched = false;
    std::vector<const BakFile*> files = select_files(bak, &unmatched);
    bool text = !bak->opt.json && !bak->opt.quiet;
    const Placement* pl = &bak->set.placement;
    if (text) {
        std::string out;
        for (int32_t k = 1; k <= pl->num_disks; k++) {
            const DiskSlot& d = pl->disks[(size_t)k];
            out += "disk " + std::to_string(k) + ": ";
            if (!d.path.empty()) out += shown_text(d.path) + ": ";
            out += disk_state_text(&d, k, pl->num_disks) + "\n";
        }
        for (const std::string& t : bak->set.inconsistencies) out += "inconsistent: " + t + "\n";
        put_stdout_text(bak, out);
    }

    Counts c = {};
    int64_t total = 0;
    for (const BakFile* f : files) total += f->rec->size_lo > 0 ? f->rec->size_lo : 0;
    progress_start(bak, (int32_t)files.size(), total);
    Json listed = Json::array();
    FileCheck res;
    // Checked, not written: the threads keep no inflated bytes.
    walk_start(bak, files, false);
    for (const BakFile* f : files) {
        DataOut none = {-1, false, false, false, false, nullptr, nullptr, nullptr};
        check_file(bak, f, &none, &res);
        bak->progress.files_done++;
        c.files++;
        c.bytes += f->rec->size_lo > 0 ? f->rec->size_lo : 0;
        c.bytes_lost += res.bytes_lost;
        bool odd = has_size_only(res);
        if (odd) c.odd++;
        switch (res.status) {
        case FILE_INTACT: c.intact++; break;
        case FILE_PRESENT: c.present++; break;
        case FILE_DAMAGED: c.damaged++; break;
        default: c.missing++; break;
        }
        if (res.status <= FILE_PRESENT && !odd) continue;
        if (bak->opt.json) {
            listed.push_back(file_json(bak, f, &res));
        } else if (text) {
            progress_clear(bak);
            const char* what = res.status <= FILE_PRESENT ? "inconsistent" : status_word(res.status);
            put_stdout_text(bak, std::string(what) + ": " + shown_text(f->shown) +
                                     problems_line(bak, &res, f->rec->size_lo) + "\n");
        }
    }
    walk_stop(bak);
    progress_clear(bak);
    if (bak->opt.json) {
        Json j = set_json(bak);
        j["stream_bytes"] = pl->stream_length;
        j["files"] = listed;
        j["summary"] = Json{{"files", c.files},          {"bytes", c.bytes},
                            {"intact", c.intact},        {"present", c.present},
                            {"damaged", c.damaged},      {"missing", c.missing},
                            {"bytes_lost", c.bytes_lost},
                            {"consistent", bak->set.inconsistencies.empty() && c.odd == 0}};
        put_stdout_text(bak, json_line(j));
    }
    say_error(bak, "%s", summary(bak, c).c_str());
    bool good = c.damaged == 0 && c.missing == 0 && c.odd == 0 && bak->set.inconsistencies.empty();
    return good && !unmatched ? BAK_EXIT_OK : BAK_EXIT_NOT_ALL;
}
