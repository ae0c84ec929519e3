// Set discovery for bak: see discover.h for what is looked at and chosen.
//
// Each header is read whole here (plat_read_head: 512 bytes, regular files
// only) and put into a FileHeader's fixed part for the fh_* accessors;
// get_fhead is not used, as it prints unbak's lines and keeps the image
// open.
#include "check/discover.h"

#include <string.h>

#include <algorithm>

#include "container/header.h"
#include "platform/dirs.h"
#include "platform/platform.h"

namespace {

// A file looked at, with its header when it has one.
struct Candidate {
    std::string path;
    bool image;
    SetKey key;
    uint16_t disk_num;
    uint32_t cat_offs;
};

// Reads the header of path; false with *reason set when it is no image.
bool read_header(const std::string& path, bool follow_links, Candidate* c, int* reason) {
    unsigned char head[HEADER_SIZE];
    int32_t got = plat_read_head(path.c_str(), follow_links, head, HEADER_SIZE);
    if (got == PLAT_HEAD_NOT_REGULAR) {
        *reason = LEFT_NOT_REGULAR;
        return false;
    }
    if (got == PLAT_HEAD_FAILED) {
        *reason = LEFT_UNREADABLE;
        return false;
    }
    FileHeader h;
    memcpy(h.fixed, head, HEADER_FIXED_SIZE);
    if (got < (int32_t)HEADER_SIZE || fh_signature(&h) != HEADER_SIGNATURE) {
        *reason = LEFT_NOT_IMAGE;
        return false;
    }
    const char* name = (const char*)head + HEADER_FIXED_SIZE;
    c->key.set_id1 = fh_set_id1(&h);
    c->key.set_id2 = fh_set_id2(&h);
    c->key.job_num = fh_job_num(&h);
    c->key.name.assign(name, strnlen(name, HEADER_NAME_AREA));
    c->disk_num = fh_disk_num(&h);
    c->cat_offs = fh_cat_offs(&h);
    c->image = true;
    return true;
}

int reason_of_kind(int kind) {
    switch (kind) {
    case PLAT_ENTRY_NONE: return LEFT_NOT_FOUND;
    case PLAT_ENTRY_DIR: return LEFT_DIRECTORY;
    case PLAT_ENTRY_LINK: return LEFT_LINK;
    default: return LEFT_NOT_REGULAR;
    }
}

void leave_out(Discovery* d, const std::string& path, int reason, uint16_t disk = 0,
               uint16_t last = 0) {
    LeftOut left;
    left.path = path;
    left.reason = reason;
    left.disk_num = disk;
    left.last_disk = last;
    d->left_out.push_back(left);
}

// Where the files beside an image are: the image path up to its last
// separator, which is kept ("sets/", "/", "C:\"), or "" for a bare name.
std::string directory_of(const std::string& path) {
    return path.substr(0, (size_t)plat_last_component(path.c_str()));
}

bool ends_in_separator(const std::string& dir) {
    char last = dir.empty() ? '\0' : dir.back();
    return last == '/' || last == '\\' || last == PLAT_SEPARATOR;
}

// The names of the directory's entries, sorted; false when it could not be
// opened (nothing listed) or the listing failed part way (*names holds what
// came before).
bool list_directory(const std::string& dir, std::vector<std::string>* names) {
    PlatDir* listing = plat_dir_open(dir.empty() ? "." : dir.c_str());
    if (!listing) return false;
    while (const char* name = plat_dir_next(listing)) names->push_back(name);
    bool whole = plat_dir_close(listing) == 0;
    std::sort(names->begin(), names->end());
    return whole;
}

// The chosen set's images by disk, and what is left out of them.
void assign_disks(Discovery* d, const std::vector<Candidate>& images) {
    d->catalog_disk = 0;
    d->highest_disk = 0;
    // The catalog first: it fixes the last disk, whatever order the others
    // come in.
    const Candidate* catalog = nullptr;
    for (const Candidate& c : images) {
        if (same_set(c.key, d->key) && c.cat_offs != 0 && c.disk_num != 0) {
            catalog = &c;
            d->catalog_disk = c.disk_num;
            d->catalog_path = c.path;
            d->highest_disk = c.disk_num;
            break;
        }
    }
    d->disks.assign(1, "");
    for (const Candidate& c : images) {
        if (!same_set(c.key, d->key)) {
            leave_out(d, c.path, LEFT_ANOTHER_SET);
            continue;
        }
        if (c.disk_num == 0) {
            leave_out(d, c.path, LEFT_DISK_ZERO);
            continue;
        }
        if (catalog && c.disk_num > d->catalog_disk) {
            leave_out(d, c.path, LEFT_BEYOND_LAST, c.disk_num, d->catalog_disk);
            continue;
        }
        if (d->disks.size() <= c.disk_num) d->disks.resize((size_t)c.disk_num + 1);
        if (&c == catalog) {
            d->disks[c.disk_num] = c.path;
            continue;
        }
        const std::string& taken = c.disk_num == d->catalog_disk ? d->catalog_path : d->disks[c.disk_num];
        if (!taken.empty() && plat_same_file(taken.c_str(), c.path.c_str())) continue;
        if (c.cat_offs != 0) {
            leave_out(d, c.path, LEFT_SECOND_CATALOG, c.disk_num);
        } else if (!taken.empty()) {
            leave_out(d, c.path, LEFT_DUPLICATE, c.disk_num);
        } else {
            d->disks[c.disk_num] = c.path;
            if (c.disk_num > d->highest_disk) d->highest_disk = c.disk_num;
        }
    }
    d->disks.resize((size_t)d->highest_disk + 1);
}

// The sets among the images, in the order first seen.
void note_sets(Discovery* d, const std::vector<Candidate>& images) {
    for (const Candidate& c : images) {
        SetSeen* seen = nullptr;
        for (SetSeen& s : d->sets)
            if (same_set(s.key, c.key)) seen = &s;
        if (!seen) {
            d->sets.push_back(SetSeen{c.key, 0, "", 0});
            seen = &d->sets.back();
        }
        seen->images++;
        if (c.cat_offs != 0 && seen->catalog_path.empty()) {
            seen->catalog_path = c.path;
            seen->catalog_disk = c.disk_num;
        }
    }
}

// The set a directory stands for: the one with a catalog image, or the one
// set there is. False when there are several.
bool choose_set(Discovery* d) {
    const SetSeen* chosen = nullptr;
    int with_catalog = 0;
    for (const SetSeen& s : d->sets) {
        if (!s.catalog_path.empty()) {
            with_catalog++;
            chosen = &s;
        }
    }
    if (with_catalog == 0 && d->sets.size() == 1) chosen = &d->sets[0];
    if (with_catalog > 1 || !chosen) return false;
    d->key = chosen->key;
    return true;
}

}  // namespace

bool same_set(const SetKey& a, const SetKey& b) {
    return a.set_id1 == b.set_id1 && a.set_id2 == b.set_id2 && a.job_num == b.job_num &&
           a.name == b.name;
}

Discovery discover_set(const std::string& set, const std::vector<std::string>& images) {
    Discovery d;
    d.status = DISCOVER_OK;
    d.listed = false;
    d.key = SetKey{0, 0, 0, ""};
    d.highest_disk = 0;
    d.catalog_disk = 0;

    std::vector<Candidate> found;
    Candidate c;
    int reason = 0;

    int kind = plat_entry_kind(set.c_str(), true);
    bool set_is_dir = kind == PLAT_ENTRY_DIR;
    if (kind == PLAT_ENTRY_NONE) {
        d.status = DISCOVER_NOT_FOUND;
        return d;
    }
    if (!set_is_dir) {
        c = Candidate();
        c.path = set;
        if (!read_header(set, true, &c, &reason)) {
            d.status = reason == LEFT_UNREADABLE ? DISCOVER_UNREADABLE : DISCOVER_NOT_IMAGE;
            return d;
        }
        d.key = c.key;
        found.push_back(c);
    }

    for (const std::string& path : images) {
        c = Candidate();
        c.path = path;
        kind = plat_entry_kind(path.c_str(), true);
        if (kind != PLAT_ENTRY_FILE) {
            leave_out(&d, path, reason_of_kind(kind));
        } else if (!read_header(path, true, &c, &reason)) {
            leave_out(&d, path, reason);
        } else {
            found.push_back(c);
        }
    }

    d.directory = set_is_dir ? set : directory_of(set);
    std::vector<std::string> names;
    d.listed = list_directory(d.directory, &names);
    if (set_is_dir && !d.listed && names.empty()) {
        d.status = DISCOVER_UNREADABLE;
        return d;
    }
    for (const std::string& name : names) {
        std::string path = d.directory;
        if (!path.empty() && !ends_in_separator(path)) path += (char)PLAT_SEPARATOR;
        path += name;
        // Named already: SET, or an --image in the directory.
        if (path == set || std::find(images.begin(), images.end(), path) != images.end()) continue;
        kind = plat_entry_kind(path.c_str(), false);
        c = Candidate();
        c.path = path;
        if (kind != PLAT_ENTRY_FILE) {
            leave_out(&d, path, reason_of_kind(kind));
        } else if (!read_header(path, false, &c, &reason)) {
            leave_out(&d, path, reason);
        } else {
            found.push_back(c);
        }
    }

    note_sets(&d, found);
    if (found.empty()) {
        d.status = DISCOVER_NO_IMAGES;
        return d;
    }
    if (set_is_dir && !choose_set(&d)) {
        d.status = DISCOVER_SEVERAL_SETS;
        return d;
    }
    assign_disks(&d, found);
    return d;
}

std::string left_out_text(const LeftOut& left) {
    switch (left.reason) {
    case LEFT_ANOTHER_SET: return "another set";
    case LEFT_NOT_IMAGE: return "not a backup image";
    case LEFT_UNREADABLE: return "cannot be read";
    case LEFT_NOT_FOUND: return "not found";
    case LEFT_DUPLICATE: return "a second image of disk " + std::to_string(left.disk_num);
    case LEFT_SECOND_CATALOG: return "a second image with the catalog";
    case LEFT_BEYOND_LAST:
        return "disk " + std::to_string(left.disk_num) + ", beyond the last disk (" +
               std::to_string(left.last_disk) + ")";
    case LEFT_DISK_ZERO: return "disk number 0";
    case LEFT_DIRECTORY: return "a directory";
    case LEFT_LINK: return "a symbolic link";
    default: return "not a regular file";
    }
}
