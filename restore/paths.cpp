// Output directories: every directory of the catalog is created in the
// run's output tree before an extraction, its path built by mk_path_str
// (catalog/dir_path.h) with each drive's colon turned into '_'.
#include "restore/restore.h"

#include <string.h>

#include "restore/events.h"
#include "restore/outtree.h"

void fix_colons(char* path) {
    out_fix_colons(path);
}

int mk_dir(const Catalog* catalog, char* path) {
    fix_colons(path);
    size_t len = strlen(path);
    if (len >= 2 && path[len - 1] == '\\') path[len - 1] = '\0';

    switch (out_make_dir(catalog->out_tree, path)) {
    case OUT_DIR_MADE:
        return 0;
    case OUT_DIR_FAILED:
        say(catalog->io.rep, EV_DIR_CREATE_FAILED);
        return -1;
    case OUT_DIR_EXISTED:
        say(catalog->io.rep, EV_DIR_EXISTS);
        return 0;
    default:
        // Something else has the name, a link among them: leave it alone.
        return -1;
    }
}

void mk_dirs(const Catalog* catalog, bool create) {
    list_dir_paths(catalog, create ? mk_dir : NULL);
}
