// OS layer, threads: what bak's parallel inflate needs of the system, and
// no more. A thread runs one function to its end and is joined; a mutex and
// a condition variable guard and signal the state the threads share; the
// processor count says how many threads are worth starting.
//
// The file and path calls of platform.h may be made from any thread: the
// layer serialises them with a lock of its own (see plat_layer_lock).
#ifndef PLATFORM_THREADS_H
#define PLATFORM_THREADS_H

#include <stdint.h>

struct PlatThread;
struct PlatMutex;
struct PlatCond;

// Starts fn(arg) on a thread of its own; null when it cannot be started.
PlatThread* plat_thread_start(void (*fn)(void*), void* arg);
// Waits for the thread's function to return, and frees the thread.
void plat_thread_join(PlatThread* t);

// Null when there is no memory for one.
PlatMutex* plat_mutex_new(void);
void plat_mutex_free(PlatMutex* m);
void plat_mutex_lock(PlatMutex* m);
void plat_mutex_unlock(PlatMutex* m);

PlatCond* plat_cond_new(void);
void plat_cond_free(PlatCond* c);
// Releases m while waiting, holds it again on return; may return early, so
// the waiter tests its condition in a loop.
void plat_cond_wait(PlatCond* c, PlatMutex* m);
void plat_cond_broadcast(PlatCond* c);
// Wakes one waiter, if any.
void plat_cond_signal(PlatCond* c);

// The processors this process may run on (at least 1).
int32_t plat_cpu_count(void);

// The layer's own lock, held by each file and path call for its length
// (recursive: a call may make another). Exposed for the layer's files.
void plat_layer_lock(void);
void plat_layer_unlock(void);

#ifdef __cplusplus
// Holds the layer's lock for a scope.
struct PlatLayerGuard {
    PlatLayerGuard() { plat_layer_lock(); }
    ~PlatLayerGuard() { plat_layer_unlock(); }
    PlatLayerGuard(const PlatLayerGuard&) = delete;
    PlatLayerGuard& operator=(const PlatLayerGuard&) = delete;
};
#endif

#endif
