// bak mount's file system, without FUSE: the tree of a set under the names
// bak extract gives its files, and reads of any byte range of a file.
//
// At mount the catalog and the placement become an index (mount_build):
// every directory and file as a node, and for each file the run of its
// groups with where each lies in the stream and in the file. A read of
// [a, b) then inflates only the groups that cover it, each checked for its
// length and checksum before a byte of it is served, and keeps what it
// inflated in a cache of whole groups bounded by a byte count (least
// recently used first out). Stored data is read straight from the images.
//
// What the index costs per file: a MountFile (56 bytes), a MountNode (64
// bytes, and its name beyond 15 bytes), its path in the lookup table (a
// hash node of 56 bytes and a bucket of 8, and the path beyond 15 bytes):
// about 184 bytes and its name and path; then 32 bytes per group
// (MountGroup) and one byte of state for it. mount_fs.cpp checks the sizes.
//
// Threads: the operations may be called from many threads at once. The
// Placement (stream_read) is not thread-safe, so every use of it is under
// one mutex, held only while a group's bytes are read from the images;
// inflating and copying run outside it, so several groups inflate at once.
// The cache and the groups' state have a mutex of their own. A read takes
// one of a few inflate workers (each its buffers and decompressor), so
// memory is the cache and at most MOUNT_WORKERS workers' buffers, whatever
// the number of threads. A group one thread is inflating is waited for by
// the others, never inflated twice.
//
// Damage is an error, not wrong data: a read touching a group that fails
// its check, a stretch on no disk read, or bytes the groups do not hold
// fails whole (-EIO), and is reported once per group; with salvage such
// ranges read as zeros instead, a lost group as its ORGSIZE of them (at
// most 16 MiB), as bak extract --salvage writes them. A read fails whole,
// never short: the kernel would take a short answer for the file's end.
// A group whose ORGSIZE is over 16 MiB counts as lost (its offsets in the
// file could not be known otherwise). Nothing is served beyond a file's
// recorded size. Nothing here prints: what happens goes to
// the reporter the front end set.
#ifndef CHECK_MOUNT_FS_H
#define CHECK_MOUNT_FS_H

#include <stdint.h>

#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "check/bak.h"
#include "platform/threads.h"

enum {
    MOUNT_WORKERS = 4,                     // inflate workers, whatever the threads
    MOUNT_GROUP_MAX = 16 * 1024 * 1024,    // file bytes one group may stand for
    MOUNT_COMPSIZE_MAX = 32 * 1024 * 1024, // stream bytes one group may take
    MOUNT_SPARE = 8,
    MOUNT_AHEAD_MAX = 16 * 1024 * 1024,    // file bytes inflated ahead of the reads
    MOUNT_SPARE_MAX = 1024 * 1024,
};

// How a group's bytes are had.
enum { GROUP_DEFLATE = 0, GROUP_STORED, GROUP_BAD };

struct MountGroup {
    int64_t pos;        // stream offset of its bytes
    int64_t offset;     // file offset of its first byte
    int32_t compsize;   // stream bytes
    int32_t span;       // file bytes it stands for: ORGSIZE, 0 to MOUNT_GROUP_MAX
    uint32_t chk_sum;
    int32_t kind;       // GROUP_*: GROUP_BAD for an unknown level, a stored group
                        // whose sizes differ, or one over the bounds
};

struct MountFile {
    const BakFile* file;
    int64_t size;        // recorded size: nothing is read beyond it
    int64_t mtime;       // recorded time, seconds since 1970
    int64_t pos;         // stream offset of its data (stored files)
    int64_t held;        // file bytes its groups stand for; the rest is lost
    int32_t first_group;  // into MountFs::groups
    int32_t ngroups;
    bool stored;         // no groups: read straight from the stream
    bool writable;
};

struct MountNode {
    std::string name;               // its name in its directory; "" for the root
    int32_t parent;
    int32_t file;                   // into MountFs::files; -1 for a directory
    std::vector<int32_t> children;  // a directory's entries, in the order made
};

// What the file system has to say; the front end words it.
enum {
    MOUNT_EV_RENAMED,      // a file whose name cannot be a path is shown as `path`
    MOUNT_EV_DAMAGED,      // group `group` of the file fails its check
    MOUNT_EV_HOLE,         // group `group` (0: stored data) lies on disk `disk`, not read
    MOUNT_EV_READ_ERROR,   // an image could not be read
    MOUNT_EV_SHORT,        // bytes beyond what the file's groups hold
};

struct MountEvent {
    int32_t kind;
    const BakFile* file;
    std::string path;   // where it is shown, '/'-separated below the mount point
    int32_t group;      // from 1, 0 when not about a group
    int32_t ngroups;
    int32_t disk;
};

// One worker's buffers for reading and inflating a group.
struct MountWorker {
    unsigned char* in;
    int64_t in_cap;
    Staging staging;
};

struct CachedGroup {
    std::shared_ptr<std::vector<unsigned char>> bytes;
    std::list<int32_t>::iterator at;  // its place in the LRU list
};

enum : uint8_t {
    GROUP_STATE_UNKNOWN = 0,
    GROUP_STATE_LOST = 1,      // failed its check or lies on no disk read: for good
    GROUP_STATE_REPORTED = 2,  // its failure has been reported
    GROUP_STATE_HOLE = 4,      // lost: it lies on no disk read
    GROUP_STATE_INFLATING = 8, // being read and inflated: others wait for it
};

struct MountFs {
    Bak* bak;
    bool salvage;
    int64_t cache_limit;  // bytes of inflated groups kept
    uint32_t uid, gid;    // the owner shown
    int64_t dir_mtime;    // directories have no recorded time: the mount's
    std::vector<MountNode> nodes;  // [0] the root
    std::unordered_map<std::string, int32_t> by_path;  // "/C_/x.txt" to its node
    std::vector<MountFile> files;
    std::vector<MountGroup> groups;
    std::vector<uint8_t> group_state;  // GROUP_STATE_* bits, under cache_lock
    std::vector<uint8_t> short_reported;  // by file, under cache_lock

    PlatMutex* placement_lock;  // every use of bak->set.placement
    PlatMutex* cache_lock;      // the cache, group_state, the workers
    PlatCond* worker_free;
    PlatCond* group_done;       // a group is no longer being inflated
    std::list<int32_t> lru;     // cached groups, most recent first
    std::unordered_map<int32_t, CachedGroup> cache;
    int64_t cache_bytes;
    // Buffers of groups that left the cache, for the next ones (up to
    // MOUNT_SPARE of at most MOUNT_SPARE_MAX bytes): memory that is already
    // the program's, not fresh pages to fault in for every group.
    std::vector<std::shared_ptr<std::vector<unsigned char>>> spare;
    std::vector<MountWorker*> idle;  // workers not in use
    std::vector<MountWorker> workers;

    // Reading ahead (mount_start_ahead): after a read, the groups that
    // follow the last one it touched, in catalog order (the order of a
    // directory's entries, so on into the next file), up to
    // MOUNT_AHEAD_MAX bytes and a quarter of the cache, are inflated by a
    // thread of their own while the reader takes in what it got.
    PlatThread* ahead;          // null until started
    PlatCond* ahead_wanted;
    int32_t ahead_from;   // the group to go on from, -1 when none is asked
    bool ahead_stop;

    void (*report)(void* ctx, const MountEvent* ev);  // null: nothing said
    void* report_ctx;
};

struct MountAttr {
    bool dir;
    int64_t size;
    int64_t mtime;
    uint32_t mode;   // permission bits: 0755 directories, 0644 or 0444 files
    int32_t nlink;
};

// Builds the index of the set open in bak (open_set): names as bak extract
// gives them, directories made for every catalog directory. cache_bytes
// bounds the cache; uid, gid and now are the owner and the directories' time.
void mount_build(MountFs* fs, Bak* bak, bool salvage, int64_t cache_bytes, uint32_t uid,
                 uint32_t gid, int64_t now);
// Starts the thread that reads ahead (after the program has become a
// daemon: a thread does not survive the fork).
void mount_start_ahead(MountFs* fs);
// Stops that thread, frees the cache and the workers' buffers.
void mount_release(MountFs* fs);

// The node of a path ("/" the root, "/C_/Data"), -1 when none.
int32_t mount_lookup(const MountFs* fs, const char* path);
// 0, or -ENOENT.
int mount_getattr(const MountFs* fs, const char* path, MountAttr* attr);
void mount_node_attr(const MountFs* fs, int32_t node, MountAttr* attr);
// A directory's entries (nodes); null and *err -ENOENT or -ENOTDIR when it is none.
const std::vector<int32_t>* mount_readdir(const MountFs* fs, const char* path, int* err);
// Opens a file for reading: its node, or -ENOENT, -EISDIR, or -EROFS when
// writing is asked.
int32_t mount_open(const MountFs* fs, const char* path, bool for_writing);
// Up to size bytes of the file of node from offset off into buf: the
// count (short only at its recorded end), or -EIO.
int64_t mount_read(MountFs* fs, int32_t node, unsigned char* buf, int64_t size, int64_t off);

#endif
