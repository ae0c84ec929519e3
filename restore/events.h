// The restore engine's events (see container/report.h): what the listing
// and extraction walk, the data steps, the disk set, the output tree and
// the catalog save have to say. Each code is listed with the values it
// carries, in order; "?" marks a value that may be absent (a null text).
//
// A warning is something not as recorded (a length or checksum that does
// not match, a file left out or not finished as recorded); a progress event
// marks a step of the walk; every other one is a message.
#ifndef RESTORE_EVENTS_H
#define RESTORE_EVENTS_H

#include "container/report.h"

enum RestoreEvent {
    // The walk (restore/driver.cpp)
    EV_LISTING_BEGIN = EVENTS_RESTORE + 1,  // -
    EV_PATH_FILTER,           // the -p text
    EV_FILE_LISTED,           // serial, path, date, size
    EV_FILE_GROUP,            // compsize, chksum, offs_lo (-v)
    EV_FILTERED_OUT,          // files left out by -p
    EV_LISTING_END,           // -
    EV_START_FILE_UNREACHED,  // the -s number
    EV_DATA_START_SEEK_FAILED,  // -
    EV_LAST_DISK,             // disk count, file count
    EV_SKIP_IMPOSSIBLE,       // the bytes to skip
    EV_LAST_DISK_SEEK_FAILED,   // the offset sought
    EV_NO_NAME_SKIPPED,       // a warning: serial
    EV_UNSAFE_NAME_SKIPPED,   // a warning: name
    EV_DUPLICATE_SKIPPED,     // a warning: output path
    EV_OUTPUT_OPEN_FAILED,    // name

    // Where the stream starts on the last disk (restore/diskset.cpp)
    EV_DISK_DATA_SPACE,       // files, uncompressed bytes, stream bytes
    EV_DISK_ROOM,             // data bytes on this disk
    EV_SPAN_IN_GROUP,         // excess, file number, group number (-v)
    EV_FIRST_WHOLE_FILE,      // file number, its name? (none: only continuation data)
    EV_SKIP_LEADING,          // bytes to skip
    // The next disk
    EV_DISK_MISMATCH,         // -
    EV_LAST_DISK_ACCEPTED,    // disk, data bytes
    EV_DISK_ACCEPTED,         // disk, disk count, data bytes
    EV_DISK_END_UNKNOWN,      // -

    // The data steps (restore/extract.cpp)
    EV_DISK_CHANGE,           // progress
    EV_DISK_LEFT_OVER,        // a warning: bytes of the disk not used
    EV_SKIP_SEEK_FAILED,      // -
    EV_STORED_IO_ERROR,       // name
    EV_INFLATE_INIT_FAILED,   // zlib result, zlib message?
    EV_OUTPUT_SHORT_WRITE,    // bytes written, bytes asked
    EV_INFLATE_FAILED,        // zlib result, zlib message?
    EV_INFLATE_WRITE_FAILED,  // - (behind EV_OUTPUT_SHORT_WRITE: the inflate stops)
    EV_GROUP_NO_MEMORY,       // -
    EV_GROUP_READ_ERROR,      // name
    EV_RAW_WRITE_ERROR,       // -
    EV_DECOMPRESSION_FATAL,   // -
    EV_GROUP_INFLATED,        // bytes (-v)
    EV_GROUP_LENGTH_MISMATCH,   // a warning: ORGSIZE, bytes inflated
    EV_GROUP_CRC_MISMATCH,    // a warning: CRC-32, CHK_SUM
    EV_RUN_ENDED,             // name
    EV_UNKNOWN_LEVEL,         // COMP_LVL
    EV_GROUP_TRACE,           // group number, offs_lo, level (-v)
    EV_FILE_LENGTH_MISMATCH,  // a warning: recorded size, bytes written

    // The output tree and metadata (restore/paths.cpp, restore/meta.cpp)
    EV_DIR_CREATE_FAILED,     // -
    EV_DIR_EXISTS,            // -
    EV_META_FAILED,           // a warning: META_ bits of what was not set

    // The catalog save (restore/savecat.cpp)
    EV_CATALOG_FILE_OPEN_FAILED,     // file name
    EV_CATALOG_HEADER_WRITE_FAILED,  // -
    EV_CATALOG_SEEK_FAILED,          // catalog offset
    EV_CATALOG_COPY_FAILED,          // -

    EV_RESTORE_END
};

#endif
