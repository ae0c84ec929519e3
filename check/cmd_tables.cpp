// bak tables: the seven catalog tables of a set as they lie in its last
// image, for a person or a program: a line per table, --json (one object
// per table: its fields and records), --csv DIR (one CSV file per table)
// or --dbf DIR (each table region as a stand-alone table file, under the
// names dbfscan opens by number).
//
// A table is copied from its region as the image holds it (bak_set.cpp has
// located the regions): the table header 0x20 bytes before the first field
// descriptor, the descriptors, the 0x0D byte, then the records the count
// record announces, as far as the image holds them and up to the 0x1A
// byte. The field names are the descriptors' own; a field's bytes are taken
// by the descriptors' lengths, behind each record's flag byte. Values are
// the catalog's text, trailing blanks cut (numbers: blanks on both sides),
// decoded by --charset when given.
//
// Files in DIR are written through the output tree calls of the OS layer:
// nothing is written through a link, over an image or onto a special file.
#include <string.h>

#include "check/bak.h"
#include "check/outcome.h"
#include "check/bak_json.h"
#include "check/names.h"
#include "container/table_format.h"
#include "platform/dirs.h"
#include "platform/platform.h"

namespace {

// The table files dbfscan opens by number (1 to 7, inspect/dbfscan.cpp),
// by the table's index in catalog order (TBL_*).
const struct {
    int number;
    const char* file;
} DBF_NAMES[TABLE_COUNT] = {
    {3, "DVADISK.DBF"}, {2, "DVADIR.DBF"}, {4, "DVAFILE.DBF"}, {1, "DVAARCF.DBF"},
    {5, "DVJOB.DBF"},   {7, "DVTEXT.DBF"}, {6, "DVSESS.DBF"},
};

struct Field {
    std::string name;
    char type;       // 'N' number, 'C' text, as the descriptor says
    int32_t at;      // in the record, behind the flag byte and the fields before
    int32_t length;
};

struct Table {
    int32_t index;
    std::string head;      // the table header, the descriptors and the 0x0D byte
    std::vector<Field> fields;
    int32_t ent_sz;
    std::string count_record;
    std::string records;   // the records behind the count record, ent_sz bytes each
    int32_t announced;     // records the count record announces, itself excluded
    bool short_read;       // the image holds fewer
};

// n bytes from pos into *out; false, with *out holding those read, when
// fewer could be.
bool read_at(int fd, int64_t pos, int64_t n, std::string* out) {
    out->clear();
    if (n == 0) return true;
    if (plat_seek(fd, pos, PLAT_SEEK_SET) != pos) return false;
    out->resize((size_t)n);
    for (int64_t done = 0; done < n;) {
        int64_t piece = n - done < (1 << 20) ? n - done : (1 << 20);
        int32_t got = plat_read(fd, &(*out)[(size_t)done], (int32_t)piece);
        if (got <= 0) {
            out->resize((size_t)done);
            return false;
        }
        done += got;
    }
    return true;
}

bool read_table(Bak* bak, int32_t index, Table* t) {
    const RegionInfo* r = &bak->set.regions[index];
    int fd = bak->set.catalog_image;
    t->index = index;
    t->ent_sz = r->ent_sz;
    t->announced = 0;
    t->short_read = false;
    int64_t descs = (int64_t)r->offset;
    int64_t records_at = descs + (int64_t)r->nfields * FIELDDEF_SIZE + 1;
    if (descs < TABLE_HEADER_SIZE || r->nfields < 1 || r->ent_sz < 1 ||
        !read_at(fd, descs - TABLE_HEADER_SIZE, records_at - (descs - TABLE_HEADER_SIZE), &t->head) ||
        !read_at(fd, records_at, r->ent_sz, &t->count_record))
        return false;
    int32_t at = 1;
    for (int32_t i = 0; i < r->nfields; i++) {
        const unsigned char* d =
            (const unsigned char*)t->head.data() + TABLE_HEADER_SIZE + i * FIELDDEF_SIZE;
        Field f;
        f.name.assign((const char*)d, strnlen((const char*)d, FIELDDEF_NAME_SIZE));
        f.type = fielddef_type(d);
        f.at = at < t->ent_sz ? at : t->ent_sz;
        f.length = fielddef_length(d);
        if (f.length > t->ent_sz - f.at) f.length = t->ent_sz - f.at;
        at += fielddef_length(d);
        t->fields.push_back(f);
    }
    int32_t count = 0;
    if (parse_count(t->count_record.data(), t->ent_sz, COUNT_IN_FIELD, &count) && count > 1)
        t->announced = count - 1;
    // As many records as the image holds, up to the 0x1A byte.
    int64_t end = plat_seek(fd, 0, PLAT_SEEK_END);
    int64_t first = records_at + t->ent_sz;
    int64_t room = end > first ? (end - first) / t->ent_sz : 0;
    int64_t want = t->announced < room ? t->announced : room;
    read_at(fd, first, want * t->ent_sz, &t->records);
    int64_t n = (int64_t)t->records.size() / t->ent_sz;
    for (int64_t i = 0; i < n; i++)
        if ((unsigned char)t->records[(size_t)(i * t->ent_sz)] == END_OF_DATA) n = i;
    t->records.resize((size_t)(n * t->ent_sz));
    t->short_read = n < t->announced;
    return true;
}

int64_t record_count(const Table* t) { return (int64_t)t->records.size() / t->ent_sz; }

std::string value_of(const Bak* bak, const Table* t, int64_t rec, const Field* f) {
    std::string v = t->records.substr((size_t)(rec * t->ent_sz + f->at), (size_t)f->length);
    size_t end = v.find_last_not_of(std::string(" \0", 2));
    v.resize(end == std::string::npos ? 0 : end + 1);
    if (f->type == 'N') v.erase(0, v.find_first_not_of(' '));
    return decode_charset(bak->set.charset, v);
}

Json table_json(const Bak* bak, const Table* t) {
    Json j;
    j["table"] = TABLE_SCHEMAS[t->index].name;
    j["dbfscan"] = DBF_NAMES[t->index].number;
    j["file"] = DBF_NAMES[t->index].file;
    Json fields = Json::array();
    for (const Field& f : t->fields)
        fields.push_back(Json{{"name", f.name}, {"type", std::string(1, f.type)}, {"length", f.length}});
    j["fields"] = fields;
    Json records = Json::array();
    for (int64_t i = 0; i < record_count(t); i++) {
        Json r = Json::object();
        for (const Field& f : t->fields) r[f.name] = value_of(bak, t, i, &f);
        records.push_back(r);
    }
    j["records"] = records;
    return j;
}

// A CSV field (RFC 4180): quoted when it holds a comma, a quote or a line
// break, its quotes doubled.
std::string csv_field(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string table_csv(const Bak* bak, const Table* t) {
    std::string out;
    for (size_t i = 0; i < t->fields.size(); i++)
        out += (i ? "," : "") + csv_field(t->fields[i].name);
    out += "\r\n";
    for (int64_t r = 0; r < record_count(t); r++) {
        for (size_t i = 0; i < t->fields.size(); i++)
            out += (i ? "," : "") + csv_field(value_of(bak, t, r, &t->fields[i]));
        out += "\r\n";
    }
    return out;
}

// The region as a table file: header, descriptors, records, 0x1A.
std::string table_dbf(const Table* t) {
    return t->head + t->count_record + t->records + std::string(1, (char)END_OF_DATA);
}

bool write_file(int root, const std::string& name, const std::string& bytes) {
    PlatFileId id;
    int fd = plat_open_output(root, name.c_str(), PLAT_OUT_SHARED, &id);
    if (fd < 0) return false;
    bool ok = plat_truncate(fd) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        size_t piece = bytes.size() - done < (1u << 30) ? bytes.size() - done : (1u << 30);
        ok = plat_write(fd, bytes.data() + done, (int32_t)piece) == (int32_t)piece;
        done += piece;
    }
    return plat_close(fd) == 0 && ok;
}

}  // namespace

int cmd_tables(Bak* bak) {
    const BakOptions& o = bak->opt;
    const std::string& dir = !o.csv_dir.empty() ? o.csv_dir : o.dbf_dir;
    int root = -1;
    if (!dir.empty()) {
        root = open_output_dir(dir);
        if (root < 0) {
            say_error(bak, "%s: cannot make or open the directory", shown_text(dir).c_str());
            return BAK_EXIT_UNUSABLE;
        }
    }
    int status = BAK_EXIT_OK;
    for (int32_t i = 0; i < TABLE_COUNT && status != BAK_EXIT_UNUSABLE; i++) {
        Table t;
        const char* name = TABLE_SCHEMAS[i].name;
        if (!read_table(bak, i, &t)) {
            say_error(bak, "the %s table cannot be read", name);
            status = BAK_EXIT_NOT_ALL;
            continue;
        }
        if (t.short_read) {
            say_error(bak, "the %s table: its count record announces %d records, the image holds %lld",
                      name, (int)t.announced, (long long)record_count(&t));
            status = BAK_EXIT_NOT_ALL;
        }
        if (o.json) {
            put_stdout_text(bak, json_line(table_json(bak, &t)));
        } else if (!dir.empty()) {
            std::string file = !o.csv_dir.empty() ? std::string(name) + ".csv" : DBF_NAMES[i].file;
            if (!write_file(root, file, !o.csv_dir.empty() ? table_csv(bak, &t) : table_dbf(&t))) {
                say_error(bak, "%s: cannot be written", shown_text(dir + "/" + file).c_str());
                status = BAK_EXIT_UNUSABLE;
            }
        } else {
            char line[256];
            snprintf(line, sizeof line, "%d  %-12s %-8s %lld records, %d fields\n",
                     DBF_NAMES[i].number, DBF_NAMES[i].file, name, (long long)record_count(&t),
                     (int)t.fields.size());
            put_stdout_text(bak, line);
        }
    }
    // Where the catalog image's handle stands is no longer known.
    if (bak->set.placement.num_disks > 0)
        bak->set.placement.disks[(size_t)bak->set.placement.num_disks].position = -1;
    if (root >= 0) plat_close_root(root);
    return status;
}
