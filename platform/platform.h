// OS layer: every system call of both programs goes through here.
//
// The rest of the code is written against the Win32 C runtime: integer file
// handles opened in binary mode, backslash-separated paths, and a chmod that
// only toggles the read-only attribute. This layer gives those semantics on
// POSIX. Two kinds of path are handled differently:
//   - "as given" paths (the image path from the command line, disk image names
//     typed by the user, the catalog file name) are passed to the OS unchanged;
//   - "catalog" paths (restored files and directories, built from catalog
//     names with backslash separators) have every '\' turned into '/' at the
//     OS call, so C_\Data\x.txt lands in C_/Data/x.txt under the current
//     directory.
// A short count is the only error signal the callers look at.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stdint.h>
#include <time.h>

enum { PLAT_SEEK_SET = 0, PLAT_SEEK_CUR = 1, PLAT_SEEK_END = 2 };

// Opens an existing file read-only, binary; path as given. -1 on failure.
// The file's identity is kept until plat_close_all: no output call of the
// run will write over a file it has read (an image of the set).
int plat_open_read(const char* path);
// Creates or truncates a file for reading and writing, binary, mode 0600;
// path as given. The last component is not followed when it is a symbolic
// link (Windows: a reparse point) and must be missing or a regular file,
// never a file opened for reading in this run. -1 on failure.
int plat_create(const char* path);
// As plat_create; with PLAT_OUT_SHARED (below) mode 0666 before the umask,
// for a file meant for others as much as its maker (an archive).
int plat_create_as(const char* path, int flags);
// As plat_create, for a catalog path below the current directory (see
// plat_open_output): created and truncated at once.
int plat_create_catalog_path(const char* path);

// Where catalog paths are resolved: a directory opened with plat_open_root,
// or PLAT_CWD for the current directory.
enum { PLAT_CWD = -100 };
// Opens a directory (path as given, links followed: the user chose it) as
// the root of an output tree. A handle for the calls below, or -1.
int plat_open_root(const char* path);
void plat_close_root(int root);
// Creates a directory at a path as given (links on the way followed), to
// serve as a root. 0 or -1.
int plat_make_root(const char* path);
// Opens the directory at a catalog path below root as a root of its own,
// following no link on the way nor at its end (as plat_open_output walks).
// A caller that writes many files into one directory then names them by
// their bare names, and the way to them is walked once. A handle for
// plat_close_root, or -1.
int plat_open_dir_at(int root, const char* path);

// The identity of a file: its volume and its file number there.
struct PlatFileId {
    uint64_t volume;
    uint64_t index;
};

// How plat_open_output creates a file.
enum {
    PLAT_OUT_SHARED = 1,  // mode 0666 before the umask, not 0600
    PLAT_OUT_NEW = 2,     // the file must not exist yet
};

// Opens a catalog path below root for output, creating it (mode 0600, or
// as flags say) when missing, without truncating it; its identity into
// *id. Below root no component is followed when it is a symbolic link
// (Windows: a reparse point): each directory on the way must be a
// directory, and an existing last component must be a regular file, not a
// link, directory, FIFO, device or socket (none of which is ever opened, so
// a FIFO cannot block). A file opened for reading in this run is refused.
// The handle, or -1 with nothing changed on disk.
int plat_open_output(int root, const char* path, int flags, PlatFileId* id);
// Cuts an output file opened by plat_open_output to 0 bytes. 0 or -1.
int plat_truncate(int fd);

// True when two paths (as given) lead to one existing file: the same device
// and inode on POSIX, the same volume and file index on Windows. Names are
// not compared: a link is the file it leads to, and a name that differs only
// in letter case is another file where the file system tells case apart.
bool plat_same_file(const char* a, const char* b);

// True when the file of this identity was opened for reading in this run
// (an image): nothing may be written over it, nor renamed onto it.
bool plat_is_input(const PlatFileId* id);

// Where the last component of a path (as given) begins: the index behind
// its last separator, 0 when it has none. '/' and '\' both separate, on
// POSIX too, as they do in catalog paths.
int32_t plat_last_component(const char* path);

// Reads up to n bytes; gives back the count read (0 at end, -1 on error).
int32_t plat_read(int fd, void* buf, int32_t n);
// Writes n bytes; gives back the count written (-1 on error).
int32_t plat_write(int fd, const void* buf, int32_t n);
// Moves the position; gives back the new position or -1.
int64_t plat_seek(int fd, int64_t offset, int whence);
int plat_close(int fd);
// Hands every output byte still held for an open handle to the OS. Called
// before each read of standard input: a user who stops the program at a
// prompt finds on disk every byte that was restored before it.
void plat_flush_all(void);
// Closes every handle this layer opened that is still open. A normal run
// leaves its images open until exit; an in-process caller that runs the
// program repeatedly calls this between runs.
void plat_close_all(void);

// Path status of a catalog path below root, following no link: 0 when it
// does not exist, 1 when it is a directory, 2 when it is something else (a
// symbolic link included) or lies beneath something that is not a
// directory.
enum { PLAT_PATH_NONE = 0, PLAT_PATH_DIR = 1, PLAT_PATH_OTHER = 2 };
int plat_path_status_at(int root, const char* path);
// Creates the last directory level of a catalog path below root (mode 0777
// before umask), following no link on the way. 0 on success, -1 on failure.
int plat_mkdir_at(int root, const char* path);
// Sets access and modification time of a regular file at a catalog path
// below root to one instant, following no link. 0 on success, -1 on
// failure.
int plat_set_times_at(int root, const char* path, int64_t secs);
// The read-only attribute of a regular file at a catalog path below root,
// following no link, as the Win32 chmod sets it: writable adds the owner's
// write bit, not writable removes every write bit; other mode bits are
// kept. 0 or -1.
int plat_set_writable_at(int root, const char* path, bool writable);

// Renames a file below root to another name below root, following no link
// on either way; a link or file at the new name is replaced (not
// followed), unless keep is set: then an existing new name fails it. 0 or
// -1.
int plat_rename_at(int root, const char* from, const char* to, bool keep);
// Removes a regular file (or a link, which is not followed) below root.
// 0 or -1.
int plat_remove_at(int root, const char* path);

// What stands at a catalog path below root, following no link.
struct PlatStat {
    int type;          // PLAT_PATH_*: a link counts as PLAT_PATH_OTHER
    bool regular;      // a regular file
    bool writable;     // the owner may write it
    int64_t size;
    int64_t mtime;     // seconds
    PlatFileId id;
};
// 0, or -1 when nothing is there or a directory on the way is not one.
int plat_stat_at(int root, const char* path, PlatStat* st);

// The same below the current directory.
static inline int plat_path_status(const char* path) {
    return plat_path_status_at(PLAT_CWD, path);
}
static inline int plat_mkdir(const char* path) {
    return plat_mkdir_at(PLAT_CWD, path);
}
static inline int plat_set_times(const char* path, int64_t secs) {
    return plat_set_times_at(PLAT_CWD, path, secs);
}
static inline int plat_set_writable(const char* path, bool writable) {
    return plat_set_writable_at(PLAT_CWD, path, writable);
}

// A write that would pass the process's file-size limit comes back short
// (and takes the caller's short-write path) instead of ending the process.
void plat_keep_running_past_file_limit(void);

#endif
