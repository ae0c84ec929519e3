// POSIX implementation of the console calls (see console.h).
#include "platform/console.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

bool plat_stderr_is_terminal(void) { return isatty(STDERR_FILENO) == 1; }

int plat_stdout_mute(void) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved < 0) return -1;
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        if (null_fd >= 0) close(null_fd);
        close(saved);
        return -1;
    }
    close(null_fd);
    return saved;
}

void plat_stdout_unmute(int token) {
    if (token < 0) return;
    fflush(stdout);
    dup2(token, STDOUT_FILENO);
    close(token);
}
