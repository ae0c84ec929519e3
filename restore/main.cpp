// unbak: restores files from the backup images of a legacy disk-backup
// product. The whole run lives in unbak_main (restore/frontend.cpp).
#include "restore/restore.h"

int main(int argc, char** argv) {
    return unbak_main(argc, argv);
}
