// The container layer's events (see report.h): what get_fhead, the number
// fields, the region search and walks and the shape check have to say.
//
// Each code is listed with the values it carries, in order. An event is a
// warning when something is not as recorded and the step goes on; every
// other one is a message. A step sends them at the moment it finds what
// they say, so a front end that prints them keeps the order of the run.
#ifndef CONTAINER_EVENTS_H
#define CONTAINER_EVENTS_H

#include "container/report.h"

enum ContainerEvent {
    // get_fhead
    EV_HEADER_OPEN_FAILED = EVENTS_CONTAINER + 1,  // path
    EV_HEADER_READ_FAILED,                        // -
    EV_HEADER_BAD_SIGNATURE,                      // the signature expected
    EV_HEADER_NAME_NO_MEMORY,                     // bytes wanted
    // The header read: backup name, job number, disk number, catalog
    // offset (0: no catalog on this disk).
    EV_HEADER,

    // dvatol, a warning
    EV_NUMBER_FIELD_WIDTH,  // the width given (not 12)

    // find_serial and skip_struct
    EV_SERIAL_NOT_FOUND,         // -
    EV_DESCRIPTORS_READ_SHORT,   // descriptors read
    EV_RECORD_TOO_BIG,           // record size, the work buffer's size
    EV_RECORD_TOO_SMALL,         // record size, the least record size
    // The descriptor that ends the walk is not one: the length of its name
    // as "%s" prints it, that name, descriptors read, the byte examined last.
    EV_DESCRIPTORS_INVALID,
    EV_COUNT_UNREADABLE,         // offset of the count in the region
    EV_RECORD_COUNT_MISMATCH,    // a warning: the count recorded, the records found
    EV_DATA_END_MISSING,         // -

    // locate_regions, for each of the seven regions in turn
    EV_REGION_SEARCH,            // region number (from 1), table name
    EV_REGION_SEEK_FAILED,       // where the search was to start
    EV_REGION_NOT_FOUND,         // where the search started
    EV_REGION_FOUND,             // offset of the first descriptor
    EV_REGION_UNMEASURED,        // region number, skip_struct's result
    EV_REGION_INVALID,           // region number

    // walk_regions (-f), for each of the seven regions in turn
    EV_WALK_REGION,              // region number (from 1), table name
    EV_WALK_SEEK_FAILED,         // -
    EV_WALK_FOUND,               // offset of the first descriptor
    // -f -v: descriptor number, name length and name (as for
    // EV_DESCRIPTORS_INVALID), type letter, field length.
    EV_WALK_DESCRIPTOR,
    EV_WALK_FIELDS,              // descriptors and the end byte
    EV_WALK_SKIPPED_AHEAD,       // a warning: bytes skipped to the first descriptor
    EV_WALK_RECORDS,             // records (the count record not counted), record size
    EV_WALK_FIELDS_END,          // offset behind a 0x0D byte
    EV_WALK_DATA_END,            // offset behind the 0x1A byte
    EV_WALK_END_NOT_FOUND,       // -

    // validate_region
    EV_SHAPE_INDEX_OUT_OF_RANGE,  // table index
    EV_SHAPE_FIELD_COUNT,         // fields expected, fields found
    EV_SHAPE_RECORD_SIZE,         // size expected, size found
    EV_SHAPE_FIELD_LENGTH,        // field (from 0), length expected, length found
    // field (from 0), then two kind letters. For a text descriptor: the kind
    // its length calls for, the table's kind; for a number descriptor: the
    // table's kind, 'N'.
    EV_SHAPE_FIELD_KIND,

    EV_CONTAINER_END  // one past the last code
};

#endif
