// POSIX implementation of the thread calls (see threads.h), on pthreads.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "platform/threads.h"

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

struct PlatThread {
    pthread_t id;
    void (*fn)(void*);
    void* arg;
};
struct PlatMutex {
    pthread_mutex_t m;
};
struct PlatCond {
    pthread_cond_t c;
};

static void* run_thread(void* p) {
    PlatThread* t = (PlatThread*)p;
    t->fn(t->arg);
    return NULL;
}

PlatThread* plat_thread_start(void (*fn)(void*), void* arg) {
    PlatThread* t = (PlatThread*)malloc(sizeof *t);
    if (!t) return NULL;
    t->fn = fn;
    t->arg = arg;
    if (pthread_create(&t->id, NULL, run_thread, t) != 0) {
        free(t);
        return NULL;
    }
    return t;
}

void plat_thread_join(PlatThread* t) {
    if (!t) return;
    pthread_join(t->id, NULL);
    free(t);
}

PlatMutex* plat_mutex_new(void) {
    PlatMutex* m = (PlatMutex*)malloc(sizeof *m);
    if (!m) return NULL;
    // Held for a few instructions at a time: a waiter spins a little
    // before it sleeps, which saves a system call on each side.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
    int r = pthread_mutex_init(&m->m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (r != 0) {
        free(m);
        return NULL;
    }
    return m;
}

void plat_mutex_free(PlatMutex* m) {
    if (!m) return;
    pthread_mutex_destroy(&m->m);
    free(m);
}

void plat_mutex_lock(PlatMutex* m) { pthread_mutex_lock(&m->m); }
void plat_mutex_unlock(PlatMutex* m) { pthread_mutex_unlock(&m->m); }

PlatCond* plat_cond_new(void) {
    PlatCond* c = (PlatCond*)malloc(sizeof *c);
    if (c && pthread_cond_init(&c->c, NULL) != 0) {
        free(c);
        return NULL;
    }
    return c;
}

void plat_cond_free(PlatCond* c) {
    if (!c) return;
    pthread_cond_destroy(&c->c);
    free(c);
}

void plat_cond_wait(PlatCond* c, PlatMutex* m) { pthread_cond_wait(&c->c, &m->m); }
void plat_cond_broadcast(PlatCond* c) { pthread_cond_broadcast(&c->c); }
void plat_cond_signal(PlatCond* c) { pthread_cond_signal(&c->c); }

int32_t plat_cpu_count(void) {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
#endif
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int32_t)n : 1;
}

static pthread_mutex_t layer_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

void plat_layer_lock(void) { pthread_mutex_lock(&layer_lock); }
void plat_layer_unlock(void) { pthread_mutex_unlock(&layer_lock); }
