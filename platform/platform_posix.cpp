// POSIX implementation of the OS layer (see platform.h): catalog paths,
// directories, times, the read-only state and file identity. The file
// handles are in handles.cpp.
#include "platform/platform.h"

#include <errno.h>
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

int plat_create_catalog_path(const char* path) {
    if (PLAT_FAULT(FAULT_OPEN)) return -1;
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    return handles_create(native);
}

bool plat_same_file(const char* a, const char* b) {
    if (PLAT_FAULT(FAULT_STAT)) return false;
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int32_t plat_last_component(const char* path) {
    int32_t start = 0;
    for (int32_t i = 0; path[i] != '\0'; i++)
        if (path[i] == '/' || path[i] == '\\') start = i + 1;
    return start;
}

int plat_path_status(const char* path) {
    if (PLAT_FAULT(FAULT_STAT)) return PLAT_PATH_NONE;
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return PLAT_PATH_NONE;
    struct stat st;
    if (stat(native, &st) != 0) return PLAT_PATH_NONE;
    return S_ISDIR(st.st_mode) ? PLAT_PATH_DIR : PLAT_PATH_OTHER;
}

int plat_mkdir(const char* path) {
    if (PLAT_FAULT(FAULT_MKDIR)) return -1;
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    return mkdir(native, 0777) == 0 ? 0 : -1;
}

int plat_set_times(const char* path, int64_t secs) {
    if (PLAT_FAULT(FAULT_SET_TIMES)) return -1;
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    // Output still in a buffer would move the time on when it is written.
    handles_settle_all();
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

int plat_set_writable(const char* path, bool writable) {
    if (PLAT_FAULT(FAULT_SET_WRITABLE)) return -1;
    char native[NATIVE_PATH_MAX];
    if (!to_native(path, native)) return -1;
    // Output still in a buffer must be in the file before it can turn
    // read-only.
    handles_settle_all();
    struct stat st;
    if (stat(native, &st) != 0) return -1;
    mode_t mode = st.st_mode & 07777;
    if (writable)
        mode |= S_IWUSR;
    else
        mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
    return chmod(native, mode) == 0 ? 0 : -1;
}
