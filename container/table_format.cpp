// parse_count: the one scan of a count record, in the three ways the
// programs' steps read it (see CountScan).
#include "container/table_format.h"

#include "container/scan.h"

bool parse_count(const char* record, int32_t room, CountScan how, int32_t* count) {
    switch (how) {
    case COUNT_AFTER_SERIAL: {
        int32_t v[2];
        if (scan_ints(record, room, v, 2) < 2) return false;
        *count = v[1];
        return true;
    }
    case COUNT_IN_FIELD: {
        int32_t left = room - COUNT_FIELD_AT;
        return scan_int(record + COUNT_FIELD_AT, left < COUNT_FIELD_LEN ? left : COUNT_FIELD_LEN,
                        SCAN_NO_WIDTH, count);
    }
    case COUNT_WIDTH_12:
        return scan_int(record + COUNT_FIELD_AT, room - COUNT_FIELD_AT, COUNT_FIELD_LEN, count);
    }
    return false;
}
