// libFuzzer target: unbak over one backup image, in every mode (replay.h).
#include <stdio.h>
#include <stdlib.h>

#include "fuzz/replay.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!replay_init(replay_default_base())) {
        fprintf(stderr, "fuzz_unbak: cannot create the scratch directory\n");
        abort();
    }
    atexit(replay_done);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bad = replay_unbak(data, size);
    if (!bad.empty()) {
        fprintf(stderr, "fuzz_unbak: %s\n", bad.c_str());
        abort();
    }
    return 0;
}
