// The set a bak command works on: its images found by their headers, its
// catalog read with unbak's readers, the disks placed in the stream, every
// file's path and place, and the catalog's consistency.
//
// The lower layers report through events. bak gives them a Reporter of its
// own that keeps only what bears on the catalog's consistency: a count
// record that disagrees with the records present (EV_RECORD_COUNT_MISMATCH,
// for the table being located) and the Job's count record. Everything else
// they say is said again here in bak's words (a table that cannot be read,
// files left without groups), or is unbak's business (the header, the
// region offsets).
//
// What is checked of the catalog without reading any data, for every
// command: the count records; the Job's compressed flag against the groups
// present; every file of a compressed set having groups and every group a
// file; the Job's disk count against the catalog image's number; and the
// data stream the catalog implies against what the images hold. Any of
// them makes the set inconsistent: the commands say so and end with
// status 1, and `bak test` never calls such a set intact.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "catalog/events.h"
#include "catalog/group_run.h"
#include "check/bak.h"
#include "check/names.h"
#include "container/events.h"
#include "platform/platform.h"
#include "restore/restore.h"

namespace {

const char* const TABLE_NAMES[REGION_COUNT] = {"Disks", "Dirs",  "Files",   "Comp",
                                               "Job",   "Paths", "Sessions"};
// Disk numbers are 16-bit.
const int32_t MAX_DISKS = 65535;

std::string format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string format(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    return line;
}

void on_event(void* ctx, const Event* ev) {
    BakSet* s = (BakSet*)ctx;
    switch (ev->code) {
    case EV_REGION_SEARCH:
        s->region_now = (int32_t)ev->args[0].num;
        break;
    case EV_RECORD_COUNT_MISMATCH: {
        // Both counts take in the count record itself.
        const char* table = s->region_now >= 1 && s->region_now <= REGION_COUNT
                                ? TABLE_NAMES[s->region_now - 1]
                                : "a";
        s->inconsistencies.push_back(
            format("the %s table's count record announces %lld records, the table holds %lld",
                   table, (long long)ev->args[0].num - 1, (long long)ev->args[1].num - 1));
        break;
    }
    case EV_JOB_COUNT_UNEXPECTED:
        s->inconsistencies.push_back(format("the Job table's count record says %lld, not 2",
                                            (long long)ev->args[0].num));
        break;
    default:
        break;
    }
}

// Says why the set cannot be used; gives back the status for it.
int refuse(Bak* bak, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
int refuse(Bak* bak, const char* fmt, ...) {
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    say_error(bak, "%s", line);
    return BAK_EXIT_UNUSABLE;
}

std::string set_label(const SetKey& key) {
    return "\"" + shown_text(key.name) + "\", job " + std::to_string(key.job_num);
}

int discover(Bak* bak) {
    BakSet* s = &bak->set;
    const std::string& set = bak->opt.set;
    s->found = discover_set(set, bak->opt.images);
    const Discovery& d = s->found;
    std::string where = d.directory.empty() ? "the current directory" : shown_text(d.directory);
    switch (d.status) {
    case DISCOVER_NOT_FOUND:
        return refuse(bak, "%s: no such file or directory", shown_text(set).c_str());
    case DISCOVER_UNREADABLE:
        return refuse(bak, "%s: cannot be read", shown_text(set).c_str());
    case DISCOVER_NOT_IMAGE:
        return refuse(bak, "%s: not a backup image (nor a directory)", shown_text(set).c_str());
    case DISCOVER_NO_IMAGES:
        return refuse(bak, "no backup image in %s", where.c_str());
    case DISCOVER_SEVERAL_SETS:
        say_error(bak, "%s holds %d backup sets; name an image of the one you mean:", where.c_str(),
                  (int)d.sets.size());
        for (const SetSeen& seen : d.sets) {
            std::string cat = seen.catalog_path.empty()
                                  ? "no image with its catalog"
                                  : "catalog in " + shown_text(seen.catalog_path);
            say_error(bak, "  %s: %d image%s, %s", set_label(seen.key).c_str(), (int)seen.images,
                      seen.images == 1 ? "" : "s", cat.c_str());
        }
        return BAK_EXIT_UNUSABLE;
    default:
        break;
    }
    // Directories beside the images are no news.
    for (const LeftOut& left : d.left_out)
        if (left.reason != LEFT_DIRECTORY)
            say_error(bak, "left out: %s: %s", shown_text(left.path).c_str(),
                  left_out_text(left).c_str());
    if (d.catalog_path.empty())
        return refuse(bak, "no image of the backup %s holds its catalog (the set's last disk)",
                      set_label(d.key).c_str());
    return 0;
}

// Reads the catalog from the catalog image; 0 or the status to end with.
int read_set_catalog(Bak* bak) {
    BakSet* s = &bak->set;
    const std::string& path = s->found.catalog_path;
    s->catalog.io.rep = nullptr;
    s->catalog_image = get_fhead(path.c_str(), &s->header, &s->catalog.io);
    if (s->catalog_image < 0) return refuse(bak, "%s: cannot be read", shown_text(path).c_str());
    s->catalog.header = &s->header;
    s->catalog.image_path = path.c_str();
    Reporter rep = {on_event, s};
    s->catalog.io.rep = &rep;
    int result = 0;
    int32_t located = locate_regions(s->catalog_image, fh_cat_offs(&s->header), s->regions,
                                     true, &s->catalog.io);
    char failed[128] = "";
    if (located != REGION_COUNT) {
        result = refuse(bak, "the catalog of %s cannot be read: its tables are not where they belong",
                        shown_text(path).c_str());
    } else {
        read_catalog(s->catalog_image, &s->catalog, -1, nullptr, failed, sizeof failed);
        if (strcmp(failed, "Sessions") == 0) {
            s->inconsistencies.push_back("the Sessions table cannot be read");
        } else if (failed[0]) {
            result = refuse(bak, "the catalog of %s cannot be read: table%s %s",
                            shown_text(path).c_str(), strchr(failed, ',') ? "s" : "", failed);
        } else if (!s->catalog.job) {
            result = refuse(bak, "the catalog of %s has no Job record", shown_text(path).c_str());
        }
    }
    if (result == 0 && s->catalog.files) {
        if (link_data(&s->catalog, s->regions[TBL_COMP].count) < 0)
            result = refuse(bak, "the catalog of %s links no file to its data (its Paths table is "
                                 "empty)",
                            shown_text(path).c_str());
    }
    s->catalog.io.rep = nullptr;
    return result;
}

// Every directory's path as listed, and every file's path and place.
void build_paths(Bak* bak) {
    BakSet* s = &bak->set;
    int32_t ndirs = s->catalog.dirs ? s->regions[TBL_DIRS].count : 0;
    s->dir_paths.assign((size_t)ndirs + 1, std::string());
    for (int32_t i = 1; i <= ndirs; i++) {
        int32_t length = 0;
        char buf[PATH_BUF_SIZE];
        const char* p = mk_path_str(&s->catalog, i, buf, &length);
        if (p) s->dir_paths[(size_t)i].assign(p, (size_t)length);
    }
    int64_t pos = 0;
    int32_t index = 0;
    for (const FileRecord* f = s->catalog.files; f; f = f->next) {
        BakFile file;
        file.rec = f;
        file.index = index++;
        file.pos = pos;
        const std::string* dir =
            f->dir >= 1 && f->dir <= ndirs && !s->dir_paths[(size_t)f->dir].empty()
                ? &s->dir_paths[(size_t)f->dir]
                : nullptr;
        file.dir_ok = dir != nullptr;
        file.name_ok = f->name && safe_component(f->name);
        file.listed = (dir ? *dir : std::string()) + (f->name ? f->name : "");
        file.shown = decode_charset(s->charset, file.listed);
        s->files.push_back(file);
        pos += stream_step(f);
        s->total_bytes += f->size_lo > 0 ? f->size_lo : 0;
    }
    s->placement.stream_length = pos;
}

// The disks: each image found in its slot and measured, then closed again
// (disk_open opens it when its bytes are read).
int open_disks(Bak* bak) {
    BakSet* s = &bak->set;
    const Discovery& d = s->found;
    Placement* pl = &s->placement;
    int32_t n = d.catalog_disk >= 1 ? d.catalog_disk : 1;
    int32_t job_disks = s->catalog.job->num_disks;
    if (job_disks != n)
        s->inconsistencies.push_back(
            format("the Job says the set has %d disk%s, the catalog is on disk %d", (int)job_disks,
                   job_disks == 1 ? "" : "s", (int)n));
    if (n > MAX_DISKS) n = MAX_DISKS;
    pl->num_disks = n;
    pl->disks.assign((size_t)n + 1, DiskSlot());
    for (int32_t k = 0; k <= n; k++) {
        DiskSlot& slot = pl->disks[(size_t)k];
        slot.image = -1;
        slot.position = -1;
        slot.raw_size = 0;
    }
    DiskSlot& last = pl->disks[(size_t)n];
    last.path = d.catalog_path;
    last.image = s->catalog_image;
    uint32_t cat_offs = fh_cat_offs(&s->header);
    last.raw_size = cat_offs > DATA_START ? (int64_t)cat_offs - DATA_START : 0;
    for (int32_t k = 1; k < n && k < (int32_t)d.disks.size(); k++) {
        const std::string& path = d.disks[(size_t)k];
        if (path.empty()) continue;
        int image = plat_open_read(path.c_str());
        int64_t end = image >= 0 ? plat_seek(image, 0, PLAT_SEEK_END) : -1;
        if (end < 0) {
            if (image >= 0) plat_close(image);
            say_error(bak, "left out: %s: cannot be read", shown_text(path).c_str());
            continue;
        }
        plat_close(image);
        DiskSlot& slot = pl->disks[(size_t)k];
        slot.path = path;
        slot.raw_size = end > DATA_START ? end - DATA_START : 0;
    }
    return 0;
}

// Places the disks and tries each place with the groups lying on it.
void place_set(Bak* bak) {
    BakSet* s = &bak->set;
    place_disks(&s->placement);
    std::vector<GroupAt> groups;
    if (s->compressed) {
        for (const BakFile& f : s->files) {
            int64_t pos = f.pos;
            for (const CompRecord* g = run_first(f.rec->comp, RUN_CLOSES_ON_NONZERO); g;
                 g = run_next(g, RUN_CLOSES_ON_NONZERO)) {
                int64_t size = g->COMPSIZE > 0 ? g->COMPSIZE : 0;
                groups.push_back(GroupAt{pos, size, g->ORGSIZE, (uint32_t)g->CHK_SUM, g->COMP_LVL});
                pos += size;
            }
        }
    }
    confirm_places(&s->placement, groups, s->compressed, &bak->scratch.in, &bak->scratch.in_cap,
                   &bak->scratch.staging);
}

// The catalog's consistency, as far as it shows without the data.
void check_catalog(Bak* bak) {
    BakSet* s = &bak->set;
    int32_t groups = 0;
    for (const CompRecord* g = s->catalog.comp; g; g = g->next) groups++;
    int32_t announced = s->regions[TBL_COMP].count;
    if (!s->compressed && s->catalog.comp == nullptr && announced > 1)
        s->inconsistencies.push_back(format(
            "the Job says the data is stored, but the Comp table holds %d groups", (int)announced - 1));
    if (s->compressed && groups == 0 && !s->files.empty())
        s->inconsistencies.push_back("the Job says the data is compressed, but the Comp table "
                                     "holds no group");
    if (s->compressed) {
        int32_t without = 0, used = 0;
        for (const BakFile& f : s->files) {
            if (!f.rec->comp) without++;
            for (const CompRecord* g = run_first(f.rec->comp, RUN_CLOSES_ON_NONZERO); g;
                 g = run_next(g, RUN_CLOSES_ON_NONZERO))
                used++;
        }
        if (without > 0 && groups > 0)
            s->inconsistencies.push_back(format("%d file%s of the compressed set %s no data groups",
                                                (int)without, without == 1 ? "" : "s",
                                                without == 1 ? "has" : "have"));
        if (used < groups)
            s->inconsistencies.push_back(format("%d group%s of the Comp table belong%s to no file",
                                                (int)(groups - used), groups - used == 1 ? "" : "s",
                                                groups - used == 1 ? "s" : ""));
    }
    const Placement* pl = &s->placement;
    if (pl->images_hold >= 0 && pl->images_hold != pl->stream_length)
        s->inconsistencies.push_back(format(
            "the catalog's files take %lld bytes of data, the images hold %lld",
            (long long)pl->stream_length, (long long)pl->images_hold));
}

}  // namespace

int open_set(Bak* bak) {
    BakSet* s = &bak->set;
    s->catalog_image = -1;
    catalog_init(&s->catalog, &s->options);
    s->catalog.regions = s->regions;
    if (!bak->opt.charset.empty()) {
        s->charset = plat_charset_open(bak->opt.charset.c_str());
        if (!s->charset) return refuse(bak, "--charset %s: no such code page here", bak->opt.charset.c_str());
    }
    int result = discover(bak);
    if (result == 0) result = read_set_catalog(bak);
    if (result != 0) return result;
    s->compressed = s->catalog.job->compressed != 0;
    build_paths(bak);
    open_disks(bak);
    place_set(bak);
    check_catalog(bak);
    return 0;
}

void close_set(Bak* bak) {
    BakSet* s = &bak->set;
    disk_close(&s->placement);
    if (s->catalog_image >= 0) plat_close(s->catalog_image);
    s->catalog_image = -1;
    catalog_free(&s->catalog);
    free(s->header.name);
    s->header.name = nullptr;
    plat_charset_close(s->charset);
    s->charset = nullptr;
}

std::vector<const BakFile*> select_files(Bak* bak, bool* unmatched) {
    std::vector<const BakFile*> chosen;
    for (const BakFile& f : bak->set.files)
        if (select_path(&bak->patterns, f.shown)) chosen.push_back(&f);
    // A pattern may name a directory with no file in it.
    for (size_t i = 1; i < bak->set.dir_paths.size(); i++)
        if (!bak->set.dir_paths[i].empty())
            select_path(&bak->patterns, decode_charset(bak->set.charset, bak->set.dir_paths[i]));
    *unmatched = false;
    for (const std::string& p : unmatched_patterns(bak->patterns)) {
        say_error(bak, "%s: no file of the set matches", shown_text(p).c_str());
        *unmatched = true;
    }
    return chosen;
}
