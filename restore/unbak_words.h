// unbak's words for the engine's events: the reporter that prints each
// event of the container and catalog layers as the exact text unbak has
// always printed, on stdout, at the moment the event comes.
#ifndef RESTORE_UNBAK_WORDS_H
#define RESTORE_UNBAK_WORDS_H

#include <stdint.h>

#include "container/report.h"

// Prints the event's text on stdout; an event unbak has no words for
// prints nothing. ctx is not used.
void unbak_print_event(void* ctx, const Event* ev);

// The Reporter of an unbak run, and of tests that want unbak's text.
extern const Reporter UNBAK_REPORTER;

// True when unbak has words for the code.
bool unbak_has_words(int32_t code);

#endif
