// The output tree's file creation and its table of files written (see
// outtree.h).
#include "restore/outtree.h"

#include <stdlib.h>
#include <string.h>

static bool same_id(const PlatFileId* a, const PlatFileId* b) {
    return a->volume == b->volume && a->index == b->index;
}

static uint32_t slot_of(const PlatFileId* id, int32_t cap) {
    uint64_t h = id->index * 0x9E3779B97F4A7C15ull ^ id->volume;
    h ^= h >> 29;
    return (uint32_t)(h & (uint64_t)(cap - 1));
}

void out_tree_init(OutTree* tree, int root) {
    memset(tree, 0, sizeof *tree);
    tree->root = root;
}

void out_tree_free(OutTree* tree) {
    free(tree->slots);
    int root = tree->root;
    out_tree_init(tree, root);
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
    if (id->index == 0) return tree->has_zero && same_id(&tree->zero[0], id);
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
        tree->zero[0] = *id;
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

OutCreate out_create(OutTree* tree, const char* path, int* fd) {
    PlatFileId id;
    *fd = plat_open_output(tree->root, path, &id);
    if (*fd < 0) return OUT_FAILED;
    if (written(tree, &id)) {
        plat_close(*fd);
        *fd = -1;
        return OUT_DUPLICATE;
    }
    // Remembered before anything is cut: a file that cannot be told apart
    // later is not written now.
    if (!remember(tree, &id) || plat_truncate(*fd) != 0) {
        plat_close(*fd);
        *fd = -1;
        return OUT_FAILED;
    }
    return OUT_CREATED;
}
