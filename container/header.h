// The 512-byte image header: a 52-byte fixed part kept byte for byte (so it
// can be written back unchanged but for cat_offs) and the backup name. The
// image's data follows it.
#ifndef CONTAINER_HEADER_H
#define CONTAINER_HEADER_H

#include <stdint.h>

#include "container/fields.h"
#include "container/io_state.h"

enum {
    HEADER_SIZE = 512,
    // Where the data stream begins on every disk image, behind the header.
    DATA_START = HEADER_SIZE,
    HEADER_FIXED_SIZE = 52,
    HEADER_NAME_AREA = 460,
    HEADER_SIGNATURE = 0xABCDABCDu,
    // Offsets of the interpreted fields in the fixed part.
    HDR_SIGNATURE = 0,
    HDR_SET_ID1 = 12,
    HDR_SET_ID2 = 16,
    HDR_JOB_NUM = 24,
    HDR_DISK_NUM = 26,
    HDR_CAT_OFFS = 28,
};

struct FileHeader {
    unsigned char fixed[HEADER_FIXED_SIZE];
    uint16_t name_len;
    char* name;  // heap, NUL-terminated; lives for the run
};

static inline uint32_t fh_signature(const FileHeader* h) { return le32(h->fixed + HDR_SIGNATURE); }
static inline uint32_t fh_set_id1(const FileHeader* h) { return le32(h->fixed + HDR_SET_ID1); }
static inline uint32_t fh_set_id2(const FileHeader* h) { return le32(h->fixed + HDR_SET_ID2); }
static inline uint16_t fh_job_num(const FileHeader* h) { return le16(h->fixed + HDR_JOB_NUM); }
static inline uint16_t fh_disk_num(const FileHeader* h) { return le16(h->fixed + HDR_DISK_NUM); }
static inline uint32_t fh_cat_offs(const FileHeader* h) { return le32(h->fixed + HDR_CAT_OFFS); }
static inline void fh_set_cat_offs(FileHeader* h, uint32_t v) { put_le32(h->fixed + HDR_CAT_OFFS, v); }

// Opens the image read-only, reads and checks its header (the name area
// through io's work buffer) and reports it (EV_HEADER) or why it cannot be
// had. Gives back the open handle positioned at 512, or -1 (image closed
// again).
int get_fhead(const char* path, FileHeader* header, IoState* io);

#endif
