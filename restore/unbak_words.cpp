// unbak's words (see unbak_words.h): one printf format per event code, the
// text the lower layers printed themselves before they reported instead,
// kept byte for byte with its misspellings and odd forms, since scripts and
// people read unbak's output as it always was. Each format is filled in
// from the event's values in order by put_event_text, which prints "%ld"
// and "%lx" as the original program's 32-bit long did. The one event
// composed of several texts, the header, has code of its own below.
#include "restore/unbak_words.h"

#include <stdio.h>
#include <string.h>

#include "catalog/events.h"
#include "container/events.h"
#include "restore/event_text.h"
#include "restore/events.h"
#include "restore/restore.h"

namespace {

struct Words {
    int32_t code;
    const char* fmt;
};

const Words WORDS[] = {
    // get_fhead (EV_HEADER is composed below)
    {EV_HEADER_OPEN_FAILED, "\nfailed to open target file: %s"},
    {EV_HEADER_READ_FAILED, "\nfailed to read file header"},
    {EV_HEADER_BAD_SIGNATURE, "\nbig endian file header signature != 0x%lx"},
    {EV_HEADER_NAME_NO_MEMORY, "\nfailed to allocate %d bytes for name string"},
    {EV_NUMBER_FIELD_WIDTH, "\nwaring dvatol() called with len %d"},

    // find_serial, skip_struct
    {EV_SERIAL_NOT_FOUND,
     "\nread error no valid 1st 'SERIAL' field found reading ahead by 0x20 byte blocks\n"},
    {EV_DESCRIPTORS_READ_SHORT, "\nread error in structure header region after %d entries"},
    {EV_RECORD_TOO_BIG, "\nabort structure data size %d exceeds read buffer size of %d"},
    {EV_RECORD_TOO_SMALL, "\nabort structure data size %d below minimum of %d"},
    {EV_DESCRIPTORS_INVALID, "\ninvalid structure header region %11.*s, read %d entries terminator %x"},
    {EV_COUNT_UNREADABLE, "\nabort in skip_struct() at offset %ld, failed to get number of records"},
    {EV_RECORD_COUNT_MISMATCH, "\nwarning num %d from 1st record != record cnt %d"},
    // "0xld" is no conversion: the offset was never printed, only these
    // letters.
    {EV_DATA_END_MISSING, "\nfailed to find 0x1A terminator at end of record at 0xld"},

    // locate_regions
    {EV_REGION_SEARCH, "\nstart of Structure Definition %d: %-8s at "},
    {EV_REGION_SEEK_FAILED, "\nfatal seek error, could not reach start offset when started at 0x%lx\n"},
    {EV_REGION_NOT_FOUND, "\nFailed to reach next structure when search started at offset 0x%lx"},
    {EV_REGION_FOUND, " 0x%lx"},
    {EV_REGION_UNMEASURED, "\nabort, skip_struct(%d) returned offset %ld"},
    {EV_REGION_INVALID, "\nabort: field validation failed for structure %d"},

    // walk_regions (-f)
    {EV_WALK_REGION, "\nstart of Structure Definition %2d: %-8s at "},
    // The "?" closes the "at " of the line before.
    {EV_WALK_SEEK_FAILED, "?\nfatal seek error, could not reach start offset\n"},
    {EV_WALK_FOUND, "0x%lx "},
    {EV_WALK_DESCRIPTOR, "\n%2d %-10.*s type %c len %d"},
    {EV_WALK_FIELDS, " with %d fields"},
    {EV_WALK_SKIPPED_AHEAD, "\nskipped ahead 0x%lx bytes beyond base fixed offset to find start structure"},
    {EV_WALK_RECORDS, "\nCatalog contains data for %ld entries for this structure each of %d bytes"},
    {EV_WALK_FIELDS_END, "\nend of structure definition start of data at 0x%lx"},
    {EV_WALK_DATA_END, "\nend of data start next region             at 0x%lx\n"},
    {EV_WALK_END_NOT_FOUND, "\nread error searching for terminators\n"},

    // validate_region
    {EV_SHAPE_INDEX_OUT_OF_RANGE, "\nvalidation error: structure index %d out of range"},
    {EV_SHAPE_FIELD_COUNT, "\nmismatch in # of fields %d != %d"},
    {EV_SHAPE_RECORD_SIZE, "\nmismatch in total size of data element %d != %d"},
    {EV_SHAPE_FIELD_LENGTH, "\nfield %d  len mismatch  %d != %d"},
    {EV_SHAPE_FIELD_KIND, "\nfield %d type %c mis match, should not be %c"},

    // Disks, Dirs, Files and Paths readers
    {EV_DISKS_COUNT_UNREADABLE, "\nfailed to get # of records in disk array"},
    {EV_DIRS_COUNT_UNREADABLE, "\nfailed to get # of records in dir array"},
    {EV_FILES_COUNT_UNREADABLE, "\nfailed to get # of records in file array"},
    {EV_DISKS_NO_ARRAY, "\nfailed to allocate space for disk_def"},
    {EV_DIRS_NO_ARRAY, "\nfailed to allocate space for dir_def"},
    {EV_FILES_NO_MEMORY, "\nfailed to allocate space for _def"},
    {EV_PATHS_COUNT_UNREADABLE, "\nfailed to get # of records in paths array"},
    {EV_PATHS_TEXT_NO_MEMORY, "\nstring allocation error in read_paths()"},
    {EV_PATHS_NODE_NO_MEMORY, "\npath node allocation error"},
    {EV_PATHS_DATA_UNREADABLE, "\nfailed to read Paths data section"},

    // Comp, Job and Session readers
    {EV_COMP_FIELD_UNREADABLE, "\nread_comp() failed to scan rec %d data field %d"},
    {EV_COMP_COUNT_UNREADABLE, "\nfailed to get # of records in comp array"},
    {EV_COMP_NO_MEMORY, "\nallocation error"},
    {EV_COMP_DATA_UNREADABLE, "\nfailed to read Comp data section"},
    {EV_JOB_DESCRIPTORS_UNREADABLE, "\nfatal error failed to read headers in get_job()"},
    {EV_JOB_DESCRIPTORS_INVALID, "\nfatal error, invalid header region in get_job()"},
    {EV_JOB_COUNT_RECORD_UNREADABLE, "\nfailed to read 1st data record in get_job()"},
    {EV_JOB_NO_MEMORY, "\nallocation error in get_job()"},
    {EV_JOB_COUNT_INVALID, "\ninvalid 1st record in get_job()"},
    {EV_JOB_RECORD_UNREADABLE, "\ndata region read error, or not terminated by 0x1a in get_job()"},
    {EV_JOB_COUNT_UNEXPECTED, "\nWarning Job has unexpected record count = %d"},
    {EV_SESSION_DESCRIPTORS_UNREADABLE, "\nfatal error failed to read headers in get_sess()"},
    {EV_SESSION_DESCRIPTORS_INVALID, "\nfatal error get_sess(), invalid header region"},
    {EV_SESSION_COUNT_RECORD_UNREADABLE, "\nfailed to read 1st data record in get_sess()"},
    {EV_SESSION_COUNT_INVALID, "\ninvalid 1st record"},
    {EV_SESSION_NO_MEMORY, "\ncalloc() error in get_sess()"},
    // The count sits oddly between "failed to" and "read".
    {EV_SESSION_RECORDS_SHORT, "\nfatal read error in get_sess() failed to %d read all data records"},

    // The catalog read
    {EV_DATA_COMPRESSED, "\ndata is compressed"},
    {EV_DATA_NOT_COMPRESSED, "\ndata is not compressed"},
    {EV_DISKS_FAILED, "\nError %d reading Disks"},
    {EV_DIRS_FAILED, "\nError %d reading Dirs"},
    {EV_FILES_FAILED, "\nError %d reading Files"},
    {EV_JOB_FAILED, "\nfailed to read job data"},
    {EV_COMP_FAILED, "\nError %d reading Comp, can't decompress data"},
    {EV_PATHS_FAILED, "\nError %d reading Paths"},
    {EV_SESSIONS_FAILED, "\nfailed to read session data"},

    // Directory paths
    {EV_DIR_INDEX_ZERO, "\nfatal error in mk_path_str() ndx = 0 reserved"},
    {EV_DIR_INDEX_OUT_OF_RANGE, "\ndir ndx %d out of range"},
    {EV_DRIVE_INDEX_OUT_OF_RANGE, "\ndrive ndx %d out of range"},
    {EV_DIR_NAME_UNSAFE, "\nunsafe directory name in path of dir ndx %d"},
    {EV_DIR_TABLES_MISSING, "\nabort no disks or dirs data loaded"},
    {EV_DIR_PATH, "\n%3d %s"},
    {EV_DIR_PATH_FAILED, "\n%3d: error in mk_path_str()"},

    // link_data
    // cum_dat, the stream total's old name, as it always was.
    {EV_LINK_TOTAL_WRAPPED, "\nwarning cum_dat wrapped in link_data()"},
    {EV_LINK_NOTHING, "\nabort either no path data or no file data"},
    {EV_LINK_GROUPS_RAN_OUT, "\nreached end of comp chain while there is still file data"},
    {EV_LINKED, "\nlink_data() %d files  %d comp groups  cum data size %lu"},

    // The walk
    {EV_LISTING_BEGIN, "\ncatalog Files listing:\n"},
    {EV_PATH_FILTER, "using path string: %s\n"},
    // "comparision" as it always was.
    {EV_FILTERED_OUT, "\nskipped %ld files due to path comparision from -p<path>"},
    {EV_LISTING_END, "\n"},
    // "0x%ld": a decimal number behind a hex prefix, as it always was.
    {EV_FILE_GROUP, "\n     compsize %ld chksum 0x%lx offs_lo 0x%ld"},
    {EV_START_FILE_UNREACHED, "\nfatal error, could not step ahead to file record # %ld"},
    {EV_DATA_START_SEEK_FAILED, "\nfatal error seeking to start of file data at 0x200\n"},
    {EV_LAST_DISK, "\nThis is disk %d of a multi disk Dravik backup"
                   "\nfor a full restore of the total %ld files the other disks are required."},
    // check_alloc, find_first_whole_file's old name, as it always was.
    {EV_SKIP_IMPOSSIBLE, "\nabort check_alloc() returned %ld which shouldn't be possible"},
    {EV_LAST_DISK_SEEK_FAILED, "\nfatal error seeking to start of 2nd file data at 0x%ld\n"},
    {EV_NO_NAME_SKIPPED, "\nfile record %ld has no name, data skipped"},
    {EV_UNSAFE_NAME_SKIPPED, "\nunsafe file name, data skipped: %s"},
    {EV_DUPLICATE_SKIPPED, "\nduplicate output name, data skipped: %s"},
    {EV_OUTPUT_OPEN_FAILED, "\nfailed to open output file: %s"},

    // The disk set
    {EV_DISK_DATA_SPACE, "\n%ld files uncompressed data space %lu used data space %lu"},
    {EV_DISK_ROOM, "\n%ld data bytes available for data storage on this disk"},
    {EV_SPAN_IN_GROUP, "\ntother = %ld on file %ld comp rec %d, in middle of group"},
    {EV_SKIP_LEADING,
     "\n must skip first %ld data bytes on this media disk as previous file spans 2 disks"},
    {EV_DISK_MISMATCH, "\nnew header data does not match catalog header"},
    {EV_LAST_DISK_ACCEPTED, "\nDisk %d is last disk in set with 0x%lx bytes available"},
    {EV_DISK_ACCEPTED, "\nDisk %d with out of %d with 0x%lx bytes available"},
    {EV_DISK_END_UNKNOWN, "\n seek error reaching EOF to establish available data space"},

    // The data steps
    {EV_DISK_CHANGE, "\ndisk change"},
    {EV_DISK_LEFT_OVER, " - warning avail = %ld, should be zero"},
    {EV_SKIP_SEEK_FAILED, "\nseek error in skip_file()"},
    {EV_STORED_IO_ERROR, "\nio error writing file %s"},
    {EV_OUTPUT_SHORT_WRITE, "\nerror writing output wrote %d of %d bytes"},
    // A short write has always been told as inflate's error -10.
    {EV_INFLATE_WRITE_FAILED, "\nerror -10 in raw inflate()"},
    {EV_GROUP_NO_MEMORY, "\nfatal error allocating decompression buffer"},
    {EV_GROUP_READ_ERROR, "\nio error reading file %s"},
    {EV_RAW_WRITE_ERROR, "\nraw write error"},
    {EV_DECOMPRESSION_FATAL, "\nfatal decompression error"},
    {EV_GROUP_INFLATED, "\nend of compressed bitstream, wrote %ld bytes"},
    {EV_GROUP_LENGTH_MISMATCH, "\nwarning decompressed block data length mismatch! %ld != %ld"},
    {EV_GROUP_CRC_MISMATCH,
     "\nwarning decompressed data crc=0x%lx+chksum in file =0x%lx for block != -1"},
    {EV_RUN_ENDED, "\nfatal error, end Comp records for file %s"},
    {EV_UNKNOWN_LEVEL, "\nfatal error comp_lvl = %ld unknown"},
    {EV_GROUP_TRACE, "\ngroup %d offs_lo 0x%lx comp_lvl %ld"},
    {EV_FILE_LENGTH_MISMATCH, "\nwarning output file length mismatch after extraction! %ld != %ld"},

    // The output tree
    {EV_DIR_CREATE_FAILED, "\nfailed to create directory"},
    {EV_DIR_EXISTS, "\nWarning directory already exists"},

    // The catalog save
    {EV_CATALOG_FILE_OPEN_FAILED, "\nerror opening %s for catalog file output"},
    {EV_CATALOG_HEADER_WRITE_FAILED, "\nfailed to write new header in save_cat()"},
    {EV_CATALOG_SEEK_FAILED, "\nseek to catalog start at 0x%lx failed"},
    {EV_CATALOG_COPY_FAILED, "\nerror saving catalog file"},
};

// Events unbak composes from several texts.
const int32_t COMPOSED[] = {EV_HEADER,          EV_FILE_LISTED, EV_FIRST_WHOLE_FILE,
                            EV_INFLATE_INIT_FAILED, EV_INFLATE_FAILED, EV_META_FAILED};

const char* words_for(int32_t code) {
    for (const Words& w : WORDS)
        if (w.code == code) return w.fmt;
    return nullptr;
}

// The header as four texts: name, job and disk, then whether and where the
// disk holds the catalog (the event's fourth value).
void put_header(FILE* out, const Event* ev) {
    put_event_text(out, "\nBackup name: %s", ev);
    Event rest = *ev;
    rest.argc = 0;
    for (int32_t k = 1; k < ev->argc; k++) rest.args[rest.argc++] = ev->args[k];
    put_event_text(out, "\nJob %d  Backup Disk %d", &rest);
    Event offset = *ev;
    offset.argc = 0;
    if (ev->argc > 3) offset.args[offset.argc++] = ev->args[3];
    bool has_catalog = offset.argc > 0 && (uint32_t)offset.args[0].num != 0;
    if (has_catalog)
        put_event_text(out, "\nCatalog at  offset 0x%lx\n", &offset);
    else
        put_event_text(out, "\nno Catalog on this disk", &offset);
}

// The event with only its values from `from` on.
Event tail_of(const Event* ev, int32_t from) {
    Event rest = *ev;
    rest.argc = 0;
    for (int32_t k = from; k < ev->argc; k++) rest.args[rest.argc++] = ev->args[k];
    return rest;
}

// A listing line: the path column is 40 wide; a longer path pushes the
// date onto a line of its own.
void put_listed(FILE* out, const Event* ev) {
    put_event_text(out, "\n%3ld: %-40s  ", ev);
    if (ev->argc > 1 && ev->args[1].text && strlen(ev->args[1].text) > 40) fputs("\n    ", out);
    Event rest = tail_of(ev, 2);
    put_event_text(out, "%s len %8ld", &rest);
}

// A zlib failure: its result, then zlib's own message when it gave one.
void put_zlib_failure(FILE* out, const char* fmt, const Event* ev) {
    put_event_text(out, fmt, ev);
    if (ev->argc > 1 && ev->args[1].text) {
        Event msg = tail_of(ev, 1);
        put_event_text(out, "\n%s", &msg);
    }
}

void put_composed(FILE* out, const Event* ev) {
    switch (ev->code) {
    case EV_HEADER:
        put_header(out, ev);
        break;
    case EV_FILE_LISTED:
        put_listed(out, ev);
        break;
    case EV_FIRST_WHOLE_FILE:
        put_event_text(out, "\n1st full file on disk %ld  ", ev);
        if (ev->argc > 1 && ev->args[1].text) {
            Event name = tail_of(ev, 1);
            put_event_text(out, " => %s", &name);
        } else {
            fputs("\nthis disk just contains continuation data from a prior file and the catalog",
                  out);
        }
        break;
    case EV_INFLATE_INIT_FAILED:
        put_zlib_failure(out, "\nerror %d in inflateInit2", ev);
        break;
    case EV_INFLATE_FAILED:
        put_zlib_failure(out, "\nerror %d in raw inflate()", ev);
        break;
    case EV_META_FAILED: {
        int64_t bits = ev->argc > 0 ? ev->args[0].num : 0;
        fputs("\nerror setting file: ", out);
        if (bits & META_TIMES_FAILED) fputs("timestamp ", out);
        if (bits & META_WRITABLE_FAILED) fputs("attributes", out);
        break;
    }
    default:
        break;
    }
}

bool is_composed(int32_t code) {
    for (int32_t c : COMPOSED)
        if (c == code) return true;
    return false;
}

// What makes a finished listing or restore "not as recorded" (exit 9).
bool not_as_recorded(int32_t code) {
    switch (code) {
    case EV_NO_NAME_SKIPPED:
    case EV_UNSAFE_NAME_SKIPPED:
    case EV_DUPLICATE_SKIPPED:
    case EV_GROUP_LENGTH_MISMATCH:
    case EV_GROUP_CRC_MISMATCH:
    case EV_FILE_LENGTH_MISMATCH:
    case EV_META_FAILED:
        return true;
    default:
        return false;
    }
}

}  // namespace

void unbak_print_event(void* ctx, const Event* ev) {
    if (ctx) {
        UnbakTally* tally = (UnbakTally*)ctx;
        if (not_as_recorded(ev->code) ||
            (tally->locating && ev->code == EV_RECORD_COUNT_MISMATCH))
            tally->not_as_recorded = true;
    }
    if (is_composed(ev->code))
        put_composed(stdout, ev);
    else if (const char* fmt = words_for(ev->code))
        put_event_text(stdout, fmt, ev);
}

const Reporter UNBAK_REPORTER = {unbak_print_event, nullptr};

bool unbak_has_words(int32_t code) {
    return is_composed(code) || words_for(code) != nullptr;
}
