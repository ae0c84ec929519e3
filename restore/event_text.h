// unbak's words for the engine's events: a printf format per event code,
// filled in from the event's values in order (numbers for the integer
// conversions, texts for %s). Part of unbak's front end, which alone
// prints; other front ends choose their own words.
#ifndef RESTORE_EVENT_TEXT_H
#define RESTORE_EVENT_TEXT_H

#include <stdio.h>

#include "container/report.h"

// Writes fmt to out with each conversion taking the event's next value.
// Integer conversions with the l length print the value as the 32-bit long
// of the original program ("%ld" of 0x80000000 is -2147483648, "%lx" of -1
// is ffffffff); without a length, as int. A missing value prints as 0 or
// the empty text. A '*' for a width or precision takes the next value, as
// printf's does.
void put_event_text(FILE* out, const char* fmt, const Event* ev);

#endif
