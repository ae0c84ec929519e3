// File-to-data linking: ties each file of the Files list to the first data
// group of its run in the Comp chain and totals the size of the data stream.
//
// A compressed backup gives every file its own run of groups: continuation
// groups (IS_LAST 0) closed by one group with IS_LAST 1 (catalog/group_run.h).
// A stored backup has no chain; each file occupies its size_lo bytes of the
// stream.
#include "catalog/catalog.h"
#include "catalog/events.h"
#include "catalog/group_run.h"

// Adds n to the total modulo 2^32, warning when the sum wraps.
static void add_to_total(uint32_t* total, uint32_t n, const Reporter* rep) {
    uint32_t sum = *total + n;
    if (sum < *total) warn(rep, EV_LINK_TOTAL_WRAPPED);
    *total = sum;
}

int32_t link_data(Catalog* catalog, int32_t comp_count) {
    FileRecord* files = catalog->files;
    CompRecord* group = catalog->comp;
    bool compressed = group != nullptr;

    if (!files || !catalog->paths) {
        say(catalog->io.rep, EV_LINK_NOTHING);
        return -1;
    }

    uint32_t total = 0;
    int32_t consumed = 0;
    int32_t nfiles = 0;
    int32_t runs = 0;
    for (FileRecord* file = files; file; file = file->next) {
        if (compressed) {
            // A count of 0 or less leaves nothing to consume from the start.
            if (consumed >= comp_count) {
                warn(catalog->io.rep, EV_LINK_GROUPS_RAN_OUT);
                group = nullptr;
            }
            file->comp = group;
            // Only IS_LAST 1 closes a run here; a group with another nonzero
            // value is left, unconsumed, to begin the next file's run.
            for (const CompRecord* g = run_first(group, RUN_CLOSES_ON_ONE);
                 g && consumed < comp_count; g = run_next(g, RUN_CLOSES_ON_ONE)) {
                add_to_total(&total, (uint32_t)g->COMPSIZE, catalog->io.rep);
                group = g->next;
                consumed++;
                if (g->IS_LAST != 0) runs++;
            }
        } else {
            file->comp = nullptr;
            add_to_total(&total, (uint32_t)file->size_lo, catalog->io.rep);
        }
        nfiles++;
    }

    say(catalog->io.rep, EV_LINKED, {ev_num(nfiles), ev_num(runs), ev_num(total)});
    return nfiles;
}
