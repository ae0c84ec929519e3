// Win32 implementation of the OS layer (see platform.h), on the C runtime's
// file calls: binary handles, unbuffered (each call is one CRT call);
// backslash paths, which are native here; a chmod that toggles the
// read-only attribute and a utime that takes the file open for writing: the
// semantics the callers are written against.
//
// Paths given as they are (images, the catalog copy) go to the CRT
// unchanged. Catalog paths go to its wide-character calls in the long form
// "\\?\<absolute path>": a restored tree may be deeper than the 260
// characters of a plain path, and in that form no name is rewritten on the
// way, so a catalog name with a trailing dot or blank, or one such as CON or
// NUL, is a file of that name rather than another file or a device.
//
// Every handle this layer opens is kept in a table. A call on a number not
// in it fails with -1 before it reaches the CRT, whose handle checks would
// otherwise call the invalid-parameter handler; plat_close_all closes what
// the table holds.
#include "platform/platform.h"
#include "platform/threads.h"

#include <windows.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utime.h>

enum {
    // More than a run ever holds at once (the catalog image, the next disk,
    // one output file, the catalog copy); an open beyond it fails as the
    // CRT's would when it runs out of handles.
    MAX_HANDLES = 256,
    // The longest path the wide calls take, in characters with the NUL.
    LONG_PATH_MAX = 32768,
};

// The CRT's file times run from 1970 to the end of the year 3000, UTC.
static const int64_t LAST_FILE_TIME = 32535215999LL;  // 3000-12-31 23:59:59

struct Handle {
    int fd;
    // A read came short: the CRT may now answer 0 to every read until the
    // next seek, even when another handle has made the file longer.
    bool at_end;
};

static Handle handles[MAX_HANDLES];
static int nhandles = 0;

static Handle* find(int fd) {
    if (fd < 0) return NULL;
    for (int i = 0; i < nhandles; i++)
        if (handles[i].fd == fd) return &handles[i];
    return NULL;
}

static int track(int fd) {
    if (fd < 0) return -1;
    if (nhandles >= MAX_HANDLES) {
        _close(fd);
        errno = EMFILE;
        return -1;
    }
    handles[nhandles].fd = fd;
    handles[nhandles].at_end = false;
    nhandles++;
    return fd;
}

// ---- catalog paths ---------------------------------------------------------------

static wchar_t wide_buf[LONG_PATH_MAX];
static wchar_t long_buf[LONG_PATH_MAX];

// True when every component of p is a name: none empty, "." or "..".
static bool plain_components(const wchar_t* p) {
    const wchar_t* start = p;
    for (const wchar_t* q = p;; q++) {
        if (*q != L'\\' && *q != L'\0') continue;
        size_t len = (size_t)(q - start);
        bool dots = start[0] == L'.' && (len == 1 || (len == 2 && start[1] == L'.'));
        if (len == 0 || dots) return false;
        if (*q == L'\0') return true;
        start = q + 1;
    }
}

// Appends src to long_buf at *at; false when it does not fit.
static bool append(size_t* at, const wchar_t* src, size_t n) {
    if (*at + n >= LONG_PATH_MAX) return false;
    memcpy(long_buf + *at, src, n * sizeof(wchar_t));
    *at += n;
    long_buf[*at] = L'\0';
    return true;
}

// A catalog path (relative to the current directory, or absolute) in the
// long form, in long_buf; NULL when it cannot be made. The bytes of the
// name are taken in the ANSI code page, as the narrow calls take them.
static const wchar_t* long_path(const char* path) {
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide_buf, LONG_PATH_MAX) <= 0) return NULL;
    for (wchar_t* p = wide_buf; *p; p++)
        if (*p == L'/') *p = L'\\';
    const wchar_t* w = wide_buf;
    if (w[0] == L'\\' && w[1] == L'\\' && (w[2] == L'?' || w[2] == L'.') && w[3] == L'\\')
        return w;  // already a long or device path
    bool has_drive = w[0] != L'\0' && w[1] == L':';
    bool absolute = (has_drive && w[2] == L'\\') || (w[0] == L'\\' && w[1] == L'\\');
    bool relative = !has_drive && w[0] != L'\\';

    // The absolute path, from the current directory when relative.
    static wchar_t full[LONG_PATH_MAX];
    if (relative && plain_components(w)) {
        DWORD n = GetCurrentDirectoryW(LONG_PATH_MAX, full);
        if (n == 0 || n >= LONG_PATH_MAX) return NULL;
        size_t len = n;
        if (full[len - 1] != L'\\') full[len++] = L'\\';
        size_t rest = wcslen(w);
        if (len + rest >= LONG_PATH_MAX) return NULL;
        memcpy(full + len, w, (rest + 1) * sizeof(wchar_t));
    } else if (absolute && plain_components(w + (has_drive ? 3 : 2))) {
        size_t len = wcslen(w);
        memcpy(full, w, (len + 1) * sizeof(wchar_t));
    } else {
        // Drive-relative, rooted without a drive, or with "." and ".."
        // parts: the system resolves them.
        DWORD n = GetFullPathNameW(w, LONG_PATH_MAX, full, NULL);
        if (n == 0 || n >= LONG_PATH_MAX) return NULL;
    }

    size_t at = 0;
    long_buf[0] = L'\0';
    if (full[0] == L'\\' && full[1] == L'\\') {
        if ((full[2] == L'?' || full[2] == L'.') && full[3] == L'\\')
            return append(&at, full, wcslen(full)) ? long_buf : NULL;
        // \\server\share\... becomes \\?\UNC\server\share\...
        bool fits = append(&at, L"\\\\?\\UNC\\", 8) && append(&at, full + 2, wcslen(full + 2));
        return fits ? long_buf : NULL;
    }
    if (!append(&at, L"\\\\?\\", 4) || !append(&at, full, wcslen(full))) return NULL;
    return long_buf;
}

// ---- the OS layer's calls ------------------------------------------------------------

// ---- files read in this run -------------------------------------------------------

// The identity of every file opened for reading since plat_close_all, and
// the path it was opened by: no output of the run is written over one of
// them. An identity is only taken to be the input's while its path still
// leads to it: a file index freed by a deletion may be given to a new file.
struct InputId {
    PlatFileId id;
    char* path;
};
static InputId* inputs = NULL;
static int32_t ninputs = 0, inputs_cap = 0;

static bool same_id(const PlatFileId* a, const PlatFileId* b) {
    return a->volume == b->volume && a->index == b->index;
}

static bool id_of(int fd, PlatFileId* id) {
    HANDLE h = (HANDLE)_get_osfhandle(fd);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return false;
    id->volume = info.dwVolumeSerialNumber;
    id->index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return true;
}

static bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info);

static bool is_input(const PlatFileId* id) {
    for (int32_t i = 0; i < ninputs; i++) {
        if (!same_id(&inputs[i].id, id)) continue;
        BY_HANDLE_FILE_INFORMATION info;
        if (!file_identity(inputs[i].path, &info)) continue;
        PlatFileId now;
        now.volume = info.dwVolumeSerialNumber;
        now.index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        if (same_id(&now, id)) return true;
    }
    return false;
}

static bool remember_input(int fd, const char* path) {
    PlatFileId id;
    if (!id_of(fd, &id)) return GetFileType((HANDLE)_get_osfhandle(fd)) != FILE_TYPE_DISK;
    for (int32_t i = 0; i < ninputs; i++)
        if (same_id(&inputs[i].id, &id) && strcmp(inputs[i].path, path) == 0) return true;
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
    inputs[ninputs].id = id;
    inputs[ninputs].path = copy;
    ninputs++;
    return true;
}

bool plat_is_input(const PlatFileId* id) {
    PlatLayerGuard guard;
    return is_input(id);
}

int plat_open_read(const char* path) {
    PlatLayerGuard guard;
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0) return -1;
    if (!remember_input(fd, path)) {
        _close(fd);
        return -1;
    }
    return track(fd);
}

// Takes an output file just opened: it must be a file on a disk, not one
// read in this run; its identity into *id. The descriptor, or -1 (closed).
static int check_output(int fd, PlatFileId* id) {
    if (fd < 0) return -1;
    if (GetFileType((HANDLE)_get_osfhandle(fd)) != FILE_TYPE_DISK || !id_of(fd, id) ||
        is_input(id)) {
        _close(fd);
        return -1;
    }
    return fd;
}

static const int OUTPUT_FLAGS = _O_RDWR | _O_CREAT | _O_BINARY;

int plat_create(const char* path) {
    return plat_create_as(path, 0);
}

// A file's mode is its read-only attribute alone here: the flags change
// nothing.
int plat_create_as(const char* path, int) {
    PlatLayerGuard guard;
    // Only the last component is held to the output rules: the directories
    // are the user's to choose.
    DWORD attrs = GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES &&
        (attrs & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return -1;
    PlatFileId id;
    int fd = check_output(_open(path, OUTPUT_FLAGS, _S_IREAD | _S_IWRITE), &id);
    if (fd >= 0 && _chsize_s(fd, 0) != 0) {
        _close(fd);
        return -1;
    }
    return track(fd);
}

// ---- output roots, following no reparse point ------------------------------------

enum { MAX_ROOTS = 8 };
// The long form of each root opened; null when the slot is free.
static wchar_t* roots[MAX_ROOTS];
static wchar_t joined[LONG_PATH_MAX];

// A free root slot holding a copy of the long path w (trailing
// separators dropped): its number, or -1.
static int take_root(const wchar_t* w) {
    for (int i = 0; i < MAX_ROOTS; i++) {
        if (roots[i]) continue;
        size_t n = wcslen(w);
        while (n > 0 && w[n - 1] == L'\\') n--;
        roots[i] = (wchar_t*)malloc((n + 1) * sizeof(wchar_t));
        if (!roots[i]) return -1;
        memcpy(roots[i], w, n * sizeof(wchar_t));
        roots[i][n] = L'\0';
        return i;
    }
    return -1;
}

int plat_open_root(const char* path) {
    PlatLayerGuard guard;
    const wchar_t* w = long_path(path);
    if (!w) return -1;
    DWORD attrs = GetFileAttributesW(w);
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    return take_root(w);
}

// Declared below with the path checks.
static wchar_t* checked_path(int root, const char* path);
static int status_of(const wchar_t* w);

int plat_open_dir_at(int root, const char* path) {
    PlatLayerGuard guard;
    wchar_t* w = checked_path(root, path);
    if (!w || status_of(w) != PLAT_PATH_DIR) return -1;
    return take_root(w);
}

int plat_make_root(const char* path) {
    PlatLayerGuard guard;
    return _mkdir(path) == 0 ? 0 : -1;
}

void plat_close_root(int root) {
    PlatLayerGuard guard;
    if (root < 0 || root >= MAX_ROOTS) return;
    free(roots[root]);
    roots[root] = NULL;
}

// A catalog path below root in the long form (in long_buf or joined), and
// in *from the index where its components below the root begin; NULL when
// it cannot be made.
static wchar_t* below_root(int root, const char* path, size_t* from) {
    if (root == PLAT_CWD) {
        static wchar_t cwd[LONG_PATH_MAX];
        DWORD n = GetCurrentDirectoryW(LONG_PATH_MAX, cwd);
        wchar_t* w = (wchar_t*)long_path(path);
        if (!w) return NULL;
        // Behind the current directory when the path lies in it; else
        // behind the "\\?\C:\" of its drive.
        size_t skip = 4 + (n > 0 && n < LONG_PATH_MAX ? n : 0);
        if (skip > wcslen(w) || _wcsnicmp(w + 4, cwd, skip - 4) != 0) skip = 7;
        *from = skip;
        return w;
    }
    if (root < 0 || root >= MAX_ROOTS || !roots[root]) return NULL;
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide_buf, LONG_PATH_MAX) <= 0) return NULL;
    for (wchar_t* p = wide_buf; *p; p++)
        if (*p == L'/') *p = L'\\';
    if (!plain_components(wide_buf)) return NULL;
    size_t a = wcslen(roots[root]), b = wcslen(wide_buf);
    if (a + 1 + b >= LONG_PATH_MAX) return NULL;
    memcpy(joined, roots[root], a * sizeof(wchar_t));
    joined[a] = L'\\';
    memcpy(joined + a + 1, wide_buf, (b + 1) * sizeof(wchar_t));
    *from = a + 1;
    return joined;
}

// What stands at a long path: nothing, a directory, or anything else (a
// reparse point included).
static int status_of(const wchar_t* w) {
    DWORD attrs = GetFileAttributesW(w);
    if (attrs == INVALID_FILE_ATTRIBUTES) return PLAT_PATH_NONE;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return PLAT_PATH_OTHER;
    return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? PLAT_PATH_DIR : PLAT_PATH_OTHER;
}

// PLAT_PATH_DIR when every directory on the way to the last component of
// w, from index `from` on, is a directory and no reparse point; else the
// status of the first that is not.
static int dirs_on_the_way(wchar_t* w, size_t from) {
    size_t n = wcslen(w);
    for (size_t i = from; i < n; i++) {
        if (w[i] != L'\\') continue;
        w[i] = L'\0';
        int st = status_of(w);
        w[i] = L'\\';
        if (st != PLAT_PATH_DIR) return st;
    }
    return PLAT_PATH_DIR;
}

// The long path of a catalog path below root whose directories are all
// real ones; NULL otherwise.
static wchar_t* checked_path(int root, const char* path) {
    size_t from = 0;
    wchar_t* w = below_root(root, path, &from);
    if (!w || dirs_on_the_way(w, from) != PLAT_PATH_DIR) return NULL;
    return w;
}

int plat_open_output(int root, const char* path, int flags, PlatFileId* id) {
    PlatLayerGuard guard;
    wchar_t* w = checked_path(root, path);
    if (!w || status_of(w) == PLAT_PATH_DIR) return -1;
    DWORD attrs = GetFileAttributesW(w);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return -1;
    int how = OUTPUT_FLAGS | ((flags & PLAT_OUT_NEW) ? _O_EXCL : 0);
    return track(check_output(_wopen(w, how, _S_IREAD | _S_IWRITE), id));
}

int plat_rename_at(int root, const char* from, const char* to, bool keep) {
    PlatLayerGuard guard;
    wchar_t* w = checked_path(root, from);
    if (!w) return -1;
    static wchar_t from_long[LONG_PATH_MAX];
    wcscpy(from_long, w);
    wchar_t* t = checked_path(root, to);
    if (!t || status_of(t) == PLAT_PATH_DIR) return -1;
    DWORD flags = keep ? 0 : MOVEFILE_REPLACE_EXISTING;
    if (!keep) {
        // A read-only file at the new name is replaced too.
        DWORD attrs = GetFileAttributesW(t);
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(t, attrs & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    }
    return MoveFileExW(from_long, t, flags) ? 0 : -1;
}

int plat_remove_at(int root, const char* path) {
    PlatLayerGuard guard;
    wchar_t* w = checked_path(root, path);
    if (!w || status_of(w) == PLAT_PATH_DIR) return -1;
    DWORD attrs = GetFileAttributesW(w);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(w, attrs & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(w) ? 0 : -1;
}

int plat_stat_at(int root, const char* path, PlatStat* out) {
    PlatLayerGuard guard;
    wchar_t* w = checked_path(root, path);
    if (!w) return -1;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(w, GetFileExInfoStandard, &data)) return -1;
    bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    bool dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out->type = dir && !reparse ? PLAT_PATH_DIR : PLAT_PATH_OTHER;
    out->regular = !dir && !reparse;
    out->writable = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
    out->size = ((int64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    // 100-ns intervals since 1601 to seconds since 1970.
    int64_t ticks = ((int64_t)data.ftLastWriteTime.dwHighDateTime << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
    out->mtime = ticks / 10000000 - 11644473600LL;
    // The file index needs a handle; one that reads attributes only.
    out->id.volume = 0;
    out->id.index = 0;
    HANDLE h = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                           NULL);
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info)) {
            out->id.volume = info.dwVolumeSerialNumber;
            out->id.index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        }
        CloseHandle(h);
    }
    return 0;
}

int plat_truncate(int fd) {
    PlatLayerGuard guard;
    if (!find(fd)) return -1;
    return _chsize_s(fd, 0) == 0 ? 0 : -1;
}

void plat_keep_running_past_file_limit(void) {
    // No file-size signal here.
}

int32_t plat_read(int fd, void* buf, int32_t n) {
    PlatLayerGuard guard;
    Handle* h = find(fd);
    if (!h) {
        errno = EBADF;
        return -1;
    }
    if (n <= 0) return 0;
    if (h->at_end) {
        // A seek where it stands makes the CRT read the file again.
        if (_lseeki64(fd, 0, SEEK_CUR) < 0) return -1;
        h->at_end = false;
    }
    // A regular file comes short only at its end; a loop keeps that true of
    // anything else too.
    char* p = (char*)buf;
    int32_t got = 0;
    while (got < n) {
        int r = _read(fd, p + got, (unsigned)(n - got));
        if (r < 0) return got > 0 ? got : -1;
        if (r == 0) {
            h->at_end = true;
            break;
        }
        got += r;
    }
    return got;
}

int32_t plat_write(int fd, const void* buf, int32_t n) {
    PlatLayerGuard guard;
    if (!find(fd)) {
        errno = EBADF;
        return -1;
    }
    if (n <= 0) return 0;
    const char* p = (const char*)buf;
    int32_t put = 0;
    while (put < n) {
        int w = _write(fd, p + put, (unsigned)(n - put));
        if (w < 0) return put > 0 ? put : -1;
        if (w == 0) break;
        put += w;
    }
    return put;
}

int64_t plat_seek(int fd, int64_t offset, int whence) {
    PlatLayerGuard guard;
    Handle* h = find(fd);
    if (!h) {
        errno = EBADF;
        return -1;
    }
    int w = whence == PLAT_SEEK_CUR ? SEEK_CUR : whence == PLAT_SEEK_END ? SEEK_END : SEEK_SET;
    __int64 r = _lseeki64(fd, (__int64)offset, w);
    if (r < 0) return -1;
    h->at_end = false;
    return (int64_t)r;
}

int plat_close(int fd) {
    PlatLayerGuard guard;
    Handle* h = find(fd);
    if (!h) {
        errno = EBADF;
        return -1;
    }
    *h = handles[--nhandles];
    return _close(fd) == 0 ? 0 : -1;
}

void plat_flush_all(void) {
    PlatLayerGuard guard;
    // Nothing is held here: every write is one CRT call that goes straight
    // to the system.
}

void plat_close_all(void) {
    PlatLayerGuard guard;
    while (nhandles > 0) _close(handles[--nhandles].fd);
    for (int32_t i = 0; i < ninputs; i++) free(inputs[i].path);
    free(inputs);
    inputs = NULL;
    ninputs = inputs_cap = 0;
}

// The volume and file index of a path as given, by a handle that only
// reads attributes (a directory opens too); false when it cannot be opened.
static bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

bool plat_same_file(const char* a, const char* b) {
    PlatLayerGuard guard;
    // The CRT's stat gives no file index (st_ino is 0): ask the system.
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!file_identity(a, &ia) || !file_identity(b, &ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

int plat_path_status_at(int root, const char* path) {
    PlatLayerGuard guard;
    size_t from = 0;
    wchar_t* w = below_root(root, path, &from);
    if (!w) return PLAT_PATH_NONE;
    int way = dirs_on_the_way(w, from);
    if (way != PLAT_PATH_DIR) return way;
    return status_of(w);
}

int plat_mkdir_at(int root, const char* path) {
    PlatLayerGuard guard;
    wchar_t* w = checked_path(root, path);
    return w && _wmkdir(w) == 0 ? 0 : -1;
}

int plat_set_times_at(int root, const char* path, int64_t secs) {
    PlatLayerGuard guard;
    // The CRT's utime opens the file for writing, so a read-only file, a
    // directory or a missing file fails, as the callers expect. A time
    // outside its range fails as Windows' CRT fails it (Wine's would take
    // it).
    if (secs < 0 || secs > LAST_FILE_TIME) {
        errno = EINVAL;
        return -1;
    }
    wchar_t* w = checked_path(root, path);
    if (!w || status_of(w) != PLAT_PATH_OTHER) return -1;
    DWORD attrs = GetFileAttributesW(w);
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return -1;
    struct __utimbuf64 times;
    times.actime = (__time64_t)secs;
    times.modtime = (__time64_t)secs;
    return _wutime64(w, &times) == 0 ? 0 : -1;
}

int plat_set_writable_at(int root, const char* path, bool writable) {
    PlatLayerGuard guard;
    // The write permission is all there is: it is the read-only attribute.
    wchar_t* w = checked_path(root, path);
    if (!w) return -1;
    DWORD attrs = GetFileAttributesW(w);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return -1;
    int mode = writable ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
    return _wchmod(w, mode) == 0 ? 0 : -1;
}
