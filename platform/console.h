// OS layer, console side: what a program needs of its standard streams
// beyond printf. bakcheck uses it to show a progress line only on a
// terminal, and to silence standard output while the shared catalog layers
// run, which print unbak's messages there (its report says what went wrong
// in its own words).
#ifndef PLATFORM_CONSOLE_H
#define PLATFORM_CONSOLE_H

// True when standard error is a terminal.
bool plat_stderr_is_terminal(void);

// Sends standard output to the null device until plat_stdout_unmute; what
// was printed before is flushed first. Gives back a token for
// plat_stdout_unmute, or -1 when the output could not be redirected (it
// then stays as it was).
int plat_stdout_mute(void);
// Flushes what was printed meanwhile (to the null device) and gives standard
// output back; a token of -1 does nothing.
void plat_stdout_unmute(int token);

#endif
