// bakcheck's main: the whole run is bakcheck_main (check/bakcheck.cpp).
#include <stdio.h>

#include "check/bakcheck.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    plat_keep_running_past_file_limit();
    int status = bakcheck_main(argc, argv);
    // A report that never arrived is a failure the report cannot tell.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("bakcheck: error writing standard output\n", stderr);
        status = BAKCHECK_UNREADABLE;
    }
    return status;
}
