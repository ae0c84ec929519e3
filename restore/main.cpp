// unbak: restores files from the backup images of a legacy disk-backup
// product. The whole run lives in unbak_main (restore/frontend.cpp).
#include <stdio.h>

#include "platform/platform.h"
#include "restore/restore.h"

// The status of a run that failed for a reason other than the table reads.
enum { RUN_FAILED = 8, RUN_NOT_AS_RECORDED = 9 };

int main(int argc, char** argv) {
    plat_keep_running_past_file_limit();
    int status = unbak_main(argc, argv);
    // Output that never arrived (a full disk behind a redirect) is a
    // failure the text itself cannot tell.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("unbak: error writing standard output\n", stderr);
        if (status == 0 || status == RUN_NOT_AS_RECORDED) status = RUN_FAILED;
    }
    return status;
}
