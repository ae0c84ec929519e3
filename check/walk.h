// A file's data walk in three steps, so that they can run on different
// threads (pipeline.cpp) or one after the other on one (verify.cpp):
//   - the reader follows the file's data through the stream (the groups of
//     its run, or its stored stretches) and hands on each piece as a Step:
//     the bytes read, or why there are none (produce_file);
//   - a worker inflates and checks a group's bytes (judge_step);
//   - the writer applies the steps in order: the findings, the bytes put
//     out, zeros for what was lost (in verify.cpp's check_file).
// Every decision that depends on the stream is the reader's, every one that
// depends on the file's output the writer's, so the writer's results do not
// depend on how the steps were scheduled.
#ifndef CHECK_WALK_H
#define CHECK_WALK_H

#include <stdint.h>

#include <vector>

#include "restore/staging.h"

struct Bak;
struct BakFile;
struct CompRecord;

enum StepKind {
    STEP_MISSING,       // no byte of the file lies on a disk read (ends the file)
    STEP_NO_GROUPS,     // a file of a compressed set without groups (ends the file)
    STEP_GROUP,         // a group of the file's run
    STEP_RUN_END,       // the Comp chain ended inside the run
    STEP_STORED_HOLE,   // stored bytes [from, to) on no disk read
    STEP_STORED_PIECE,  // stored bytes [from, from + in_len) of the stretch [from, to)
    STEP_END,           // the file's last step
};

// What the reader got of a group or piece.
enum { GOT_DATA, GOT_HOLE, GOT_LEVEL, GOT_STORED_SIZE, GOT_MEMORY, GOT_READ_FAILED };

// A worker's verdict on a group read whole.
enum {
    VERDICT_NONE,     // nothing to judge (not a group, or no bytes)
    VERDICT_STORED,   // a stored group: its bytes as they are
    VERDICT_STAGED,   // inflated whole on the fast way: `data`, ORGSIZE bytes
    VERDICT_GOOD,     // inflated by zlib and checked: `data`, `length` bytes, or
                      // inflated again straight out when longer than kept
    VERDICT_BAD,      // does not check out: `problem` says why
    VERDICT_LATER,    // inflates beyond what a step keeps: judged by the writer
};

struct Step {
    int32_t kind;           // STEP_*
    int32_t file;           // the file's place in the pipeline's list
    int64_t seq;            // the pipeline's number of the step
    int32_t disk;           // the disk its bytes are read from (for the progress line)
    // STEP_GROUP
    const CompRecord* group;
    int32_t idx;            // from 1
    int32_t got;            // GOT_*
    int32_t hole_disk;      // GOT_HOLE, STEP_STORED_HOLE, STEP_MISSING: the disk that should hold it
    // STEP_STORED_*
    int64_t from, to;       // file offsets
    int64_t most;           // STEP_STORED_HOLE: zeros for it at most
    bool rest_lost;         // STEP_STORED_HOLE: the rest of the file lies beyond the images
    bool ran_out;           // STEP_END: the run closed (not the chain ended)
    bool stored;            // STEP_END: the file's data is stored, with no checksum
    // The bytes read (a group's, or a stored piece's)
    unsigned char* in;
    int64_t in_cap, in_len;
    // The worker's verdict on a group
    int32_t verdict;        // VERDICT_*
    int32_t problem;        // VERDICT_BAD: PROB_*
    int64_t a, b;
    const char* text;
    bool size_only;         // VERDICT_GOOD: right data, ORGSIZE wrong
    const unsigned char* data;
    int64_t length;
    // The worker's buffers, kept with the step between groups
    Staging staging;
    unsigned char* out;     // zlib's output, up to STAGING_MAX
    int64_t out_cap;
    unsigned char* window;  // zlib's output beyond that (inflated a second time)
    int64_t window_cap;
};

// The reader's way of handing on steps: take gives a free step (null: stop,
// the walk is cancelled), give hands it on filled. big: the step may hold
// more than STAGING_MAX bytes, so it goes alone.
struct Producer {
    Bak* bak;
    int32_t file;  // the place of the file being walked in the list
    Step* (*take)(Producer* p, bool big);
    void (*give)(Producer* p, Step* s);
    void* ctx;
};

// Walks the file's data, handing on its steps, the last one ending it
// (STEP_MISSING, STEP_NO_GROUPS or STEP_END). False when take said stop.
bool produce_file(Producer* p, const BakFile* file);
// Inflates and checks a group's bytes (thread-safe: touches the step alone).
// bounded: keep no more output than the group's ORGSIZE (and 64 KiB); a
// group that makes more is left to the writer (VERDICT_LATER). With
// scratch, a group inflated whole goes there instead of the step's own
// buffer, for a caller that wants its verdict and not its bytes: a
// thread's one buffer stays in its processor's cache.
void judge_step(Step* s, bool bounded, Staging* scratch = nullptr);
// Frees a step's buffers.
void release_step(Step* s);
// Frees a step's buffers when they have grown beyond a group of ordinary size.
void trim_step(Step* s);

// ---- pipeline.cpp: the steps on threads -----------------------------------------------

struct Pipeline;
// Starts a reader and `workers` inflating threads on the files, in this
// order, for check_file; null when no thread could be started (the walk is
// then sequential).
Pipeline* pipeline_start(Bak* bak, const std::vector<const BakFile*>& files, int32_t threads,
                         bool bytes_wanted = true);
// Stops the threads and frees everything.
void pipeline_stop(Pipeline* p);
// The next step of the file, waited for; null when the pipeline does not
// have the file's steps ahead (not in its list, or passed).
Step* pipeline_next(Pipeline* p, const BakFile* file);
// The step is applied: its slot is free again.
void pipeline_done(Pipeline* p, Step* s);
// The command's files walked on threads from here on, by -j (one thread:
// nothing changes); walk_stop ends it. bytes_wanted: false when the
// command only checks (test): the inflated bytes are not kept.
void walk_start(Bak* bak, const std::vector<const BakFile*>& files, bool bytes_wanted = true);
void walk_stop(Bak* bak);
// Reads stream bytes as stream_read does, under the pipeline's lock when a
// reader thread shares the placement.
int pipeline_stream_read(Bak* bak, int64_t pos, int64_t len, unsigned char* out);

#endif
