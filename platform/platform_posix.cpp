// POSIX implementation of the OS layer (see platform.h): catalog paths,
// directories, times, the read-only state and file identity. The file
// handles are in handles.cpp.
#include "platform/platform.h"
#include "platform/threads.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/faults.h"
#include "platform/handles.h"

// Catalog paths are at most a few hundred bytes (the restore's path buffer
// holds 512); anything that does not fit is refused rather than cut.
static const int NATIVE_PATH_MAX = 1024;

static bool to_native(const char* path, char* out) {
    size_t n = strlen(path);
    if (n >= (size_t)NATIVE_PATH_MAX) return false;
    for (size_t i = 0; i <= n; i++) out[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

// ---- output below a root, following no link -------------------------------------

// Splits a native path into its directories and its last component, and
// opens the directory that holds the last one: from `at`, each directory
// on the way opened with O_NOFOLLOW | O_DIRECTORY, so a symbolic link or
// anything but a directory ends the walk. An absolute path walks from /.
// The descriptor (which the caller closes with close_dir; `at` itself,
// possibly AT_FDCWD, for a path of one component), or -1 with
// errno: ENOENT for a missing directory, ELOOP or ENOTDIR for a link or a
// non-directory, EINVAL for an empty, "." or ".." component. *last points
// into native at the last component.
static int open_parent(int at, char* native, const char** last) {
    int dir = at;
    char* p = native;
    if (*p == '/') {
        dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return -1;
        while (*p == '/') p++;
    }
    for (;;) {
        char* slash = strchr(p, '/');
        bool dots = p[0] == '.' && (p[1] == '\0' || p[1] == '/' ||
                                    (p[1] == '.' && (p[2] == '\0' || p[2] == '/')));
        if (*p == '\0' || *p == '/' || dots) {
            if (dir != at) close(dir);
            errno = EINVAL;
            return -1;
        }
        if (slash == NULL || slash[1] == '\0') {
            if (slash) *slash = '\0';
            *last = p;
            return dir;
        }
        *slash = '\0';
        int next = openat(dir, p, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int err = errno;
        if (dir != at) close(dir);
        if (next < 0) {
            errno = err;
            return -1;
        }
        dir = next;
        p = slash + 1;
    }
}

static void close_dir(int dir, int at) {
    if (dir != at && dir != -1) close(dir);
}

static int root_fd(int root) {
    return root == PLAT_CWD ? AT_FDCWD : root;
}

// A catalog path below a root with its directories walked (open_parent):
// the directory that holds its last component, and that component.
struct Below {
    int at;            // where the walk began
    int dir;           // the last component's directory; -1 when not reached
    const char* name;  // the last component, in native
    char native[NATIVE_PATH_MAX];
};

// False, with errno (ENAMETOOLONG for a path that does not fit), when the
// walk did not reach the last component's directory.
static bool walk_below(int root, const char* path, Below* b) {
    b->at = root_fd(root);
    b->dir = -1;
    if (!to_native(path, b->native)) {
        errno = ENAMETOOLONG;
        return false;
    }
    b->dir = open_parent(b->at, b->native, &b->name);
    return b->dir != -1;
}

static void leave_below(Below* b) {
    close_dir(b->dir, b->at);
    b->dir = -1;
}

// Opens (creating when missing) the regular file `name` in dir for output,
// untruncated: not a link, not anything but a regular file, not a file
// read in this run. Its status is looked at before the open, so a FIFO or
// a device is never opened, and again on the open descriptor, so nothing
// put in its place meanwhile is written either. The descriptor, or -1.
static int open_output_file(int dir, const char* name, int flags, struct stat* st) {
    if (fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st->st_mode)) {
        errno = EEXIST;
        return -1;
    }
    int how = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (flags & PLAT_OUT_NEW) how |= O_EXCL;
    int fd = openat(dir, name, how, (flags & PLAT_OUT_SHARED) ? 0666 : 0600);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || handles_is_input(st->st_dev, st->st_ino)) {
        close(fd);
        errno = EEXIST;
        return -1;
    }
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int plat_open_root(const char* path) {
    PlatLayerGuard guard;
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void plat_close_root(int root) {
    PlatLayerGuard guard;
    if (root >= 0) close(root);
}

int plat_open_dir_at(int root, const char* path) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_OPEN)) return -1;
    Below b;
    if (!walk_below(root, path, &b)) return -1;
    int fd = openat(b.dir, b.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    leave_below(&b);
    return fd;
}

int plat_make_root(const char* path) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_MKDIR)) return -1;
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

int plat_open_output(int root, const char* path, int flags, PlatFileId* id) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_OPEN)) return -1;
    Below b;
    if (!walk_below(root, path, &b)) return -1;
    struct stat st;
    int fd = open_output_file(b.dir, b.name, flags, &st);
    leave_below(&b);
    if (fd < 0) return -1;
    id->volume = (uint64_t)st.st_dev;
    id->index = (uint64_t)st.st_ino;
    return handles_adopt_output(fd, false);
}

int plat_create(const char* path) {
    return plat_create_as(path, 0);
}

int plat_create_as(const char* path, int flags) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_OPEN)) return -1;
    // The directories are the user's to choose: only the last component is
    // held to the output rules.
    char dir_part[NATIVE_PATH_MAX];
    size_t n = strlen(path);
    if (n >= (size_t)NATIVE_PATH_MAX) return -1;
    int32_t name_at = 0;
    for (int32_t i = 0; path[i] != '\0'; i++)
        if (path[i] == '/') name_at = i + 1;
    int dir = AT_FDCWD;
    if (name_at > 0) {
        memcpy(dir_part, path, (size_t)name_at);
        dir_part[name_at] = '\0';
        dir = open(dir_part, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return -1;
    }
    struct stat st;
    int fd = open_output_file(dir, path + name_at, flags & PLAT_OUT_SHARED, &st);
    close_dir(dir, AT_FDCWD);
    if (fd < 0) return -1;
    return handles_adopt_output(fd, true);
}

bool plat_is_input(const PlatFileId* id) {
    PlatLayerGuard guard;
    return handles_is_input((dev_t)id->volume, (ino_t)id->index);
}

bool plat_same_file(const char* a, const char* b) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_STAT)) return false;
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int plat_path_status_at(int root, const char* path) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_STAT)) return PLAT_PATH_NONE;
    Below b;
    if (!walk_below(root, path, &b)) return errno == ENOENT || errno == ENAMETOOLONG ? PLAT_PATH_NONE : PLAT_PATH_OTHER;
    struct stat st;
    int r = fstatat(b.dir, b.name, &st, AT_SYMLINK_NOFOLLOW);
    leave_below(&b);
    if (r != 0) return PLAT_PATH_NONE;
    return S_ISDIR(st.st_mode) ? PLAT_PATH_DIR : PLAT_PATH_OTHER;
}

int plat_mkdir_at(int root, const char* path) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_MKDIR)) return -1;
    Below b;
    if (!walk_below(root, path, &b)) return -1;
    int r = mkdirat(b.dir, b.name, 0777);
    leave_below(&b);
    return r == 0 ? 0 : -1;
}

// Opens the regular file (or, read-only, the directory) at a catalog path
// below root, following no link, for a metadata change. -1 when it is
// missing, something else, or cannot be opened so.
static int open_existing(int root, const char* path, bool for_writing) {
    Below b;
    if (!walk_below(root, path, &b)) return -1;
    struct stat st;
    int fd = -1;
    // A directory takes an attribute, as the Win32 chmod gives it one.
    bool usable = fstatat(b.dir, b.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                  (S_ISREG(st.st_mode) || (!for_writing && S_ISDIR(st.st_mode)));
    if (usable)
        fd = openat(b.dir, b.name,
                    (for_writing ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    leave_below(&b);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int plat_set_times_at(int root, const char* path, int64_t secs) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_SET_TIMES)) return -1;
    // Output still in a buffer would move the time on when it is written.
    handles_settle_all();
    // Win32 utime opens the file for writing: a file that cannot be opened
    // that way (read-only, missing, a directory) fails.
    int fd = open_existing(root, path, true);
    if (fd < 0) return -1;
    struct timespec ts[2];
    ts[0].tv_sec = (time_t)secs;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    int r = futimens(fd, ts);
    close(fd);
    return r == 0 ? 0 : -1;
}

int plat_set_writable_at(int root, const char* path, bool writable) {
    PlatLayerGuard guard;
    if (PLAT_FAULT(FAULT_SET_WRITABLE)) return -1;
    // Output still in a buffer must be in the file before it can turn
    // read-only.
    handles_settle_all();
    int fd = open_existing(root, path, false);
    if (fd < 0) return -1;
    struct stat st;
    int r = -1;
    if (fstat(fd, &st) == 0) {
        mode_t mode = st.st_mode & 07777;
        if (writable)
            mode |= S_IWUSR;
        else
            mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
        r = fchmod(fd, mode);
    }
    close(fd);
    return r == 0 ? 0 : -1;
}

int plat_rename_at(int root, const char* from, const char* to, bool keep) {
    PlatLayerGuard guard;
    Below a, b;
    if (!walk_below(root, from, &a)) return -1;
    if (!walk_below(root, to, &b)) {
        leave_below(&a);
        return -1;
    }
    int r;
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    r = renameat2(a.dir, a.name, b.dir, b.name, keep ? RENAME_NOREPLACE : 0);
#else
    struct stat st;
    if (keep && fstatat(b.dir, b.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        r = -1;
    } else {
        r = renameat(a.dir, a.name, b.dir, b.name);
    }
#endif
    leave_below(&a);
    leave_below(&b);
    return r == 0 ? 0 : -1;
}

int plat_remove_at(int root, const char* path) {
    PlatLayerGuard guard;
    Below b;
    if (!walk_below(root, path, &b)) return -1;
    struct stat st;
    int r = -1;
    if (fstatat(b.dir, b.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
        r = unlinkat(b.dir, b.name, 0);
    leave_below(&b);
    return r == 0 ? 0 : -1;
}

int plat_stat_at(int root, const char* path, PlatStat* out) {
    PlatLayerGuard guard;
    Below b;
    if (!walk_below(root, path, &b)) return -1;
    struct stat st;
    int r = fstatat(b.dir, b.name, &st, AT_SYMLINK_NOFOLLOW);
    leave_below(&b);
    if (r != 0) return -1;
    out->type = S_ISDIR(st.st_mode) ? PLAT_PATH_DIR : PLAT_PATH_OTHER;
    out->regular = S_ISREG(st.st_mode);
    out->writable = (st.st_mode & S_IWUSR) != 0;
    out->size = (int64_t)st.st_size;
    out->mtime = (int64_t)st.st_mtime;
    out->id.volume = (uint64_t)st.st_dev;
    out->id.index = (uint64_t)st.st_ino;
    return 0;
}

void plat_keep_running_past_file_limit(void) {
    signal(SIGXFSZ, SIG_IGN);
}
