// POSIX implementation of the OS layer (see platform.h).
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// Catalog paths are at most a few hundred bytes (the restore's path buffer
// holds 512); anything that does not fit is refused rather than cut.
static const int NATIVE_PATH_MAX = 1024;

static bool to_native(const char* path, char* out) {
    size_t n = strlen(path);
    if (n >= (size_t)NATIVE_PATH_MAX) return false;
    for (size_t i = 0; i <= n; i++) out[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

// Handles opened here and not yet closed, for plat_close_all.
static const int MAX_TRACKED = 64;
static int tracked[MAX_TRACKED];
static int ntracked = 0;

static int track(int fd) {
    if (fd >= 0 && ntracked < MAX_TRACKED) tracked[ntracked++] = fd;
    return fd;
}

static void untrack(int fd) {
    for (int i = 0; i < ntracked; i++) {
        if (tracked[i] == fd) {
            tracked[i] = tracked[--ntracked];
            return;
        }
    }
}

int plat_open_read(const char* path) {
    return track(open(path, O_RDONLY));
}

int plat_create(const char* path) {
    return track(open(path, O_RDWR | O_CREAT | O_TRUNC, 0600));
}

int plat_create_catalog_path(const char* path) {
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    return plat_create(native);
}

int32_t plat_read(int fd, void* buf, int32_t n) {
    if (n <= 0) return 0;
    int32_t got = 0;
    char* p = (char*)buf;
    // A regular file may still return fewer bytes than asked on a signal;
    // keep reading so that a short count really means end or error.
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

int32_t plat_write(int fd, const void* buf, int32_t n) {
    if (n <= 0) return 0;
    int32_t put = 0;
    const char* p = (const char*)buf;
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

int64_t plat_seek(int fd, int64_t offset, int whence) {
    int w = whence == PLAT_SEEK_CUR ? SEEK_CUR : whence == PLAT_SEEK_END ? SEEK_END : SEEK_SET;
    off_t r = lseek(fd, (off_t)offset, w);
    return r < 0 ? -1 : (int64_t)r;
}

int plat_close(int fd) {
    if (fd < 0) return -1;
    untrack(fd);
    return close(fd);
}

void plat_close_all(void) {
    while (ntracked > 0) close(tracked[--ntracked]);
}

int plat_path_status(const char* path) {
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return PLAT_PATH_NONE;
    struct stat st;
    if (stat(native, &st) != 0) return PLAT_PATH_NONE;
    return S_ISDIR(st.st_mode) ? PLAT_PATH_DIR : PLAT_PATH_OTHER;
}

int plat_mkdir(const char* path) {
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    return mkdir(native, 0777) == 0 ? 0 : -1;
}

int plat_set_times(const char* path, int64_t secs) {
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    // Win32 utime opens the file for writing: a file that cannot be opened
    // that way (read-only, missing, a directory) fails.
    int fd = open(native, O_RDWR);
    if (fd < 0) return -1;
    struct timespec ts[2];
    ts[0].tv_sec = (time_t)secs;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    int r = futimens(fd, ts);
    close(fd);
    return r == 0 ? 0 : -1;
}

int plat_set_readonly_state(const char* path, int32_t attrib) {
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    struct stat st;
    if (stat(native, &st) != 0) return -1;
    mode_t mode = st.st_mode & 07777;
    if (attrib & 0x80)
        mode |= S_IWUSR;
    else
        mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
    return chmod(native, mode) == 0 ? 0 : -1;
}
