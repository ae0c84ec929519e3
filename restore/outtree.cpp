// The output tree (see outtree.h): directories, file creation under each
// policy, the table of files written, and metadata.
#include "restore/outtree.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---- the table of files written ---------------------------------------------------

static bool same_id(const PlatFileId* a, const PlatFileId* b) {
    return a->volume == b->volume && a->index == b->index;
}

static uint32_t slot_of(const PlatFileId* id, int32_t cap) {
    uint64_t h = id->index * 0x9E3779B97F4A7C15ull ^ id->volume;
    h ^= h >> 29;
    return (uint32_t)(h & (uint64_t)(cap - 1));
}

// The slot that holds id, or the free slot where it would go.
static PlatFileId* find_slot(const OutTree* tree, const PlatFileId* id) {
    uint32_t i = slot_of(id, tree->cap);
    for (;;) {
        PlatFileId* s = &tree->slots[i];
        if (s->index == 0 || same_id(s, id)) return s;
        i = (i + 1) & (uint32_t)(tree->cap - 1);
    }
}

static bool written(const OutTree* tree, const PlatFileId* id) {
    if (id->index == 0) return tree->has_zero && same_id(&tree->zero, id);
    return tree->cap > 0 && find_slot(tree, id)->index != 0;
}

// Makes room for one more identity: the table is kept at most half full.
static bool reserve_one(OutTree* tree) {
    if ((tree->count + 1) * 2 <= tree->cap) return true;
    if (tree->cap >= (1 << 28)) return false;
    int32_t cap = tree->cap ? tree->cap * 2 : 64;
    PlatFileId* slots = (PlatFileId*)calloc((size_t)cap, sizeof *slots);
    if (!slots) return false;
    OutTree grown = *tree;
    grown.slots = slots;
    grown.cap = cap;
    for (int32_t i = 0; i < tree->cap; i++)
        if (tree->slots[i].index != 0) *find_slot(&grown, &tree->slots[i]) = tree->slots[i];
    free(tree->slots);
    tree->slots = slots;
    tree->cap = cap;
    return true;
}

static bool remember(OutTree* tree, const PlatFileId* id) {
    if (id->index == 0) {
        tree->zero = *id;
        tree->has_zero = true;
        return true;
    }
    if (!reserve_one(tree)) return false;
    PlatFileId* s = find_slot(tree, id);
    if (s->index == 0) {
        *s = *id;
        tree->count++;
    }
    return true;
}

void out_tree_init(OutTree* tree, int root, const OutPolicy* policy) {
    memset(tree, 0, sizeof *tree);
    tree->root = root;
    if (policy) tree->policy = *policy;
}

void out_tree_free(OutTree* tree) {
    free(tree->slots);
    OutTree kept = *tree;
    out_tree_init(tree, kept.root, &kept.policy);
}

void out_fix_colons(char* path) {
    for (char* p = path; *p; p++)
        if (*p == ':') *p = '_';
}

// ---- directories ------------------------------------------------------------------

OutDir out_make_dir(OutTree* tree, const char* path) {
    char dir[OUT_PATH_MAX];
    size_t len = strlen(path);
    if (len >= sizeof dir) return OUT_DIR_FAILED;
    memcpy(dir, path, len + 1);
    if (len >= 2 && (dir[len - 1] == '\\' || dir[len - 1] == '/')) dir[len - 1] = '\0';
    switch (plat_path_status_at(tree->root, dir)) {
    case PLAT_PATH_NONE:
        return plat_mkdir_at(tree->root, dir) == 0 ? OUT_DIR_MADE : OUT_DIR_FAILED;
    case PLAT_PATH_DIR:
        return OUT_DIR_EXISTED;
    default:
        return OUT_DIR_BLOCKED;
    }
}

bool out_make_parents(OutTree* tree, const char* path) {
    char dir[OUT_PATH_MAX];
    size_t len = strlen(path);
    if (len >= sizeof dir) return false;
    memcpy(dir, path, len + 1);
    for (size_t i = 1; i < len; i++) {
        if (dir[i] != '\\' && dir[i] != '/') continue;
        dir[i] = '\0';
        OutDir made = out_make_dir(tree, dir);
        dir[i] = path[i];
        if (made == OUT_DIR_FAILED || made == OUT_DIR_BLOCKED) return false;
    }
    return true;
}

// ---- files ----------------------------------------------------------------------

// name~N of path into out: before the extension of the last component when
// it has one (not a leading dot), else at the end. False when it does not
// fit.
static bool numbered(const char* path, int32_t n, char* out) {
    size_t len = strlen(path);
    size_t name_at = (size_t)plat_last_component(path);
    size_t dot = len;
    for (size_t i = len; i > name_at + 1; i--)
        if (path[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    int w = snprintf(out, OUT_PATH_MAX, "%.*s~%ld%s", (int)dot, path, (long)n, path + dot);
    return w > 0 && w < OUT_PATH_MAX;
}

static OutCreate open_in_place(OutTree* tree, const char* path, OutFile* file) {
    int flags = tree->policy.shared_modes ? PLAT_OUT_SHARED : 0;
    PlatFileId id;
    file->fd = plat_open_output(tree->root, path, flags, &id);
    if (file->fd < 0) return OUT_FAILED;
    if (written(tree, &id)) {
        plat_close(file->fd);
        file->fd = -1;
        return OUT_DUPLICATE;
    }
    // Remembered before anything is cut: a file that cannot be told apart
    // later is not written now.
    if (!remember(tree, &id) || plat_truncate(file->fd) != 0) {
        plat_close(file->fd);
        file->fd = -1;
        return OUT_FAILED;
    }
    return OUT_CREATED;
}

// What stands at path before the run writes it: OUT_CREATED when nothing
// does or a file that may be written over, else why not.
static OutCreate may_take(const OutTree* tree, const char* path) {
    PlatStat st;
    if (plat_stat_at(tree->root, path, &st) != 0) return OUT_CREATED;
    if (!st.regular) return OUT_FAILED;
    if (written(tree, &st.id)) return OUT_DUPLICATE;
    // The rename would put the new file in an image's place.
    if (plat_is_input(&st.id)) return OUT_FAILED;
    return tree->policy.keep_existing ? OUT_EXISTS : OUT_CREATED;
}

static OutCreate open_via_temp(OutTree* tree, const char* path, OutFile* file) {
    OutCreate taken = may_take(tree, path);
    if (taken != OUT_CREATED) return taken;
    int w = snprintf(file->temp, sizeof file->temp, "%s%s", path, OUT_TEMP_SUFFIX);
    if (w <= 0 || w >= (int)sizeof file->temp) return OUT_FAILED;
    // One left by an interrupted run is ours to replace.
    plat_remove_at(tree->root, file->temp);
    int flags = PLAT_OUT_NEW | (tree->policy.shared_modes ? PLAT_OUT_SHARED : 0);
    PlatFileId id;
    file->fd = plat_open_output(tree->root, file->temp, flags, &id);
    if (file->fd < 0) return OUT_FAILED;
    if (!remember(tree, &id)) {
        out_discard(tree, file);
        return OUT_FAILED;
    }
    return OUT_CREATED;
}

OutCreate out_create(OutTree* tree, const char* path, OutFile* file) {
    file->fd = -1;
    file->temp[0] = '\0';
    file->copy = 0;
    size_t len = strlen(path);
    if (len >= sizeof file->path) return OUT_FAILED;
    memcpy(file->path, path, len + 1);
    for (int32_t n = 2;; n++) {
        OutCreate r = tree->policy.via_temp ? open_via_temp(tree, file->path, file)
                                            : open_in_place(tree, file->path, file);
        if (r != OUT_DUPLICATE || !tree->policy.number_duplicates) return r;
        if (n > OUT_COPIES_MAX || !numbered(path, n, file->path)) return OUT_FAILED;
        file->copy = n;
    }
}

bool out_claim(OutTree* tree, const char* path) {
    PlatStat st;
    if (plat_stat_at(tree->root, path, &st) != 0 || !st.regular || written(tree, &st.id))
        return false;
    return remember(tree, &st.id);
}

int out_commit(OutTree* tree, OutFile* file) {
    int r = file->fd >= 0 ? plat_close(file->fd) : 0;
    file->fd = -1;
    if (file->temp[0] == '\0') return r;
    if (r == 0 && plat_rename_at(tree->root, file->temp, file->path,
                                 tree->policy.keep_existing) == 0) {
        file->temp[0] = '\0';
        return 0;
    }
    plat_remove_at(tree->root, file->temp);
    file->temp[0] = '\0';
    return -1;
}

void out_discard(OutTree* tree, OutFile* file) {
    if (file->fd >= 0) plat_close(file->fd);
    file->fd = -1;
    if (file->temp[0] != '\0') plat_remove_at(tree->root, file->temp);
    file->temp[0] = '\0';
}

int32_t out_set_meta(OutTree* tree, const char* path, int64_t secs, bool writable) {
    int32_t result = 0;
    if (plat_set_times_at(tree->root, path, secs) != 0) result |= OUT_META_TIMES_FAILED;
    if (plat_set_writable_at(tree->root, path, writable) != 0) result |= OUT_META_WRITABLE_FAILED;
    return result;
}

bool out_is_temp_name(const char* name) {
    size_t n = strlen(name), k = strlen(OUT_TEMP_SUFFIX);
    return n > k && strcmp(name + n - k, OUT_TEMP_SUFFIX) == 0;
}
