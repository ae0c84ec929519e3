// dbfscan, the table inspector: its whole run as an in-process entry point.
#ifndef INSPECT_DBFSCAN_H
#define INSPECT_DBFSCAN_H

// Parses argv as the program does, inspects at most one table file and gives
// back the exit status. Keeps no state between calls, so it may be called
// repeatedly (tests, fuzzing).
int dbfscan_main(int argc, char** argv);

#endif
