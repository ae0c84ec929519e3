// bak mount: the set as a read-only file system (libfuse 3), the files
// under the names bak extract gives them.
//
// This is bak's front end for FUSE, and the only file that calls it: the
// operations here turn the kernel's requests into calls of mount_fs.h's
// plain functions and their answers into struct stat and errno values,
// and the damage those report into lines on stderr (with -f) or the
// system log (as a daemon). The loop is libfuse's multi-threaded one:
// reads of different groups inflate at once, and mount_fs.h serialises
// what must be (the images' reads).
//
// The kernel keeps what it read (its page cache kept across opens, long
// attribute and entry timeouts): the set never changes while mounted. The mount is read-only
// ("ro"), and no writing operation is offered besides.
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <string>
#include <vector>

#include "check/bak.h"
#include "check/mount_fs.h"
#include "platform/system.h"

namespace {

enum { MAX_READ = 1024 * 1024 };

// The run of one mount: the file system and how it speaks.
struct MountRun {
    Bak* bak;
    MountFs fs;
    bool to_log;  // a daemon, without a terminal: damage goes to the system log
    PlatMutex* say_lock;  // one line at a time from the file system's threads
};

MountFs* fs_of() {
    return (MountFs*)fuse_get_context()->private_data;
}

std::string event_text(const MountFs* fs, const MountEvent* ev) {
    std::string file = ev->file ? shown_text(ev->file->shown) : std::string("?");
    std::string group = ev->group > 0 ? "group " + std::to_string(ev->group) + " of " +
                                            std::to_string(ev->ngroups)
                                      : std::string("data");
    std::string tail = fs->salvage ? "; read as zeros (--salvage)" : "; reads of it fail (EIO)";
    switch (ev->kind) {
    case MOUNT_EV_RENAMED:
        return file + " is shown as " + shown_text(ev->path) +
               ": its name as listed cannot be a path there";
    case MOUNT_EV_DAMAGED:
        return file + ": " + group + " does not inflate to its recorded length and checksum" + tail;
    case MOUNT_EV_HOLE:
        return file + ": " + group + " lies on disk " + std::to_string(ev->disk) +
               ", which is not read" + tail;
    case MOUNT_EV_READ_ERROR:
        return file + ": " + group + " could not be read from its image" + tail;
    default:
        return file + ": its groups hold fewer bytes than its recorded size" + tail;
    }
}

void report(void* ctx, const MountEvent* ev) {
    MountRun* run = (MountRun*)ctx;
    std::string line = event_text(&run->fs, ev);
    plat_mutex_lock(run->say_lock);
    if (run->to_log)
        plat_log_error("bak", line.c_str());
    else
        say_error(run->bak, "%s", line.c_str());
    plat_mutex_unlock(run->say_lock);
}

void fill_stat(const MountFs* fs, const MountAttr* a, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_mode = (a->dir ? S_IFDIR : S_IFREG) | a->mode;
    st->st_nlink = (nlink_t)a->nlink;
    st->st_size = (off_t)a->size;
    st->st_blocks = (blkcnt_t)((a->size + 511) / 512);
    st->st_blksize = 128 * 1024;
    st->st_uid = (uid_t)fs->uid;
    st->st_gid = (gid_t)fs->gid;
    st->st_mtime = st->st_atime = st->st_ctime = (time_t)a->mtime;
}

// ---- the operations ---------------------------------------------------------------

void* op_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    // Big reads: as the mount option asks (the two must agree).
    conn->max_read = MAX_READ;
    // Directory listings carry the entries' attributes: no lookup each.
    conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    // Nothing changes under the mount: the kernel may keep everything.
    cfg->kernel_cache = 1;
    cfg->attr_timeout = 86400;
    cfg->entry_timeout = 86400;
    cfg->negative_timeout = 86400;
    return fuse_get_context()->private_data;
}

int op_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
    MountAttr a;
    int r = mount_getattr(fs_of(), path, &a);
    if (r == 0) fill_stat(fs_of(), &a, st);
    return r;
}

int op_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
               enum fuse_readdir_flags) {
    MountFs* fs = fs_of();
    int err;
    const std::vector<int32_t>* children = mount_readdir(fs, path, &err);
    if (!children) return err;
    filler(buf, ".", nullptr, 0, (fuse_fill_dir_flags)0);
    filler(buf, "..", nullptr, 0, (fuse_fill_dir_flags)0);
    for (int32_t c : *children) {
        MountAttr a;
        struct stat st;
        mount_node_attr(fs, c, &a);
        fill_stat(fs, &a, &st);
        if (filler(buf, fs->nodes[(size_t)c].name.c_str(), &st, 0, FUSE_FILL_DIR_PLUS)) break;
    }
    return 0;
}

// A file opened for reading is answered ENOSYS: the kernel takes that as
// success and opens every file itself from then on, keeping its cached
// pages, which saves two round trips a file (open and release). Reads
// then name the file by its path.
int op_open(const char* path, struct fuse_file_info* fi) {
    bool writing = (fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC);
    int32_t node = mount_open(fs_of(), path, writing);
    return node < 0 ? node : -ENOSYS;
}

int op_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info*) {
    MountFs* fs = fs_of();
    int32_t node = mount_lookup(fs, path);
    if (node < 0) return -ENOENT;
    return (int)mount_read(fs, node, (unsigned char*)buf, (int64_t)size, (int64_t)off);
}

int op_statfs(const char*, struct statvfs* st) {
    MountFs* fs = fs_of();
    memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = 4096;
    st->f_blocks = (fsblkcnt_t)((fs->bak->set.total_bytes + 4095) / 4096);
    st->f_files = (fsfilcnt_t)fs->nodes.size();
    st->f_namemax = 255;
    return 0;
}

}  // namespace

int cmd_mount(Bak* bak) {
    MountRun* run = new MountRun;
    run->bak = bak;
    run->to_log = false;
    run->say_lock = plat_mutex_new();
    // A daemon works from /: images opened again later are found by
    // absolute paths.
    for (DiskSlot& d : bak->set.placement.disks)
        if (!d.path.empty()) d.path = plat_absolute_path(d.path);
    // So is the mount point, which the daemon unmounts when it is stopped.
    std::string mountpoint = plat_absolute_path(bak->opt.mountpoint);
    if (mountpoint.empty()) mountpoint = bak->opt.mountpoint;
    uint32_t uid, gid;
    plat_user_ids(&uid, &gid);
    MountFs* fs = &run->fs;
    fs->report = report;
    fs->report_ctx = run;
    mount_build(fs, bak, bak->opt.salvage, bak->opt.cache_mib * 1024 * 1024, uid, gid, plat_now());

    std::vector<std::string> words = {
        "bak", "-o",
        "ro,default_permissions,fsname=bak,subtype=bak,max_read=" + std::to_string(MAX_READ)};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    struct fuse_args args = FUSE_ARGS_INIT((int)argv.size(), argv.data());
    struct fuse_operations ops;
    memset(&ops, 0, sizeof ops);
    ops.init = op_init;
    ops.getattr = op_getattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.statfs = op_statfs;

    int status = BAK_EXIT_OK;
    struct fuse* f = fuse_new(&args, &ops, sizeof ops, fs);
    if (!f) {
        say_error(bak, "the file system could not be set up");
        status = BAK_EXIT_UNUSABLE;
    } else if (fuse_mount(f, mountpoint.c_str()) != 0) {
        say_error(bak, "%s: cannot mount the set there", shown_text(bak->opt.mountpoint).c_str());
        fuse_destroy(f);
        status = BAK_EXIT_UNUSABLE;
    } else {
        struct fuse_session* se = fuse_get_session(f);
        bool handlers = fuse_set_signal_handlers(se) == 0;
        // From here on, without -f, the run is a daemon: the command that
        // started it ends with status 0 once the mount stands.
        run->to_log = !bak->opt.foreground;
        if (!bak->opt.foreground && fuse_daemonize(0) != 0) {
            say_error(bak, "could not go on in the background");
            status = BAK_EXIT_UNUSABLE;
        } else {
            mount_start_ahead(fs);
            if (fuse_loop_mt(f, 0) < 0) status = BAK_EXIT_NOT_ALL;
        }
        if (handlers) fuse_remove_signal_handlers(se);
        fuse_unmount(f);
        fuse_destroy(f);
    }
    fuse_opt_free_args(&args);
    mount_release(fs);
    plat_mutex_free(run->say_lock);
    delete run;
    return status;
}
