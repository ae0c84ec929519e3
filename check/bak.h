// bak, the everyday tool for a stack of disk images: info, list, test,
// extract, cat, convert (to an archive) and tables on a whole set, found
// from any one of its images.
//
// It stands on the lower layers without their front end: the header and
// region code of container/, the catalog readers and link_data of
// catalog/, the inflate staging, metadata rules and output-tree writer of
// restore/. What makes it bak's own is where it reads: instead of following
// the data stream from disk to disk through a dialogue, it takes every image
// of the set at once and gives each its place in the stream from the image
// sizes (placement.cpp), so each file is read on its own and a missing disk
// costs only the files on it.
//
// The pieces: bak_set.cpp (the set: discovery, catalog, consistency),
// placement.cpp (where each image lies, reading the stream), verify.cpp (one
// file's data checked, and put out), naming.cpp (the names files are written
// under), report.cpp (what is said of problems, JSON, the progress line),
// one cmd_*.cpp per command, bak_main.cpp (the command line).
//
// State lives in one Bak per run, passed down; nothing here is static but
// constant tables, so the run can be repeated in-process (tests, the fault
// sweep).
#ifndef CHECK_BAK_H
#define CHECK_BAK_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "check/discover.h"
#include "check/patterns.h"
#include "check/walk.h"
#include "platform/charset.h"
#include "restore/staging.h"

// Exit statuses.
enum {
    BAK_EXIT_OK = 0,
    BAK_EXIT_NOT_ALL = 1,   // files not intact, a pattern matched nothing, catalog inconsistent
    BAK_EXIT_UNUSABLE = 2,  // no usable set, bad usage, output not writable
};

// ---- placement.cpp: where each image lies in the data stream -------------------

enum { PLACED_NOT = 0, PLACED_FROM_START, PLACED_FROM_END, PLACED_BY_SIZE };

// How a disk's place was put to the test: a whole group on it inflated
// with its checksum, or why none could be.
enum {
    CONFIRM_NOT_TRIED = 0,  // not placed
    CONFIRM_YES,            // a group at its place inflated with the right checksum
    CONFIRM_FAILED,         // every group tried (two or more) failed: its bytes are not used
    CONFIRM_UNSURE,         // its one whole group failed: damage or a wrong place; read,
                            // each group on its own checksum
    CONFIRM_NO_GROUP,       // no whole compressed group lies on it
    CONFIRM_NO_CHECKSUM,    // stored data: nothing to check it with
};

struct DiskSlot {
    std::string path;    // the image of this disk, "" when missing
    int image;           // its handle while open, else -1 (see disk_open)
    int64_t raw_size;    // its data area as the image holds it (0x200 to the
                         // end, or to the catalog on the last disk)
    int64_t data_size;   // the part of it that is stream: raw_size, less
                         // trailing bytes beyond the set's disk capacity
    int64_t trailing;    // bytes beyond the capacity, not read
    bool cut_short;      // a data disk shorter than the capacity
    int32_t placed;      // PLACED_*
    int32_t confirm;     // CONFIRM_*
    int64_t start;       // stream offset of its first data byte, when placed
    int64_t first_used;  // stream offset from which its bytes are read
    int64_t position;    // where its handle stands, -1 when unknown
};

struct Placement {
    int32_t num_disks;
    std::vector<DiskSlot> disks;  // [1 .. num_disks]; [0] unused
    std::vector<int32_t> read;    // disks whose bytes are read, in stream order
    int64_t stream_length;        // the catalog's sum of the files' stream bytes
    int64_t capacity;             // a data disk's data area, 0 when unknown
    // The stream the images imply: (num_disks - 1) x capacity and the last
    // disk's data; -1 when no data disk was given to measure one by.
    int64_t images_hold;
    int32_t open_disk;            // the data disk whose image is open, 0 when none
};

// Sets capacity, trailing bytes and cut-short disks, and places every disk
// given; see placement.cpp for the rules.
void place_disks(Placement* pl);

// A data group where it lies in the stream, for confirm_places.
struct GroupAt {
    int64_t pos;
    int64_t compsize;
    int32_t orgsize;
    uint32_t chk_sum;
    int32_t level;
};
// Tries each placed disk's place with whole groups on it (groups in stream
// order; buf is a buffer of the caller's that grows to a group); a disk
// none of whose groups inflates right is no longer read.
void confirm_places(Placement* pl, const std::vector<GroupAt>& groups, bool compressed,
                    unsigned char** buf, int64_t* cap, Staging* staging);
// The disks read: placed, not refuted, holding some stream not read elsewhere.
void list_read_disks(Placement* pl);
// Opens the image of data disk k for reading, closing the one open before:
// a set of a thousand floppies is read with two images open, the catalog's
// and one other. The last disk's image (the catalog's) stays open. False
// when it cannot be opened.
bool disk_open(Placement* pl, int32_t k);
// Closes the data disk's image open, if any.
void disk_close(Placement* pl);
// The disk whose bytes are read for stream byte pos, 0 when none.
int32_t disk_at(const Placement* pl, int64_t pos);
// The disk that should hold stream byte pos (for messages), from 1.
int32_t disk_expected(const Placement* pl, int64_t pos);
// Length of the stretch from pos (at most len) that lies wholly on disks
// read or wholly on none; *held tells which.
int64_t stream_stretch(const Placement* pl, int64_t pos, int64_t len, bool* held);
bool stream_has(const Placement* pl, int64_t pos, int64_t len);
enum { STREAM_OK = 0, STREAM_HOLE = 1, STREAM_READ_ERROR = 2 };
int stream_read(Placement* pl, int64_t pos, int64_t len, unsigned char* out);

// ---- the set (bak_set.cpp) ---------------------------------------------------------

// One file of the catalog as bak sees it.
struct BakFile {
    const FileRecord* rec;
    int32_t index;        // from 0, in catalog order
    int64_t pos;          // stream offset of its data
    std::string listed;   // its path as listed (C:\Data\x.txt), bytes as in
                          // the catalog; the bare name when its directory
                          // path cannot be built
    std::string shown;    // listed, decoded by --charset (else the same)
    bool dir_ok;          // its directory path could be built
    bool name_ok;         // its name can be used as a file name
};

struct BakSet {
    Discovery found;
    FileHeader header;    // the catalog image's
    uint16_t options;     // the Catalog's option word: none of unbak's apply
    Catalog catalog;
    RegionInfo regions[REGION_COUNT];
    int catalog_image;    // handle, -1
    Placement placement;
    std::vector<BakFile> files;
    // Every catalog directory's listed path (C:\Data\), "" when it cannot
    // be built; [0] unused.
    std::vector<std::string> dir_paths;
    bool compressed;                          // the Job's flag
    int64_t total_bytes;                      // the files' recorded sizes
    // Catalog inconsistencies, each a sentence; found while reading and
    // later while testing (a group's length that disagrees).
    std::vector<std::string> inconsistencies;
    // The table being located, for the reporter: a count record that
    // disagrees with its records is said of it.
    int32_t region_now;
    PlatCharset* charset;                     // --charset, null without
};

// ---- the run -------------------------------------------------------------------------

struct BakOptions {
    std::string command;
    std::string set;
    std::vector<std::string> images, patterns, excludes;
    std::string charset;
    bool json = false;
    bool long_list = false;
    bool nul = false;
    bool quiet = false;
    std::string dir;        // -C; "" for the current directory
    bool overwrite = false;
    bool salvage = false;
    std::string report;     // --report FILE
    int progress = -1;      // -1: when stderr is a terminal
    int jobs = 0;           // -j: threads inflating; 0 for one per processor
    std::string output;     // convert: the archive, "-" for a tar on stdout
    bool report_in_archive = false;  // convert: LOST-DATA.txt at its root
    std::string csv_dir, dbf_dir;    // tables --csv DIR, --dbf DIR
    std::string mountpoint; // bak mount
    bool foreground = false;  // mount -f
    int64_t cache_mib = 64;   // mount --cache
};

struct Progress {
    bool on;
    bool shown;                 // a line stands on stderr
    int64_t bytes_done, bytes_total;
    int32_t files_done, files_total;
    int32_t disk;               // being read, 0 when none
    std::chrono::steady_clock::time_point started, last;
};

// Buffers of the data walk, grown to the largest group met and released at
// the end of the run.
struct Scratch {
    unsigned char* in;       // a group's bytes, for confirming places
    int64_t in_cap;
    Staging staging;         // the fast way: whole groups inflated at once
    Step step;               // the one step of a walk on one thread
};

struct Bak {
    BakOptions opt;
    BakSet set;
    PatternSet patterns;
    Progress progress;
    Scratch scratch;
    Pipeline* pipeline;      // the walk's threads (-j), null for one thread
    bool stdout_failed;
};

// Opens the set the options name: discovery, the catalog, the disks and
// their places, the files' paths and the catalog's consistency. Says why
// not on stderr and gives back BAK_EXIT_UNUSABLE, or 0.
int open_set(Bak* bak);
void close_set(Bak* bak);
// The files the patterns choose, in catalog order; says which patterns
// matched nothing (*unmatched is then true).
std::vector<const BakFile*> select_files(Bak* bak, bool* unmatched);

// ---- verify.cpp: one file's data ------------------------------------------------------

enum { FILE_INTACT = 0, FILE_PRESENT, FILE_DAMAGED, FILE_MISSING };

enum {
    PROB_HOLE,          // groups first..last (or bytes a..b of stored data) on no disk read
    PROB_READ,          // group: an image read came short
    PROB_LEVEL,         // group: unknown COMP_LVL a
    PROB_INFLATE,       // group: zlib error a (text: zlib's message)
    PROB_LENGTH,        // group: inflates to a bytes, ORGSIZE b, checksum wrong
    PROB_TOO_LONG,      // group: inflates to more than a bytes
    PROB_CHECKSUM,      // group: CRC-32 a does not match CHK_SUM b
    PROB_STORED_SIZE,   // group: stored group with ORGSIZE a, COMPSIZE b
    PROB_MEMORY,        // group: no memory for it
    PROB_RUN_END,       // the Comp chain ends before the file's last group
    PROB_FILE_LENGTH,   // the groups hold a bytes, the file's length is b
    PROB_NO_GROUPS,     // a file of a compressed set without groups
    PROB_SIZE_ONLY,     // group: inflates to a bytes with the right checksum, ORGSIZE b
                        // (the data is good; the catalog is not)
    PROB_WRITE,         // the output could not be written (text: what failed)
};

struct Problem {
    int32_t kind;
    int32_t first_group, last_group;  // from 1; 0 when not about groups
    int64_t a, b;
    const char* text;
    int32_t disk;                     // PROB_HOLE: the disk that should hold it
};

struct LostRange {
    int64_t offset, length;  // bytes of the file lost (zeros in a salvaged file)
};

enum { MAX_PROBLEMS = 8 };

struct FileCheck {
    int32_t status;        // FILE_*
    int32_t ngroups;
    std::vector<Problem> problems;
    int32_t more_problems;
    std::vector<LostRange> lost;
    int64_t bytes_lost;
    int64_t written;       // bytes put out
    bool unverified;       // stored data, which has no checksum
};

// Where a file's bytes go while it is checked.
struct DataOut {
    int fd;               // an output file of the OS layer, -1 for none
    bool to_stdout;       // bak cat
    bool stop_at_damage;  // put out nothing behind the first bad byte (cat)
    bool give_up;         // stop writing at the first damage (extract without
                          // --salvage: the file is not kept)
    bool stopped;         // writing stopped
    const char* failure;  // a write that failed, null when none
    // Where the bytes go instead of fd or stdout (an archive being
    // written): false from it is a failed write. Null when none.
    bool (*sink)(void* ctx, const unsigned char* data, int64_t n);
    void* sink_ctx;
};

// Checks the file and puts its data out: good groups as they inflate, lost
// ones as zeros (at most their ORGSIZE and 16 MiB each), never beyond the
// recorded size.
void check_file(Bak* bak, const BakFile* file, DataOut* out, FileCheck* res);
void release_scratch(Scratch* s);
// Makes *buf hold at least need bytes (malloc'd; *cap its size). False
// when the memory cannot be had.
bool grow_buffer(unsigned char** buf, int64_t* cap, int64_t need);

// ---- report.cpp ----------------------------------------------------------------------

// Messages on stderr, each line "bak: ...", the progress line cleared first.
void say_error(Bak* bak, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// A name as text for the terminal (escaped), from bytes as listed.
std::string shown_text(const std::string& bytes);
// One problem of a file as a phrase ("group 2 of 5: checksum mismatch ...").
std::string problem_text(const Bak* bak, const FileCheck* res, const Problem* p);
// A file's problems and lost ranges after its path, as one line's tail.
std::string problems_line(const Bak* bak, const FileCheck* res, int64_t size);
const char* status_word(int32_t status);
// What a disk's state is, in words: "missing", "placed from the start,
// confirmed"...
std::string disk_state_text(const DiskSlot* d, int32_t k, int32_t n);
// The recorded date text (YYYYMMDDhhmmss) as ISO 8601, as recorded.
std::string iso_date(const char* date);

void progress_start(Bak* bak, int32_t files, int64_t bytes);
void progress_update(Bak* bak, bool force);
void progress_clear(Bak* bak);

// Standard output: the bytes, or the failure noted (ending with status 2).
void put_stdout(Bak* bak, const void* data, size_t n);
void put_stdout_text(Bak* bak, const std::string& text);

// ---- the commands --------------------------------------------------------------------

int cmd_info(Bak* bak);
int cmd_list(Bak* bak);
int cmd_test(Bak* bak);
int cmd_extract(Bak* bak);
int cmd_cat(Bak* bak, const std::string& path);
int cmd_tables(Bak* bak);
// bak convert (cmd_convert.cpp, built where libarchive is: BAK_CONVERT).
int cmd_convert(Bak* bak);
// The archive kinds convert writes, by OUTPUT's suffix: true when output
// names one of them.
bool convert_output_known(const std::string& output);
// bak mount (cmd_mount.cpp): only in builds with libfuse 3 (BAK_MOUNT).
int cmd_mount(Bak* bak);

// The whole run, in-process: parses argv and gives back the exit status.
// Everything it opens or allocates is released before it returns.
int bak_main(int argc, char** argv);

#endif
