// bak's main: the whole run is bak_main (check/bak_main.cpp).
#include "check/bak.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    // A restore that meets `ulimit -f` goes on past the file that met it.
    plat_keep_running_past_file_limit();
    return bak_main(argc, argv);
}
