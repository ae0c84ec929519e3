// unbak's side of the disk dialogue: the engine's questions (restore.h's
// Dialogue) asked on stdout and answered on stdin, in the words unbak has
// always used.
//
// Standard input may be a script; its end counts as an empty image name at
// the disk prompt and as the answer A at the choice, so a closed input never
// makes us ask forever. Before every read, stdout and every output file are
// flushed: once a prompt shows, what was restored is on disk, whatever the
// user does next.
#ifndef RESTORE_UNBAK_DIALOGUE_H
#define RESTORE_UNBAK_DIALOGUE_H

#include "restore/restore.h"

// The console Dialogue (ctx is not used).
extern const Dialogue UNBAK_DIALOGUE;

// Reads one answer line: its first character, upper-cased; EOF when the
// input has ended.
int read_reply(void);
// Prompts "enter char: " and reads until one of allowed is given (letter
// case ignored): its index. At the end of input the answer is A (-1 when
// A is not allowed).
int get_choice(const char* allowed);

#endif
