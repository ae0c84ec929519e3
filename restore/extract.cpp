// File data extraction: copy a stored file, rebuild a compressed file from
// its run of data groups, or step over a file's data.
//
// All three read the data stream strictly in order from the open image and
// lower the data space left on it by every byte they consume. When the space
// runs out inside a file they change to the next disk image through
// get_disk. The restored bytes and messages are those of a copy and an
// inflate that go 1024 bytes (CHUNK) at a time; the data moves in larger
// pieces where nothing can tell: a stored file is copied through the run's
// large copy buffer, a group is gathered whole into its own buffer before
// it is inflated or written, and that buffer grows only as the group's
// bytes arrive, so a hostile COMPSIZE cannot make us allocate more than the
// media actually holds. A gathered level 4 group is first inflated whole
// (restore/staging.h); only when that is not accepted does raw_inflate run,
// through its own 1024-byte window.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include "container/fields.h"
#include "platform/platform.h"
#include "restore/events.h"
#include "restore/restore.h"
#include "restore/staging.h"

enum {
    // The unit of the copy and inflate loops whose results and messages
    // these keep: a stored file and a group were read a CHUNK at a time.
    CHUNK = 1024,
    // raw_inflate's output window: it inflates and writes at most this many
    // bytes at a time, and a staged group is written in the same pieces.
    INFLATE_WINDOW = 1024,
    // First size of a group buffer; it doubles from here up to the group's
    // size while the group is read.
    GROUP_BUF_START = 64 * 1024,
    // Piece of a stored file's copy, the copy buffer's size: a whole number
    // of CHUNKs, large enough that the OS layer reads and writes it without
    // buffering.
    STORED_PIECE = COPY_BUF_SIZE,
};
static_assert(STORED_PIECE % CHUNK == 0, "a piece is a whole number of CHUNKs");

bool make_extract_buffers(ExtractBuffers* buffers) {
    memset(buffers, 0, sizeof *buffers);
    buffers->copy_buf = (unsigned char*)malloc(COPY_BUF_SIZE);
    return buffers->copy_buf != nullptr;
}

void release_extract_buffers(ExtractBuffers* buffers) {
    free(buffers->copy_buf);
    buffers->copy_buf = nullptr;
    staging_release(&buffers->staging);
}

static bool verbose_on(const Catalog* catalog) {
    return has_option(catalog, OPT_VERBOSE);
}

static const char* name_of(const FileRecord* file) {
    return file->name ? file->name : "";
}

// Closes the exhausted image and opens the next one into *image (-1 when
// none). warn_avail prints the leftover data space when it is not 0 (the
// extracting operations do this, skip_file does not). True when the next
// image came.
static bool change_disk(int* image, Catalog* catalog, int32_t* avail, bool warn_avail) {
    report(catalog->io.rep, EVENT_PROGRESS, EV_DISK_CHANGE);
    plat_close(*image);
    if (warn_avail && *avail != 0) warn(catalog->io.rep, EV_DISK_LEFT_OVER, {ev_num(*avail)});
    catalog->cur_disk = to_i32((uint32_t)catalog->cur_disk + 1u);
    return get_disk(catalog, image, avail) == DISK_READY;
}

RestoreResult skip_file(int* image, Catalog* catalog, const FileRecord* file, int32_t* avail) {
    int32_t count = stream_step(file);

    RestoreResult result = RESTORE_OK;
    while (result == RESTORE_OK && count > 0) {
        if (count <= *avail) {
            *avail -= count;
            int64_t old_pos = plat_seek(*image, 0, PLAT_SEEK_CUR);
            int64_t new_pos = plat_seek(*image, count, PLAT_SEEK_CUR);
            if (old_pos < 0 || new_pos != old_pos + count) {
                say(catalog->io.rep, EV_SKIP_SEEK_FAILED);
                result = RESTORE_SKIP_SEEK_FAILED;
            }
            count = 0;
        } else {
            if (*avail > 0) count -= *avail;
            if (!change_disk(image, catalog, avail, false)) result = RESTORE_NO_NEXT_DISK;
        }
    }
    return result;
}

RestoreResult xtract_stored(int* image, Catalog* catalog, const FileRecord* file, int out,
                            int32_t* avail) {
    int32_t remaining = file->size_lo;
    // The copy goes a piece at a time where a CHUNK at a time would give the
    // same. On one image those CHUNKs start every 1024 bytes from where the
    // file's data on it starts (only the last one before the file's end or
    // the image's end is shorter), and every piece but such a last one is a
    // whole number of them. So when a read comes up short, the CHUNKs that
    // would have been read whole are the whole CHUNKs of what arrived: they
    // are written, and then the failure is reported, as a CHUNK loop would
    // have written them and failed at the next read. A short write leaves
    // what the OS took of the bytes in order, as the same writes in CHUNKs
    // would have.
    unsigned char* piece = catalog->buffers->copy_buf;  // its contents last for one piece
    RestoreResult result = RESTORE_OK;
    while (remaining > 0 && result == RESTORE_OK) {
        int32_t chunk = remaining < STORED_PIECE ? remaining : STORED_PIECE;
        if (*avail <= chunk) chunk = *avail;
        if (chunk > 0) {
            int32_t got = plat_read(*image, piece, chunk);
            int32_t whole = got == chunk ? chunk : got > 0 ? got / CHUNK * CHUNK : 0;
            if ((whole > 0 && plat_write(out, piece, whole) != whole) || got != chunk) {
                say(catalog->io.rep, EV_STORED_IO_ERROR, {ev_text(name_of(file))});
                result = RESTORE_STORED_IO_ERROR;
                break;
            }
            remaining -= chunk;
            *avail -= chunk;
        }
        if (*avail <= 0 && remaining > 0 && !change_disk(image, catalog, avail, true))
            result = RESTORE_NO_NEXT_DISK;
    }
    plat_close(out);
    return result;
}

// What an inflate of a group came to; a failure has been reported.
enum InflateResult {
    INFLATE_DONE,         // the stream ended
    INFLATE_ZLIB_FAILED,  // zlib failed; its result went with the event
    INFLATE_WRITE_SHORT,  // a write of the output came short
};

// Inflates the raw deflate stream in data[0, *length) to out, a window at a
// time, until the stream ends; *length becomes the bytes inflated and *crc
// their CRC-32.
static InflateResult raw_inflate(const Reporter* rep, int out, unsigned char* data,
                                 int32_t* length, uint32_t* crc) {
    *crc = 0;
    unsigned char window[INFLATE_WINDOW];
    z_stream zs;
    zs.next_in = data;
    zs.avail_in = *length > 0 ? (uInt)*length : 0;
    zs.next_out = window;
    zs.avail_out = INFLATE_WINDOW;
    zs.zalloc = Z_NULL;
    zs.zfree = Z_NULL;
    zs.opaque = Z_NULL;
    zs.msg = Z_NULL;

    int ret = inflateInit2(&zs, -15);
    if (ret != Z_OK) {
        say(rep, EV_INFLATE_INIT_FAILED, {ev_num(ret), EventArg{zs.msg, 0}});
        return INFLATE_ZLIB_FAILED;
    }

    int32_t have = 0, put = 0;
    bool short_write = false;
    ret = Z_OK;
    while (ret == Z_OK && !short_write) {
        ret = inflate(&zs, Z_NO_FLUSH);
        have = INFLATE_WINDOW - (int32_t)zs.avail_out;
        zs.next_out = window;
        zs.avail_out = INFLATE_WINDOW;
        *crc = (uint32_t)crc32(*crc, window, (uInt)have);
        if ((ret == Z_OK || ret == Z_STREAM_END) && have > 0) {
            put = plat_write(out, window, have);
            short_write = put != have;
        }
    }
    if (short_write) say(rep, EV_OUTPUT_SHORT_WRITE, {ev_num(put), ev_num(have)});

    // The stream is ended on every path (also the impossible Z_NEED_DICT of
    // a raw stream), so zlib's state is never leaked.
    *length = to_i32((uint32_t)zs.total_out);
    int end = inflateEnd(&zs);
    if (short_write) {
        say(rep, EV_INFLATE_WRITE_FAILED);
        return INFLATE_WRITE_SHORT;
    }
    if (ret == Z_STREAM_END && end != Z_OK) ret = end;
    if (ret == Z_STREAM_END) return INFLATE_DONE;
    say(rep, EV_INFLATE_FAILED, {ev_num(ret), EventArg{zs.msg, 0}});
    return INFLATE_ZLIB_FAILED;
}

// Makes room for need bytes in a group buffer of *cap bytes, doubling it up
// to the group's size. False when the memory cannot be had.
static bool grow_group_buf(unsigned char** buf, int32_t* cap, int32_t need, int32_t size) {
    if (need <= *cap) return true;
    int64_t want = *cap;
    while (want < need) want *= 2;
    if (want > size) want = size;
    unsigned char* p = (unsigned char*)realloc(*buf, (size_t)want);
    if (!p) return false;
    *buf = p;
    *cap = (int32_t)want;
    return true;
}

// Reads the size bytes of one group into a buffer of its own (*group_buf,
// for the caller to free; null when even its first part could not be had),
// across disk changes if need be. Gives back RESTORE_OK,
// RESTORE_GROUP_NO_MEMORY, RESTORE_GROUP_READ_ERROR or RESTORE_NO_NEXT_DISK.
//
// The result and messages are those of reading a CHUNK at a time and
// growing the buffer whenever the next CHUNK does not fit, but the bytes of
// one image are read in as few calls as the buffer's room allows: all of
// them when they fit, else the whole CHUNKs that fit. The buffer grows at
// exactly the points where the CHUNK loop grew it, and no read spans such a
// point, so a failed allocation and a short read are met in the same order.
static RestoreResult gather_group(int* image, Catalog* catalog, const FileRecord* file,
                                  int32_t size, unsigned char** group_buf, int32_t* avail) {
    int32_t cap = size < GROUP_BUF_START ? size : GROUP_BUF_START;
    unsigned char* buf = size < 0 ? nullptr : (unsigned char*)malloc(cap > 0 ? (size_t)cap : 1);
    *group_buf = buf;
    if (!buf) {
        say(catalog->io.rep, EV_GROUP_NO_MEMORY);
        return RESTORE_GROUP_NO_MEMORY;
    }
    RestoreResult result = RESTORE_OK;
    int32_t missing = size, filled = 0;
    while (missing > 0 && result == RESTORE_OK) {
        int32_t here = missing < *avail ? missing : *avail;  // the group's bytes on this image
        if (here > 0) {
            int32_t step = here < CHUNK ? here : CHUNK;      // what the CHUNK loop reads next
            if (!grow_group_buf(&buf, &cap, filled + step, size)) {
                say(catalog->io.rep, EV_GROUP_NO_MEMORY);
                return RESTORE_GROUP_NO_MEMORY;
            }
            *group_buf = buf;
            int32_t chunk = here <= cap - filled ? here : (cap - filled) / CHUNK * CHUNK;
            missing -= chunk;
            *avail -= chunk;
            if (plat_read(*image, buf + filled, chunk) != chunk) {
                say(catalog->io.rep, EV_GROUP_READ_ERROR, {ev_text(name_of(file))});
                return RESTORE_GROUP_READ_ERROR;
            }
            filled += chunk;
        }
        if (*avail <= 0 && missing > 0 && !change_disk(image, catalog, avail, true))
            result = RESTORE_NO_NEXT_DISK;
    }
    return result;
}

// Writes a staged group in the pieces raw_inflate writes its output in
// (INFLATE_WINDOW bytes, the last one shorter), so that a short write is met
// at the same byte and reported with the same counts and messages.
static InflateResult put_staged(const Reporter* rep, int out, const unsigned char* data,
                                int32_t length) {
    for (int32_t at = 0; at < length; at += INFLATE_WINDOW) {
        int32_t have = length - at < INFLATE_WINDOW ? length - at : INFLATE_WINDOW;
        int32_t put = plat_write(out, data + at, have);
        if (put != have) {
            say(rep, EV_OUTPUT_SHORT_WRITE, {ev_num(put), ev_num(have)});
            say(rep, EV_INFLATE_WRITE_FAILED);
            return INFLATE_WRITE_SHORT;
        }
    }
    return INFLATE_DONE;
}

// Inflates (level 4) or copies (level -1) one gathered group of size bytes
// to out, adding what it wrote to *written. Gives back RESTORE_OK,
// RESTORE_GROUP_WRITE_ERROR or RESTORE_INFLATE_FAILED.
//
// A level 4 group is first inflated whole by stage_group, which accepts
// only a deflate stream that ends after exactly ORGSIZE bytes whose CRC-32
// plus CHK_SUM is 0xFFFFFFFF. For such a stream raw_inflate too inflates
// those ORGSIZE bytes, writes them a window at a time from the first byte
// on, stops at the end of the stream (ignoring the bytes behind it) and
// is done, and the checks below find nothing to warn about: so writing the
// staged bytes in the same pieces and reporting ORGSIZE and the verified
// CRC prints and writes exactly what raw_inflate would have (staging.cpp
// tells the one kind of damaged stream where libdeflate and zlib part).
// Every other group (an error, another length, a stream that does not end,
// a checksum mismatch, an ORGSIZE beyond the cap) has had nothing written
// for it and goes through raw_inflate, whose messages, warnings and partial
// output are the rule.
static RestoreResult put_group(int out, const Catalog* catalog, const CompRecord* group,
                               unsigned char* buf, int32_t size, uint32_t* written) {
    if (group->COMP_LVL != 4) {
        if (plat_write(out, buf, size) != size) {
            say(catalog->io.rep, EV_RAW_WRITE_ERROR);
            return RESTORE_GROUP_WRITE_ERROR;
        }
        *written += (uint32_t)size;
        return RESTORE_OK;
    }
    int32_t length = size;
    uint32_t crc = 0;
    InflateResult r;
    const unsigned char* staged = stage_group(&catalog->buffers->staging, buf, size,
                                              group->ORGSIZE, (uint32_t)group->CHK_SUM);
    if (staged) {
        length = group->ORGSIZE;
        crc = ~(uint32_t)group->CHK_SUM;
        r = put_staged(catalog->io.rep, out, staged, length);
    } else {
        r = raw_inflate(catalog->io.rep, out, buf, &length, &crc);
    }
    if (r != INFLATE_DONE) {
        say(catalog->io.rep, EV_DECOMPRESSION_FATAL);
        return RESTORE_INFLATE_FAILED;
    }
    *written += (uint32_t)length;
    if (verbose_on(catalog))
        say(catalog->io.rep, EV_GROUP_INFLATED, {ev_num(length)});
    if (group->ORGSIZE != length)
        warn(catalog->io.rep, EV_GROUP_LENGTH_MISMATCH, {ev_num(group->ORGSIZE), ev_num(length)});
    if ((uint32_t)group->CHK_SUM + crc != 0xFFFFFFFFu)
        warn(catalog->io.rep, EV_GROUP_CRC_MISMATCH, {ev_num(crc), ev_num((uint32_t)group->CHK_SUM)});
    return RESTORE_OK;
}

RestoreResult xtract_comp(int* image, Catalog* catalog, const FileRecord* file, int out,
                          int32_t* avail) {
    const CompRecord* group = file->comp;

    RestoreResult result = RESTORE_OK;
    int32_t group_num = 0;
    uint32_t written = 0;
    bool last = false;
    do {
        if (!group) {
            say(catalog->io.rep, EV_RUN_ENDED, {ev_text(name_of(file))});
            result = RESTORE_RUN_ENDED;
            break;
        }
        int32_t level = group->COMP_LVL;
        if (level != -1 && level != 4) {
            say(catalog->io.rep, EV_UNKNOWN_LEVEL, {ev_num(level)});
            result = RESTORE_UNKNOWN_LEVEL;
            break;
        }
        if (verbose_on(catalog))
            say(catalog->io.rep, EV_GROUP_TRACE,
                {ev_num(group_num + 1), ev_num((uint32_t)group->OFFS_LO), ev_num(level)});
        last = closes_run(group);

        int32_t size = level == 4 ? group->COMPSIZE : group->ORGSIZE;
        unsigned char* buf = nullptr;
        result = gather_group(image, catalog, file, size, &buf, avail);
        // A read error still counts the group, and a last group's length is
        // still checked.
        if (result == RESTORE_GROUP_NO_MEMORY || result == RESTORE_NO_NEXT_DISK) {
            free(buf);
            break;
        }
        group_num++;
        if (result == RESTORE_OK) result = put_group(out, catalog, group, buf, size, &written);

        if (last && (uint32_t)file->size_lo != written)
            warn(catalog->io.rep, EV_FILE_LENGTH_MISMATCH,
                 {ev_num(file->size_lo), ev_num(to_i32(written))});
        free(buf);
        group = group->next;
    } while (result == RESTORE_OK && !last);

    if (out >= 0) plat_close(out);
    return result;
}
