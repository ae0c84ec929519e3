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

// Output directories (the paths themselves: catalog/dir_path.h).
void fix_colons(char* path);
// Makes one directory of the output tree (colons mapped first, in place).
int mk_dir(const Catalog* catalog, char* path);
void mk_dirs(const Catalog* catalog, bool create);

// What a step of the listing and extraction came to. Only RESTORE_OK lets
// the walk go on; whatever else xtract_files gives back, the front end
// takes as a run that stopped early.
enum RestoreResult {
    RESTORE_OK = 0,
    // The data steps (skip_file, xtract_stored, xtract_comp)
    RESTORE_NO_NEXT_DISK,       // the data runs on and no next disk image came
    RESTORE_SKIP_SEEK_FAILED,   // the seek over a file's data failed
    RESTORE_STORED_IO_ERROR,    // a stored file's read or write came short
    RESTORE_RUN_ENDED,          // the Comp chain ended before the file's last group
    RESTORE_UNKNOWN_LEVEL,      // a group's COMP_LVL is neither 4 nor -1
    RESTORE_GROUP_NO_MEMORY,    // no memory for a group's buffer
    RESTORE_GROUP_READ_ERROR,   // a group's read came short
    RESTORE_GROUP_WRITE_ERROR,  // a stored group's write came short
    RESTORE_INFLATE_FAILED,     // a group did not inflate, or its output's write came short
    // The driver (xtract_files)
    RESTORE_START_UNREACHED,         // the list does not reach the -s# start file
    RESTORE_DATA_START_SEEK_FAILED,  // the seek to the data of disk 1 failed
    RESTORE_SKIP_IMPOSSIBLE,         // the sizes put all the data on the last disk
    RESTORE_LAST_DISK_SEEK_FAILED,   // choice Y, and the seek to the first whole file failed
    RESTORE_FIRST_DISK_MISSING,      // choice N, and no image of disk 1 came
    RESTORE_ABORTED,                 // choice A
    RESTORE_OUTPUT_OPEN_FAILED,      // a file's output could not be opened
    RESTORE_CUT_SHORT,  // the job's disk count ended the walk with files left
};

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
RestoreResult skip_file(int* image, Catalog* catalog, const FileRecord* file, int32_t* avail);
// The data of a file into out (an output file, which they close).
RestoreResult xtract_stored(int* image, Catalog* catalog, const FileRecord* file, int out,
                            int32_t* avail);
RestoreResult xtract_comp(int* image, Catalog* catalog, const FileRecord* file, int out,
                          int32_t* avail);

// Restored file metadata.
struct OutTree;
int64_t date_to_secs(const char* date);
// True when the file's attribute keeps it writable.
bool file_writable(const FileRecord* file);
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
//
// On the last disk of a set, from the catalog's sizes alone: the first file
// whose data begins on this disk (null when none does) and, into *skip, the
// bytes in front of it that belong to a file begun on an earlier disk. A
// negative *skip: the data would all fit on this disk, which then cannot
// be the last of several.
FileRecord* find_first_whole_file(const Catalog* catalog, int32_t* skip);
// What asking for the next disk's image came to.
enum DiskResult {
    DISK_READY,        // an image of the set, open and measured
    DISK_NOT_GIVEN,    // the Dialogue gave no (further) name
    DISK_END_UNKNOWN,  // an image of the set whose end could not be found
};
// Asks the run's Dialogue for the next disk's image until one of the set
// is given: its handle into *image (-1 unless DISK_READY), its data space
// into *avail.
DiskResult get_disk(Catalog* catalog, int* image, int32_t* avail);

// The list-and-extract driver. *image is the catalog image's handle; when a
// disk change closed it, *image is set to -1 on return. Gives back RESTORE_OK
// when the walk reached the end of the list (after any choice but A), else
// why it stopped early or never began; the front end's exit status relies
// on this.
RestoreResult xtract_files(int* image, Catalog* catalog);

// What the catalog save came to; each failure but SAVE_NO_CATALOG has been
// reported.
enum SaveResult {
    SAVE_DONE,
    SAVE_NO_CATALOG,           // the header gives no catalog offset
    SAVE_OPEN_FAILED,          // the catalog file could not be created
    SAVE_HEADER_WRITE_FAILED,  // its header could not be written
    SAVE_SEEK_FAILED,          // the image's catalog could not be reached
    SAVE_COPY_FAILED,          // the copy of the catalog came short
};
// Catalog save. image may be -1 after a disk change: the image is then
// opened again by path.
SaveResult save_cat(int image, Catalog* catalog);

// The whole unbak run, in-process: parses argv, runs every step and gives
// back the exit status. The run's state is made at its start and released
// at its end, so it may be called repeatedly (tests, fuzzing).
int unbak_main(int argc, char** argv);
// unbak_main with every group taking the 1024-byte way, none inflated whole
// (restore/staging.h): for tests that compare the two ways.
int unbak_main_exact(int argc, char** argv);

#endif
