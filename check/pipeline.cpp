// The data walk on threads: one reader, N workers, one writer (-j N).
//
// Groups are independent deflate streams with known sizes and checksums, so
// they can be inflated in any order; only the reading (images and disk
// changes, one after the other) and the output (each file's bytes in order)
// must keep to the stream. The reader runs produce_file over the files in
// the order the command will ask for them and fills steps (walk.h); the
// workers take the filled steps in order of their numbers, each as soon as
// one is free, and judge them; the writer (the command's own thread, in
// check_file) applies them strictly in order. Results are the same as on
// one thread because every step is made and applied by the same code; only
// the judging, which touches nothing but its step, moves.
//
// Memory is bounded by the ring of steps: 2N + 2 of them, and as many more
// as 4 MiB holds at the largest group's size (extra_steps), each holding
// one group's bytes and what it inflates to, reused from group to group; a
// group that inflates beyond its ORGSIZE is judged by the writer, in place.
// A group larger than STAGING_MAX goes alone: the reader waits until every
// step before it is applied, and reads on only once it is. The writer
// judges steps too whenever it would otherwise wait, so N threads inflate:
// N - 1 workers and the writer.
//
// The reader thread and the writer share the Placement when the writer
// reads a file the reader does not have (the command asked for a file out
// of order): the stream lock keeps their reads apart. Every OS call is made
// under the OS layer's own lock, so both may make them.
#include "check/walk.h"

#include <algorithm>
#include <vector>

#include "catalog/group_run.h"
#include "check/bak.h"
#include "platform/threads.h"

namespace {

enum { SLOT_FREE, SLOT_READ, SLOT_WORKING, SLOT_DONE };
enum : int64_t {
    RING_EXTRA_BYTES = 3 * 1024 * 1024,
    RING_EXTRA_MAX = 64,
    STORED_STEP = 256 * 1024,  // a piece of stored data (verify.cpp)
};
enum { WAKE_READER = 1, WAKE_WORKER = 2, WAKE_WORKERS = 4, WAKE_WRITER = 8 };

}  // namespace

struct Pipeline {
    Bak* bak;
    std::vector<const BakFile*> files;
    std::vector<int32_t> place;   // by catalog index: the file's place in files, -1 when none
    std::vector<Step> slots;
    std::vector<int32_t> state;   // SLOT_*
    int64_t next_read;            // the number of the next step the reader fills
    int64_t next_work;            // of the next step a worker takes
    int64_t next_apply;           // of the next step the writer applies
    int64_t alone;                // a big step's number: nothing more is read until it is applied
    bool taking_big;              // the reader's step being filled is a big one
    bool next_free;               // the reader's: the next step is free to fill (seen when the
                                  // last was given), so taking it needs no lock
    Step* applied;                // the writer's: a step applied, freed at its next call
    bool reader_done;
    bool cancel;
    PlatMutex* lock;
    // Each side waits on its own condition, and is woken only when it
    // waits: a wake-up is a system call, and there are several a group.
    PlatCond* room;               // the reader's: a step applied
    PlatCond* work;               // the workers': a step read
    PlatCond* done;               // the writer's: the step it waits for judged
    int32_t reader_waits, workers_waiting;
    bool writer_waits;
    int32_t wakes;                // WAKE_*: to be done once the lock is let go
    PlatMutex* stream;            // the Placement's reads
    PlatThread* reader;
    std::vector<PlatThread*> workers;
    bool bytes_wanted;            // false: groups inflate into each thread's own buffer
    Staging writer_staging;       // the writer's, when it judges
};

namespace {

Step* slot_of(Pipeline* p, int64_t seq) {
    return &p->slots[(size_t)(seq % (int64_t)p->slots.size())];
}

int32_t& state_of(Pipeline* p, int64_t seq) {
    return p->state[(size_t)(seq % (int64_t)p->slots.size())];
}

// Wakers, called with the lock held; the wake-ups themselves are made
// once it is let go (unlock), so the thread woken does not at once wait for
// the lock. The reader and the writer are woken with half the ring to go
// at (free steps to fill, judged steps to apply), not for each step: each
// then does several steps a wake-up. The writer is woken for fewer when
// nothing more can come (the reader waits for room, or has read
// everything).
void do_wakes(Pipeline* p, int32_t w) {
    if (w & WAKE_READER) plat_cond_broadcast(p->room);
    if (w & WAKE_WORKERS) plat_cond_broadcast(p->work);
    else if (w & WAKE_WORKER) plat_cond_signal(p->work);
    if (w & WAKE_WRITER) plat_cond_broadcast(p->done);
}
void unlock(Pipeline* p) {
    int32_t w = p->wakes;
    p->wakes = 0;
    plat_mutex_unlock(p->lock);
    do_wakes(p, w);
}
// Before waiting: the wake-ups due cannot wait for the lock to be let go.
void wait_on(Pipeline* p, PlatCond* c) {
    do_wakes(p, p->wakes);
    p->wakes = 0;
    plat_cond_wait(c, p->lock);
}
void wake_reader(Pipeline* p) {
    int64_t ring = (int64_t)p->slots.size();
    int64_t free_steps = ring - (p->next_read - p->next_apply);
    // Sooner when the inflating threads are about to run out of steps.
    int64_t unjudged = p->next_read - p->next_work;
    if (p->reader_waits && free_steps > 0 &&
        (free_steps >= (ring + 1) / 2 || unjudged <= (int64_t)p->workers.size()))
        p->wakes |= WAKE_READER;
}
void wake_workers(Pipeline* p) {
    if (p->workers_waiting) p->wakes |= WAKE_WORKERS;
}
void wake_writer(Pipeline* p) {
    if (!p->writer_waits || p->next_apply >= p->next_read ||
        state_of(p, p->next_apply) != SLOT_DONE)
        return;
    int64_t ready = 1, half = ((int64_t)p->slots.size() + 1) / 2;
    while (ready < half && p->next_apply + ready < p->next_read &&
           state_of(p, p->next_apply + ready) == SLOT_DONE)
        ready++;
    if (ready >= half || p->reader_waits || p->reader_done) p->wakes |= WAKE_WRITER;
}
void wake_all(Pipeline* p) {
    plat_cond_broadcast(p->room);
    plat_cond_broadcast(p->work);
    plat_cond_broadcast(p->done);
}

// Frees the step the writer applied last; with the lock held.
void free_applied(Pipeline* p) {
    Step* s = p->applied;
    if (!s) return;
    p->applied = nullptr;
    state_of(p, s->seq) = SLOT_FREE;
    trim_step(s);
    p->next_apply++;
    wake_reader(p);
}

Step* reader_take(Producer* pr, bool big) {
    Pipeline* p = (Pipeline*)pr->ctx;
    if (p->next_free && !big) {
        // Only the reader fills a free step, so it is still free.
        p->next_free = false;
        p->taking_big = false;
        return slot_of(p, p->next_read);
    }
    plat_mutex_lock(p->lock);
    for (;;) {
        if (p->cancel) {
            unlock(p);
            return nullptr;
        }
        bool free_slot = state_of(p, p->next_read) == SLOT_FREE;
        bool after_alone = p->next_apply > p->alone;
        bool alone_now = !big || p->next_apply == p->next_read;
        if (free_slot && after_alone && alone_now) break;
        p->reader_waits++;
        // The writer may be waiting for more than there will be.
        wake_writer(p);
        wait_on(p, p->room);
        p->reader_waits--;
    }
    p->taking_big = big;
    Step* s = slot_of(p, p->next_read);
    unlock(p);
    return s;
}

void reader_give(Producer* pr, Step* s) {
    Pipeline* p = (Pipeline*)pr->ctx;
    plat_mutex_lock(p->lock);
    s->seq = p->next_read;
    if (p->taking_big) p->alone = p->next_read;
    state_of(p, p->next_read) = SLOT_READ;
    p->next_read++;
    if (p->workers_waiting) p->wakes |= WAKE_WORKER;
    // A waiting writer judges steps too.
    else if (p->writer_waits) p->wakes |= WAKE_WRITER;
    p->next_free = !p->cancel && state_of(p, p->next_read) == SLOT_FREE && p->next_apply > p->alone;
    unlock(p);
}

void reader_main(void* arg) {
    Pipeline* p = (Pipeline*)arg;
    Producer pr = {p->bak, 0, reader_take, reader_give, p};
    for (size_t i = 0; i < p->files.size(); i++) {
        pr.file = (int32_t)i;
        if (!produce_file(&pr, p->files[i])) break;
    }
    plat_mutex_lock(p->lock);
    p->reader_done = true;
    wake_workers(p);
    // A writer waiting for more than there is must learn there is no more.
    if (p->writer_waits) p->wakes |= WAKE_WRITER;
    unlock(p);
}

void worker_main(void* arg) {
    Pipeline* p = (Pipeline*)arg;
    Staging own = {};
    own.exact_only = p->bak->scratch.staging.exact_only;
    Staging* scratch = p->bytes_wanted ? nullptr : &own;
    plat_mutex_lock(p->lock);
    for (;;) {
        while (!p->cancel && p->next_work >= p->next_read && !p->reader_done) {
            p->workers_waiting++;
            // Out of steps: the reader, if it waits for room, goes on now.
            if (p->reader_waits && (int64_t)p->slots.size() > p->next_read - p->next_apply)
                p->wakes |= WAKE_READER;
            wait_on(p, p->work);
            p->workers_waiting--;
        }
        if (p->cancel || p->next_work >= p->next_read) break;
        int64_t seq = p->next_work++;
        state_of(p, seq) = SLOT_WORKING;
        Step* s = slot_of(p, seq);
        unlock(p);
        judge_step(s, true, scratch);
        plat_mutex_lock(p->lock);
        state_of(p, seq) = SLOT_DONE;
        wake_writer(p);
    }
    unlock(p);
    staging_release(&own);
}

// Steps beyond 2N + 2, as many as RING_EXTRA_BYTES holds at the largest
// group's size (its bytes, and what it inflates to when the bytes are
// wanted; a piece of stored data):
// a longer ring wakes each side less often, for memory that does not grow
// with the set.
int32_t extra_steps(const Bak* bak, const std::vector<const BakFile*>& files, bool bytes_wanted) {
    int64_t largest = 1;
    for (const BakFile* f : files) {
        if (!f->rec->comp && !bak->set.compressed) largest = std::max<int64_t>(largest, STORED_STEP);
        for (const CompRecord* g = run_first(f->rec->comp, RUN_CLOSES_ON_NONZERO); g;
             g = run_next(g, RUN_CLOSES_ON_NONZERO))
            largest = std::max<int64_t>(largest, std::max<int64_t>(g->COMPSIZE, 0) +
                                                     (bytes_wanted ? std::max<int64_t>(g->ORGSIZE, 0) : 0));
    }
    return (int32_t)std::min<int64_t>(RING_EXTRA_MAX, RING_EXTRA_BYTES / largest);
}

void free_pipeline(Pipeline* p) {
    for (Step& s : p->slots) release_step(&s);
    staging_release(&p->writer_staging);
    plat_mutex_free(p->lock);
    plat_mutex_free(p->stream);
    plat_cond_free(p->room);
    plat_cond_free(p->work);
    plat_cond_free(p->done);
    delete p;
}

}  // namespace

Pipeline* pipeline_start(Bak* bak, const std::vector<const BakFile*>& files, int32_t threads,
                         bool bytes_wanted) {
    if (threads < 2 || files.empty()) return nullptr;
    Pipeline* p = new Pipeline{};
    p->bak = bak;
    p->bytes_wanted = bytes_wanted;
    p->writer_staging.exact_only = bak->scratch.staging.exact_only;
    p->files = files;
    p->place.assign(bak->set.files.size(), -1);
    for (size_t i = 0; i < files.size(); i++) p->place[(size_t)files[i]->index] = (int32_t)i;
    p->slots.assign((size_t)(2 * threads + 2 + extra_steps(bak, files, bytes_wanted)), Step{});
    for (Step& s : p->slots) s.staging.exact_only = bak->scratch.staging.exact_only;
    p->state.assign(p->slots.size(), SLOT_FREE);
    p->alone = -1;
    p->lock = plat_mutex_new();
    p->stream = plat_mutex_new();
    p->room = plat_cond_new();
    p->work = plat_cond_new();
    p->done = plat_cond_new();
    if (!p->lock || !p->stream || !p->room || !p->work || !p->done) {
        free_pipeline(p);
        return nullptr;
    }
    // Set before the reader starts: its reads take the stream lock.
    bak->pipeline = p;
    p->reader = plat_thread_start(reader_main, p);
    // The writer judges steps too, whenever it would otherwise wait: one
    // worker fewer keeps `threads` inflating.
    for (int32_t i = 0; p->reader && i < threads - 1; i++) {
        PlatThread* t = plat_thread_start(worker_main, p);
        if (!t) break;
        p->workers.push_back(t);
    }
    if (!p->reader || p->workers.empty()) {
        pipeline_stop(p);
        return nullptr;
    }
    return p;
}

void pipeline_stop(Pipeline* p) {
    if (!p) return;
    plat_mutex_lock(p->lock);
    p->cancel = true;
    wake_all(p);
    plat_mutex_unlock(p->lock);
    plat_thread_join(p->reader);
    for (PlatThread* t : p->workers) plat_thread_join(t);
    p->bak->pipeline = nullptr;
    free_pipeline(p);
}

Step* pipeline_next(Pipeline* p, const BakFile* file) {
    int32_t place = file->index >= 0 && (size_t)file->index < p->place.size()
                        ? p->place[(size_t)file->index]
                        : -1;
    if (place < 0) return nullptr;
    plat_mutex_lock(p->lock);
    free_applied(p);
    for (;;) {
        while (!(p->next_apply < p->next_read && state_of(p, p->next_apply) == SLOT_DONE)) {
            if (p->reader_done && p->next_apply == p->next_read) {
                unlock(p);
                return nullptr;
            }
            if (p->next_work < p->next_read) {
                // A step no worker has taken yet: the writer judges it
                // rather than wait.
                int64_t seq = p->next_work++;
                state_of(p, seq) = SLOT_WORKING;
                Step* w = slot_of(p, seq);
                unlock(p);
                judge_step(w, true, p->bytes_wanted ? nullptr : &p->writer_staging);
                plat_mutex_lock(p->lock);
                state_of(p, seq) = SLOT_DONE;
                continue;
            }
            p->writer_waits = true;
            wait_on(p, p->done);
            p->writer_waits = false;
        }
        Step* s = slot_of(p, p->next_apply);
        if (s->file > place) {
            // Its steps are behind: asked for out of order.
            unlock(p);
            return nullptr;
        }
        if (s->file == place) {
            unlock(p);
            return s;
        }
        // A file the command passed over (already present, not to be
        // written): its steps are dropped.
        state_of(p, p->next_apply) = SLOT_FREE;
        trim_step(s);
        p->next_apply++;
        wake_reader(p);
    }
}

void pipeline_done(Pipeline* p, Step* s) {
    // Freed at the writer's next call, with the lock it takes then.
    p->applied = s;
}

int pipeline_stream_read(Bak* bak, int64_t pos, int64_t len, unsigned char* out) {
    Pipeline* p = bak->pipeline;
    if (!p) return stream_read(&bak->set.placement, pos, len, out);
    plat_mutex_lock(p->stream);
    int r = stream_read(&bak->set.placement, pos, len, out);
    plat_mutex_unlock(p->stream);
    return r;
}

void walk_start(Bak* bak, const std::vector<const BakFile*>& files, bool bytes_wanted) {
    int32_t jobs = bak->opt.jobs > 0 ? bak->opt.jobs : plat_cpu_count();
    if (jobs > 1) pipeline_start(bak, files, jobs, bytes_wanted);
}

void walk_stop(Bak* bak) {
    pipeline_stop(bak->pipeline);
}
