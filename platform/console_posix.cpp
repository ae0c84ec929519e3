// POSIX implementation of the console calls (see console.h).
#include "platform/console.h"

#include <unistd.h>

bool plat_stderr_is_terminal(void) { return isatty(STDERR_FILENO) == 1; }

void plat_stdout_binary(void) {}
