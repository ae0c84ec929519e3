// bakcheck: checks every file of a backup set without writing anything, and
// with --salvage restores every file that can be saved from damaged or
// incomplete media.
//
// It stands beside unbak on the same layers: the header and region code of
// container/, the catalog readers and link_data of catalog/, the path and
// metadata rules of restore/. What it does differently is where it reads:
// instead of following the data stream from disk to disk through the disk
// dialogue, it takes all the images the user has at once and gives each its
// place in the stream from the image sizes (placement.cpp), so every file can
// be checked on its own and a missing disk costs only the files on it.
//
// The pieces: bakcheck.cpp (command line, images, catalog), placement.cpp
// (where each image lies in the stream, reading the stream), verify.cpp (one
// file's groups checked, and written when salvaging), report.cpp (the text
// and JSON reports).
#ifndef CHECK_BAKCHECK_H
#define CHECK_BAKCHECK_H

#include <stddef.h>
#include <stdint.h>

#include "catalog/catalog.h"
#include "restore/outtree.h"
#include "restore/staging.h"

// Exit statuses.
enum {
    BAKCHECK_ALL_INTACT = 0,
    BAKCHECK_NOT_INTACT = 1,  // some file damaged, missing or not restorable
    BAKCHECK_UNREADABLE = 2,  // bad usage, or no readable catalog among the images
};

// The whole run, in-process: parses argv and gives back the exit status.
// Everything it opens or allocates is released before it returns.
int bakcheck_main(int argc, char** argv);

// ---- placement.cpp: where each image lies in the data stream -----------------

enum { PLACED_NOT = 0, PLACED_FROM_START = 1, PLACED_FROM_END = 2 };

// One disk of the set.
struct DiskSlot {
    const char* path;    // the image given for this disk; null when missing
    int image;           // its open handle, -1 when missing
    int64_t data_size;   // bytes of its data area (0x200 up to its end or the catalog)
    bool cut_short;      // a data disk smaller than another data disk given: its tail is lost
    int32_t placed;      // PLACED_*
    int64_t start;       // stream offset of its first data byte, when placed
    int64_t first_used;  // stream offset from which its bytes are read: start, or
                         // later where images placed from the start already hold them
    int64_t position;    // image offset the handle stands at, -1 when unknown
};

struct Placement {
    int32_t num_disks;
    DiskSlot* disks;  // disks[1] .. disks[num_disks]; disks[0] unused
    int32_t* placed;  // room for num_disks: the disks read, in stream order
    int32_t nplaced;
    int64_t stream_length;  // the catalog's sum of the files' sizes in the stream
    // The one stretch of the stream that no image holds (none when
    // hole_start == hole_end), and the disks that would hold it.
    int64_t hole_start, hole_end;
    int32_t hole_first, hole_last;
    // Bytes the images hold beyond what the stream needs where the
    // placements from the start and from the end meet (0 in a sound set).
    int64_t excess;
};

// Places every disk given; see placement.cpp for the rules and why they hold.
void place_disks(Placement* pl);
// True when every byte of [pos, pos + len) lies on an image placed.
bool stream_has(const Placement* pl, int64_t pos, int64_t len);
// The disk holding stream byte pos, 0 when none does.
int32_t disk_at(const Placement* pl, int64_t pos);
// Reads len stream bytes from pos. STREAM_HOLE when some lie on no image,
// STREAM_READ_ERROR when an image read came short.
enum { STREAM_OK = 0, STREAM_HOLE = 1, STREAM_READ_ERROR = 2 };
int stream_read(Placement* pl, int64_t pos, int32_t len, unsigned char* out);
// Length of the stretch from pos (at most len) that lies wholly on images or
// wholly on none; *held tells which.
int64_t stream_stretch(const Placement* pl, int64_t pos, int64_t len, bool* held);

// ---- verify.cpp and report.cpp: one file's findings ---------------------------

enum { FILE_INTACT = 0, FILE_DAMAGED = 1, FILE_MISSING = 2 };

enum {
    PROB_HOLE,         // groups first..last (or bytes a..b of stored data) on no image
    PROB_READ,         // group: an image read came short
    PROB_LEVEL,        // group: unknown COMP_LVL a
    PROB_INFLATE,      // group: zlib error a (text: zlib's message)
    PROB_LENGTH,       // group: inflates to a bytes, ORGSIZE b
    PROB_CHECKSUM,     // group: CRC-32 a does not match CHK_SUM b
    PROB_STORED_SIZE,  // group: stored group with ORGSIZE a, COMPSIZE b
    PROB_MEMORY,       // group: no memory for it
    PROB_RUN_END,      // the Comp chain ends before the file's last group
    PROB_FILE_LENGTH,  // the groups hold a bytes, the file's length is b
    PROB_UNSAFE_NAME,  // the file's name cannot be used as a name
    PROB_NO_NAME,      // the file record has no name
    PROB_DIR_PATH,     // its directory path cannot be built: restored under its bare name
    PROB_WRITE,        // salvage could not write it (text: what failed)
};

struct Problem {
    int32_t kind;
    int32_t first_group, last_group;  // from 1; 0 when not about groups
    int64_t a, b;
    const char* text;
};

struct LostRange {
    int64_t offset, length;  // bytes of the file lost (zeros in a salvaged file)
};

enum { MAX_PROBLEMS = 8 };

struct FileResult {
    const FileRecord* file;
    const char* path;  // as unbak lists it (C:\Data\x.txt), or the bare name
    int32_t ngroups;   // groups of its run, 0 for stored data
    int32_t status;    // FILE_*
    bool name_ok;      // it can be restored under its name
    bool created;      // salvage wrote it
    Problem problems[MAX_PROBLEMS];
    int32_t nproblems;
    int32_t more_problems;  // problems beyond MAX_PROBLEMS, counted only
    LostRange* lost;        // coalesced, in file order
    int32_t nlost, lost_cap;
    int64_t bytes_lost;
};

// ---- the run ------------------------------------------------------------------

// An image named on the command line.
struct GivenImage {
    const char* path;
    bool header_ok;
    uint32_t set_id1, set_id2;
    uint16_t job_num, disk_num;
    uint32_t cat_offs;
    int image;             // open handle while used, else -1
    const char* left_out;  // why it is not used, null when it is
};

struct Totals {
    int32_t files, intact, damaged, missing, unsafe, not_written, created;
    int64_t bytes, bytes_lost;
};

// Where one report goes: standard output or a file of the OS layer.
struct Sink {
    bool open;
    int fd;       // -1: standard output
    bool failed;  // a write came short
};

struct Run {
    const char* salvage_dir;  // null when only checking
    bool json;
    bool progress;  // standard error is a terminal
    GivenImage* given;
    int32_t ngiven;
    int32_t catalog_given;  // index in given of the catalog image, -1 when none
    FileHeader header;      // the catalog image's
    uint16_t options;       // the Catalog's option word: none of unbak's options apply
    Catalog catalog;
    RegionInfo regions[REGION_COUNT];
    Placement placement;
    char** dir_paths;  // [1 .. ndirs]: a directory's path as listed, null when none
    int32_t ndirs;
    // Salvage: the tree below the salvage directory (its root handle in
    // out_root), an output path relative to it, and the directory path last
    // made (both of out_path_size bytes).
    int out_root;
    OutTree tree;
    char* out_path;
    char* made_dir;
    size_t out_path_size;
    Totals totals;
    Staging staging;  // unbak's fast way of inflating a whole group
    Sink text_out, text_file, json_out;
    bool first_json_file;
    // Progress line.
    int64_t progress_bytes;
    int32_t progress_files;
    int32_t progress_disk;   // the disk being read, 0 when none
    int64_t progress_shown;  // time of the last line, seconds
};

// verify.cpp: checks one file whose data begins at stream offset pos (and
// with salvage_dir writes it); fills res. The buffers live in the run of
// verify.cpp until verify_release.
void verify_file(Run* run, const FileRecord* file, int64_t pos, FileResult* res);
void verify_release(void);
// Salvage: makes every directory of the catalog below the salvage directory.
void make_dirs_for_all(Run* run);

// report.cpp.
void sink_printf(Sink* s, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void report_begin(Run* run);
void report_file(Run* run, const FileResult* res);
void report_end(Run* run);
// The text of the hole's disks ("disk 2 missing").
void hole_label(const Placement* pl, char* out, int32_t size);
// The progress line on standard error, at most once a second unless forced.
void progress_update(Run* run, bool force);
void progress_clear(Run* run);

#endif
