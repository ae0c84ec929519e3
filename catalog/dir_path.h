// Directory paths: a directory index of the catalog becomes a path such as
// C:\Data\Sub\ in a path buffer of the caller's.
//
// The builder lives with the catalog, not with the restore, because more
// than one user needs it: unbak's Dirs display lists every directory's path
// under -vv (restore/display.cpp), the restore builds its output paths and
// creates the directories from it (restore/paths.cpp, restore/driver.cpp),
// and bak names its files with it.
// Only the text is made here; turning it into a place on disk (colons,
// directory creation) is the restore's.
//
// Every index on a directory's chain is checked against its table, and every
// component (directory name or drive text) must be a plain name: nothing the
// catalog says can make a path leave the current directory.
#ifndef CATALOG_DIR_PATH_H
#define CATALOG_DIR_PATH_H

#include <stdint.h>

#include "catalog/catalog.h"

enum {
    // A path buffer: the longest directory part (254) + the longest file
    // name (240) + NUL fit. The driver's walk keeps one for the file it is
    // at (the path serves its listing line, its extraction and its
    // metadata), list_dir_paths one for the directory it is at.
    PATH_BUF_SIZE = 512,
    // Directories on one chain, the root included, before the climb gives up.
    DIR_CHAIN_SIZE = 20,
};

// The directory part of dirs[ndx - 1] (from 1), with a trailing backslash,
// into path (PATH_BUF_SIZE bytes); its length in *length. Gives back path,
// or null (and *length 0) when the index or a parent or disk index on its
// chain is out of range, a component is unsafe, the chain is too deep or
// the part would not fit; most of these are reported to catalog->io.rep.
char* mk_path_str(const Catalog* catalog, int32_t ndx, char* path, int32_t* length);

// True when a name may be used as one path component: not empty, "." or
// "..", and free of '/' and '\'.
bool safe_component(const char* name);

// Every directory's path in index order, built in turn in a path buffer of
// its own: make (when not null) is called on it first (and may rewrite it),
// then EV_DIR_PATH reports the path as make left it; a path that
// cannot be built gives EV_DIR_PATH_FAILED instead. Needs the Disks and
// Dirs tables. Events go to catalog->io.rep.
void list_dir_paths(const Catalog* catalog, int (*make)(const Catalog* catalog, char* path));

#endif
