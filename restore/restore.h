// The restore engine: output directories, data extraction, file metadata,
// disk sets, the list-and-extract driver, the catalog save and the front end
// that runs them.
//
// It stands on the catalog layer (the Catalog, its tables, directory paths
// and group runs) and reaches the OS only through platform/.
#ifndef RESTORE_RESTORE_H
#define RESTORE_RESTORE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "catalog/catalog.h"
#include "catalog/dir_path.h"
#include "catalog/group_run.h"
#include "restore/staging.h"

// Where the data stream begins on every disk image, behind the header.
enum { DATA_START = 0x200 };

// Output directories (the paths themselves: catalog/dir_path.h).
void fix_colons(char* path);
// Makes one directory of the output tree (colons mapped first, in place).
int mk_dir(const Catalog* catalog, char* path);
void mk_dirs(const Catalog* catalog, bool create);

// What the extraction keeps between files, the run's: the copy buffer of
// stored files, through which a file goes a piece of COPY_BUF_SIZE bytes at
// a time, and the staging of whole groups. The front end makes them for a
// run (false when the copy buffer cannot be had) and releases them at its
// end; an extraction needs them in catalog->buffers.
enum { COPY_BUF_SIZE = 1024 * 1024 };
struct ExtractBuffers {
    unsigned char* copy_buf;
    Staging staging;
};
bool make_extract_buffers(ExtractBuffers* buffers);
void release_extract_buffers(ExtractBuffers* buffers);

// File data extraction. image and avail travel together, by address.
int32_t skip_file(int* image, Catalog* catalog, const FileRecord* file, int32_t* avail);
// The data of a file into out (an output file, which they close).
int32_t xtract_stored(int* image, Catalog* catalog, const FileRecord* file, int out,
                      int32_t* avail);
int32_t xtract_comp(int* image, Catalog* catalog, const FileRecord* file, int out,
                    int32_t* avail);

// Restored file metadata.
struct OutTree;
int64_t date_to_secs(const char* date);
enum { META_TIMES_FAILED = 1, META_WRITABLE_FAILED = 2 };
// Sets the file's recorded time and read-only state on the file written at
// path in the tree; the META_ bits of what could not be set, without a
// message.
int32_t apply_file_meta(OutTree* tree, const FileRecord* file, const char* path);
// apply_file_meta, and the message naming what could not be set.
int32_t set_file_meta(OutTree* tree, const Reporter* rep, const FileRecord* file,
                      const char* path);

// How the engine asks the person (or script) running it; the front end
// answers, in its own words.
enum StartChoice {
    START_THIS_DISK,   // the whole files of the last disk
    START_FIRST_DISK,  // everything, from disk 1
    START_LIST,        // list the last disk's files instead
    START_ABORT,
};
struct Dialogue {
    // The image of disk `disk` (from 1): its name into name (size bytes).
    // False when none is given: the walk ends.
    bool (*next_image)(void* ctx, int32_t disk, char* name, size_t size);
    // Where an extraction that began on the last disk of a set starts.
    StartChoice (*start_choice)(void* ctx);
    void* ctx;
};

// Multi-disk sets.
FileRecord* check_alloc(const Catalog* catalog, int32_t* skip, int32_t* file_num);
// Asks the run's Dialogue for the next disk's image until one of the set
// is given: its handle, with its data space in *avail; negative when none.
int get_disk(Catalog* catalog, int32_t* avail);

// The list-and-extract driver. *image is the catalog image's handle; when a
// disk change closed it, *image is set to -1 on return. Gives back 0 when the
// walk reached the end of the list (after any choice but A), nonzero when it
// stopped early or never began; the front end's exit status relies on this.
int32_t xtract_files(int* image, Catalog* catalog);

// Catalog save. image may be -1 after a disk change: the image is then
// opened again by path.
int32_t save_cat(int image, Catalog* catalog);

// The whole unbak run, in-process: parses argv, runs every step and gives
// back the exit status. The run's state is made at its start and released
// at its end, so it may be called repeatedly (tests, fuzzing).
int unbak_main(int argc, char** argv);
// unbak_main with every group taking the 1024-byte way, none inflated whole
// (restore/staging.h): for tests that compare the two ways.
int unbak_main_exact(int argc, char** argv);

#endif
