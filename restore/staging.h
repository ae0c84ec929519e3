// Whole-group inflation into a staging buffer: the fast way of restoring a
// level 4 group (restore/extract.cpp decides when it may be taken and writes
// what it gives back).
//
// A run keeps one Staging: cleared at its start (the fast path on, nothing
// made yet), released at its end with staging_release.
#ifndef RESTORE_STAGING_H
#define RESTORE_STAGING_H

#include <stdint.h>

struct libdeflate_decompressor;

enum {
    // Largest ORGSIZE inflated whole; bigger groups take the 1024-byte way.
    STAGING_MAX = 16 * 1024 * 1024,
};

struct Staging {
    // Every group takes the 1024-byte way: the fast path off, for tests that
    // compare the two ways.
    bool exact_only;
    // The staging buffer, kept between groups and grown to the largest
    // ORGSIZE staged (at most STAGING_MAX), and libdeflate's decompressor,
    // made at the first group (unused without libdeflate).
    unsigned char* buf;
    int32_t cap;
    libdeflate_decompressor* decompressor;
};

// Inflates the raw deflate stream in data[0, length) in one call into the
// staging buffer and gives back that buffer when the stream ended after
// exactly org_size bytes whose CRC-32 plus chk_sum is 0xFFFFFFFF; anything
// else (including an org_size outside 1 to STAGING_MAX, no memory for the
// buffer, or the fast path off) gives back null and leaves nothing behind.
// The buffer holds the bytes until the next call.
const unsigned char* stage_group(Staging* st, const unsigned char* data, int32_t length,
                                 int32_t org_size, uint32_t chk_sum);

// Frees the buffer and the decompressor; the Staging is as cleared again,
// its switch kept.
void staging_release(Staging* st);

#endif
