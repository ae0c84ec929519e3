// unbak's words for the engine's events: the reporter that prints each
// event of the container and catalog layers as the exact text unbak has
// always printed, on stdout, at the moment the event comes.
#ifndef RESTORE_UNBAK_WORDS_H
#define RESTORE_UNBAK_WORDS_H

#include <stdint.h>

#include "container/report.h"

// What a run's reporter remembers of the events it printed: whether
// anything was not restored as recorded (a file skipped for its name, a
// length or checksum warning, metadata not set, or a table count that
// disagrees while the tables are located).
struct UnbakTally {
    bool locating;          // set by the front end around the region search
    bool not_as_recorded;
};

// Prints the event's text on stdout; an event unbak has no words for
// prints nothing. ctx: an UnbakTally to keep, or null.
void unbak_print_event(void* ctx, const Event* ev);

// The Reporter of an unbak run, and of tests that want unbak's text.
extern const Reporter UNBAK_REPORTER;

// True when unbak has words for the code.
bool unbak_has_words(int32_t code);

#endif
