// libFuzzer target: dbfscan over one table file, with and without -d
// (replay.h).
#include <stdio.h>
#include <stdlib.h>

#include "fuzz/replay.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!replay_init(replay_default_base())) {
        fprintf(stderr, "fuzz_dbfscan: cannot create the scratch directory\n");
        abort();
    }
    atexit(replay_done);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bad = replay_dbfscan(data, size);
    if (!bad.empty()) {
        fprintf(stderr, "fuzz_dbfscan: %s\n", bad.c_str());
        abort();
    }
    return 0;
}
