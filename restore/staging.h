// Whole-group inflation into a staging buffer: the fast way of restoring a
// level 4 group (restore/extract.cpp decides when it may be taken and writes
// what it gives back).
#ifndef RESTORE_STAGING_H
#define RESTORE_STAGING_H

#include <stdint.h>

enum {
    // Largest ORGSIZE inflated whole; bigger groups take the 1024-byte way.
    STAGING_MAX = 16 * 1024 * 1024,
};

// Inflates the raw deflate stream in data[0, length) in one call into the
// staging buffer and gives back that buffer when the stream ended after
// exactly org_size bytes whose CRC-32 plus chk_sum is 0xFFFFFFFF; anything
// else (including an org_size outside 1 to STAGING_MAX, or the fast path
// switched off) gives back null and leaves nothing behind. The buffer holds
// the bytes until the next call.
const unsigned char* stage_group(const unsigned char* data, int32_t length, int32_t org_size,
                                 uint32_t chk_sum);

// Turns the fast path off (every group then takes the 1024-byte way) and on
// again; it is on from the start. For tests that compare the two ways.
void set_fast_inflate(bool on);

#endif
