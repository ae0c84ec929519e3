// The output tree: where a run's restored files are written, and the one
// place that keeps every write inside it and off what must not be written
// over. Every front end that restores files writes through it, each with
// its own policy.
//
// Below the tree's root no symbolic link is followed and nothing but a
// regular file is opened for output (the OS layer's plat_open_output), no
// file read in this run (an image) is written over, and no file written
// earlier in this run is written again: files are told apart by identity,
// so two catalog names that reach one file ("a:b" and "a_b", or names that
// differ in letter case on a file system that ignores it) cannot overwrite
// each other. A file that existed before the run may be written over (as
// the policy says) and then counts as written by the run.
//
// Paths are catalog paths relative to the root, colons already mapped
// (out_fix_colons), '\' or '/' separated.
#ifndef RESTORE_OUTTREE_H
#define RESTORE_OUTTREE_H

#include <stdint.h>

#include "platform/platform.h"

struct OutPolicy {
    // Files 0666 and directories 0777, less the umask (read-only files lose
    // every write bit); without it files are 0600, as unbak makes them.
    bool shared_modes;
    // An existing file is left alone (OUT_EXISTS) instead of written over.
    bool keep_existing;
    // A second file of the run on one path is written as name~2, ~3...
    // (OUT_CREATED, with the new path); without it, OUT_DUPLICATE.
    bool number_duplicates;
    // Written under a temporary name in its directory and renamed to its
    // own by out_commit, so a damaged or interrupted file never stands
    // under its real name.
    bool via_temp;
};

// Temporary names end in this; a later run may remove what an interrupted
// one left (out_is_temp_name).
#define OUT_TEMP_SUFFIX ".bak-part~"

enum {
    OUT_PATH_MAX = 1024,
    // Copies of one name tried before a numbered name counts as failed.
    OUT_COPIES_MAX = 999,
};

struct OutTree {
    int root;  // PLAT_CWD, or a root from plat_open_root (the caller's)
    OutPolicy policy;
    // Identities of the files written, an open-addressing table of `cap`
    // slots (a power of two; index 0 marks a free slot, so a file numbered
    // 0 is kept apart in zero).
    PlatFileId* slots;
    int32_t cap, count;
    PlatFileId zero;
    bool has_zero;
};

void out_tree_init(OutTree* tree, int root, const OutPolicy* policy);
// Releases the table; the root is the caller's.
void out_tree_free(OutTree* tree);

// Every ':' of a catalog path becomes '_' (drive "C:" becomes "C_").
void out_fix_colons(char* path);

// ---- directories ------------------------------------------------------------------

enum OutDir {
    OUT_DIR_MADE,     // created
    OUT_DIR_EXISTED,  // a directory was there
    OUT_DIR_FAILED,   // nothing was there and it could not be created
    OUT_DIR_BLOCKED,  // something else (a link, a file) has the name, or
                      // lies on the way: nothing is created beneath it
};
// Makes the last directory of path (one trailing separator is ignored).
OutDir out_make_dir(OutTree* tree, const char* path);
// Makes every directory above the last component of path that is missing.
// True when they all stand.
bool out_make_parents(OutTree* tree, const char* path);

// ---- files ----------------------------------------------------------------------

enum OutCreate {
    OUT_CREATED = 0,     // the file is open, empty, for writing
    OUT_FAILED = -1,     // not opened: a link, a special file, an image, no room
    OUT_DUPLICATE = -2,  // a file written earlier in this run has the path
    OUT_EXISTS = -3,     // keep_existing, and a file was there before the run
};

struct OutFile {
    int fd;                    // -1 when not open
    char path[OUT_PATH_MAX];   // its final path (numbered when it had to be)
    char temp[OUT_PATH_MAX];   // where it is written meanwhile; "" in place
    int32_t copy;              // N of a name~N, 0 for the name itself
};

// Opens the file for path as the policy says and remembers it as written.
OutCreate out_create(OutTree* tree, const char* path, OutFile* file);
// Closes the file; one written under a temporary name is renamed to its
// own (over an existing file unless keep_existing). 0, or -1 when the
// close or rename failed (the temporary file is then removed).
int out_commit(OutTree* tree, OutFile* file);
// Closes the file; one written under a temporary name is removed.
void out_discard(OutTree* tree, OutFile* file);

// Takes the file at path, which the run did not write, as the run's own
// (a file found already restored): no later file of the run is written
// over it. False when nothing regular is there, or it is the run's
// already.
bool out_claim(OutTree* tree, const char* path);

// Bits of what out_set_meta could not set.
enum { OUT_META_TIMES_FAILED = 1, OUT_META_WRITABLE_FAILED = 2 };
// Sets a written file's time (times first: a read-only file could not take
// them) and read-only state.
int32_t out_set_meta(OutTree* tree, const char* path, int64_t secs, bool writable);

// True when a file name is one of this writer's temporary names.
bool out_is_temp_name(const char* name);

#endif
