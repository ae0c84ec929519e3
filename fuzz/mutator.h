// Structure-aware mutation of backup images for fuzz_unbak_struct: an input
// is taken apart as an image (image_model.h), changed at the level of the
// format (header fields, regions, descriptors, records, fields, the group
// chain and the data it describes, the split of a set over disks) and laid
// out again; now and then, and whenever the input does not take apart, the
// byte-level mutator is used instead.
#ifndef FUZZ_MUTATOR_H
#define FUZZ_MUTATOR_H

#include <stddef.h>
#include <stdint.h>

// A byte-level mutator with libFuzzer's contract: changes data[0..size) in
// place, within max_size bytes, and gives back the new size.
typedef size_t (*ByteMutator)(uint8_t* data, size_t size, size_t max_size);

// Mutates data[0..size) in place; the result has at most max_size bytes
// (data has room for that many). seed makes the choice repeatable.
size_t mutate_image(uint8_t* data, size_t size, size_t max_size, unsigned seed, ByteMutator bytes);

// Writes into out (room for max_out bytes) an image made of pieces of a and
// b: a region of one in place of the same table of the other, or the data
// area of one under the catalog of the other. Gives back its size, 0 when
// nothing fitting could be made.
size_t cross_images(const uint8_t* a, size_t na, const uint8_t* b, size_t nb, uint8_t* out, size_t max_out,
                    unsigned seed);

#endif
