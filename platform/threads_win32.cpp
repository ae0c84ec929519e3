// Win32 implementation of the thread calls (see threads.h): CreateThread,
// slim reader/writer locks and condition variables; the layer's lock is a
// critical section (recursive by nature).
#include "platform/threads.h"

#include <stdlib.h>
#include <windows.h>

struct PlatThread {
    HANDLE h;
    void (*fn)(void*);
    void* arg;
};
struct PlatMutex {
    SRWLOCK lock;
};
struct PlatCond {
    CONDITION_VARIABLE cv;
};

static DWORD WINAPI run_thread(LPVOID p) {
    PlatThread* t = (PlatThread*)p;
    t->fn(t->arg);
    return 0;
}

PlatThread* plat_thread_start(void (*fn)(void*), void* arg) {
    PlatThread* t = (PlatThread*)malloc(sizeof *t);
    if (!t) return NULL;
    t->fn = fn;
    t->arg = arg;
    t->h = CreateThread(NULL, 0, run_thread, t, 0, NULL);
    if (!t->h) {
        free(t);
        return NULL;
    }
    return t;
}

void plat_thread_join(PlatThread* t) {
    if (!t) return;
    WaitForSingleObject(t->h, INFINITE);
    CloseHandle(t->h);
    free(t);
}

PlatMutex* plat_mutex_new(void) {
    PlatMutex* m = (PlatMutex*)malloc(sizeof *m);
    if (m) InitializeSRWLock(&m->lock);
    return m;
}
void plat_mutex_free(PlatMutex* m) { free(m); }
void plat_mutex_lock(PlatMutex* m) { AcquireSRWLockExclusive(&m->lock); }
void plat_mutex_unlock(PlatMutex* m) { ReleaseSRWLockExclusive(&m->lock); }

PlatCond* plat_cond_new(void) {
    PlatCond* c = (PlatCond*)malloc(sizeof *c);
    if (c) InitializeConditionVariable(&c->cv);
    return c;
}
void plat_cond_free(PlatCond* c) { free(c); }
void plat_cond_wait(PlatCond* c, PlatMutex* m) {
    SleepConditionVariableSRW(&c->cv, &m->lock, INFINITE, 0);
}
void plat_cond_broadcast(PlatCond* c) { WakeAllConditionVariable(&c->cv); }
void plat_cond_signal(PlatCond* c) { WakeConditionVariable(&c->cv); }

int32_t plat_cpu_count(void) {
    DWORD_PTR mine, system;
    if (GetProcessAffinityMask(GetCurrentProcess(), &mine, &system) && mine) {
        int32_t n = 0;
        for (; mine; mine &= mine - 1) n++;
        return n;
    }
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors > 0 ? (int32_t)si.dwNumberOfProcessors : 1;
}

// Made on first use: INIT_ONCE keeps two first users from both making it.
static CRITICAL_SECTION layer_cs;
static INIT_ONCE layer_once = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK init_layer_lock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&layer_cs);
    return TRUE;
}

void plat_layer_lock(void) {
    InitOnceExecuteOnce(&layer_once, init_layer_lock, NULL, NULL);
    EnterCriticalSection(&layer_cs);
}
void plat_layer_unlock(void) { LeaveCriticalSection(&layer_cs); }
