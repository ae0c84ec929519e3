// dbfscan: the table inspector. Opens one stand-alone table file (a 32-byte
// table header, 32-byte field descriptors, a 0x0D byte, fixed-length records
// and a 0x1A byte), lists its field descriptors and, with -d, prints every
// record field by field.
//
// The table is read straight from the start offset: the header first, then
// the descriptors, each 32-byte block behind the previous one in the run's
// one buffer, then each record into the buffer behind the 0x0D byte.
// Nothing else is kept; the exit status is parse_region's result.
//
// The whole run lives in dbfscan_main so tests and fuzzers can call it
// in-process; inspect/main.cpp is the program's main.
#include "inspect/dbfscan.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "container/fields.h"
#include "container/scan.h"
#include "container/table_format.h"
#include "platform/platform.h"

enum {
    BUFSZ = 1024,
    MAX_BLOCKS = 21,   // the table header and at most 20 descriptor blocks
    FIELD_WIDTH = 70,  // characters shown of one field
};

static const char* const TABLE_FILES[7] = {
    "DVAARCF.DBF", "DVADIR.DBF", "DVADISK.DBF", "DVAFILE.DBF",
    "DVJOB.DBF",   "DVSESS.DBF", "DVTEXT.DBF",
};

static void usage(void) {
    printf("\nusage: dbfscan ? [-d] [-f<filename>] [-o<offset>]");
    // "maybe" and the blanks behind the colon as the usage always read.
    printf("\nwhere ? maybe '1' through '7' for one of *.dbf:\n      ");
    for (int i = 0; i < 7; i++) printf("\n  %d: %s", i + 1, TABLE_FILES[i]);
    printf("\n-f<filename> attempts to open a named file: <filename>");
    printf("\n     note -f option overrides default entry of '1' to '7'\n          which is no longer required");
    printf("\n-o<offset> in conjunction with -f seeks to hex <offset> before parse\n          default offset is 0");
}

static bool option_is(const char* arg, char letter) {
    return arg[0] == '-' && tolower((unsigned char)arg[1]) == letter;
}

// What the table header and the descriptors say of a table.
struct Structure {
    uint32_t header_count;  // records, the count record included
    uint32_t ent_sz;        // a 32-bit sum that wraps like every other number
    int32_t block;          // where the 0x0D block lies in scan_buf, in blocks
    int32_t nfields;
};


// Opens the table file and seeks to the start offset; the open handle, or -1
// after the message.
static int open_table(const char* name, int32_t start) {
    int fd = plat_open_read(name);
    if (fd < 0) {
        printf("\nopen failed for %s", name);
        return -1;
    }
    if (start > 0 && plat_seek(fd, start, PLAT_SEEK_SET) != start) {
        printf("\nerror seeking to file offset 0x%lx for data region", (unsigned long)(uint32_t)start);
        plat_close(fd);
        return -1;
    }
    return fd;
}

// Reads the table header, then lists the descriptors up to the block that
// begins with 0x0D. 0, or -1 (first field not SERIAL) or -2 (no 0x0D block)
// after the message.
static int32_t list_structure(int fd, unsigned char* scan_buf, Structure* t) {
    t->header_count = 0;
    t->ent_sz = 0;
    int32_t block = 0;
    int32_t got = 0;
    bool ended = false;
    for (; block < MAX_BLOCKS; block++) {
        unsigned char* b = scan_buf + FIELDDEF_SIZE * block;
        got = plat_read(fd, b, FIELDDEF_SIZE);
        if (got != FIELDDEF_SIZE) break;
        if (block == 0) {
            t->header_count = table_header_count(b);
            continue;
        }
        if (b[0] == END_OF_FIELDS) {
            ended = true;
            break;
        }
        if (block == 1) {
            if (memcmp(b, SERIAL_NAME, sizeof SERIAL_NAME - 1) != 0) {
                printf("\ninvalid region, first field not named 'SERIAL'");
                return -1;
            }
            t->ent_sz = fielddef_offset(b);
        }
        const char* fname = (const char*)b;
        printf("\n%2d %-10.*s  %c    0x%03x  %02d", (int)block,
               (int)desc_name_len(fname, BUFSZ - FIELDDEF_SIZE * block), fname, fielddef_type(b),
               (unsigned)fielddef_offset(b), (int)fielddef_length(b));
        t->ent_sz += fielddef_length(b);
    }
    if (!ended) {
        // A full run of 20 descriptors leaves block at 21: report the 20
        // blocks before the last one read. A failed read gave no bytes.
        int32_t before = block < MAX_BLOCKS ? block : MAX_BLOCKS - 1;
        printf("read error obtaining structure definition, read %d records + %d bytes\n", (int)before,
               (int)(got > 0 ? got : 0));
        return -2;
    }
    t->block = block;
    t->nfields = block - 1;
    printf("\n%d fields using total of %d bytes per entry\n", (int)(t->nfields + 1),
           (int)(int32_t)t->ent_sz);
    return 0;
}

// Prints what lies inside the record of one field: a C field from its start,
// an N field its last characters, at most FIELD_WIDTH of them. A field the
// descriptor places (partly) beyond the record, or of another type, shows
// only its bytes inside the record, from its start.
static void print_field(const unsigned char* record, int32_t ent_sz, const unsigned char* desc) {
    uint32_t foff = fielddef_offset(desc);
    uint32_t flen = fielddef_length(desc);
    char type = fielddef_type(desc);
    uint32_t size = (uint32_t)ent_sz;
    uint32_t from, n;
    if ((type == 'C' || type == 'N') && foff <= size && flen <= size - foff) {
        n = flen > (uint32_t)FIELD_WIDTH ? (uint32_t)FIELD_WIDTH : flen;
        from = type == 'N' ? foff + flen - n : foff;
    } else {
        from = foff;
        n = foff < size ? size - foff : 0;
        if (n > FIELD_WIDTH) n = FIELD_WIDTH;
    }
    if (n > 0) fwrite(record + from, 1, n, stdout);
}

// Reads and prints the records from record 1 on, the file at `first`; the
// number printed. The count stops at the largest 32-bit value (a table of
// 2^31 one-byte records would otherwise overflow it).
static int32_t print_records(int fd, const Structure* t, const unsigned char* scan_buf,
                             unsigned char* record, int32_t room, uint32_t first) {
    int32_t size = (int32_t)t->ent_sz;
    uint32_t rec_off = first;
    int32_t printed = 0;
    for (;;) {
        // A record of no bytes never arrives: it cannot hold the flag byte.
        if (size < 1 || size > room || plat_read(fd, record, size) != size) break;
        if (record[0] == END_OF_DATA || (uint32_t)printed > t->header_count || printed == INT32_MAX)
            break;
        printed++;
        printf("\ndata record %d @ 0x%lx", (int)printed, (unsigned long)rec_off);
        for (int32_t f = 1; f <= t->nfields; f++) {
            printf("\n%2d: ", (int)f);
            print_field(record, size, scan_buf + FIELDDEF_SIZE * f);
        }
        printf("\n");
        rec_off += (uint32_t)size;
    }
    if (record[0] != END_OF_DATA)
        printf("\ndata read error for entry %d, no data terminator found",
               (int)(int32_t)((uint32_t)printed + 1u));
    return printed;
}

// The -d dump behind the listed structure: the count record checked against
// the header, then every record. The number printed, or -4 (no room in
// scan_buf) or -5 (record 1 out of reach) after the message.
static int32_t dump_records(int fd, int32_t start, unsigned char* scan_buf, const Structure* t) {
    // Records go into the buffer right behind the 0x0D byte. The sum tested
    // is the 32-bit sum printed; a record it lets through that would still
    // not fit the buffer (the sum wrapped) is never read.
    int32_t place = FIELDDEF_SIZE * t->block + 1;
    int32_t room = BUFSZ - place;
    int32_t need = (int32_t)((uint32_t)place + t->ent_sz);
    if (need >= BUFSZ) {
        printf("\nBUFSZ < %d bytes, not enough room to buffer data", (int)need);
        return -4;
    }
    // The 0x0D block also brought the first 31 bytes of the count record.
    // Record 1 starts ent_sz - 31 bytes further on; a record shorter than 31
    // bytes means the file is already past it, so seek there from the start.
    // A position beyond 2^31 - 1 is out of reach of a 32-bit file offset.
    int64_t base = start > 0 ? start : 0;
    int64_t first = base + place + (int32_t)t->ent_sz;
    int32_t distance = (int32_t)(t->ent_sz - (uint32_t)(FIELDDEF_SIZE - 1));
    if (distance != 0) {
        int64_t pos = -1;
        if (first >= 0 && first <= INT32_MAX)
            pos = distance > 0 ? plat_seek(fd, distance, PLAT_SEEK_CUR)
                               : plat_seek(fd, first, PLAT_SEEK_SET);
        if (pos != first) {
            printf("\nfailed to seek %d bytes to start of data", (int)distance);
            return -5;
        }
    }
    unsigned char* record = scan_buf + place;
    int32_t ndat = 0;
    parse_count((const char*)record, room, COUNT_IN_FIELD, &ndat);
    if ((uint32_t)ndat != t->header_count)
        printf("\nwarning ndat from header %d  != ndat %d from rec 0", (int)(int32_t)t->header_count,
               (int)ndat);
    return print_records(fd, t, scan_buf, record, room, (uint32_t)first);
}

static int32_t parse_region(const char* name, bool dump, int32_t start, unsigned char* scan_buf) {
    int fd = open_table(name, start);
    if (fd < 0) return -1;
    printf("\nparsing file: %s at offset 0x%lx", name, (unsigned long)(uint32_t)start);
    printf("\n#  field nm  type  offset len");
    Structure t;
    int32_t result = list_structure(fd, scan_buf, &t);
    if (result == 0 && dump) result = dump_records(fd, start, scan_buf, &t);
    plat_close(fd);
    return result;
}

int dbfscan_main(int argc, char** argv) {
    // dbfscan's one buffer, cleared for the run as a fresh process has it:
    // parse_region's steps read the table header and the descriptors into
    // it block by block from its start, then each record behind the
    // descriptors' 0x0D byte.
    unsigned char scan_buf[BUFSZ];
    memset(scan_buf, 0, sizeof scan_buf);
    // "WIN32" on every build: the banner has always read so.
    printf("\ndbfscan version 0.90 compiled for %s", "WIN32");
    bool dump = false;
    const char* file = NULL;
    int32_t offset = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (option_is(arg, 'd')) {
            dump = true;
        } else if (option_is(arg, 'f')) {
            if (arg[2] != '\0') file = arg + 2;
        } else if (option_is(arg, 'o')) {
            uint32_t value = 0;
            if (scan_hex(arg + 2, (int32_t)strlen(arg + 2), &value) != 0) {
                offset = (int32_t)value;
            } else {
                printf("\nfailed to parse %s, using offset 0", arg);
                offset = 0;
            }
        }
    }
    if (argc < 2) {
        usage();
        fflush(stdout);
        return 0;
    }

    int32_t result = 0;
    bool parsed = false;
    if (file != NULL) {
        result = parse_region(file, dump, offset, scan_buf);
        parsed = true;
    } else if (argv[1][0] >= '1' && argv[1][0] <= '7') {
        result = parse_region(TABLE_FILES[argv[1][0] - '1'], dump, 0, scan_buf);
        parsed = true;
    }
    if (parsed) printf("\nparse_region() returned %d", (int)result);
    printf("\n");
    fflush(stdout);
    // The OS layer forgets the file it read: the next in-process run starts
    // clean.
    plat_close_all();
    return result;
}
