// The table format both programs read: the 32-byte table header, the 32-byte
// field descriptors, the end bytes and the count record.
//
// A table region is a table header, field descriptors (the first named
// SERIAL), a 0x0D byte, fixed-length records and a 0x1A byte. The catalog of
// an image holds seven of them (container/regions.h finds them); dbfscan
// reads one stand-alone. What each table holds is in container/schema.h.
#ifndef CONTAINER_TABLE_FORMAT_H
#define CONTAINER_TABLE_FORMAT_H

#include <stdint.h>

#include "container/fields.h"

// The table header (TableRegion) in front of the descriptors. Only the
// record count at offset 4, an unsigned 32-bit value that counts the count
// record too, is read, and only by the table inspector; unbak finds a region
// by its first descriptor instead.
enum {
    TABLE_HEADER_SIZE = 32,
    TABLE_HEADER_COUNT = 4,
};

static inline uint32_t table_header_count(const unsigned char* header) {
    return le32(header + TABLE_HEADER_COUNT);
}

// One field descriptor (FieldDef), 32 bytes, by the offsets of its parts.
enum {
    FIELDDEF_SIZE = 32,
    FIELDDEF_NAME_SIZE = 11,  // at 0, NUL-padded
    FIELDDEF_TYPE = 11,       // 'N' number, 'C' text
    FIELDDEF_OFFSET = 12,     // LE32 offset of the field in the record
    FIELDDEF_LENGTH = 16,     // LE16 length; bytes 18 to 31 are zero
};

static inline char fielddef_type(const unsigned char* desc) {
    return (char)desc[FIELDDEF_TYPE];
}
static inline uint32_t fielddef_offset(const unsigned char* desc) {
    return le32(desc + FIELDDEF_OFFSET);
}
static inline uint16_t fielddef_length(const unsigned char* desc) {
    return le16(desc + FIELDDEF_LENGTH);
}

// The name of every table's first field, by which unbak finds a region.
constexpr char SERIAL_NAME[] = "SERIAL";

enum {
    END_OF_FIELDS = 0x0D,  // closes the descriptors
    END_OF_DATA = 0x1A,    // closes the records; no record begins with it
};

// The count record is record 0 of every table. Each record begins with a
// flag byte (a blank); the count record's second field, 12 characters of
// decimal text behind its 12-character SERIAL, holds the number of records
// of the table, the count record included.
enum {
    COUNT_FIELD_AT = 13,
    COUNT_FIELD_LEN = 12,
};

// How parse_count scans the count. Each step that reads a count record has
// always scanned it its own way, and each way gives other results on a
// malformed record, so the caller names its way:
enum CountScan {
    // "%d %d" from the record's start, the flag byte included (a flag other
    // than a blank fails); the count is the second number. The Disks, Dirs,
    // Files and Comp readers, and read_paths for every record's DATATYPE.
    COUNT_AFTER_SERIAL,
    // "%d" within the field's 12 characters. get_job, get_sess, dbfscan.
    COUNT_IN_FIELD,
    // "%12d" from the field on: blanks in front do not count toward the 12
    // characters, and the digits may run on past the field. The region walks.
    COUNT_WIDTH_12,
};

// Scans the count of the record at `record`, of which `room` bytes may be
// read (the text also ends at a NUL). True with *count set when a number
// came; *count is left alone otherwise.
bool parse_count(const char* record, int32_t room, CountScan how, int32_t* count);

#endif
