// Whole-group inflation into a staging buffer (see staging.h).
//
// With libdeflate (UNBAK_LIBDEFLATE) a group is decompressed by one call
// of libdeflate_deflate_decompress_ex into a buffer of exactly ORGSIZE
// bytes; without it zlib's inflate does the same into ORGSIZE + 1 bytes (the
// extra byte tells a longer stream from one that ends at ORGSIZE). The
// buffer is kept between groups and grows to the largest ORGSIZE staged, at
// most STAGING_MAX; the decompressor is made once. Both are the run's
// (Staging) and live until it releases them.
//
// Why an accepted group restores exactly as raw_inflate restores it: the
// stream was decoded from its first byte through a final block, within the
// group's bytes, into exactly ORGSIZE bytes with the recorded checksum.
// raw_inflate decodes the same stream into the same bytes, a window at a
// time from the first byte on (inflate fills its whole window each call
// while input remains), is done at the end of that final block whatever
// follows it, and its caller then finds the length equal to ORGSIZE and
// the checksum right, so it prints no warning. What can differ is only
// what the exact way does on its own: a longer stream (more output, then
// the length warning), a shorter one, one that does not end (a truncated
// group, for which libdeflate fails where zlib gives Z_BUF_ERROR after
// writing part of it), or a checksum mismatch. None of those is accepted
// here.
//
// The zlib staging below is the very decoder raw_inflate uses, so the two
// ways agree on every stream. libdeflate 1.14 agrees with zlib on every
// stream zlib decodes, but it also decodes some that zlib rejects: a
// dynamic block header with more than 286 literal/length or 30 distance
// codes, or whose code-length repeats run past the codes it announces; in a
// fixed block the literal/length codes 286 and 287 and the distance codes
// 30 and 31; and, in a code of one codeword, the unused other codeword. No
// deflater writes those, but a damaged or crafted group can hold them, and
// when its CHK_SUM then matches what libdeflate makes of it (a damaged
// group whose decoding came out unchanged, or one built for the purpose),
// the group is restored here where raw_inflate would have reported an
// invalid stream and stopped. That is the one way the two paths can be told
// apart with libdeflate; the zlib staging has none.
#include "restore/staging.h"

#include <stdlib.h>

#include <zlib.h>
#ifdef UNBAK_LIBDEFLATE
#include <libdeflate.h>
#endif

// Makes the staging buffer hold at least n bytes. Its contents need not
// survive, so it is replaced rather than grown in place.
static bool staging_room(Staging* st, int32_t n) {
    if (n <= st->cap) return true;
    free(st->buf);
    st->buf = (unsigned char*)malloc((size_t)n);
    st->cap = st->buf ? n : 0;
    return st->buf != nullptr;
}

#ifdef UNBAK_LIBDEFLATE
// Inflates into the staging buffer; true when the stream ended after
// exactly org_size bytes, whose CRC-32 goes to *crc.
static bool inflate_whole(Staging* st, const unsigned char* data, int32_t length,
                          int32_t org_size, uint32_t* crc) {
    if (!st->decompressor) st->decompressor = libdeflate_alloc_decompressor();
    if (!st->decompressor || !staging_room(st, org_size)) return false;
    size_t in_used = 0, out_made = 0;
    enum libdeflate_result r =
        libdeflate_deflate_decompress_ex(st->decompressor, data, (size_t)length, st->buf,
                                         (size_t)org_size, &in_used, &out_made);
    if (r != LIBDEFLATE_SUCCESS || out_made != (size_t)org_size) return false;
    *crc = (uint32_t)libdeflate_crc32(0, st->buf, (size_t)org_size);
    return true;
}
#else
static bool inflate_whole(Staging* st, const unsigned char* data, int32_t length,
                          int32_t org_size, uint32_t* crc) {
    if (!staging_room(st, org_size + 1)) return false;
    z_stream zs;
    zs.next_in = (Bytef*)data;
    zs.avail_in = (uInt)length;
    zs.next_out = st->buf;
    zs.avail_out = (uInt)org_size + 1;
    zs.zalloc = Z_NULL;
    zs.zfree = Z_NULL;
    zs.opaque = Z_NULL;
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    int ret = inflate(&zs, Z_FINISH);
    bool ended = ret == Z_STREAM_END && zs.total_out == (uLong)org_size;
    inflateEnd(&zs);
    if (!ended) return false;
    *crc = (uint32_t)crc32(0L, st->buf, (uInt)org_size);
    return true;
}
#endif

const unsigned char* stage_group(Staging* st, const unsigned char* data, int32_t length,
                                 int32_t org_size, uint32_t chk_sum) {
    if (st->exact_only || length <= 0 || org_size <= 0 || org_size > STAGING_MAX) return nullptr;
    uint32_t crc = 0;
    if (!inflate_whole(st, data, length, org_size, &crc)) return nullptr;
    if (crc + chk_sum != 0xFFFFFFFFu) return nullptr;
    return st->buf;
}

void staging_release(Staging* st) {
    free(st->buf);
    st->buf = nullptr;
    st->cap = 0;
#ifdef UNBAK_LIBDEFLATE
    if (st->decompressor) libdeflate_free_decompressor(st->decompressor);
#endif
    st->decompressor = nullptr;
}
