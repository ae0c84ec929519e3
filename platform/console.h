// OS layer, console side: what a program needs of its standard streams
// beyond printf. bak uses it to show a progress line only on a terminal,
// and to put a file's bytes (bak cat) and NUL-ended names (bak list -0) on
// standard output unchanged.
#ifndef PLATFORM_CONSOLE_H
#define PLATFORM_CONSOLE_H

// True when standard error is a terminal.
bool plat_stderr_is_terminal(void);

// Puts standard output in binary mode: no byte is translated on the way
// out (Windows turns "\n" into "\r\n" in text mode; POSIX never does).
void plat_stdout_binary(void);

#endif
