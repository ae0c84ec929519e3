// Catalog table regions: finding each region's first descriptor, measuring a
// region, and the two walks over the seven regions of a catalog.
//
// Every read goes through the run's work buffer (container/io_state.h), 32
// bytes at a time for descriptors and one record at a time for records.
// Image positions are 32-bit: arithmetic on them goes through uint32_t and
// they are reported as 32-bit values.
#include "container/regions.h"

#include <stdint.h>
#include <string.h>

#include "container/events.h"
#include "container/fields.h"
#include "container/schema.h"
#include "container/table_format.h"
#include "platform/platform.h"

// Distance from the end of the previous region (or cat_offs) to where the
// search for each region's first descriptor starts.
static const int32_t REGION_GAP[REGION_COUNT] = {0x10D0, 0x1E20, 0x1820, 0x1820,
                                                 0x1820, 0xC20, 0x1220};

enum {
    MIN_ENT_SZ = FIELDDEF_SIZE - 1,           // the count record must fill the 0x0D block
    NAME_CHECK_LEN = FIELDDEF_NAME_SIZE + 1,  // name and type letter
};

static const unsigned char* ubuf(const IoState* io) {
    return (const unsigned char*)io->work_buf;
}

// Seeks to a 32-bit image position; positions of 2^31 and beyond are out of
// reach, as they are for a 32-bit signed file offset.
static bool seek_to(int image, uint32_t pos) {
    int64_t off = (int32_t)pos;
    return off >= 0 && plat_seek(image, off, PLAT_SEEK_SET) == off;
}

// Reads one 32-byte block into the work buffer; the part a short read
// leaves unfilled is cleared so no earlier block's bytes are taken for this
// one.
static int32_t read_block(int image, IoState* io) {
    int32_t got = plat_read(image, io->work_buf, FIELDDEF_SIZE);
    if (got < 0) got = 0;
    if (got < FIELDDEF_SIZE) memset(io->work_buf + got, 0, (size_t)(FIELDDEF_SIZE - got));
    return got;
}

// Scans the count of the count record that follows the 0x0D byte at the
// start of the work buffer, as "%12d" does; the text ends at a NUL or the
// end of the buffer.
static bool scan_count(const IoState* io, int32_t* value) {
    return parse_count(io->work_buf + 1, WORK_BUF_SIZE - 1, COUNT_WIDTH_12, value);
}

// How much of the name of the descriptor at the start of the work buffer
// "%s" prints (see desc_name_len), and that much of it with a NUL behind
// it, for an event.
struct DescName {
    int32_t len;
    char text[WORK_BUF_SIZE + 1];
};
static void take_desc_name(const IoState* io, DescName* n) {
    n->len = desc_name_len(io->work_buf, WORK_BUF_SIZE);
    copy_field(n->text, io->work_buf, n->len);
}

// The SERIAL descriptor that begins every region: the name exactly (its NUL
// too), type N, a field offset and a length (as 32 bits), and nothing in the
// three words behind the length.
static bool is_first_descriptor(const unsigned char* b) {
    if (memcmp(b, SERIAL_NAME, sizeof SERIAL_NAME) != 0 || fielddef_type(b) != 'N' ||
        fielddef_offset(b) == 0 || le32(b + FIELDDEF_LENGTH) == 0)
        return false;
    for (int32_t at = FIELDDEF_LENGTH + 4; at < FIELDDEF_SIZE; at += 4)
        if (le32(b + at) != 0) return false;
    return true;
}

int32_t find_serial(int image, int32_t start, int32_t* skipped, IoState* io) {
    uint32_t skip = 0;
    *skipped = 0;
    for (;;) {
        if (read_block(image, io) < FIELDDEF_SIZE) {
            say(io->rep, EV_SERIAL_NOT_FOUND);
            int32_t r = (int32_t)(0u - ((uint32_t)start + skip));
            return r < 0 ? r : -1;
        }
        const unsigned char* b = ubuf(io);
        if (is_first_descriptor(b)) return (int32_t)((uint32_t)start + skip);
        skip += FIELDDEF_SIZE;
        *skipped = (int32_t)skip;
    }
}

int32_t skip_struct(int image, int32_t* ent_sz, int32_t* count, int32_t* nfields,
                    int32_t* lengths, char* types, IoState* io) {
    const Reporter* rep = io->rep;
    char* work_buf = io->work_buf;
    uint32_t size = 1;  // the flag byte; the sum wraps modulo 2^32 like every number
    int32_t n = 0;
    bool bad = false;
    int32_t examined = 0;
    for (;;) {
        const unsigned char* b = ubuf(io);
        examined = 0;
        while (examined < NAME_CHECK_LEN) {
            unsigned char c = b[examined++];
            if (c < 0x20 && c != 0) {
                bad = true;
                break;
            }
        }
        // The length is taken as 32 bits: bytes 18 and 19 must be zero.
        uint32_t length = le32(b + FIELDDEF_LENGTH);
        types[n] = fielddef_type(b);
        lengths[n] = (int32_t)length;
        size += length;
        n++;
        if (bad || n > MAX_FIELDS) break;
        int32_t got = read_block(image, io);
        if (got < FIELDDEF_SIZE && (got == 0 || b[0] != END_OF_FIELDS)) {
            say(rep, EV_DESCRIPTORS_READ_SHORT, {ev_num(n)});
            *ent_sz = (int32_t)size;
            return -(FIELDDEF_SIZE * n);
        }
        if (b[0] == END_OF_FIELDS) break;
    }
    // The size reported is the size tested: a signed 32-bit value, so a sum
    // that wrapped below 31 (or below 0) is too small.
    int32_t rec = (int32_t)size;
    *ent_sz = rec;
    bool too_big = rec > WORK_BUF_SIZE;
    bool too_small = rec < MIN_ENT_SZ;
    bool bad_header = bad || n > MAX_FIELDS;
    if (bad_header || too_big || too_small) {
        if (too_big) say(rep, EV_RECORD_TOO_BIG, {ev_num(rec), ev_num(WORK_BUF_SIZE)});
        if (too_small) say(rep, EV_RECORD_TOO_SMALL, {ev_num(rec), ev_num(MIN_ENT_SZ)});
        if (bad_header) {
            DescName name;
            take_desc_name(io, &name);
            say(rep, EV_DESCRIPTORS_INVALID,
                {ev_num(name.len), ev_text(name.text), ev_num(n), ev_num(ubuf(io)[examined])});
        }
        return -examined;
    }

    // The buffer begins with the 0x0D and the first 31 bytes of the count record.
    int32_t count_at = FIELDDEF_SIZE * n + 1 + COUNT_FIELD_AT;
    if (!scan_count(io, count)) {
        say(rep, EV_COUNT_UNREADABLE, {ev_num(count_at)});
        return -count_at;
    }
    *nfields = n;
    uint32_t length = (uint32_t)(FIELDDEF_SIZE * n + 1);

    // Drop the 0x0D so the buffer holds the whole count record.
    memmove(work_buf, work_buf + 1, FIELDDEF_SIZE - 1);
    int32_t rest = rec - (FIELDDEF_SIZE - 1);
    if (plat_read(image, work_buf + FIELDDEF_SIZE - 1, rest) == rest) {
        uint32_t records = 0;
        for (;;) {
            bool has_end = memchr(work_buf, END_OF_DATA, (size_t)rec) != NULL;
            records++;
            if (has_end) break;
            int32_t got = plat_read(image, work_buf, rec);
            if (got != rec || ubuf(io)[0] == END_OF_DATA) break;
        }
        length += records * (uint32_t)rec;
        if (*count != (int32_t)records)
            warn(rep, EV_RECORD_COUNT_MISMATCH, {ev_num(*count), ev_num((int32_t)records)});
    }
    if (ubuf(io)[0] != END_OF_DATA) {
        say(rep, EV_DATA_END_MISSING);
        return (int32_t)(0u - length);
    }
    return (int32_t)(length + 1u);
}

int32_t locate_regions(int image, uint32_t cat_offs, RegionInfo* regions, bool validate,
                       IoState* io) {
    const Reporter* rep = io->rep;
    uint32_t pos = cat_offs;
    for (int32_t i = 1; i <= REGION_COUNT; i++) {
        pos += (uint32_t)REGION_GAP[i - 1];
        say(rep, EV_REGION_SEARCH, {ev_num(i), ev_text(TABLE_SCHEMAS[i - 1].name)});
        if (!seek_to(image, pos)) {
            say(rep, EV_REGION_SEEK_FAILED, {ev_num(pos)});
            return -10;
        }
        int32_t skipped = 0;
        int32_t offset = find_serial(image, (int32_t)pos, &skipped, io);
        if (offset < 0) {
            say(rep, EV_REGION_NOT_FOUND, {ev_num(pos)});
            return -10;
        }
        say(rep, EV_REGION_FOUND, {ev_num((uint32_t)offset)});

        int32_t ent_sz = 0, count = 0, nfields = 0;
        int32_t lengths[FIELD_ARRAY_SIZE];
        char types[FIELD_ARRAY_SIZE];
        int32_t length = skip_struct(image, &ent_sz, &count, &nfields, lengths, types, io);
        if (length < 0) {
            say(rep, EV_REGION_UNMEASURED, {ev_num(i), ev_num(length)});
            return -i;
        }
        RegionInfo* r = &regions[i - 1];
        r->offset = offset;
        r->nfields = nfields;
        r->ent_sz = ent_sz;
        r->count = count;
        pos = (uint32_t)offset + (uint32_t)length;

        if (validate && validate_region(i - 1, nfields, ent_sz, lengths, types, rep) != 0) {
            say(rep, EV_REGION_INVALID, {ev_num(i)});
            return -1;
        }
    }
    return REGION_COUNT;
}

// The -f end-byte scan from the block in the work buffer (got bytes, at pos):
// reports every 0x0D and stops after the 0x1A. A block shorter than 32 bytes
// is the image's end: it is scanned too, and only fails when it holds no
// 0x1A.
static bool scan_end_bytes(int image, uint32_t* pos, int32_t got, IoState* io) {
    const Reporter* rep = io->rep;
    for (;;) {
        const unsigned char* b = ubuf(io);
        for (int32_t j = 0; j < got; j++) {
            if (b[j] == END_OF_FIELDS) say(rep, EV_WALK_FIELDS_END, {ev_num(*pos + (uint32_t)j + 1u)});
            if (b[j] == END_OF_DATA) {
                *pos += (uint32_t)j + 1u;
                say(rep, EV_WALK_DATA_END, {ev_num(*pos)});
                return true;
            }
        }
        if (got < FIELDDEF_SIZE) {
            say(rep, EV_WALK_END_NOT_FOUND);
            return false;
        }
        *pos += (uint32_t)got;
        got = read_block(image, io);
    }
}

int32_t walk_regions(int image, uint32_t cat_offs, bool verbose, IoState* io) {
    const Reporter* rep = io->rep;
    uint32_t pos = cat_offs;
    for (int32_t i = 1; i <= REGION_COUNT; i++) {
        pos += (uint32_t)REGION_GAP[i - 1];
        say(rep, EV_WALK_REGION, {ev_num(i), ev_text(TABLE_SCHEMAS[i - 1].name)});
        if (!seek_to(image, pos)) {
            say(rep, EV_WALK_SEEK_FAILED);
            return i - 1;
        }
        int32_t skipped = 0;
        int32_t offset = find_serial(image, (int32_t)pos, &skipped, io);
        if (offset < 0) return i - 1;
        say(rep, EV_WALK_FOUND, {ev_num((uint32_t)offset)});
        pos = (uint32_t)offset;

        int32_t n = 0;
        uint32_t rec_size = 0;
        int32_t got = FIELDDEF_SIZE;
        do {
            const unsigned char* b = ubuf(io);
            n++;
            if (verbose) {
                DescName name;
                take_desc_name(io, &name);
                say(rep, EV_WALK_DESCRIPTOR, {ev_num(n), ev_num(name.len), ev_text(name.text),
                                              ev_num(fielddef_type(b)), ev_num(fielddef_length(b))});
            }
            // The record size starts from the first field's offset (1 in a
            // well-formed region), of which 16 bits are taken.
            if (n == 1) rec_size += le16(b + FIELDDEF_OFFSET);
            rec_size += fielddef_length(b);
            pos += FIELDDEF_SIZE;
            got = read_block(image, io);
        } while (got == FIELDDEF_SIZE && ubuf(io)[0] != END_OF_FIELDS);

        if (!verbose) say(rep, EV_WALK_FIELDS, {ev_num(n + 1)});
        if (skipped != 0) warn(rep, EV_WALK_SKIPPED_AHEAD, {ev_num((uint32_t)skipped)});
        int32_t entries = 0;
        if (got > 0 && ubuf(io)[0] == END_OF_FIELDS && scan_count(io, &entries))
            say(rep, EV_WALK_RECORDS, {ev_num((int32_t)((uint32_t)entries - 1u)), ev_num(rec_size)});
        if (!scan_end_bytes(image, &pos, got, io)) return i - 1;
    }
    return REGION_COUNT;
}
