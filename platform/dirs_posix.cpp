// POSIX implementation of the directory calls (see dirs.h): opendir and
// readdir for listings, lstat or stat for a path's kind, and a header read
// that opens with O_NOFOLLOW and O_NONBLOCK and asks fstat what it opened,
// so a link or FIFO swapped in after the lstat is still not read.
#include "platform/dirs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/faults.h"
#include "platform/handles.h"

static int kind_of(mode_t mode) {
    if (S_ISREG(mode)) return PLAT_ENTRY_FILE;
    if (S_ISDIR(mode)) return PLAT_ENTRY_DIR;
    if (S_ISLNK(mode)) return PLAT_ENTRY_LINK;
    return PLAT_ENTRY_OTHER;
}

bool plat_names_ignore_case(void) {
    return false;
}

int plat_entry_kind(const char* path, bool follow_links) {
    if (PLAT_FAULT(FAULT_STAT)) return PLAT_ENTRY_NONE;
    struct stat st;
    int r = follow_links ? stat(path, &st) : lstat(path, &st);
    return r == 0 ? kind_of(st.st_mode) : PLAT_ENTRY_NONE;
}

struct PlatDir {
    DIR* dir;
    bool failed;
};

PlatDir* plat_dir_open(const char* path) {
    if (PLAT_FAULT(FAULT_OPEN)) return NULL;
    PlatDir* d = (PlatDir*)malloc(sizeof(PlatDir));
    if (!d) return NULL;
    d->dir = opendir(path);
    d->failed = false;
    if (!d->dir) {
        free(d);
        return NULL;
    }
    return d;
}

const char* plat_dir_next(PlatDir* d) {
    if (!d || d->failed) return NULL;
    for (;;) {
        // readdir gives null both at the end and on an error; only errno
        // tells them apart.
        errno = 0;
        struct dirent* e = readdir(d->dir);
        if (!e) {
            d->failed = errno != 0;
            return NULL;
        }
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) return e->d_name;
    }
}

int plat_dir_close(PlatDir* d) {
    if (!d) return -1;
    bool failed = d->failed;
    closedir(d->dir);
    free(d);
    return failed ? -1 : 0;
}

int32_t plat_read_head(const char* path, bool follow_links, void* buf, int32_t n) {
    if (PLAT_FAULT(FAULT_OPEN)) return PLAT_HEAD_FAILED;
    // Output of ours still in a buffer would be in the file unbuffered.
    handles_flush_all();
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
    int fd = open(path, flags);
    if (fd < 0) return !follow_links && errno == ELOOP ? PLAT_HEAD_NOT_REGULAR : PLAT_HEAD_FAILED;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return PLAT_HEAD_FAILED;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return PLAT_HEAD_NOT_REGULAR;
    }
    int32_t want = PLAT_FAULT_COUNT(FAULT_READ, n);
    int32_t got = 0;
    while (got < want) {
        ssize_t r = read(fd, (char*)buf + got, (size_t)(want - got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            close(fd);
            return PLAT_HEAD_FAILED;
        }
        if (r == 0) break;
        got += (int32_t)r;
    }
    close(fd);
    return got;
}
