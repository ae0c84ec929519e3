// The catalog layer's events (see container/report.h): what the table
// readers, the catalog read, the directory paths and link_data have to say.
//
// Each code is listed with the values it carries, in order. An event is a
// warning when something is not as recorded and the step goes on; every
// other one is a message. A reader that fails says so twice, as it always
// has: its own reason, then the catalog read's failure of its table.
#ifndef CATALOG_EVENTS_H
#define CATALOG_EVENTS_H

#include "container/report.h"

enum CatalogEvent {
    // Disks, Dirs and Files readers (catalog/tables.cpp)
    EV_DISKS_COUNT_UNREADABLE = EVENTS_CATALOG + 1,  // -
    EV_DIRS_COUNT_UNREADABLE,                       // -
    EV_FILES_COUNT_UNREADABLE,                      // -
    // No array: the count record announces none, or no memory for it.
    EV_DISKS_NO_ARRAY,                              // -
    EV_DIRS_NO_ARRAY,                               // - (also no memory for a name)
    EV_FILES_NO_MEMORY,                             // -

    // Paths reader
    EV_PATHS_COUNT_UNREADABLE,  // - (a record's DATATYPE holds no number)
    EV_PATHS_TEXT_NO_MEMORY,    // -
    EV_PATHS_NODE_NO_MEMORY,    // -
    EV_PATHS_DATA_UNREADABLE,   // - (closes every failure of the reader)

    // Comp reader (catalog/group_tables.cpp)
    EV_COMP_FIELD_UNREADABLE,   // record (from 0), field (from 0)
    EV_COMP_COUNT_UNREADABLE,   // -
    EV_COMP_NO_MEMORY,          // -
    EV_COMP_DATA_UNREADABLE,    // - (closes every failure of the reader)

    // Job reader
    EV_JOB_DESCRIPTORS_UNREADABLE,   // -
    EV_JOB_DESCRIPTORS_INVALID,      // -
    EV_JOB_COUNT_RECORD_UNREADABLE,  // -
    EV_JOB_NO_MEMORY,                // -
    EV_JOB_COUNT_INVALID,            // -
    EV_JOB_RECORD_UNREADABLE,        // - (or not closed by its 0x1A)
    EV_JOB_COUNT_UNEXPECTED,         // a warning: the count recorded (not 2)

    // Session reader
    EV_SESSION_DESCRIPTORS_UNREADABLE,   // -
    EV_SESSION_DESCRIPTORS_INVALID,      // -
    EV_SESSION_COUNT_RECORD_UNREADABLE,  // -
    EV_SESSION_COUNT_INVALID,            // -
    EV_SESSION_NO_MEMORY,                // -
    EV_SESSION_RECORDS_SHORT,            // records announced

    // The catalog read (catalog/read_catalog.cpp): what the Job says of the
    // data, and each table that failed with the reader's status.
    EV_DATA_COMPRESSED,      // -
    EV_DATA_NOT_COMPRESSED,  // -
    EV_DISKS_FAILED,         // status
    EV_DIRS_FAILED,          // status
    EV_FILES_FAILED,         // status
    EV_JOB_FAILED,           // status
    EV_COMP_FAILED,          // status
    EV_PATHS_FAILED,         // status
    EV_SESSIONS_FAILED,      // status

    // Directory paths (catalog/dir_path.cpp)
    EV_DIR_INDEX_ZERO,              // -
    EV_DIR_INDEX_OUT_OF_RANGE,      // the directory index on the chain
    EV_DRIVE_INDEX_OUT_OF_RANGE,    // the disk index, from 0
    EV_DIR_NAME_UNSAFE,             // the directory index asked for
    EV_DIR_TABLES_MISSING,          // - (list_dir_paths without Disks or Dirs)
    EV_DIR_PATH,                    // directory index, its path
    EV_DIR_PATH_FAILED,             // directory index

    // link_data (catalog/link.cpp)
    EV_LINK_TOTAL_WRAPPED,     // a warning: the data total passed 2^32
    EV_LINK_NOTHING,           // - (no Files or no Paths)
    EV_LINK_GROUPS_RAN_OUT,    // a warning: files left when the Comp chain ended
    EV_LINKED,                 // files, closed runs, data total

    EV_CATALOG_END  // one past the last code
};

#endif
