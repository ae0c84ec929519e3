// bak's words: messages on stderr, the phrases for a file's problems and a
// disk's state that test, extract and info share, names made safe for a
// terminal and for JSON, standard output, and the progress line.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "check/bak.h"
#include "check/bak_json.h"
#include "check/names.h"
#include "platform/console.h"

// ---- messages and standard output --------------------------------------------------

void say_error(Bak* bak, const char* fmt, ...) {
    char line[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    progress_clear(bak);
    fflush(stdout);
    fprintf(stderr, "bak: %s\n", line);
    fflush(stderr);
}

void put_stdout(Bak* bak, const void* data, size_t n) {
    if (bak->stdout_failed || n == 0) return;
    if (fwrite(data, 1, n, stdout) != n) bak->stdout_failed = true;
}

void put_stdout_text(Bak* bak, const std::string& text) {
    put_stdout(bak, text.data(), text.size());
}

std::string shown_text(const std::string& bytes) {
    return escape_for_output(bytes);
}

// ---- JSON -----------------------------------------------------------------------------

void json_name(Json& obj, const std::string& key, const std::string& bytes) {
    const unsigned char* p = (const unsigned char*)bytes.data();
    size_t n = bytes.size();
    std::string text;
    bool exact = true;
    for (size_t i = 0; i < n;) {
        int len = utf8_sequence_length(p + i, n - i);
        if (len == 0) {
            text += "\xEF\xBF\xBD";
            exact = false;
            i++;
        } else {
            text.append(bytes, i, (size_t)len);
            i += (size_t)len;
        }
    }
    obj[key] = text;
    if (exact) return;
    static const char hex[] = "0123456789abcdef";
    std::string h;
    for (size_t i = 0; i < n; i++) {
        h += hex[p[i] >> 4];
        h += hex[p[i] & 15];
    }
    obj[key + "_hex"] = h;
}

Json file_json(const Bak* bak, const BakFile* file, const FileCheck* res) {
    Json j;
    json_name(j, "path", file->shown);
    j["serial"] = file->rec->serial;
    j["size"] = file->rec->size_lo;
    j["status"] = status_word(res->status);
    Json problems = Json::array();
    for (const Problem& p : res->problems) problems.push_back(problem_text(bak, res, &p));
    j["problems"] = problems;
    j["more_problems"] = res->more_problems;
    Json lost = Json::array();
    for (const LostRange& r : res->lost) lost.push_back(Json{{"offset", r.offset}, {"length", r.length}});
    j["lost"] = lost;
    j["bytes_lost"] = res->bytes_lost;
    return j;
}

Json disks_json(const Bak* bak) {
    const Placement* pl = &bak->set.placement;
    Json disks = Json::array();
    for (int32_t k = 1; k <= pl->num_disks; k++) {
        const DiskSlot& d = pl->disks[(size_t)k];
        Json j;
        j["disk"] = k;
        if (d.path.empty()) {
            j["image"] = nullptr;
            j["state"] = "missing";
            disks.push_back(j);
            continue;
        }
        json_name(j, "image", d.path);
        static const char* const placed[] = {"not placed", "start", "end", "disk size"};
        static const char* const confirm[] = {"no", "yes", "failed", "unsure", "no group", "no checksum"};
        j["state"] = d.placed == PLACED_NOT ? "not placed" : d.confirm == CONFIRM_FAILED ? "not read" : "placed";
        j["catalog"] = k == pl->num_disks;
        j["cut_short"] = d.cut_short;
        j["trailing_bytes"] = d.trailing;
        j["data_bytes"] = d.data_size;
        if (d.placed != PLACED_NOT) {
            j["placed_from"] = placed[d.placed];
            j["stream_offset"] = d.start;
            j["confirmed"] = confirm[d.confirm];
        }
        disks.push_back(j);
    }
    return disks;
}

Json set_json(const Bak* bak) {
    const BakSet* s = &bak->set;
    Json j;
    j["format"] = 1;
    json_name(j, "backup", s->found.key.name);
    j["job"] = s->found.key.job_num;
    char ids[32];
    snprintf(ids, sizeof ids, "%08lx%08lx", (unsigned long)s->found.key.set_id1,
             (unsigned long)s->found.key.set_id2);
    j["set_id"] = ids;
    j["compressed"] = s->compressed;
    j["disks"] = disks_json(bak);
    Json left = Json::array();
    for (const LeftOut& l : s->found.left_out) {
        Json e;
        json_name(e, "path", l.path);
        e["why"] = left_out_text(l);
        left.push_back(e);
    }
    j["left_out"] = left;
    Json inconsistent = Json::array();
    for (const std::string& t : s->inconsistencies) inconsistent.push_back(t);
    j["inconsistencies"] = inconsistent;
    return j;
}

std::string json_line(const Json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// ---- problems -------------------------------------------------------------------------

const char* status_word(int32_t status) {
    switch (status) {
    case FILE_INTACT: return "intact";
    case FILE_PRESENT: return "present";
    case FILE_DAMAGED: return "damaged";
    default: return "missing";
    }
}

// Why the disk that should hold some bytes gives none.
static std::string hole_reason(const Bak* bak, int32_t k) {
    const Placement* pl = &bak->set.placement;
    if (k < 1 || k > pl->num_disks) return "on no image";
    const DiskSlot& d = pl->disks[(size_t)k];
    std::string disk = "disk " + std::to_string(k);
    if (d.path.empty()) return disk + ", missing";
    if (d.confirm == CONFIRM_FAILED) return disk + ", whose place is not confirmed";
    if (d.placed == PLACED_NOT) return disk + ", which cannot be placed";
    if (d.cut_short) return disk + ", cut short";
    return disk + ", which holds less than the catalog's files take";
}

std::string problem_text(const Bak* bak, const FileCheck* res, const Problem* p) {
    char group[96];
    if (p->first_group > 0 && p->last_group > p->first_group)
        snprintf(group, sizeof group, "groups %d-%d of %d", (int)p->first_group, (int)p->last_group,
                 (int)res->ngroups);
    else if (p->first_group > 0)
        snprintf(group, sizeof group, "group %d of %d", (int)p->first_group, (int)res->ngroups);
    else
        snprintf(group, sizeof group, "bytes %lld-%lld", (long long)p->a, (long long)(p->b - 1));
    char out[512];
    switch (p->kind) {
    case PROB_HOLE:
        snprintf(out, sizeof out, "%s on %s", group, hole_reason(bak, p->disk).c_str());
        break;
    case PROB_READ:
        snprintf(out, sizeof out, "%s: read error", group);
        break;
    case PROB_LEVEL:
        snprintf(out, sizeof out, "%s: unknown compression level %lld", group, (long long)p->a);
        break;
    case PROB_INFLATE:
        snprintf(out, sizeof out, "%s: cannot be inflated (zlib %lld: %s)", group, (long long)p->a,
                 p->text ? p->text : "no message");
        break;
    case PROB_LENGTH:
        snprintf(out, sizeof out, "%s: inflates to %lld bytes, not %lld, with the wrong checksum",
                 group, (long long)p->a, (long long)p->b);
        break;
    case PROB_TOO_LONG:
        snprintf(out, sizeof out, "%s: inflates to more than %lld bytes", group, (long long)p->a);
        break;
    case PROB_CHECKSUM:
        snprintf(out, sizeof out, "%s: checksum mismatch (CRC-32 0x%08llx, CHK_SUM 0x%08llx)",
                 group, (unsigned long long)p->a, (unsigned long long)p->b);
        break;
    case PROB_STORED_SIZE:
        snprintf(out, sizeof out, "%s: stored group of %lld bytes takes %lld in the stream", group,
                 (long long)p->a, (long long)p->b);
        break;
    case PROB_MEMORY:
        snprintf(out, sizeof out, "%s: not enough memory", group);
        break;
    case PROB_RUN_END:
        snprintf(out, sizeof out, "the catalog's groups end before the file's last group");
        break;
    case PROB_FILE_LENGTH:
        snprintf(out, sizeof out, "its groups hold %lld bytes, its length is %lld",
                 (long long)p->a, (long long)p->b);
        break;
    case PROB_NO_GROUPS:
        snprintf(out, sizeof out, "the catalog gives it no data groups");
        break;
    case PROB_SIZE_ONLY:
        snprintf(out, sizeof out,
                 "%s: inflates to %lld bytes with the right checksum, the catalog says %lld", group,
                 (long long)p->a, (long long)p->b);
        break;
    case PROB_WRITE:
        snprintf(out, sizeof out, "not written: %s", p->text ? p->text : "error");
        break;
    default:
        snprintf(out, sizeof out, "?");
    }
    return out;
}

std::string problems_line(const Bak* bak, const FileCheck* res, int64_t size) {
    std::string line;
    for (size_t i = 0; i < res->problems.size(); i++)
        line += (i == 0 ? ": " : "; ") + problem_text(bak, res, &res->problems[i]);
    if (res->more_problems > 0) line += "; and " + std::to_string(res->more_problems) + " more";
    if (res->lost.size() == 1 && res->lost[0].offset == 0 && res->lost[0].length >= size &&
        size > 0) {
        line += "; all " + std::to_string(size) + " bytes lost";
    } else if (!res->lost.empty()) {
        line += "; lost bytes";
        for (size_t i = 0; i < res->lost.size(); i++)
            line += (i == 0 ? " " : ", ") + std::to_string(res->lost[i].offset) + "-" +
                    std::to_string(res->lost[i].offset + res->lost[i].length - 1);
    }
    return line;
}

std::string disk_state_text(const DiskSlot* d, int32_t k, int32_t n) {
    (void)k;
    if (d->path.empty()) return "missing";
    std::string s;
    if (d->placed == PLACED_NOT) {
        s = "cannot be placed (disks missing or cut short on both sides, and no disk size known)";
    } else {
        s = d->data_size > 0 ? "stream bytes " + std::to_string(d->start) + "-" +
                                   std::to_string(d->start + d->data_size - 1)
                             : std::string("no data bytes");
        s += d->placed == PLACED_FROM_START ? ", placed from the start"
             : d->placed == PLACED_FROM_END ? ", placed from the end"
                                            : ", placed by the disks' common size";
        switch (d->confirm) {
        case CONFIRM_YES: s += ", confirmed"; break;
        case CONFIRM_FAILED: s += ", not confirmed: no group there checks out, so it is not read"; break;
        case CONFIRM_UNSURE: s += ", not confirmed: its one whole group does not check out"; break;
        case CONFIRM_NO_GROUP: s += ", no whole group on it to confirm its place"; break;
        case CONFIRM_NO_CHECKSUM: s += ", unconfirmed (stored data has no checksum)"; break;
        default: break;
        }
    }
    if (d->cut_short) s += ", cut short";
    if (d->trailing > 0)
        s += ", " + std::to_string(d->trailing) + " bytes beyond the disk size not read";
    if (k == n) s += " (catalog)";
    return s;
}

std::string iso_date(const char* date) {
    // YYYYMMDDhhmmss as recorded; anything else stays as it is.
    bool digits = strlen(date) == 14;
    for (int i = 0; digits && i < 14; i++) digits = date[i] >= '0' && date[i] <= '9';
    if (!digits) return date;
    char out[32];
    snprintf(out, sizeof out, "%.4s-%.2s-%.2sT%.2s:%.2s:%.2s", date, date + 4, date + 6, date + 8,
             date + 10, date + 12);
    return out;
}

// ---- progress -----------------------------------------------------------------------

enum { PROGRESS_WIDTH = 79 };

void progress_start(Bak* bak, int32_t files, int64_t bytes) {
    Progress* p = &bak->progress;
    bool terminal = plat_stderr_is_terminal();
    p->on = bak->opt.progress == 1 || (bak->opt.progress < 0 && terminal);
    p->shown = false;
    p->bytes_done = 0;
    p->bytes_total = bytes;
    p->files_done = 0;
    p->files_total = files;
    p->disk = 0;
    p->started = p->last = std::chrono::steady_clock::now();
}

static std::string mib(int64_t bytes) {
    char b[32];
    snprintf(b, sizeof b, "%.1f", (double)bytes / (1024.0 * 1024.0));
    return b;
}

void progress_update(Bak* bak, bool force) {
    Progress* p = &bak->progress;
    if (!p->on) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - p->last < std::chrono::milliseconds(500)) return;
    p->last = now;
    double secs = std::chrono::duration<double>(now - p->started).count();
    double rate = secs > 0 ? (double)p->bytes_done / secs : 0;
    char left[32] = "";
    if (rate > 0 && p->bytes_total > p->bytes_done) {
        int64_t s = (int64_t)((double)(p->bytes_total - p->bytes_done) / rate);
        snprintf(left, sizeof left, ", %lld:%02lld left", (long long)(s / 60), (long long)(s % 60));
    }
    char disk[32] = "";
    if (p->disk > 0) snprintf(disk, sizeof disk, ", disk %d", (int)p->disk);
    char line[256];
    snprintf(line, sizeof line, "%s of %s MiB, %d of %d files, %s MiB/s%s%s",
             mib(p->bytes_done).c_str(), mib(p->bytes_total).c_str(), (int)p->files_done,
             (int)p->files_total, mib((int64_t)rate).c_str(), left, disk);
    fprintf(stderr, "\r%-*.*s", PROGRESS_WIDTH, PROGRESS_WIDTH, line);
    fflush(stderr);
    p->shown = true;
}

void progress_clear(Bak* bak) {
    Progress* p = &bak->progress;
    if (!p->shown) return;
    fprintf(stderr, "\r%-*s\r", PROGRESS_WIDTH, "");
    fflush(stderr);
    p->shown = false;
}
