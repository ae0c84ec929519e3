// Output directories: every directory of the catalog is created below the
// current directory before an extraction, its path built by mk_path_str
// (catalog/dir_path.h) with each drive's colon turned into '_'.
#include "restore/restore.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

void fix_colons(char* path) {
    for (char* p = path; *p; p++)
        if (*p == ':') *p = '_';
}

int mk_dir(char* path) {
    fix_colons(path);
    size_t len = strlen(path);
    if (len >= 2 && path[len - 1] == '\\') path[len - 1] = '\0';

    switch (plat_path_status(path)) {
    case PLAT_PATH_NONE:
        if (plat_mkdir(path) != 0) {
            printf("\nfailed to create directory");
            return -1;
        }
        return 0;
    case PLAT_PATH_DIR:
        printf("\nWarning directory already exists");
        return 0;
    default:
        // Something else has the name: leave it alone.
        return -1;
    }
}

void mk_dirs(const Catalog* catalog, bool create) {
    list_dir_paths(catalog, create ? mk_dir : NULL);
}
