// Win32 implementation of the console calls (see console.h), on the C
// runtime's descriptor calls.
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

bool plat_stderr_is_terminal(void) { return _isatty(_fileno(stderr)) != 0; }

int plat_stdout_mute(void) {
    fflush(stdout);
    int out = _fileno(stdout);
    int saved = _dup(out);
    if (saved < 0) return -1;
    int null_fd = _open("NUL", _O_WRONLY);
    if (null_fd < 0 || _dup2(null_fd, out) != 0) {
        if (null_fd >= 0) _close(null_fd);
        _close(saved);
        return -1;
    }
    _close(null_fd);
    return saved;
}

void plat_stdout_unmute(int token) {
    if (token < 0) return;
    fflush(stdout);
    _dup2(token, _fileno(stdout));
    _close(token);
}
