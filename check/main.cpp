// bakcheck's main: the whole run is bakcheck_main (check/bakcheck.cpp).
#include "check/bakcheck.h"

int main(int argc, char** argv) { return bakcheck_main(argc, argv); }
