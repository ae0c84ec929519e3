// Group runs: the consecutive data groups of the Comp chain that hold one
// file's data. link_data ties each file to the first group of its run; every
// later reader of the run (the listing, skip_file, the space check of a
// disk set, the extraction) walks it from there with run_first/run_next.
//
// A run is continuation groups (IS_LAST 0) closed by one group whose IS_LAST
// is not 0. Which nonzero values close it is the one point where the
// readers differ, and the walk takes it as a parameter:
//   RUN_CLOSES_ON_ONE      link_data, which cuts the chain into runs: only
//                          IS_LAST 1 closes a run. A group with any other
//                          nonzero value ends the run before it, unconsumed,
//                          and the next file's run begins with it.
//   RUN_CLOSES_ON_NONZERO  every reader after linking: any nonzero IS_LAST
//                          is the run's closing group.
// Either way the run also ends with the chain.
#ifndef CATALOG_GROUP_RUN_H
#define CATALOG_GROUP_RUN_H

#include <stdint.h>

#include "catalog/catalog.h"

enum RunClose { RUN_CLOSES_ON_NONZERO, RUN_CLOSES_ON_ONE };

// Whether a group of a run closes it: any nonzero IS_LAST, under either
// rule (link_data's rule only keeps other nonzero values out of its runs).
static inline bool closes_run(const CompRecord* group) {
    return group->IS_LAST != 0;
}

// The first group of the run that begins at `first`; null when the run is
// empty (no group, or a group the rule leaves outside every run).
const CompRecord* run_first(const CompRecord* first, RunClose close);

// The group after `group` in its run; null when `group` closed the run or
// the run ends before the next group.
const CompRecord* run_next(const CompRecord* group, RunClose close);

// A file's bytes in the data stream, modulo 2^32: the COMPSIZE of every
// group of its run, or its stored length when it has no run.
uint32_t stream_bytes(const FileRecord* file);

// How far the stream position moves over a file that is stepped over:
// stream_bytes as a signed 32-bit value (a group of -5 lowers it, a long
// run wraps, as link_data and find_first_whole_file count), and nothing
// when that is 0 or less, so the position only ever moves forward.
int32_t stream_step(const FileRecord* file);

#endif
