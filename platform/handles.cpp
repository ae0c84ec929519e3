// Binary file handles of the OS layer, buffered: read-ahead on every regular
// file, write-behind on the regular files this layer creates.
//
// The callers read and write in pieces of at most 1024 bytes, a bound on
// their memory; here those become system calls of IO_BUF_SIZE bytes, and no
// call gives back anything other than what it gave unbuffered:
//   - a read hands out the bytes and the count an unbuffered read at that
//     position would (short only at the end of the file or on an error);
//   - a seek lands where, and fails where, lseek does; the position the
//     caller sees is the unbuffered one;
//   - what one handle writes is what another handle of the same file reads;
//   - a write the OS does not take is reported by the plat_write call whose
//     bytes did not make it, with the count of its bytes that did.
// The last point needs care: bytes taken into the buffer are reported as
// written before they reach the file, and nobody would hear of a failure at
// the final flush (plat_close's result is not looked at). So before an empty
// buffer takes bytes, it makes sure the flush cannot fail for want of space:
// the file system must have room (free space, and the owner's quotas) far
// beyond what all buffers hold; short of that, the buffer's file range is
// reserved (fallocate, keeping the file size). Where neither holds (disk or
// quota nearly full and no reservation possible) or the bytes would pass the
// process's file size limit, the call writes straight through and gives
// back the OS's own count, exactly as unbuffered. A flush that fails all the
// same (a failing disk, which unbuffered writes into the page cache do not
// see either) is reported by the plat_write that flushes, or by the
// handle's next one. Reserved space beyond the end of a file is given back
// at close and before the file's times or permissions are set.
#include "platform/handles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/quota.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#endif

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/threads.h"

enum {
    IO_BUF_SIZE = 128 * 1024,
    IO_BUF_COUNT = 8,            // handles buffered at once; others run unbuffered
    MAX_HANDLES = 64,            // handles tracked for plat_close_all
};
// Free space (and quota) below which output buffers get their space
// reserved: far beyond what all buffers hold, so other writers would have
// to fill all of it between a buffer's start and its flush.
static int64_t space_margin = 64LL * 1024 * 1024;

struct Handle {
    int fd;
    bool write_behind;  // output may wait in the buffer
    bool has_id;        // dev and ino are known (a regular file)
    bool shared;        // another tracked handle refers to the same file
    bool no_reserve;    // the file system cannot reserve space
    bool lost;          // a flush outside plat_write failed; the next write says so
    bool writing;       // buf holds pending output, else cached input
    char* buf;          // from the pool; null: unbuffered
    int64_t base;       // file offset of buf[0]; the OS position when len is 0
    int32_t len;        // bytes in buf
    int32_t pos;        // reading: next byte of buf to hand out
    int64_t res_from, res_end;  // the range the last reservation covers
    int64_t res_reach;  // end of the furthest reservation tried (0: none)
    uid_t uid;          // the file's owner, charged for its space
    gid_t gid;
    dev_t dev;
    ino_t ino;
};

static char pool[IO_BUF_COUNT][IO_BUF_SIZE];
static bool pool_taken[IO_BUF_COUNT];
static Handle handles[MAX_HANDLES];
static int nhandles = 0;

// ---- unbuffered calls ----------------------------------------------------------

// Reads until n bytes, the end of the file or an error: a regular file may
// return fewer bytes than asked on a signal, and a short count must mean the
// end or an error.
static int32_t raw_read(int fd, char* p, int32_t n) {
    int32_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, p + got, (size_t)(n - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return got > 0 ? got : -1;
        }
        if (r == 0) break;
        got += (int32_t)r;
    }
    return got;
}

static int32_t raw_write(int fd, const char* p, int32_t n) {
    int32_t put = 0;
    while (put < n) {
        ssize_t w = write(fd, p + put, (size_t)(n - put));
        if (w < 0) {
            if (errno == EINTR) continue;
            return put > 0 ? put : -1;
        }
        if (w == 0) break;
        put += (int32_t)w;
    }
    return put;
}

// ---- handle table ----------------------------------------------------------------

static Handle* find(int fd) {
    for (int i = 0; i < nhandles; i++)
        if (handles[i].fd == fd) return &handles[i];
    return NULL;
}

static bool same_file(const Handle* a, const Handle* b) {
    return a != b && a->has_id && b->has_id && a->dev == b->dev && a->ino == b->ino;
}

static void mark_shared(void) {
    for (int i = 0; i < nhandles; i++) {
        handles[i].shared = false;
        for (int j = 0; j < nhandles; j++)
            if (same_file(&handles[i], &handles[j])) handles[i].shared = true;
    }
}

static char* take_buffer(void) {
    for (int i = 0; i < IO_BUF_COUNT; i++) {
        if (!pool_taken[i]) {
            pool_taken[i] = true;
            return pool[i];
        }
    }
    return NULL;
}

static void give_back_buffer(char* buf) {
    for (int i = 0; i < IO_BUF_COUNT; i++)
        if (pool[i] == buf) pool_taken[i] = false;
}

static int64_t position(const Handle* h) {
    return h->writing ? h->base + h->len : h->base + h->pos;
}

// ---- buffer states ------------------------------------------------------------------

// Hands the pending output to the OS. *written gets the bytes that went out;
// what did not is dropped, and the position is behind what went out.
static bool flush(Handle* h, int32_t* written) {
    *written = 0;
    if (!h->writing || h->len == 0) return true;
    int32_t put = raw_write(h->fd, h->buf, h->len);
    if (put > 0) *written = put;
    bool ok = put == h->len;
    h->base += *written;
    h->len = 0;
    return ok;
}

// A flush with nobody to tell at once: the handle's next write reports it.
static bool flush_quietly(Handle* h) {
    int32_t written;
    if (flush(h, &written)) return true;
    h->lost = true;
    return false;
}

// Forgets cached input, moving the OS position to the caller's.
static void drop_cache(Handle* h) {
    if (h->writing || h->len == 0) return;
    int64_t at = h->base + h->pos;
    if (h->pos != h->len && lseek(h->fd, (off_t)at, SEEK_SET) != (off_t)at) return;
    h->base = at;
    h->len = 0;
    h->pos = 0;
}

static void to_reading(Handle* h) {
    if (!h->writing) return;
    flush_quietly(h);
    h->writing = false;
    h->pos = 0;
}

static bool to_writing(Handle* h) {
    if (h->writing) return true;
    drop_cache(h);
    if (h->len != 0) return false;
    h->writing = true;
    return true;
}

// Other handles of the same file: their pending output goes out before this
// handle reads or writes, and their cached input is dropped when this one
// writes.
static void sync_others(Handle* h, bool drop) {
    if (!h->shared) return;
    for (int i = 0; i < nhandles; i++) {
        Handle* o = &handles[i];
        if (!same_file(h, o)) continue;
        flush_quietly(o);
        if (drop) drop_cache(o);
    }
}

// Bytes of quota the owner (user or group, by type) has left on the file's
// file system; INT64_MAX when no quota limits them, 0 when that cannot be
// told.
static int64_t quota_room(Handle* h, int type) {
#if defined(__linux__) && defined(SYS_quotactl_fd)
    // The last file system found without quotas of each kind.
    static bool off_known[2];
    static dev_t off_dev[2];
    int k = type == USRQUOTA ? 0 : 1;
    if (off_known[k] && off_dev[k] == h->dev) return INT64_MAX;
    // Whether the kernel has the call at all (an unknown descriptor gives
    // EBADF when it has).
    static int has_call = -1;
    if (has_call < 0) {
        has_call = syscall(SYS_quotactl_fd, -1, QCMD(Q_GETQUOTA, USRQUOTA), 0, NULL) != 0 &&
                   errno == EBADF;
    }
    if (!has_call) return 0;
    struct dqblk q;
    unsigned id = type == USRQUOTA ? (unsigned)h->uid : (unsigned)h->gid;
    if (syscall(SYS_quotactl_fd, h->fd, QCMD(Q_GETQUOTA, type), id, &q) != 0) {
        // ESRCH: quotas are off; ENOSYS: the file system has none.
        if (errno == ESRCH || errno == ENOSYS) {
            off_known[k] = true;
            off_dev[k] = h->dev;
            return INT64_MAX;
        }
        return 0;
    }
    uint64_t limit = q.dqb_bhardlimit;
    if (q.dqb_bsoftlimit != 0 && (limit == 0 || q.dqb_bsoftlimit < limit)) limit = q.dqb_bsoftlimit;
    if (limit == 0) return INT64_MAX;
    limit *= QIF_DQBLKSIZE;
    return limit > q.dqb_curspace ? (int64_t)(limit - q.dqb_curspace) : 0;
#else
    (void)h;
    (void)type;
    return 0;
#endif
}

// Bytes the file system will still take for the file: free space for
// unprivileged users (which also shows a project quota on the file's tree)
// and what the owner's quotas leave.
static int64_t room_for(Handle* h) {
#if defined(__linux__)
    struct statfs fs;
    if (fstatfs(h->fd, &fs) != 0 || fs.f_bsize <= 0) return 0;
    uint64_t blocks = (uint64_t)fs.f_bavail;
    uint64_t bsize = (uint64_t)fs.f_bsize;
    int64_t room = blocks > (uint64_t)INT64_MAX / bsize ? INT64_MAX : (int64_t)(blocks * bsize);
    int64_t q = quota_room(h, USRQUOTA);
    if (q < room) room = q;
    q = quota_room(h, GRPQUOTA);
    if (q < room) room = q;
    return room;
#else
    (void)h;
    return 0;
#endif
}

// Reserves the file space of a buffer starting at base.
static bool reserve(Handle* h) {
    int64_t from = h->base;
    if (from >= h->res_from && from + IO_BUF_SIZE <= h->res_end) return true;
    if (h->no_reserve) return false;
#ifdef FALLOC_FL_KEEP_SIZE
    h->res_reach = from + IO_BUF_SIZE > h->res_reach ? from + IO_BUF_SIZE : h->res_reach;
    int r;
    do r = fallocate(h->fd, FALLOC_FL_KEEP_SIZE, (off_t)from, (off_t)IO_BUF_SIZE);
    while (r != 0 && errno == EINTR);
    if (r == 0) {
        h->res_from = from;
        h->res_end = from + IO_BUF_SIZE;
        return true;
    }
    // Full: write through this time. Anything else: not supported here.
    if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG) h->no_reserve = true;
    return false;
#else
    h->no_reserve = true;
    return false;
#endif
}

// Before an empty buffer takes bytes, which may be flushed only at close
// where a failure reaches nobody: makes sure that flush cannot run out of
// space. Plenty of room is enough; short of it the buffer's range is
// reserved. False when the bytes must go straight to the OS instead.
static bool make_room(Handle* h) {
    int64_t need = h->base + IO_BUF_SIZE;
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        (uint64_t)need > (uint64_t)limit.rlim_cur)
        return false;
    if (room_for(h) >= space_margin) return true;
    return reserve(h);
}

// Gives back reserved space beyond the end of the file.
static void trim(Handle* h) {
    if (h->res_reach == 0) return;
    sync_others(h, false);
    struct stat st;
    if (fstat(h->fd, &st) == 0 && h->res_reach > (int64_t)st.st_size) {
        int r;
        do r = ftruncate(h->fd, st.st_size);
        while (r != 0 && errno == EINTR);
    }
    for (int i = 0; i < nhandles; i++) {
        Handle* o = &handles[i];
        if (o != h && !same_file(h, o)) continue;
        o->res_from = o->res_end = o->res_reach = 0;
    }
}

// Output out, reserved space given back: the file is as unbuffered writes
// would have left it.
static bool settle(Handle* h) {
    bool ok = flush_quietly(h);
    trim(h);
    return ok;
}

static void untrack(Handle* h);

// Output left pending by a run that exits without closing its files.
static void settle_at_exit(void) {
    handles_settle_all();
}

static int track(int fd, bool write_behind) {
    if (fd < 0) return fd;
    // The number of a descriptor closed behind this layer's back.
    Handle* stale = find(fd);
    if (stale) untrack(stale);
    if (nhandles >= MAX_HANDLES) return fd;
    static bool exit_hook = false;
    if (write_behind && !exit_hook) exit_hook = atexit(settle_at_exit) == 0;
    Handle* h = &handles[nhandles++];
    memset(h, 0, sizeof *h);
    h->fd = fd;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        h->has_id = true;
        h->dev = st.st_dev;
        h->ino = st.st_ino;
        h->uid = st.st_uid;
        h->gid = st.st_gid;
        h->buf = take_buffer();
        h->write_behind = write_behind;
    }
    mark_shared();
    // A file just created or truncated: what others cached of it is gone.
    if (write_behind) sync_others(h, true);
    return fd;
}

static void untrack(Handle* h) {
    if (h->buf) give_back_buffer(h->buf);
    *h = handles[--nhandles];
    mark_shared();
}

// ---- the OS layer's handle calls ---------------------------------------------------------

int32_t handles_open(void) {
    PlatLayerGuard guard;
    return nhandles;
}

void handles_set_space_margin(int64_t bytes) {
    PlatLayerGuard guard;
    space_margin = bytes;
}

void handles_flush_all(void) {
    PlatLayerGuard guard;
    for (int i = 0; i < nhandles; i++) flush_quietly(&handles[i]);
}

void handles_settle_all(void) {
    PlatLayerGuard guard;
    for (int i = 0; i < nhandles; i++) settle(&handles[i]);
}

void plat_flush_all(void) {
    PlatLayerGuard guard;
    handles_flush_all();
}

// ---- files read in this run ------------------------------------------------------

// The identity of every file opened for reading since plat_close_all, and
// the path it was opened by: no output of the run is written over one of
// them. An identity is only taken to be the input's while its path still
// leads to it: a file number freed by a deletion may be given to a new
// file.
struct InputId {
    dev_t dev;
    ino_t ino;
    char* path;
};
static InputId* inputs = NULL;
static int32_t ninputs = 0, inputs_cap = 0;

static bool remember_input(int fd, const char* path) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    for (int32_t i = 0; i < ninputs; i++)
        if (inputs[i].dev == st.st_dev && inputs[i].ino == st.st_ino &&
            strcmp(inputs[i].path, path) == 0)
            return true;
    if (ninputs == inputs_cap) {
        int32_t cap = inputs_cap ? inputs_cap * 2 : 16;
        InputId* p = (InputId*)realloc(inputs, (size_t)cap * sizeof *p);
        if (!p) return false;
        inputs = p;
        inputs_cap = cap;
    }
    // Copied with malloc, not strdup: the fault sweep counts the blocks
    // our code allocates through malloc.
    size_t len = strlen(path) + 1;
    char* copy = (char*)malloc(len);
    if (!copy) return false;
    memcpy(copy, path, len);
    inputs[ninputs].dev = st.st_dev;
    inputs[ninputs].ino = st.st_ino;
    inputs[ninputs].path = copy;
    ninputs++;
    return true;
}

bool handles_is_input(dev_t dev, ino_t ino) {
    PlatLayerGuard guard;
    for (int32_t i = 0; i < ninputs; i++) {
        if (inputs[i].dev != dev || inputs[i].ino != ino) continue;
        struct stat st;
        if (stat(inputs[i].path, &st) == 0 && st.st_dev == dev && st.st_ino == ino) return true;
    }
    return false;
}

int plat_open_read(const char* path) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_OPEN)) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    // A file whose identity cannot be kept is not read: it could not be
    // kept from being written over.
    if (!remember_input(fd, path)) {
        close(fd);
        return -1;
    }
    return track(fd, false);
}

int handles_adopt_output(int fd, bool truncate) {
    PlatLayerGuard guard;
    // Output pending for the file goes out before the truncation, as it
    // would have unbuffered.
    handles_flush_all();
    if (truncate && ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    return track(fd, true);
}

int plat_truncate(int fd) {
    PlatLayerGuard guard;
    Handle* h = find(fd);
    handles_flush_all();
    if (ftruncate(fd, 0) != 0) return -1;
    if (h) {
        // Nothing of this handle was written yet: it stands at 0.
        h->base = 0;
        h->len = 0;
        h->pos = 0;
        h->res_from = h->res_end = h->res_reach = 0;
        sync_others(h, true);
    }
    return 0;
}

int32_t plat_read(int fd, void* out, int32_t asked) {
    PlatLayerGuard guard;
    int32_t n = PLAT_FAULT_COUNT(FAULT_READ, asked);
    if (n <= 0) return 0;
    char* p = (char*)out;
    Handle* h = find(fd);
    if (h) sync_others(h, false);
    if (!h || !h->buf) return raw_read(fd, p, n);
    to_reading(h);
    int32_t got = 0;
    while (got < n) {
        int32_t have = h->len - h->pos;
        if (have > 0) {
            int32_t take = have < n - got ? have : n - got;
            memcpy(p + got, h->buf + h->pos, (size_t)take);
            h->pos += take;
            got += take;
            continue;
        }
        // Cache used up: the OS position is at its end.
        h->base += h->len;
        h->len = 0;
        h->pos = 0;
        if (n - got >= IO_BUF_SIZE) {
            int32_t r = raw_read(fd, p + got, n - got);
            if (r < 0) return got > 0 ? got : -1;
            h->base += r;
            return got + r;
        }
        ssize_t r;
        do r = read(fd, h->buf, IO_BUF_SIZE);
        while (r < 0 && errno == EINTR);
        if (r < 0) return got > 0 ? got : -1;
        if (r == 0) break;
        h->len = (int32_t)r;
    }
    return got;
}

int32_t plat_write(int fd, const void* data, int32_t asked) {
    PlatLayerGuard guard;
    int32_t n = PLAT_FAULT_COUNT(FAULT_WRITE, asked);
    if (n < 0) return -1;
    if (n == 0) return 0;
    const char* p = (const char*)data;
    Handle* h = find(fd);
    if (h) sync_others(h, true);
    if (!h || !h->buf) return raw_write(fd, p, n);
    if (h->lost) {
        h->lost = false;
        return -1;
    }
    if (!to_writing(h)) return -1;
    int32_t done = 0;  // bytes of this call in the file or in a reserved buffer
    while (done < n) {
        int32_t left = n - done;
        if (h->len == 0 && (left >= IO_BUF_SIZE || !h->write_behind || !make_room(h))) {
            int32_t put = raw_write(fd, p + done, left);
            if (put > 0) h->base += put;
            if (put == left) return n;
            if (put > 0) done += put;
            return done > 0 ? done : put;
        }
        int32_t take = IO_BUF_SIZE - h->len;
        if (take > left) take = left;
        memcpy(h->buf + h->len, p + done, (size_t)take);
        h->len += take;
        done += take;
        if (h->len == IO_BUF_SIZE) {
            // The buffer holds earlier calls' bytes, then `take` of this one.
            int32_t earlier = IO_BUF_SIZE - take;
            int32_t written;
            if (!flush(h, &written)) {
                int32_t reached = done - take + (written > earlier ? written - earlier : 0);
                return reached > 0 ? reached : -1;
            }
        }
    }
    return n;
}

static int64_t seek_handle(int fd, int64_t offset, int whence) {
    int w = whence == PLAT_SEEK_CUR ? SEEK_CUR : whence == PLAT_SEEK_END ? SEEK_END : SEEK_SET;
    Handle* h = find(fd);
    if (!h || !h->buf) {
        off_t r = lseek(fd, (off_t)offset, w);
        return r < 0 ? -1 : (int64_t)r;
    }
    if (w == SEEK_END) {
        // The size must include pending output, this handle's and others'.
        sync_others(h, false);
        flush_quietly(h);
        off_t r = lseek(fd, (off_t)offset, SEEK_END);
        if (r < 0) return -1;  // the position is unchanged, and so is the cache
        h->base = (int64_t)r;
        h->len = 0;
        h->pos = 0;
        return (int64_t)r;
    }
    int64_t here = position(h);
    int64_t target = offset;
    if (w == SEEK_CUR) {
        if (offset > 0 && here > INT64_MAX - offset) {  // here is never negative
            errno = EOVERFLOW;
            return -1;
        }
        target = here + offset;
    }
    if (target < 0) {
        errno = EINVAL;
        return -1;
    }
    if (target == here) return here;
    if (!h->writing && target >= h->base && target <= h->base + h->len) {
        h->pos = (int32_t)(target - h->base);
        return target;
    }
    flush_quietly(h);
    off_t r = lseek(fd, (off_t)target, SEEK_SET);
    if (r < 0) return -1;
    h->base = (int64_t)r;
    h->len = 0;
    h->pos = 0;
    return (int64_t)r;
}

int64_t plat_seek(int fd, int64_t offset, int whence) {
    PlatLayerGuard guard;
    switch (PLAT_FAULT(FAULT_SEEK)) {
    case FAULT_FAILS:
        return -1;
    case FAULT_ASTRAY:
        // A seek whose target the caller cannot know (the position, the
        // end) has nothing to miss: it fails.
        if ((whence == PLAT_SEEK_CUR && offset == 0) || whence == PLAT_SEEK_END) return -1;
        {
            int64_t r = seek_handle(fd, offset, whence);
            return r < 0 ? r : seek_handle(fd, r + 1, PLAT_SEEK_SET);
        }
    default:
        return seek_handle(fd, offset, whence);
    }
}

int plat_close(int fd) {
    PlatLayerGuard guard;
    bool fault = PLAT_FAULT(FAULT_CLOSE) != FAULT_NONE;
    if (fd < 0) return -1;
    Handle* h = find(fd);
    bool ok = true;
    if (h) {
        ok = settle(h);
        untrack(h);
    }
    int r = close(fd);
    return r == 0 && ok && !fault ? 0 : -1;
}

void plat_close_all(void) {
    PlatLayerGuard guard;
    while (nhandles > 0) {
        Handle* h = &handles[nhandles - 1];
        int fd = h->fd;
        settle(h);
        untrack(h);
        close(fd);
    }
    for (int32_t i = 0; i < ninputs; i++) free(inputs[i].path);
    free(inputs);
    inputs = NULL;
    ninputs = inputs_cap = 0;
}
