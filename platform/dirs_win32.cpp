// Win32 implementation of the directory calls (see dirs.h), on the wide
// system calls: FindFirstFileW for listings, GetFileAttributesW for a
// path's kind, CreateFileW and ReadFile for a header.
//
// Paths and names cross in the ANSI code page, as platform_win32.cpp's
// narrow calls take paths as given: a listed name joined to its directory
// then opens with plat_open_read. (A program whose manifest makes UTF-8 its
// code page gets UTF-8 here and there alike.) A name the code page cannot
// hold comes back with '?' for what it cannot hold, and does not open.
// Symbolic links, junctions and every other reparse point count as links.
#include "platform/dirs.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

bool plat_names_ignore_case(void) {
    return true;
}

// A path as given in wide characters, with room for `extra` more; heap,
// the caller frees it. Null when it cannot be converted.
static wchar_t* widen(const char* path, int extra) {
    int n = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
    if (n <= 0) return NULL;
    wchar_t* w = (wchar_t*)malloc(((size_t)n + (size_t)extra) * sizeof(wchar_t));
    if (!w) return NULL;
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, w, n) <= 0) {
        free(w);
        return NULL;
    }
    return w;
}

// The attributes of what a path leads to, through a handle that only reads
// them (a directory opens too); INVALID_FILE_ATTRIBUTES when it cannot be
// opened.
static DWORD target_attributes(const wchar_t* w) {
    HANDLE h = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

int plat_entry_kind(const char* path, bool follow_links) {
    wchar_t* w = widen(path, 0);
    if (!w) return PLAT_ENTRY_NONE;
    DWORD a = GetFileAttributesW(w);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) && follow_links)
        a = target_attributes(w);
    free(w);
    if (a == INVALID_FILE_ATTRIBUTES) return PLAT_ENTRY_NONE;
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) return PLAT_ENTRY_LINK;
    if (a & FILE_ATTRIBUTE_DIRECTORY) return PLAT_ENTRY_DIR;
    if (a & FILE_ATTRIBUTE_DEVICE) return PLAT_ENTRY_OTHER;
    return PLAT_ENTRY_FILE;
}

enum {
    // A name is at most MAX_PATH wide characters; each takes at most 3
    // bytes in a code page (4 for a pair of surrogates, which is 2 wide).
    NAME_BYTES = MAX_PATH * 3 + 1,
};

struct PlatDir {
    HANDLE find;          // INVALID_HANDLE_VALUE: an empty listing
    WIN32_FIND_DATAW data;
    bool have;            // data holds an entry not handed out yet
    bool failed;
    char name[NAME_BYTES];
};

PlatDir* plat_dir_open(const char* path) {
    wchar_t* w = widen(path, 2);
    if (!w) return NULL;
    size_t len = wcslen(w);
    // "dir\*"; a path ending in a separator or a drive's colon takes no
    // separator of its own ("C:*" is the listing of drive C's current
    // directory, as "C:" is that directory).
    if (len > 0 && w[len - 1] != L'\\' && w[len - 1] != L'/' && w[len - 1] != L':') w[len++] = L'\\';
    w[len++] = L'*';
    w[len] = L'\0';
    PlatDir* d = (PlatDir*)calloc(1, sizeof(PlatDir));
    if (!d) {
        free(w);
        return NULL;
    }
    d->find = FindFirstFileW(w, &d->data);
    free(w);
    if (d->find == INVALID_HANDLE_VALUE) {
        // A drive's root has no "." or "..": when empty, nothing is found.
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return d;
        free(d);
        return NULL;
    }
    d->have = true;
    return d;
}

const char* plat_dir_next(PlatDir* d) {
    if (!d || d->failed || d->find == INVALID_HANDLE_VALUE) return NULL;
    for (;;) {
        if (!d->have) {
            if (!FindNextFileW(d->find, &d->data)) {
                d->failed = GetLastError() != ERROR_NO_MORE_FILES;
                return NULL;
            }
        }
        d->have = false;
        const wchar_t* n = d->data.cFileName;
        if (wcscmp(n, L".") == 0 || wcscmp(n, L"..") == 0) continue;
        if (WideCharToMultiByte(CP_ACP, 0, n, -1, d->name, NAME_BYTES, NULL, NULL) <= 0) {
            d->failed = true;
            return NULL;
        }
        return d->name;
    }
}

int plat_dir_close(PlatDir* d) {
    if (!d) return -1;
    bool failed = d->failed;
    if (d->find != INVALID_HANDLE_VALUE) FindClose(d->find);
    free(d);
    return failed ? -1 : 0;
}

int32_t plat_read_head(const char* path, bool follow_links, void* buf, int32_t n) {
    wchar_t* w = widen(path, 0);
    if (!w) return PLAT_HEAD_FAILED;
    // A directory does not open as a file; a link is not opened unless
    // asked.
    DWORD a = GetFileAttributesW(w);
    if (a == INVALID_FILE_ATTRIBUTES) {
        free(w);
        return PLAT_HEAD_FAILED;
    }
    if ((a & FILE_ATTRIBUTE_DIRECTORY) || ((a & FILE_ATTRIBUTE_REPARSE_POINT) && !follow_links)) {
        free(w);
        return PLAT_HEAD_NOT_REGULAR;
    }
    DWORD flags = follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = CreateFileW(w, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, flags, NULL);
    free(w);
    if (h == INVALID_HANDLE_VALUE) return PLAT_HEAD_FAILED;
    // What was opened, asked of the handle: a device (NUL, COM1, a pipe) or
    // a reparse point that came in meanwhile is not read.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !follow_links)) {
        CloseHandle(h);
        return PLAT_HEAD_NOT_REGULAR;
    }
    int32_t got = 0;
    while (got < n) {
        DWORD r = 0;
        if (!ReadFile(h, (char*)buf + got, (DWORD)(n - got), &r, NULL)) {
            CloseHandle(h);
            return PLAT_HEAD_FAILED;
        }
        if (r == 0) break;
        got += (int32_t)r;
    }
    CloseHandle(h);
    return got;
}
