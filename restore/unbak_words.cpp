// unbak's words (see unbak_words.h): one printf format per event code, the
// text the lower layers printed themselves before they reported instead,
// kept byte for byte with its misspellings and odd forms, since scripts and
// people read unbak's output as it always was. Each format is filled in
// from the event's values in order by put_event_text, which prints "%ld"
// and "%lx" as the original program's 32-bit long did. The one event
// composed of several texts, the header, has code of its own below.
#include "restore/unbak_words.h"

#include <stdio.h>

#include "catalog/events.h"
#include "container/events.h"
#include "restore/event_text.h"

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
    {EV_LINK_TOTAL_WRAPPED, "\nwarning cum_dat wrapped in link_data()"},
    {EV_LINK_NOTHING, "\nabort either no path data or no file data"},
    {EV_LINK_GROUPS_RAN_OUT, "\nreached end of comp chain while there is still file data"},
    {EV_LINKED, "\nlink_data() %d files  %d comp groups  cum data size %lu"},
};

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

}  // namespace

void unbak_print_event(void* ctx, const Event* ev) {
    (void)ctx;
    if (ev->code == EV_HEADER) {
        put_header(stdout, ev);
        return;
    }
    if (const char* fmt = words_for(ev->code)) put_event_text(stdout, fmt, ev);
}

const Reporter UNBAK_REPORTER = {unbak_print_event, nullptr};

bool unbak_has_words(int32_t code) {
    return code == EV_HEADER || words_for(code) != nullptr;
}
