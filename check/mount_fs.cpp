// bak mount's file system over the index: see mount_fs.h.
#include "check/mount_fs.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "catalog/group_run.h"
#include "check/naming.h"
#include "platform/dirs.h"
#include "restore/restore.h"

// The sizes mount_fs.h gives for the index (on 64-bit systems).
static_assert(sizeof(void*) != 8 || sizeof(MountGroup) == 32, "a group's index entry");
static_assert(sizeof(void*) != 8 || sizeof(MountFile) == 56, "a file's index entry");
static_assert(sizeof(void*) != 8 || sizeof(MountNode) == 64, "a node of the tree");

namespace {

// Holds a mutex for a scope.
struct Hold {
    PlatMutex* m;
    explicit Hold(PlatMutex* mutex) : m(mutex) { plat_mutex_lock(m); }
    ~Hold() { plat_mutex_unlock(m); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

enum { NAME_MAX_BYTES = 255 };  // the longest name a Linux file system takes

// ---- the tree ----------------------------------------------------------------------

bool valid_component(const std::string& c) {
    return !c.empty() && c != "." && c != ".." && c.size() <= NAME_MAX_BYTES &&
           c.find('\0') == std::string::npos;
}

// The components of a relative '/'-separated path (a trailing '/' ends a
// directory's); false when one of them cannot be a name.
bool split_path(const std::string& path, std::vector<std::string>* parts) {
    parts->clear();
    std::string p = path;
    if (!p.empty() && p.back() == '/') p.pop_back();
    size_t at = 0;
    for (;;) {
        size_t slash = p.find('/', at);
        std::string c = p.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (!valid_component(c)) return false;
        parts->push_back(c);
        if (slash == std::string::npos) return true;
        at = slash + 1;
    }
}

// The node of the path made of parts, made where missing: directories on
// the way, and at the end a directory or (file >= 0) that file. -1 when a
// file stands in the way or the file's name is taken.
int32_t add_path(MountFs* fs, const std::vector<std::string>& parts, int32_t file) {
    int32_t at = 0;
    std::string key;
    for (size_t i = 0; i < parts.size(); i++) {
        key += "/" + parts[i];
        bool last = i + 1 == parts.size();
        auto found = fs->by_path.find(key);
        if (found != fs->by_path.end()) {
            at = found->second;
            if (fs->nodes[(size_t)at].file >= 0 || (last && file >= 0)) return -1;
            continue;
        }
        int32_t node = (int32_t)fs->nodes.size();
        fs->nodes.push_back(MountNode{parts[i], at, last ? file : -1, {}});
        fs->nodes[(size_t)at].children.push_back(node);
        fs->by_path.emplace(key, node);
        at = node;
    }
    return at;
}

void say(MountFs* fs, int32_t kind, const MountFile* mf, const std::string& path, int32_t group,
         int32_t disk) {
    if (!fs->report) return;
    MountEvent ev{kind, mf ? mf->file : nullptr, path, group, mf ? mf->ngroups : 0, disk};
    fs->report(fs->report_ctx, &ev);
}

// Gives file f (its output name wanted) a node: under that name, else
// numbered, else under _unplaced by its catalog number. A name it does not
// get, or one under _unplaced (unplaced: its own cannot be a path), is
// reported.
void place_file(MountFs* fs, int32_t f, const std::string& wanted, bool unplaced) {
    const BakFile* bf = fs->files[(size_t)f].file;
    std::vector<std::string> parts;
    std::string path = wanted;
    bool valid = split_path(path, &parts);
    bool named = valid && add_path(fs, parts, f) >= 0;
    // A name taken by a directory is numbered, as the output tree numbers
    // it; past that (a file where a directory should be, a name that cannot
    // be a path) the file goes under _unplaced by its catalog number, and
    // at last by its place in the catalog, which no other file has. Each
    // try is bounded, so hostile names cost no more than a few hundred
    // lookups a file.
    for (int32_t n = 2; valid && !named && n <= 100; n++) {
        path = numbered_name(wanted, n);
        named = split_path(path, &parts) && add_path(fs, parts, f) >= 0;
    }
    std::string base = std::string(UNPLACED_DIR "/") + std::to_string(bf->rec->serial);
    for (int32_t n = 1; !named && n <= 100; n++) {
        path = n == 1 ? base : numbered_name(base, n);
        named = split_path(path, &parts) && add_path(fs, parts, f) >= 0;
    }
    base = std::string(UNPLACED_DIR "/#") + std::to_string(f);
    for (int32_t n = 1; !named; n++) {
        path = n == 1 ? base : numbered_name(base, n);
        named = split_path(path, &parts) && add_path(fs, parts, f) >= 0;
    }
    if (path != wanted || unplaced) say(fs, MOUNT_EV_RENAMED, &fs->files[(size_t)f], path, 0, 0);
}

// ---- the groups ---------------------------------------------------------------------

void index_groups(MountFs* fs, MountFile* mf, size_t total_groups) {
    const FileRecord* rec = mf->file->rec;
    mf->first_group = (int32_t)fs->groups.size();
    mf->ngroups = 0;
    mf->held = 0;
    mf->stored = false;
    if (!rec->comp) {
        // A compressed set's file without groups holds nothing.
        mf->stored = !fs->bak->set.compressed;
        mf->held = mf->stored ? mf->size : 0;
        return;
    }
    int64_t pos = mf->pos, offset = 0;
    bool last = false;
    // A run is at most the whole chain long.
    for (const CompRecord* g = rec->comp; g && !last && (size_t)mf->ngroups < total_groups;
         g = g->next) {
        last = closes_run(g);
        MountGroup mg;
        mg.pos = pos;
        mg.offset = offset;
        mg.compsize = g->COMPSIZE > 0 ? g->COMPSIZE : 0;
        mg.span = g->ORGSIZE <= 0 ? 0 : g->ORGSIZE > MOUNT_GROUP_MAX ? MOUNT_GROUP_MAX : g->ORGSIZE;
        mg.chk_sum = (uint32_t)g->CHK_SUM;
        if (g->COMPSIZE < 0 || g->COMPSIZE > MOUNT_COMPSIZE_MAX || g->ORGSIZE > MOUNT_GROUP_MAX)
            mg.kind = GROUP_BAD;
        else if (g->COMP_LVL == 4)
            mg.kind = GROUP_DEFLATE;
        else if (g->COMP_LVL == -1 && g->ORGSIZE == g->COMPSIZE)
            mg.kind = GROUP_STORED;
        else
            mg.kind = GROUP_BAD;
        fs->groups.push_back(mg);
        mf->ngroups++;
        pos += mg.compsize;
        offset += mg.span;
    }
    mf->held = offset;
}

// Reports what befell group gi (0: the file's stored data) once.
void lost_once(MountFs* fs, const MountFile* mf, int32_t gi, int32_t kind, int32_t disk,
               const std::string& path) {
    {
        Hold hold(fs->cache_lock);
        uint8_t* state = gi >= 0 ? &fs->group_state[(size_t)gi]
                                 : &fs->short_reported[(size_t)(mf - fs->files.data())];
        if (*state & GROUP_STATE_REPORTED) return;
        *state |= GROUP_STATE_REPORTED;
    }
    say(fs, kind, mf, path, gi >= 0 ? gi - mf->first_group + 1 : 0, disk);
}

// Stream bytes [pos, pos + len) into out; a stretch on no disk read or an
// image that cannot be read is zeros when salvaging, else the read fails
// and *kind and *disk say why.
bool read_stream(MountFs* fs, int64_t pos, int64_t len, unsigned char* out, int32_t* kind,
                 int32_t* disk) {
    Hold hold(fs->placement_lock);
    Placement* pl = &fs->bak->set.placement;
    while (len > 0) {
        bool held;
        int64_t n = stream_stretch(pl, pos, len, &held);
        if (n <= 0) n = len;
        int status = held ? stream_read(pl, pos, n, out) : STREAM_HOLE;
        if (status != STREAM_OK) {
            *kind = status == STREAM_HOLE ? MOUNT_EV_HOLE : MOUNT_EV_READ_ERROR;
            *disk = disk_expected(pl, pos);
            if (!fs->salvage) return false;
            memset(out, 0, (size_t)n);
        }
        pos += n;
        out += n;
        len -= n;
    }
    return true;
}

// The disk that should hold the first byte of group g that no disk read
// holds (the placement locked).
int32_t hole_disk(const Placement* pl, const MountGroup& g) {
    int64_t at = g.pos, left = g.compsize;
    while (left > 0) {
        bool held;
        int64_t n = stream_stretch(pl, at, left, &held);
        if (!held || n <= 0) break;
        at += n;
        left -= n;
    }
    return disk_expected(pl, at);
}

// The inflated bytes of deflate group gi, checked, from the cache or made
// now; null when it is lost (*kind and *disk say why). A group another
// thread is inflating is waited for, not inflated twice; reading ahead
// (ahead) leaves it to that thread and gets null.
std::shared_ptr<std::vector<unsigned char>> group_bytes(MountFs* fs, int32_t gi, int32_t* kind,
                                                        int32_t* disk, bool ahead = false) {
    const MountGroup& g = fs->groups[(size_t)gi];
    MountWorker* w = nullptr;
    std::shared_ptr<std::vector<unsigned char>> bytes;
    uint8_t lost;
    {
        Hold hold(fs->cache_lock);
        for (;;) {
            auto found = fs->cache.find(gi);
            if (found != fs->cache.end()) {
                fs->lru.splice(fs->lru.begin(), fs->lru, found->second.at);
                return found->second.bytes;
            }
            lost = fs->group_state[(size_t)gi];
            if (!(lost & GROUP_STATE_INFLATING)) break;
            if (ahead) return nullptr;
            plat_cond_wait(fs->group_done, fs->cache_lock);
        }
        if (!(lost & GROUP_STATE_LOST)) {
            fs->group_state[(size_t)gi] |= GROUP_STATE_INFLATING;
            while (fs->idle.empty()) plat_cond_wait(fs->worker_free, fs->cache_lock);
            w = fs->idle.back();
            fs->idle.pop_back();
            if (!fs->spare.empty()) {
                bytes = std::move(fs->spare.back());
                fs->spare.pop_back();
            }
        }
    }
    if (lost & GROUP_STATE_LOST) {
        // Found lost before (perhaps reading ahead): the same reason.
        *kind = lost & GROUP_STATE_HOLE ? MOUNT_EV_HOLE : MOUNT_EV_DAMAGED;
        Hold hold(fs->placement_lock);
        *disk = *kind == MOUNT_EV_HOLE ? hole_disk(&fs->bak->set.placement, g) : 0;
        return nullptr;
    }
    int status;
    {
        Hold hold(fs->placement_lock);
        Placement* pl = &fs->bak->set.placement;
        if (!stream_has(pl, g.pos, g.compsize)) {
            status = STREAM_HOLE;
            *disk = hole_disk(pl, g);
        } else if (!grow_buffer(&w->in, &w->in_cap, g.compsize)) {
            status = STREAM_READ_ERROR;
            *disk = 0;
        } else {
            status = stream_read(pl, g.pos, g.compsize, w->in);
            *disk = disk_expected(pl, g.pos);
        }
    }
    bool damaged = false, good = false;
    if (status == STREAM_OK) {
        // Only a group that inflates to exactly its ORGSIZE with its
        // checksum comes back.
        const unsigned char* staged = stage_group(&w->staging, w->in, g.compsize, g.span, g.chk_sum);
        good = staged != nullptr;
        damaged = !good;
        if (good && !bytes) bytes = std::make_shared<std::vector<unsigned char>>();
        if (good) bytes->assign(staged, staged + g.span);
    }
    Hold hold(fs->cache_lock);
    fs->idle.push_back(w);
    plat_cond_signal(fs->worker_free);
    fs->group_state[(size_t)gi] &= (uint8_t)~GROUP_STATE_INFLATING;
    plat_cond_broadcast(fs->group_done);
    if (!good) {
        if (bytes && fs->spare.size() < MOUNT_SPARE) fs->spare.push_back(std::move(bytes));
        *kind = damaged ? MOUNT_EV_DAMAGED : status == STREAM_HOLE ? MOUNT_EV_HOLE : MOUNT_EV_READ_ERROR;
        // Damage and missing disks stay; a read error may not.
        if (damaged || status == STREAM_HOLE) fs->group_state[(size_t)gi] |= GROUP_STATE_LOST;
        if (status == STREAM_HOLE) fs->group_state[(size_t)gi] |= GROUP_STATE_HOLE;
        return nullptr;
    }
    if (fs->cache.find(gi) == fs->cache.end()) {
        fs->lru.push_front(gi);
        fs->cache.emplace(gi, CachedGroup{bytes, fs->lru.begin()});
        // What it holds in memory: a reused buffer may be bigger than the group.
        fs->cache_bytes += (int64_t)bytes->capacity();
        while (fs->cache_bytes > fs->cache_limit && fs->lru.size() > 1) {
            auto old = fs->cache.find(fs->lru.back());
            std::shared_ptr<std::vector<unsigned char>>& b = old->second.bytes;
            fs->cache_bytes -= (int64_t)b->capacity();
            // Kept for the next group when no read still holds it.
            if (b.use_count() == 1 && b->capacity() <= MOUNT_SPARE_MAX &&
                fs->spare.size() < MOUNT_SPARE)
                fs->spare.push_back(std::move(b));
            fs->cache.erase(old);
            fs->lru.pop_back();
        }
    }
    return bytes;
}

// The reading-ahead thread: see mount_fs.h.
void read_ahead(void* arg) {
    MountFs* fs = (MountFs*)arg;
    int64_t budget_max = std::min<int64_t>(MOUNT_AHEAD_MAX, fs->cache_limit / 4);
    for (;;) {
        int32_t from;
        {
            Hold hold(fs->cache_lock);
            while (!fs->ahead_stop && fs->ahead_from < 0)
                plat_cond_wait(fs->ahead_wanted, fs->cache_lock);
            if (fs->ahead_stop) return;
            from = fs->ahead_from;
            fs->ahead_from = -1;
        }
        int64_t budget = budget_max;
        for (size_t gi = (size_t)from; gi < fs->groups.size() && budget > 0; gi++) {
            {
                // A newer read says where to go on from.
                Hold hold(fs->cache_lock);
                if (fs->ahead_stop || fs->ahead_from >= 0) break;
            }
            const MountGroup& g = fs->groups[gi];
            budget -= g.span;
            if (g.kind != GROUP_DEFLATE || g.span == 0) continue;
            int32_t kind, disk;
            group_bytes(fs, (int32_t)gi, &kind, &disk, true);
        }
    }
}

std::string path_of(const MountFs* fs, int32_t node) {
    std::string path;
    for (; node > 0; node = fs->nodes[(size_t)node].parent)
        path = "/" + fs->nodes[(size_t)node].name + path;
    return path.empty() ? "/" : path.substr(1);
}

}  // namespace

void mount_build(MountFs* fs, Bak* bak, bool salvage, int64_t cache_bytes, uint32_t uid,
                 uint32_t gid, int64_t now) {
    fs->bak = bak;
    fs->salvage = salvage;
    fs->cache_limit = cache_bytes;
    fs->cache_bytes = 0;
    fs->uid = uid;
    fs->gid = gid;
    fs->dir_mtime = now;
    fs->nodes.clear();
    fs->nodes.push_back(MountNode{"", 0, -1, {}});
    fs->by_path.clear();
    fs->by_path.emplace("/", 0);

    size_t total_groups = 0;
    for (const CompRecord* g = bak->set.catalog.comp; g; g = g->next) total_groups++;

    // The names bak extract gives, computed the same way over every file.
    NameTable table;
    table.fold_case = plat_names_ignore_case();
    std::vector<std::string> wanted;
    std::vector<bool> unplaced;
    fs->files.clear();
    fs->groups.clear();
    for (const BakFile& f : bak->set.files) {
        OutputName name = output_name(&table, f.dir_ok ? bak->set.dir_paths[(size_t)f.rec->dir] : "",
                                      f.rec->name, f.rec->serial, bak->set.charset);
        wanted.push_back(name.path);
        unplaced.push_back(name.unplaced);
        MountFile mf;
        mf.file = &f;
        mf.size = f.rec->size_lo > 0 ? f.rec->size_lo : 0;
        mf.mtime = date_to_secs(f.rec->date);
        mf.pos = f.pos;
        mf.writable = file_writable(f.rec);
        index_groups(fs, &mf, total_groups);
        fs->files.push_back(mf);
    }
    fs->group_state.assign(fs->groups.size(), GROUP_STATE_UNKNOWN);
    fs->short_reported.assign(fs->files.size(), 0);

    // Every catalog directory, empty ones too; one whose name cannot be a
    // path is left out (its files go to _unplaced, as extract puts them).
    std::vector<std::string> parts;
    for (size_t i = 1; i < bak->set.dir_paths.size(); i++) {
        const std::string& dir = bak->set.dir_paths[i];
        if (dir.empty()) continue;
        std::string name = output_dir_name(dir, bak->set.charset);
        if (split_path(name, &parts)) add_path(fs, parts, -1);
    }
    for (size_t f = 0; f < fs->files.size(); f++) place_file(fs, (int32_t)f, wanted[f], unplaced[f]);

    fs->ahead_from = -1;
    fs->ahead_stop = false;
    fs->ahead = nullptr;
    fs->placement_lock = plat_mutex_new();
    fs->cache_lock = plat_mutex_new();
    fs->worker_free = plat_cond_new();
    fs->group_done = plat_cond_new();
    fs->ahead_wanted = plat_cond_new();
    fs->workers.assign(MOUNT_WORKERS, MountWorker{nullptr, 0, Staging{}});
    fs->idle.clear();
    for (MountWorker& w : fs->workers) fs->idle.push_back(&w);
}

void mount_start_ahead(MountFs* fs) {
    if (fs->cache_limit / 4 < MOUNT_GROUP_MAX / 256 || fs->ahead) return;
    fs->ahead = plat_thread_start(read_ahead, fs);
}

void mount_release(MountFs* fs) {
    if (fs->ahead) {
        {
            Hold hold(fs->cache_lock);
            fs->ahead_stop = true;
            plat_cond_broadcast(fs->ahead_wanted);
        }
        plat_thread_join(fs->ahead);
        fs->ahead = nullptr;
    }
    // No other thread is left.
    fs->cache.clear();
    fs->lru.clear();
    fs->spare.clear();
    fs->cache_bytes = 0;
    for (MountWorker& w : fs->workers) {
        free(w.in);
        staging_release(&w.staging);
        w.in = nullptr;
        w.in_cap = 0;
    }
    plat_mutex_free(fs->placement_lock);
    plat_mutex_free(fs->cache_lock);
    plat_cond_free(fs->worker_free);
    plat_cond_free(fs->group_done);
    plat_cond_free(fs->ahead_wanted);
    fs->placement_lock = fs->cache_lock = nullptr;
    fs->worker_free = fs->group_done = fs->ahead_wanted = nullptr;
}

int32_t mount_lookup(const MountFs* fs, const char* path) {
    auto found = fs->by_path.find(path);
    return found == fs->by_path.end() ? -1 : found->second;
}

void mount_node_attr(const MountFs* fs, int32_t node, MountAttr* attr) {
    const MountNode& n = fs->nodes[(size_t)node];
    if (n.file < 0) {
        int32_t subdirs = 0;
        for (int32_t c : n.children) subdirs += fs->nodes[(size_t)c].file < 0;
        *attr = MountAttr{true, 0, fs->dir_mtime, 0755, 2 + subdirs};
        return;
    }
    const MountFile& f = fs->files[(size_t)n.file];
    *attr = MountAttr{false, f.size, f.mtime, f.writable ? 0644u : 0444u, 1};
}

int mount_getattr(const MountFs* fs, const char* path, MountAttr* attr) {
    int32_t node = mount_lookup(fs, path);
    if (node < 0) return -ENOENT;
    mount_node_attr(fs, node, attr);
    return 0;
}

const std::vector<int32_t>* mount_readdir(const MountFs* fs, const char* path, int* err) {
    int32_t node = mount_lookup(fs, path);
    *err = node < 0 ? -ENOENT : fs->nodes[(size_t)node].file >= 0 ? -ENOTDIR : 0;
    return *err ? nullptr : &fs->nodes[(size_t)node].children;
}

int32_t mount_open(const MountFs* fs, const char* path, bool for_writing) {
    int32_t node = mount_lookup(fs, path);
    if (node < 0) return -ENOENT;
    if (for_writing) return -EROFS;
    if (fs->nodes[(size_t)node].file < 0) return -EISDIR;
    return node;
}

int64_t mount_read(MountFs* fs, int32_t node, unsigned char* buf, int64_t size, int64_t off) {
    if (node < 0 || (size_t)node >= fs->nodes.size()) return -EBADF;
    if (fs->nodes[(size_t)node].file < 0) return -EISDIR;
    if (off < 0 || size < 0) return -EINVAL;
    const MountFile& mf = fs->files[(size_t)fs->nodes[(size_t)node].file];
    if (off >= mf.size) return 0;
    int64_t end = size < mf.size - off ? off + size : mf.size;
    int32_t kind = 0, disk = 0;

    if (mf.stored) {
        if (read_stream(fs, mf.pos + off, end - off, buf, &kind, &disk)) {
            if (kind) lost_once(fs, &mf, -1, kind, disk, path_of(fs, node));
            return end - off;
        }
        lost_once(fs, &mf, -1, kind, disk, path_of(fs, node));
        return -EIO;
    }
    const MountGroup* first = fs->groups.data() + mf.first_group;
    const MountGroup* last = first + mf.ngroups;
    for (int64_t at = off; at < end;) {
        unsigned char* out = buf + (at - off);
        if (at >= mf.held) {
            // Beyond what the groups hold (or no groups at all).
            lost_once(fs, &mf, -1, MOUNT_EV_SHORT, 0, path_of(fs, node));
            if (!fs->salvage) return -EIO;
            memset(out, 0, (size_t)(end - at));
            break;
        }
        // The group that holds byte `at`: the last one beginning at or before
        // it (the groups tile [0, held) in order, so it is the one).
        const MountGroup* g =
            std::upper_bound(first, last, at,
                             [](int64_t a, const MountGroup& x) { return a < x.offset; }) -
            1;
        int32_t gi = (int32_t)(g - fs->groups.data());
        int64_t n = std::min(end, g->offset + g->span) - at;
        bool ok = false;
        kind = MOUNT_EV_DAMAGED;
        disk = 0;
        if (g->kind == GROUP_STORED) {
            ok = read_stream(fs, g->pos + (at - g->offset), n, out, &kind, &disk);
            if (ok && kind) lost_once(fs, &mf, gi, kind, disk, path_of(fs, node));
            kind = ok ? 0 : kind;
        } else if (g->kind == GROUP_DEFLATE) {
            std::shared_ptr<std::vector<unsigned char>> bytes = group_bytes(fs, gi, &kind, &disk);
            if (bytes) memcpy(out, bytes->data() + (at - g->offset), (size_t)n);
            ok = bytes != nullptr;
        }
        if (!ok) {
            lost_once(fs, &mf, gi, kind, disk, path_of(fs, node));
            if (!fs->salvage) return -EIO;
            memset(out, 0, (size_t)n);
        }
        at += n;
        if (at >= end && fs->ahead) {
            Hold hold(fs->cache_lock);
            fs->ahead_from = gi + 1;
            plat_cond_signal(fs->ahead_wanted);
        }
    }
    return end - off;
}
