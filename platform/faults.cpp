// The fault switch of the OS layer (see faults.h), and the wrappers that
// count and fail heap allocations. Built only into the fault sweep's copy of
// the platform code, which is linked with -Wl,--wrap=malloc,calloc,realloc
// (and free, to count what is left), and --wrap=inflateInit2_.
#include "platform/faults.h"

#include <stddef.h>

#include <atomic>
#include <mutex>

#include <zlib.h>

namespace {

// Calls are counted from every thread of a run (bak's parallel inflate):
// the counts under a lock, the switch and the heap count atomic.
std::mutex lock;
std::atomic<int64_t> live_blocks{0};
std::atomic<bool> counting{false};
FaultKind armed_kind = FAULT_OPEN;
int armed_way = FAULT_NONE;
int32_t armed_nth = 0;
int32_t calls[FAULT_KIND_COUNT];
bool struck = false;
void* strike_site = nullptr;
void (*strike_hook)(void) = nullptr;

}  // namespace

int fault_strikes(FaultKind kind, void* site) {
    if (!counting) return FAULT_NONE;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!counting) return FAULT_NONE;
        calls[kind]++;
        if (kind != armed_kind || calls[kind] != armed_nth) return FAULT_NONE;
        struck = true;
        strike_site = site;
        // The hook may print or flush: nothing it does is counted.
        counting = false;
    }
    if (strike_hook) strike_hook();
    counting = true;
    return armed_way;
}

int32_t fault_count(FaultKind kind, int32_t n, void* site) {
    switch (fault_strikes(kind, site)) {
    case FAULT_HALF:
        return n / 2;
    case FAULT_EMPTY:
        return kind == FAULT_WRITE ? -1 : 0;
    default:
        return n;
    }
}

void faults_arm(FaultKind kind, int way, int32_t nth) {
    std::lock_guard<std::mutex> hold(lock);
    for (int32_t& c : calls) c = 0;
    armed_kind = kind;
    armed_way = way;
    armed_nth = nth;
    struck = false;
    strike_site = nullptr;
    counting = true;
}

void faults_disarm(void) {
    counting = false;
}

int32_t faults_calls(FaultKind kind) {
    std::lock_guard<std::mutex> hold(lock);
    return calls[kind];
}

bool faults_struck(void) {
    return struck;
}

void* faults_strike_site(void) {
    return strike_site;
}

void faults_on_strike(void (*fn)(void)) {
    strike_hook = fn;
}

int64_t faults_live_blocks(void) {
    return live_blocks;
}

// ---- heap allocations ----------------------------------------------------------------
// The linker turns our objects' calls of malloc into calls of __wrap_malloc,
// and defines __real_malloc as the real one; likewise for the others. Blocks
// are counted as they are handed out and freed, so the sweep can tell a run
// that left one behind.

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);
void __real_free(void* p);
int __real_inflateInit2_(z_streamp strm, int window_bits, const char* version, int stream_size);

void* __wrap_malloc(size_t size) {
    if (fault_strikes(FAULT_ALLOC, __builtin_return_address(0))) return nullptr;
    void* p = __real_malloc(size);
    if (p) live_blocks++;
    return p;
}

void* __wrap_calloc(size_t count, size_t size) {
    if (fault_strikes(FAULT_ALLOC, __builtin_return_address(0))) return nullptr;
    void* p = __real_calloc(count, size);
    if (p) live_blocks++;
    return p;
}

// A failed realloc leaves the block as it was.
void* __wrap_realloc(void* p, size_t size) {
    if (fault_strikes(FAULT_ALLOC, __builtin_return_address(0))) return nullptr;
    void* q = __real_realloc(p, size);
    if (!p && q) live_blocks++;
    if (p && !q && size == 0) live_blocks--;  // freed
    return q;
}

void __wrap_free(void* p) {
    if (p) live_blocks--;
    __real_free(p);
}

// zlib allocates its inflate state here, with the default allocator inside
// the zlib library, where the wrappers above do not reach.
int __wrap_inflateInit2_(z_streamp strm, int window_bits, const char* version, int stream_size) {
    if (fault_strikes(FAULT_ALLOC, __builtin_return_address(0))) return Z_MEM_ERROR;
    return __real_inflateInit2_(strm, window_bits, version, stream_size);
}
}
