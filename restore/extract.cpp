// File data extraction: copy a stored file, rebuild a compressed file from
// its run of data groups, or step over a file's data.
//
// All three read the data stream strictly in order from the open image and
// lower the data space left on it by every byte they consume. When the space
// runs out inside a file they change to the next disk image through
// get_disk. Reads and inflate output go through the shared 1024-byte work
// buffer; a group is gathered whole into its own buffer before it is
// inflated or written, and that buffer grows only as the group's bytes
// arrive, so a hostile COMPSIZE cannot make us allocate more than the media
// actually holds.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <zlib.h>

#include "container/fields.h"
#include "platform/platform.h"
#include "restore/restore.h"

enum {
    CHUNK = REGION_BUF_SIZE,
    // First size of a group buffer; it doubles from here up to the group's
    // size while the group is read.
    GROUP_BUF_START = 64 * 1024,
};

static bool verbose_on(const Catalog* catalog) {
    return has_option(catalog, OPT_VERBOSE);
}

static const char* name_of(const FileRecord* file) {
    return file->name ? file->name : "";
}

// Closes the exhausted image and opens the next one. warn_avail prints the
// leftover data space when it is not 0 (the extracting operations do this,
// skip_file does not). Gives back the new handle, negative when none.
static int change_disk(int* image, Catalog* catalog, int32_t* avail, bool warn_avail) {
    printf("\ndisk change");
    plat_close(*image);
    if (warn_avail && *avail != 0) printf(" - warning avail = %ld, should be zero", (long)*avail);
    catalog->cur_disk = to_i32((uint32_t)catalog->cur_disk + 1u);
    *image = get_disk(catalog, avail);
    return *image;
}

int32_t skip_file(int* image, Catalog* catalog, const FileRecord* file, int32_t* avail) {
    int32_t count = stream_step(file);

    int32_t result = 0;
    while (result == 0 && count > 0) {
        if (count <= *avail) {
            *avail -= count;
            int64_t old_pos = plat_seek(*image, 0, PLAT_SEEK_CUR);
            int64_t new_pos = plat_seek(*image, count, PLAT_SEEK_CUR);
            if (old_pos < 0 || new_pos != old_pos + count) {
                printf("\nseek error in skip_file()");
                result = -2;
            }
            count = 0;
        } else {
            if (*avail > 0) count -= *avail;
            if (change_disk(image, catalog, avail, false) < 0) result = -3;
        }
    }
    return result;
}

int32_t xtract_stored(int* image, Catalog* catalog, const FileRecord* file, const char* path,
                      int32_t* avail) {
    int32_t remaining = file->size_lo;
    int out = plat_create_catalog_path(path);
    if (out < 0) {
        printf("\nfailed to open output file: %s", name_of(file));
        return -1;
    }
    int32_t result = 0;
    while (remaining > 0 && result == 0) {
        int32_t chunk = remaining < CHUNK ? remaining : CHUNK;
        if (*avail <= chunk) chunk = *avail;
        if (chunk > 0) {
            if (plat_read(*image, work_buf, chunk) != chunk ||
                plat_write(out, work_buf, chunk) != chunk) {
                printf("\nio error writing file %s", name_of(file));
                result = -1;
                break;
            }
            remaining -= chunk;
            *avail -= chunk;
        }
        if (*avail <= 0 && remaining > 0 && change_disk(image, catalog, avail, true) < 0)
            result = -3;
    }
    plat_close(out);
    return result;
}

int32_t raw_inflate(int out, unsigned char* data, int32_t* length, uint32_t* crc) {
    *crc = 0;
    z_stream zs;
    zs.next_in = data;
    zs.avail_in = *length > 0 ? (uInt)*length : 0;
    zs.next_out = (Bytef*)work_buf;
    zs.avail_out = CHUNK;
    zs.zalloc = Z_NULL;
    zs.zfree = Z_NULL;
    zs.opaque = Z_NULL;
    zs.msg = Z_NULL;

    int ret = inflateInit2(&zs, -15);
    if (ret != Z_OK) {
        printf("\nerror %d in inflateInit2", ret);
        if (zs.msg) printf("\n%s", zs.msg);
        return ret;
    }

    int32_t have = 0, put = 0;
    ret = Z_OK;
    while (ret == Z_OK) {
        ret = inflate(&zs, Z_NO_FLUSH);
        have = CHUNK - (int32_t)zs.avail_out;
        zs.next_out = (Bytef*)work_buf;
        zs.avail_out = CHUNK;
        *crc = (uint32_t)crc32(*crc, (const Bytef*)work_buf, (uInt)have);
        if ((ret == Z_OK || ret == Z_STREAM_END) && have > 0) {
            put = plat_write(out, work_buf, have);
            if (put != have) ret = -10;
        }
    }
    if (ret == -10) printf("\nerror writing output wrote %d of %d bytes", (int)put, (int)have);

    // The stream is ended on every path (also the impossible Z_NEED_DICT of
    // a raw stream), so zlib's state is never leaked.
    *length = to_i32((uint32_t)zs.total_out);
    int end = inflateEnd(&zs);
    if (ret == Z_STREAM_END && end != Z_OK) ret = end;
    if (ret == Z_STREAM_END) return 1;
    printf("\nerror %d in raw inflate()", ret);
    if (zs.msg) printf("\n%s", zs.msg);
    return ret;
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

int32_t xtract_comp(int* image, Catalog* catalog, const FileRecord* file, const char* path,
                    int32_t* avail) {
    const CompRecord* group = file->comp;
    int out = -1;
    if (group) {
        out = plat_create_catalog_path(path);
        if (out < 0) {
            printf("\nfailed to open output file: %s", name_of(file));
            return -1;
        }
    }

    int32_t result = 0;
    int32_t group_num = 0;
    uint32_t written = 0;
    bool last = false;
    do {
        if (!group) {
            printf("\nfatal error, end Comp records for file %s", name_of(file));
            result = -3;
            break;
        }
        int32_t level = group->COMP_LVL;
        if (level != -1 && level != 4) {
            printf("\nfatal error comp_lvl = %ld unknown", (long)level);
            result = -4;
            break;
        }
        if (verbose_on(catalog))
            printf("\ngroup %d offs_lo 0x%lx comp_lvl %ld", (int)group_num + 1,
                   (unsigned long)(uint32_t)group->OFFS_LO, (long)level);
        last = group->IS_LAST != 0;

        int32_t size = level == 4 ? group->COMPSIZE : group->ORGSIZE;
        int32_t cap = size < GROUP_BUF_START ? size : GROUP_BUF_START;
        unsigned char* buf = size < 0 ? nullptr : (unsigned char*)malloc(cap > 0 ? (size_t)cap : 1);
        if (!buf) {
            printf("\nfatal error allocating decompression buffer");
            result = -4;
            break;
        }
        group_num++;

        // Gather the group, across disk changes if need be.
        int32_t missing = size, filled = 0;
        while (missing > 0 && result == 0) {
            int32_t chunk = missing < CHUNK ? missing : CHUNK;
            if (chunk > *avail) chunk = *avail;
            if (chunk > 0) {
                missing -= chunk;
                *avail -= chunk;
                if (!grow_group_buf(&buf, &cap, filled + chunk, size)) {
                    printf("\nfatal error allocating decompression buffer");
                    result = -4;
                    break;
                }
                if (plat_read(*image, buf + filled, chunk) != chunk) {
                    printf("\nio error reading file %s", name_of(file));
                    result = -10;
                    break;
                }
                filled += chunk;
            }
            if (*avail <= 0 && missing > 0 && change_disk(image, catalog, avail, true) < 0)
                result = -12;
        }
        if (result == -4 || result == -12) {
            free(buf);
            break;
        }

        if (result == 0) {
            if (level == 4) {
                int32_t length = size;
                uint32_t crc = 0;
                int32_t r = raw_inflate(out, buf, &length, &crc);
                if (r != 1) {
                    printf("\nfatal decompression error");
                    result = r;
                } else {
                    written += (uint32_t)length;
                    if (verbose_on(catalog))
                        printf("\nend of compressed bitstream, wrote %ld bytes", (long)length);
                    if (group->ORGSIZE != length)
                        printf("\nwarning decompressed block data length mismatch! %ld != %ld",
                               (long)group->ORGSIZE, (long)length);
                    if ((uint32_t)group->CHK_SUM + crc != 0xFFFFFFFFu)
                        printf("\nwarning decompressed data crc=0x%lx+chksum in file =0x%lx for "
                               "block != -1",
                               (unsigned long)crc, (unsigned long)(uint32_t)group->CHK_SUM);
                }
            } else if (plat_write(out, buf, size) != size) {
                printf("\nraw write error");
                result = -11;
            } else {
                written += (uint32_t)size;
            }
        }

        if (last && (uint32_t)file->size_lo != written)
            printf("\nwarning output file length mismatch after extraction! %ld != %ld",
                   (long)file->size_lo, (long)to_i32(written));
        free(buf);
        group = group->next;
    } while (result == 0 && !last);

    if (out >= 0) plat_close(out);
    return result;
}
