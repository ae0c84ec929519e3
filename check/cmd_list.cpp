// bak list: the files the patterns choose, one path per line as the
// catalog holds it; -l adds the read-only flag, the size and the recorded
// date and a totals line, --json one object per file, -0 the paths ended
// by NUL bytes for xargs -0. Text is escaped for the terminal; --json and
// -0 carry the names exactly.
#include <stdio.h>

#include "check/bak.h"
#include "check/bak_json.h"
#include "platform/console.h"
#include "restore/restore.h"

int cmd_list(Bak* bak) {
    bool unmatched = false;
    std::vector<const BakFile*> files = select_files(bak, &unmatched);
    if (bak->opt.nul) plat_stdout_binary();
    int64_t bytes = 0;
    std::string out;
    for (const BakFile* f : files) {
        const FileRecord* r = f->rec;
        bytes += r->size_lo > 0 ? r->size_lo : 0;
        if (bak->opt.nul) {
            out.append(f->shown);
            out.push_back('\0');
        } else if (bak->opt.json) {
            Json j;
            json_name(j, "path", f->shown);
            j["size"] = r->size_lo;
            j["date"] = iso_date(r->date);
            j["read_only"] = !file_writable(r);
            j["serial"] = r->serial;
            out += json_line(j);
        } else if (bak->opt.long_list) {
            char line[96];
            snprintf(line, sizeof line, "%c %12lld %-19s ", file_writable(r) ? '-' : 'r',
                     (long long)r->size_lo, iso_date(r->date).c_str());
            out += line + shown_text(f->shown) + "\n";
        } else {
            out += shown_text(f->shown) + "\n";
        }
        // Out in pieces: a catalog of 200,000 files is not held twice.
        if (out.size() >= 64 * 1024) {
            put_stdout_text(bak, out);
            out.clear();
        }
    }
    if (bak->opt.long_list && !bak->opt.json && !bak->opt.nul) {
        char line[96];
        snprintf(line, sizeof line, "%d file%s, %lld bytes\n", (int)files.size(),
                 files.size() == 1 ? "" : "s", (long long)bytes);
        out += line;
    }
    put_stdout_text(bak, out);
    for (const std::string& t : bak->set.inconsistencies) say_error(bak, "inconsistent: %s", t.c_str());
    return unmatched || !bak->set.inconsistencies.empty() ? BAK_EXIT_NOT_ALL : BAK_EXIT_OK;
}
