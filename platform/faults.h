// Fault injection in the OS layer, for the tests: the Nth call of one kind
// fails, as the OS would have failed it, and the code above must cope.
//
// Only a build with UNBAK_FAULTS (cmake/faults.cmake: the fault sweep's own
// copy of the platform code) has the switch. The plat_* functions ask it
// first through PLAT_FAULT or PLAT_FAULT_COUNT; without UNBAK_FAULTS both
// are constants and the hooks vanish, so the programs carry none of this.
//
// Heap allocations are counted and failed without touching the code that
// makes them: a program linked with faults.cpp is linked with
// -Wl,--wrap=malloc,... (cmake/faults.cmake), which sends every call of
// malloc, calloc, realloc and free in our objects, and of zlib's
// inflateInit2, through the wrappers in faults.cpp.
#ifndef PLATFORM_FAULTS_H
#define PLATFORM_FAULTS_H

#include <stdint.h>

enum FaultKind {
    FAULT_OPEN,          // plat_open_read, plat_create(_catalog_path): -1, nothing opened
    FAULT_READ,          // plat_read: FAULT_HALF of the bytes asked for, or FAULT_EMPTY: 0
    FAULT_WRITE,         // plat_write: FAULT_HALF of the bytes written, or FAULT_EMPTY: -1
    FAULT_SEEK,          // plat_seek: FAULT_ASTRAY, one byte beyond the target (a seek
                         // to the end or a query of the position fails), or FAULT_FAILS
    FAULT_CLOSE,         // plat_close: the handle is closed all the same, but -1
    FAULT_STAT,          // plat_path_status, plat_same_file: the stat fails
    FAULT_MKDIR,         // plat_mkdir: -1
    FAULT_SET_TIMES,     // plat_set_times: -1
    FAULT_SET_WRITABLE,  // plat_set_writable: -1
    FAULT_ALLOC,         // malloc, calloc, realloc: null; inflateInit2: Z_MEM_ERROR
    FAULT_KIND_COUNT
};

// How a call fails: kinds with one way use FAULT_FAILS.
enum FaultWay {
    FAULT_NONE = 0,
    FAULT_FAILS = 1,
    FAULT_HALF = 1,
    FAULT_ASTRAY = 2,
    FAULT_EMPTY = 2,
};

#ifdef UNBAK_FAULTS

// Counts a call of the kind; the way it is to fail, or FAULT_NONE. site is
// the address the plat_* function (or malloc) was called from.
int fault_strikes(FaultKind kind, void* site);
// The count a read or write of n bytes goes on with: n, or what the failing
// call does instead (half of n; 0 for a read that gets nothing, -1 for a
// write that fails outright).
int32_t fault_count(FaultKind kind, int32_t n, void* site);

// Used at the top of a plat_* function, so the return address is its
// caller's.
#define PLAT_FAULT(kind) fault_strikes(kind, __builtin_return_address(0))
#define PLAT_FAULT_COUNT(kind, n) fault_count(kind, n, __builtin_return_address(0))

// ---- for the driver of the sweep ---------------------------------------------------

// From now on counts the calls of every kind from 0 and fails the nth call
// of `kind` (from 1) in the way given; nth 0 only counts.
void faults_arm(FaultKind kind, int way, int32_t nth);
// Stops counting and failing.
void faults_disarm(void);
// Calls of the kind since faults_arm.
int32_t faults_calls(FaultKind kind);
// Whether the armed failure has happened, and the code address the failing
// call was made from.
bool faults_struck(void);
void* faults_strike_site(void);
// Called at the moment of the failure, before the failing call returns
// (the driver notes how much output came before it). Null: nothing.
void faults_on_strike(void (*fn)(void));
// Heap blocks our code has allocated and not freed.
int64_t faults_live_blocks(void);

#else

#define PLAT_FAULT(kind) FAULT_NONE
#define PLAT_FAULT_COUNT(kind, n) (n)

#endif

#endif
