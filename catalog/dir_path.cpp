// Directory paths from the Dirs chain (see dir_path.h for why they are built
// in the catalog layer).
#include "catalog/dir_path.h"

#include <string.h>

#include "catalog/events.h"

// The directory part, backslashes included, stays below this many
// characters with its terminator and one more separator.
static const int32_t DIR_PART_LIMIT = 256;

// A name of blanks is a name like any other: a drive text of blanks (copied
// with its padding) becomes a directory of that name.
bool safe_component(const char* name) {
    if (name == NULL || name[0] == '\0') return false;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    return strpbrk(name, "/\\") == NULL;
}

char* mk_path_str(const Catalog* catalog, int32_t ndx, char* path, int32_t* length) {
    *length = 0;
    if (ndx == 0) {
        say(catalog->io.rep, EV_DIR_INDEX_ZERO);
        return NULL;
    }
    int32_t ndirs = catalog->dirs ? table_count(catalog, TBL_DIRS) : 0;

    // Climb to the root. A full chain (19 directories and one more) ends the
    // climb without a path; that also ends a parent loop.
    int32_t chain[DIR_CHAIN_SIZE];
    int32_t depth = 0;
    int32_t cur = ndx;
    for (;;) {
        if (cur < 1 || cur > ndirs) {
            say(catalog->io.rep, EV_DIR_INDEX_OUT_OF_RANGE, {ev_num(cur)});
            return NULL;
        }
        chain[depth++] = cur;
        if (depth >= DIR_CHAIN_SIZE) return NULL;
        cur = catalog->dirs[cur - 1].parent;
        if (cur == 0) break;
    }

    int32_t drive = (int32_t)((uint32_t)catalog->dirs[ndx - 1].disk - 1u);
    int32_t ndisks = catalog->disks ? table_count(catalog, TBL_DISKS) : 0;
    if (drive < 0 || drive >= ndisks) {
        say(catalog->io.rep, EV_DRIVE_INDEX_OUT_OF_RANGE, {ev_num(drive)});
        return NULL;
    }

    int32_t pos = 0;
    for (int32_t i = depth - 1; i >= 0; i--) {
        const DirRecord* dir = &catalog->dirs[chain[i] - 1];
        const char* comp = dir->name ? dir->name : catalog->disks[drive].drive;
        if (!safe_component(comp)) {
            say(catalog->io.rep, EV_DIR_NAME_UNSAFE, {ev_num(ndx)});
            return NULL;
        }
        size_t len = strlen(comp);
        if (len + (size_t)pos + 2 >= (size_t)DIR_PART_LIMIT) return NULL;
        memcpy(path + pos, comp, len);
        pos += (int32_t)len;
        path[pos++] = '\\';
    }
    path[pos] = '\0';
    *length = pos;
    return path;
}

void list_dir_paths(const Catalog* catalog, int (*make)(const Catalog* catalog, char* path)) {
    if (catalog->disks == NULL || catalog->dirs == NULL) {
        say(catalog->io.rep, EV_DIR_TABLES_MISSING);
        return;
    }
    int32_t ndirs = table_count(catalog, TBL_DIRS);
    char buf[PATH_BUF_SIZE];
    for (int32_t i = 1; i <= ndirs; i++) {
        int32_t length;
        char* path = mk_path_str(catalog, i, buf, &length);
        if (path == NULL) {
            say(catalog->io.rep, EV_DIR_PATH_FAILED, {ev_num(i)});
            continue;
        }
        if (make) make(catalog, path);
        say(catalog->io.rep, EV_DIR_PATH, {ev_num(i), ev_text(path)});
    }
}
