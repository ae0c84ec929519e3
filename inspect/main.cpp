// dbfscan: lists the field definitions and records of one catalog table
// file. The whole run lives in dbfscan_main (inspect/dbfscan.cpp).
#include "inspect/dbfscan.h"

int main(int argc, char** argv) {
    return dbfscan_main(argc, argv);
}
