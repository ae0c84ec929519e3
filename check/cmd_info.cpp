// bak info: what the set is (its backup name, job and session, data
// compressed or stored, files and bytes) and where each of its disks lies.
// Status 1 when a disk is missing, cut short or not read, or the catalog
// is inconsistent: the set is not whole.
#include <stdio.h>

#include "check/bak.h"
#include "check/bak_json.h"

int cmd_info(Bak* bak) {
    const BakSet* s = &bak->set;
    const Placement* pl = &s->placement;
    std::string session;
    if (s->catalog.sessions && s->regions[TBL_SESSION].count > 0)
        session = iso_date(s->catalog.sessions[0].date);
    int32_t found = 0, missing = 0, cut = 0, unread = 0;
    for (int32_t k = 1; k <= pl->num_disks; k++) {
        const DiskSlot& d = pl->disks[(size_t)k];
        if (d.path.empty()) {
            missing++;
            continue;
        }
        found++;
        if (d.cut_short) cut++;
        if (d.placed == PLACED_NOT || d.confirm == CONFIRM_FAILED) unread++;
    }
    bool whole = missing == 0 && cut == 0 && unread == 0 && s->inconsistencies.empty();

    if (bak->opt.json) {
        Json j = set_json(bak);
        j["session"] = session;
        j["files"] = s->files.size();
        j["bytes"] = s->total_bytes;
        j["stream_bytes"] = pl->stream_length;
        j["disks_found"] = found;
        j["disks_missing"] = missing;
        j["disks_cut_short"] = cut;
        put_stdout_text(bak, json_line(j));
    } else {
        std::string out;
        out += "backup: \"" + shown_text(s->found.key.name) + "\", job " +
               std::to_string(s->found.key.job_num);
        if (!session.empty()) out += ", session " + session;
        out += "\n";
        char line[256];
        snprintf(line, sizeof line, "data: %s, %lld bytes in the stream\n",
                 s->compressed ? "compressed" : "stored", (long long)pl->stream_length);
        out += line;
        snprintf(line, sizeof line, "files: %d, %lld bytes\n", (int)s->files.size(),
                 (long long)s->total_bytes);
        out += line;
        snprintf(line, sizeof line, "disks: %d: %d found, %d missing, %d cut short\n",
                 (int)pl->num_disks, (int)found, (int)missing, (int)cut);
        out += line;
        for (int32_t k = 1; k <= pl->num_disks; k++) {
            const DiskSlot& d = pl->disks[(size_t)k];
            out += "disk " + std::to_string(k) + ": ";
            if (!d.path.empty()) out += shown_text(d.path) + ": ";
            out += disk_state_text(&d, k, pl->num_disks) + "\n";
        }
        for (const std::string& t : s->inconsistencies) out += "inconsistent: " + t + "\n";
        put_stdout_text(bak, out);
    }
    return whole ? BAK_EXIT_OK : BAK_EXIT_NOT_ALL;
}
