// Win32 implementation of the console calls (see console.h), on the C
// runtime's descriptor calls.
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

bool plat_stderr_is_terminal(void) { return _isatty(_fileno(stderr)) != 0; }

void plat_stdout_binary(void) {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}
