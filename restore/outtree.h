// The output tree: where a run's restored files are written, and the rules
// that keep every write inside it and off what must not be written over.
//
// Below the tree's root no symbolic link is followed and nothing but a
// regular file is opened for output (the OS layer's plat_open_output), no
// file read in this run (an image) is written over, and no file written
// earlier in this run is written again: files are told apart by identity,
// so two catalog names that reach one file (a name that differs only in
// letter case on a file system that ignores it, "a:b" and "a_b") cannot
// overwrite each other. A file that existed before the run is written over
// and from then on counts as written by the run.
#ifndef RESTORE_OUTTREE_H
#define RESTORE_OUTTREE_H

#include <stdint.h>

#include "platform/platform.h"

struct OutTree {
    int root;  // PLAT_CWD, or a root from plat_open_root
    // Identities of the files written, an open-addressing table of `cap`
    // slots (a power of two; an index of 0 marks a free slot, so index 0
    // is kept apart in has_zero).
    PlatFileId* slots;
    int32_t cap, count;
    PlatFileId zero[1];
    bool has_zero;
};

void out_tree_init(OutTree* tree, int root);
// Releases the table; the root is the caller's.
void out_tree_free(OutTree* tree);

enum OutCreate {
    OUT_CREATED = 0,     // *fd is the file, empty, open for writing
    OUT_FAILED = -1,     // not opened: a link, a special file, an image, no room
    OUT_DUPLICATE = -2,  // a file written earlier in this run: left as it is
};

// Opens the catalog path below the root for output and truncates it, and
// remembers it as written.
OutCreate out_create(OutTree* tree, const char* path, int* fd);

#endif
