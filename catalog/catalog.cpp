// The Catalog's start values, and the release of every table at the end of
// a run.
#include "catalog/catalog.h"

#include <stdlib.h>
#include <string.h>

void catalog_init(Catalog* catalog, uint16_t* options) {
    memset(catalog, 0, sizeof *catalog);
    catalog->options = options;
    catalog->image_path = "?";
    catalog->cur_disk = -1;
}

void free_files(FileRecord* f) {
    while (f) {
        FileRecord* next = f->next;
        free(f->name);
        free(f);
        f = next;
    }
}

void free_paths(PathNode* p) {
    while (p) {
        PathNode* next = p->next;
        free(p->text);
        free(p);
        p = next;
    }
}

void free_comp(CompRecord* c) {
    while (c) {
        CompRecord* next = c->next;
        free(c);
        c = next;
    }
}

void catalog_free(Catalog* catalog) {
    free(catalog->disks);
    if (catalog->dirs) {
        int32_t n = table_count(catalog, TBL_DIRS);
        for (int32_t i = 0; i < n; i++) free(catalog->dirs[i].name);
        free(catalog->dirs);
    }
    free_files(catalog->files);
    free_comp(catalog->comp);
    free_paths(catalog->paths);
    if (catalog->job) {
        free(catalog->job->text_b);
        free(catalog->job->descr);
        free(catalog->job);
    }
    free(catalog->sessions);
    catalog->disks = NULL;
    catalog->dirs = NULL;
    catalog->files = NULL;
    catalog->comp = NULL;
    catalog->paths = NULL;
    catalog->job = NULL;
    catalog->sessions = NULL;
}
