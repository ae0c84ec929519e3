// The seven table shapes, and validate_region, which compares the
// descriptors found in a region with its table's shape.
//
// Each shape lists its fields once; the offsets and the record size follow
// from the lengths at compile time.
#include "container/schema.h"

#include <stddef.h>

#include "container/events.h"
#include "container/table_format.h"

namespace {

enum { NUMBER_WIDTH = 12, LONGEST_COPIED = 14 };

constexpr SchemaField number(const char* name = nullptr) {
    return SchemaField{name, 'L', NUMBER_WIDTH, 0};
}
constexpr SchemaField copied(uint16_t length, const char* name = nullptr) {
    return SchemaField{name, 'C', length, 0};
}
constexpr SchemaField trimmed(uint16_t length, const char* name = nullptr) {
    return SchemaField{name, 'S', length, 0};
}

template <size_t N>
struct Fields {
    SchemaField f[N];
};

// Places each field behind the record's flag byte and the fields before it.
template <size_t N>
constexpr Fields<N> laid_out(const SchemaField (&in)[N]) {
    Fields<N> out = {};
    uint16_t at = 1;
    for (size_t k = 0; k < N; k++) {
        out.f[k] = in[k];
        out.f[k].offset = at;
        at = (uint16_t)(at + in[k].length);
    }
    return out;
}

template <size_t N>
constexpr int32_t record_size(const Fields<N>& t) {
    return t.f[N - 1].offset + t.f[N - 1].length;
}

// What the format says of every table: SERIAL first, a number; the count in
// the count record's second field, a number; texts of 14 characters or less
// copied, longer ones trimmed.
template <size_t N>
constexpr bool well_formed(const Fields<N>& t) {
    if (N < 2 || t.f[0].name != SERIAL_NAME || t.f[0].kind != 'L' || t.f[1].kind != 'L' ||
        t.f[1].offset != COUNT_FIELD_AT || t.f[1].length != COUNT_FIELD_LEN)
        return false;
    for (size_t k = 0; k < N; k++)
        if (t.f[k].kind != 'L' && (t.f[k].kind == 'S') != (t.f[k].length > LONGEST_COPIED)) return false;
    return true;
}

constexpr SchemaField DISK_LIST[] = {
    number(SERIAL_NAME), number(), number(), number(), number(), number(), number(), number(),
    copied(12), copied(14), copied(14), copied(2), number("HASDSKST"),
};
constexpr SchemaField DIR_LIST[] = {number(SERIAL_NAME), number(), number(), trimmed(240, "NAME")};
constexpr SchemaField FILE_LIST[] = {
    number(SERIAL_NAME), number(), number(), number(), number(), number(), number(),
    copied(14), trimmed(240, "NAME"),
};
constexpr SchemaField COMP_LIST[] = {
    number(SERIAL_NAME), number("ORGSER"), number("SEQUENCE"), number("ORGSIZE"),
    number("COMPSIZE"),  number("ARCDSKSE"), number("CHK_SUM"), number("COMP_LVL"),
    number("OFFS_HI"),   number("OFFS_LO"), number("IS_LAST"),
};
constexpr SchemaField JOB_LIST[] = {
    number(SERIAL_NAME), number(), number(), number(), number(), number(), number(), number(),
    copied(14), trimmed(32), trimmed(256, "DESCR"),
};
constexpr SchemaField PATH_LIST[] = {number(SERIAL_NAME), number("DATATYPE"), trimmed(240, "DATATEXT")};
constexpr SchemaField SESSION_LIST[] = {
    number(SERIAL_NAME), number(), number(), number(), number(), copied(14, "SESSDATE"),
};

constexpr auto DISK_SHAPE = laid_out(DISK_LIST);
constexpr auto DIR_SHAPE = laid_out(DIR_LIST);
constexpr auto FILE_SHAPE = laid_out(FILE_LIST);
constexpr auto COMP_SHAPE = laid_out(COMP_LIST);
constexpr auto JOB_SHAPE = laid_out(JOB_LIST);
constexpr auto PATH_SHAPE = laid_out(PATH_LIST);
constexpr auto SESSION_SHAPE = laid_out(SESSION_LIST);

static_assert(well_formed(DISK_SHAPE) && well_formed(DIR_SHAPE) && well_formed(FILE_SHAPE) &&
                  well_formed(COMP_SHAPE) && well_formed(JOB_SHAPE) && well_formed(PATH_SHAPE) &&
                  well_formed(SESSION_SHAPE),
              "a table shape breaks the format's rules");

#define SCHEMA(name, t) {name, (int32_t)(sizeof t.f / sizeof t.f[0]), record_size(t), t.f}

}  // namespace

const TableSchema TABLE_SCHEMAS[TABLE_COUNT] = {
    SCHEMA("Disk", DISK_SHAPE), SCHEMA("Dir", DIR_SHAPE),   SCHEMA("File", FILE_SHAPE),
    SCHEMA("Comp", COMP_SHAPE), SCHEMA("Job", JOB_SHAPE),   SCHEMA("Path", PATH_SHAPE),
    SCHEMA("Session", SESSION_SHAPE),
};

int32_t validate_region(int32_t index, int32_t nfields, int32_t ent_sz, const int32_t* lengths,
                        const char* types, const Reporter* rep) {
    if (index < 0 || index >= TABLE_COUNT) {
        say(rep, EV_SHAPE_INDEX_OUT_OF_RANGE, {ev_num(index)});
        return -1;
    }
    const TableSchema* s = &TABLE_SCHEMAS[index];
    int32_t mismatches = 0;
    if (s->nfields != nfields) {
        say(rep, EV_SHAPE_FIELD_COUNT, {ev_num(s->nfields), ev_num(nfields)});
        mismatches++;
    }
    if (s->ent_sz != ent_sz) {
        say(rep, EV_SHAPE_RECORD_SIZE, {ev_num(s->ent_sz), ev_num(ent_sz)});
        mismatches++;
    }
    // A field-count mismatch stops here, so k stays inside the schema's fields.
    for (int32_t k = 0; k < nfields && mismatches == 0; k++) {
        const SchemaField* f = &s->fields[k];
        if (f->length != lengths[k]) {
            say(rep, EV_SHAPE_FIELD_LENGTH, {ev_num(k), ev_num(f->length), ev_num(lengths[k])});
            mismatches++;
        }
        if (types[k] == 'C') {
            char expected = f->length > LONGEST_COPIED ? 'S' : 'C';
            if (f->kind != expected) {
                say(rep, EV_SHAPE_FIELD_KIND, {ev_num(k), ev_num(expected), ev_num(f->kind)});
                mismatches++;
            }
        } else if (types[k] == 'N' && f->kind != 'L') {
            say(rep, EV_SHAPE_FIELD_KIND, {ev_num(k), ev_num(f->kind), ev_num('N')});
            mismatches++;
        }
    }
    return mismatches;
}
