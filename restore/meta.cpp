// Restored file metadata: the catalog's date text becomes the file's access
// and modification time, and bit 0x80 of its attribute number decides whether
// the file stays writable.
#include "restore/restore.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "restore/events.h"
#include "restore/outtree.h"

enum {
    DATE_TEXT_SIZE = 14,
    // The attribute bit that keeps a restored file writable; clear, the file
    // is made read-only.
    ATTRIB_WRITABLE = 0x80,
};

// A piece of the date text as a decimal number: leading white space, one
// optional sign, digits; no number gives 0. Pieces are at most 4 characters,
// so the value cannot overflow.
static int date_piece(const char* text) {
    while (isspace((unsigned char)*text)) text++;
    int sign = 1;
    if (*text == '+' || *text == '-') {
        if (*text == '-') sign = -1;
        text++;
    }
    int value = 0;
    while (isdigit((unsigned char)*text)) value = value * 10 + (*text++ - '0');
    return sign * value;
}

int64_t date_to_secs(const char* date) {
    // Work on a zero-filled copy so a short text reads as missing pieces.
    char copy[DATE_TEXT_SIZE + 1];
    memset(copy, 0, sizeof copy);
    for (int i = 0; i < DATE_TEXT_SIZE && date[i]; i++) copy[i] = date[i];

    // From the end backwards, cutting the text behind each piece so that no
    // piece runs into the next one.
    int sec = date_piece(copy + 12);
    copy[12] = '\0';
    int min = date_piece(copy + 10);
    copy[10] = '\0';
    int hour = date_piece(copy + 8);
    copy[8] = '\0';
    int day = date_piece(copy + 6);
    copy[6] = '\0';
    int month = date_piece(copy + 4);
    copy[4] = '\0';
    int year = date_piece(copy);

    if (year < 1980) return 0;

    // Out-of-range months, days and times are left to mktime to normalise.
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return (int64_t)mktime(&tm);
}

// True when the file's attribute keeps it writable.
bool file_writable(const FileRecord* file) {
    return (file->attrib & ATTRIB_WRITABLE) != 0;
}

int32_t apply_file_meta(OutTree* tree, const FileRecord* file, const char* path) {
    int32_t failed = out_set_meta(tree, path, date_to_secs(file->date), file_writable(file));
    int32_t result = 0;
    if (failed & OUT_META_TIMES_FAILED) result |= META_TIMES_FAILED;
    if (failed & OUT_META_WRITABLE_FAILED) result |= META_WRITABLE_FAILED;
    return result;
}

int32_t set_file_meta(OutTree* tree, const Reporter* rep, const FileRecord* file,
                      const char* path) {
    int32_t result = apply_file_meta(tree, file, path);
    if (result != 0) warn(rep, EV_META_FAILED, {ev_num(result)});
    return result;
}
