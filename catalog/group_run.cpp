// The walk over a file's group run (see group_run.h for the two rules).
#include "catalog/group_run.h"

#include "container/fields.h"

// Whether a group reached in a run's walk belongs to the run.
static bool in_run(const CompRecord* group, RunClose close) {
    if (close == RUN_CLOSES_ON_NONZERO) return true;
    return group->IS_LAST == 0 || group->IS_LAST == 1;
}

const CompRecord* run_first(const CompRecord* first, RunClose close) {
    return first && in_run(first, close) ? first : nullptr;
}

const CompRecord* run_next(const CompRecord* group, RunClose close) {
    if (closes_run(group)) return nullptr;
    return run_first(group->next, close);
}

int32_t stream_step(const FileRecord* file) {
    int32_t n = to_i32(stream_bytes(file));
    return n > 0 ? n : 0;
}

uint32_t stream_bytes(const FileRecord* file) {
    if (!file->comp) return (uint32_t)file->size_lo;
    uint32_t total = 0;
    for (const CompRecord* g = run_first(file->comp, RUN_CLOSES_ON_NONZERO); g;
         g = run_next(g, RUN_CLOSES_ON_NONZERO))
        total += (uint32_t)g->COMPSIZE;
    return total;
}
