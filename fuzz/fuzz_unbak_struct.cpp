// libFuzzer hooks of fuzz_unbak_struct: fuzz_unbak's target (fuzz_unbak.cpp)
// with the structure-aware mutator and cross-over of mutator.h in place of
// libFuzzer's own, which the mutator still uses now and then.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/mutator.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    return mutate_image(data, size, max_size, seed, LLVMFuzzerMutate);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1, const uint8_t* data2,
                                            size_t size2, uint8_t* out, size_t max_out_size,
                                            unsigned int seed) {
    return cross_images(data1, size1, data2, size2, out, max_out_size, seed);
}
