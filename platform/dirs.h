// OS layer, directory side: what set discovery needs to look through the
// directory an image lies in. A directory may hold anything (other sets,
// large files, links, devices, FIFOs), so nothing here follows a link it was
// not asked to, blocks on a special file, or reads past a file's header.
//
// Paths are as given (see platform.h): passed to the OS unchanged on POSIX,
// taken in the ANSI code page on Windows as platform_win32.cpp takes them,
// and names listed are given back the same way, so a listed name joined to
// its directory opens with plat_open_read.
#ifndef PLATFORM_DIRS_H
#define PLATFORM_DIRS_H

#include <stdint.h>

// The separator this system's own paths are joined with.
#ifdef _WIN32
enum { PLAT_SEPARATOR = '\\' };
#else
enum { PLAT_SEPARATOR = '/' };
#endif

// True when this system's file names are one name whatever their letter
// case (Windows): two names that differ only in case reach one file.
bool plat_names_ignore_case(void);

// What a path is.
enum {
    PLAT_ENTRY_NONE = 0,   // missing, or its status cannot be read
    PLAT_ENTRY_FILE = 1,   // a regular file
    PLAT_ENTRY_DIR = 2,    // a directory
    PLAT_ENTRY_LINK = 3,   // a symbolic link (on Windows any reparse point), not followed
    PLAT_ENTRY_OTHER = 4,  // a device, FIFO, socket...
};
// The kind of a path as given. With follow_links a link is the kind of what
// it leads to (PLAT_ENTRY_NONE when that is missing); without, it is
// PLAT_ENTRY_LINK.
int plat_entry_kind(const char* path, bool follow_links);

// A directory listing, one name at a time, in the order the system gives.
struct PlatDir;
// Null when the directory cannot be opened.
PlatDir* plat_dir_open(const char* path);
// The next name ("." and ".." left out), valid until the next call or the
// close; null at the end, or when the listing failed (plat_dir_close says
// which).
const char* plat_dir_next(PlatDir* dir);
// Closes the listing: 0 when it went to its end, -1 when it stopped on an
// error. A null dir gives -1.
int plat_dir_close(PlatDir* dir);

// Reads the first n bytes of a regular file and nothing more: opens the
// path read-only (without following a final symbolic link unless
// follow_links, and without waiting on a FIFO or device), checks on the
// open handle that it is a regular file, reads and closes. Gives back the
// count read (fewer than n only for a shorter file), PLAT_HEAD_NOT_REGULAR
// for anything else than a regular file, or PLAT_HEAD_FAILED when it could
// not be opened or read.
enum { PLAT_HEAD_FAILED = -1, PLAT_HEAD_NOT_REGULAR = -2 };
int32_t plat_read_head(const char* path, bool follow_links, void* buf, int32_t n);

#endif
