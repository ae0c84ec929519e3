// Structure-aware mutation of backup images (mutator.h).
//
// Every change works on the model of image_model.h and keeps the model
// consistent where the change is meant to reach a deeper check (a rewritten
// group gets matching sizes and checksum; a widened descriptor widens every
// record), and breaks it on purpose elsewhere (a length changed alone, a
// count that disagrees). All indices are checked against the model, so any
// input, however broken, is handled.
#include "fuzz/mutator.h"

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "fuzz/image_model.h"

using namespace imodel;

namespace {

struct Rng {
    uint64_t s;
    explicit Rng(unsigned seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
    uint64_t next() {
        s += 0x9E3779B97F4A7C15ull;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1; 0 when n is 0.
    size_t below(size_t n) { return n ? (size_t)(next() % n) : 0; }
    bool one_in(size_t n) { return below(n) == 0; }
};

template <class T>
const T& pick(Rng& rng, const std::vector<T>& v) {
    return v[rng.below(v.size())];
}

const std::vector<int64_t>& odd_numbers() {
    static const std::vector<int64_t> v = {0,        1,          2,          3,           -1,         -2,
                                           4,        7,          12,         14,          15,         31,
                                           32,       255,        256,        1023,        1024,       1025,
                                           4096,     32767,      65535,      65536,       1000000,    2147483647,
                                           -2147483647 - 1, 2147483648ll, 4294967295ll, 4294967296ll,
                                           99999999999ll, -99999999999ll};
    return v;
}

const std::vector<std::string>& odd_names() {
    static const std::vector<std::string> v = {
        "..",          ".",           "/",         "\\",          ":",          "C:",          "C:\\",
        "..\\..\\x",   "../../x",     "a/b",       "a\\b",        "\\\\h\\s",   "x:y",         "CON",
        "nul.txt",     "a\tb",        "",          " ",           "name ",      "...",         "a..b",
        "*?<>|\"",     "%s%s%n",      "\x01",      "\xff\xfe",    "/etc",       "\\..",        "..\\",
        "../",         "d:..",        "C:..",      "..:",         "a\x1a",      "a\x0d",       "\x7f",
        std::string(239, 'n'),        std::string(240, 'm'),      std::string(120, '.')};
    return v;
}

const std::vector<std::string>& odd_dates() {
    static const std::vector<std::string> v = {
        "20000301000000", "19790101000000", "19800101000000", "19800101000001", "21071231235959",
        "21080101000000", "99999999999999", "00000000000000", "2000",           "20001332256161",
        "abcdefghijklmn", "",               "20000229120000", "19700101000000", "20380119031408",
        "-1",             "1999123123595",  "2000 3 1 0 0 0", "20001231246060", "19991231235959"};
    return v;
}

// A text of n bytes: letters, or anything.
std::string some_bytes(Rng& rng, size_t n) {
    std::string s(n, '\0');
    bool text = rng.one_in(2);
    for (size_t i = 0; i < n; i++) s[i] = text ? (char)('a' + rng.below(26)) : (char)rng.below(256);
    return s;
}

int64_t odd_number(Rng& rng, int64_t now) {
    switch (rng.below(4)) {
    case 0: return now + (int64_t)rng.below(5) - 2;
    case 1: return (int64_t)rng.below(64);
    default: return pick(rng, odd_numbers());
    }
}

// A table chosen at random, -1 when there is none.
int any_table(Rng& rng, const Image& img) { return img.tables.empty() ? -1 : (int)rng.below(img.tables.size()); }

// The table of a kind when present, else any.
int table_of(Rng& rng, const Image& img, int kind) {
    int t = find_table(img, kind);
    return t >= 0 ? t : any_table(rng, img);
}

size_t entry(Rng& rng, const Table& t) { return t.records.size() > 1 ? 1 + rng.below(t.records.size() - 1) : 0; }

// ---- header ----------------------------------------------------------------

void mutate_header(Rng& rng, Image& img) {
    if (img.header.size() < HEADER_SIZE) img.header.resize(HEADER_SIZE, '\0');
    std::string& h = img.header;
    switch (rng.below(7)) {
    case 0: {
        static const uint16_t disks[] = {1, 1, 2, 3, 0, 4, 65535};
        put_le16(h, HDR_DISK, rng.one_in(4) ? (uint16_t)rng.below(65536) : disks[rng.below(7)]);
        break;
    }
    case 1: put_le16(h, HDR_JOB, (uint16_t)(rng.one_in(2) ? rng.below(4) : rng.below(65536))); break;
    case 2: h[12 + rng.below(8)] ^= (char)(1 + rng.below(255)); break;  // set ids
    case 3: {
        // cat_offs off its true place: before, after, 0, beyond the end.
        img.cat_offs_follows = false;
        uint32_t now = (uint32_t)(HEADER_SIZE + img.data.size());
        static const int32_t deltas[] = {-32, 32, -1, 1, -512, 4096, -4304};
        uint32_t v = rng.one_in(4) ? 0 : rng.one_in(5) ? (uint32_t)rng.next() : now + (uint32_t)deltas[rng.below(7)];
        put_le32(h, HDR_CAT_OFFS, v);
        break;
    }
    case 4: {
        std::string name = rng.one_in(3) ? some_bytes(rng, 1 + rng.below(460)) : pick(rng, odd_names());
        std::string area = name.substr(0, 460);
        if (rng.one_in(3)) area.resize(460, 'N');  // no NUL at all
        area.resize(460, '\0');
        h.replace(HDR_NAME, 460, area);
        break;
    }
    case 5: h[rng.below(4)] ^= (char)(1 + rng.below(255)); break;  // signature
    default: h[4 + rng.below(48)] = (char)rng.below(256); break;
    }
}

// ---- regions ---------------------------------------------------------------

void resize_gap(Rng& rng, Table& t) {
    // Grow or shrink at the front, so the table header stays at its end.
    size_t n = t.gap.size();
    size_t want;
    switch (rng.below(5)) {
    case 0: want = n + 32 * (1 + rng.below(4)); break;
    case 1: want = n >= 32 ? n - 32 * (1 + rng.below(n / 32 < 4 ? n / 32 : 4)) : 0; break;
    case 2: want = n + 1; break;
    case 3: want = n ? n - 1 : 0; break;
    default: want = rng.below(n + 64); break;
    }
    if (want > n) {
        char fill = rng.one_in(2) ? '\0' : (char)rng.below(256);
        t.gap.insert(0, want - n, fill);
    } else {
        t.gap.erase(0, n - want);
    }
}

void mutate_regions(Rng& rng, Image& img) {
    int ti = any_table(rng, img);
    if (ti < 0) return;
    Table& t = img.tables[(size_t)ti];
    switch (rng.below(9)) {
    case 0: resize_gap(rng, t); break;
    case 1: {
        int tj = any_table(rng, img);
        std::swap(img.tables[(size_t)ti].descs, img.tables[(size_t)tj].descs);
        std::swap(img.tables[(size_t)ti].records, img.tables[(size_t)tj].records);
        break;
    }
    case 2:
        if (img.tables.size() < 10) {
            Table copy = t;
            img.tables.insert(img.tables.begin() + ti, copy);
        }
        break;
    case 3: img.tables.erase(img.tables.begin() + ti); break;
    case 4: t.end_of_fields = !t.end_of_fields; break;
    case 5: t.end_of_data = !t.end_of_data; break;
    case 6:
        // The table header's record count, which only dbfscan reads.
        if (t.gap.size() >= 32) put_le32(t.gap, t.gap.size() - 28, (uint32_t)odd_number(rng, (int64_t)t.records.size()));
        break;
    case 7:
        // The image ends inside or right after a region.
        img.tail.clear();
        img.tables.resize((size_t)ti + 1);
        if (rng.one_in(2)) {
            if (!t.records.empty()) t.records.pop_back();
            t.end_of_data = rng.one_in(2);
        }
        break;
    default:
        if (rng.one_in(2))
            img.tail += some_bytes(rng, 1 + rng.below(64));
        else
            img.tail.clear();
        break;
    }
}

// ---- descriptors -----------------------------------------------------------

// Widens (delta > 0) or narrows field f in every record.
void resize_field(Table& t, size_t f, int64_t delta) {
    int64_t off = field_offset(t, f);
    if (off < 0) return;
    for (std::string& r : t.records) {
        if ((int64_t)r.size() < off) continue;
        int64_t end = off + desc_length(t.descs[f]);
        if (end > (int64_t)r.size()) end = (int64_t)r.size();
        if (delta > 0)
            r.insert((size_t)end, (size_t)delta, ' ');
        else if (end + delta >= off)
            r.erase((size_t)(end + delta), (size_t)-delta);
    }
}

void mutate_descs(Rng& rng, Image& img) {
    int ti = any_table(rng, img);
    if (ti < 0) return;
    Table& t = img.tables[(size_t)ti];
    if (t.descs.empty()) return;
    size_t f = rng.below(t.descs.size());
    std::string& d = t.descs[f];
    switch (rng.below(10)) {
    case 0: case 1: {
        // A new length, the records following it (the format stays sound).
        uint32_t now = desc_length(d);
        static const int64_t deltas[] = {1, -1, 2, -2, 12, -12, 100, 500, 1100};
        int64_t delta = deltas[rng.below(9)];
        if ((int64_t)now + delta < 1 || (int64_t)now + delta > 4000) break;
        resize_field(t, f, delta);
        put_le32(d, 16, (uint32_t)((int64_t)now + delta));
        break;
    }
    case 2: {
        // A new length alone: the records no longer fit it.
        static const uint32_t lens[] = {0, 1, 11, 13, 240, 256, 1024, 1025, 65535, 65536, 0x01000C};
        put_le32(d, 16, rng.one_in(3) ? desc_length(d) + (uint32_t)rng.below(5) - 2 : lens[rng.below(11)]);
        break;
    }
    case 3: {
        static const char types[] = {'N', 'C', 'M', 'D', 'n', '\0', ' '};
        d[11] = types[rng.below(7)];
        break;
    }
    case 4: {
        static const char* const names[] = {"SERIAL", "serial", "NAME", "SIZE_LO", "COMPSIZE", "IS_LAST",
                                            "PARENT", "DIR",    "X",    "",        "SERIAL\tX", "NAME\x01"};
        std::string name = names[rng.below(12)];
        std::string field(11, '\0');
        memcpy(&field[0], name.data(), name.size() < 11 ? name.size() : 11);
        d.replace(0, 11, field);
        break;
    }
    case 5: put_le32(d, 12, (uint32_t)pick(rng, odd_numbers())); break;  // field offset
    case 6: d[18 + rng.below(14)] = (char)(1 + rng.below(255)); break;   // must-be-zero bytes
    case 7:
        // A copy of a descriptor, and a blank field in every record.
        if (t.descs.size() < (size_t)MAX_DESCS) {
            size_t at = rng.below(t.descs.size() + 1);
            std::string copy = d;
            uint32_t len = desc_length(copy);
            if (len == 0 || len > 1024) break;
            int64_t off = at < t.descs.size() ? field_offset(t, at) : record_size(t);
            for (std::string& r : t.records)
                if ((int64_t)r.size() >= off) r.insert((size_t)off, len, rng.one_in(2) ? ' ' : '1');
            t.descs.insert(t.descs.begin() + at, copy);
        }
        break;
    case 8:
        // One descriptor fewer, and its field cut out of every record.
        if (t.descs.size() > 1) {
            resize_field(t, f, -(int64_t)desc_length(d));
            t.descs.erase(t.descs.begin() + f);
        }
        break;
    default: {
        size_t g = rng.below(t.descs.size());
        std::swap(t.descs[f], t.descs[g]);
        break;
    }
    }
}

// ---- records ---------------------------------------------------------------

void mutate_records(Rng& rng, Image& img) {
    int ti = any_table(rng, img);
    if (ti < 0) return;
    Table& t = img.tables[(size_t)ti];
    size_t n = t.records.size();
    switch (rng.below(8)) {
    case 0: case 1: {
        // The count record's number of records.
        if (n == 0 || t.descs.size() < 2) break;
        if (rng.one_in(6))
            set_field_text(t, 0, 1, rng.one_in(2) ? "" : "  twelve  ");
        else
            set_field_number(t, 0, 1, odd_number(rng, (int64_t)n));
        break;
    }
    case 2:
        if (n > 0 && n < 400) {
            std::string copy = t.records[rng.below(n)];
            t.records.insert(t.records.begin() + rng.below(n), copy);
        }
        break;
    case 3:
        if (n > 0) t.records.erase(t.records.begin() + rng.below(n));
        break;
    case 4:
        if (n > 1) std::swap(t.records[rng.below(n)], t.records[rng.below(n)]);
        break;
    case 5:
        // An entry count that follows the records (added or removed above).
        if (n > 0 && t.descs.size() >= 2) set_field_number(t, 0, 1, (int64_t)n);
        break;
    case 6:
        if (n > 0) {
            std::string& r = t.records[rng.below(n)];
            if (!r.empty()) r[rng.one_in(2) ? 0 : rng.below(r.size())] = rng.one_in(2) ? '\x1A' : (char)rng.below(256);
        }
        break;
    default:
        // A record of the wrong length.
        if (n > 0) {
            std::string& r = t.records[rng.below(n)];
            if (rng.one_in(2) && !r.empty())
                r.erase(rng.below(r.size()), 1 + rng.below(12));
            else
                r.insert(rng.below(r.size() + 1), 1 + rng.below(12), ' ');
        }
        break;
    }
}

// ---- fields ----------------------------------------------------------------

// A value for field f of table t that the tables' readers and links care about.
void mutate_field_value(Rng& rng, Table& t, size_t rec, size_t f, const Image& img) {
    std::string name = desc_name(t.descs[f]);
    std::string now;
    if (!field_text(t, rec, f, &now)) return;
    if (t.descs[f][11] == 'C' || name == "NAME" || name == "FDATE" || name == "SESSDATE") {
        if (name == "FDATE" || name == "SESSDATE")
            set_field_text(t, rec, f, pick(rng, odd_dates()));
        else if (name == "DRIVE")
            set_field_text(t, rec, f, rng.one_in(2) ? "" : std::string(1, (char)('A' + rng.below(30))) + ":");
        else if (rng.one_in(5))
            set_field_text(t, rec, f, some_bytes(rng, rng.below(now.size() + 1)));
        else if (rng.one_in(3)) {
            // An unsafe piece inside a harmless name.
            std::string s = pick(rng, odd_names());
            set_field_text(t, rec, f, rng.one_in(2) ? "a" + s + "b" : s + "\\" + pick(rng, odd_names()));
        } else
            set_field_text(t, rec, f, pick(rng, odd_names()));
        return;
    }
    int64_t v = field_number(t, rec, f);
    // References: another record's serial of the same or a related table.
    if ((name == "PARENT" || name == "DIR" || name == "ORGSER" || name == "DISK" || name == "SESSFROM" ||
         name == "SESSTO") && rng.one_in(2)) {
        int64_t count = (int64_t)t.records.size();
        int dirs = find_table(img, T_DIRS);
        if (name != "PARENT" && dirs >= 0) count = (int64_t)img.tables[(size_t)dirs].records.size();
        switch (rng.below(4)) {
        case 0: v = (int64_t)rec; break;  // itself
        case 1: v = count; break;         // one past the end
        case 2: v = (int64_t)rng.below((size_t)(count > 0 ? count : 1)); break;
        default: v = -v; break;
        }
        set_field_number(t, rec, f, v);
        return;
    }
    if (name == "IS_LAST") v = v == 0 ? 1 : rng.one_in(3) ? 2 : 0;
    else if (name == "COMP_LVL") {
        static const int64_t lv[] = {4, -1, 0, 1, 2, 3, 5, 9, -2};
        v = lv[rng.below(9)];
    } else if (name == "COMPRESSED") v = v ? 0 : rng.one_in(4) ? -1 : 1;
    else if (name == "ATTRIB") {
        static const int64_t at[] = {0x1B6, 0x124, 0x80, 0, 0x7FFF, 0x10, -1, 0x1FF};
        v = rng.one_in(2) ? v ^ (1 << rng.below(12)) : at[rng.below(8)];
    } else
        v = odd_number(rng, v);
    set_field_number(t, rec, f, v);
}

void mutate_fields(Rng& rng, Image& img) {
    // Mostly the tables the restore walks: Dirs, Files, Comp, Job.
    static const int kinds[] = {T_DIRS, T_FILES, T_FILES, T_COMP, T_COMP, T_JOB, T_DISKS, T_PATHS, T_SESSIONS};
    int ti = rng.one_in(5) ? any_table(rng, img) : table_of(rng, img, kinds[rng.below(9)]);
    if (ti < 0) return;
    Table& t = img.tables[(size_t)ti];
    if (t.descs.empty() || t.records.size() < 2) return;
    size_t rec = entry(rng, t);
    size_t f = rng.below(t.descs.size());
    // SERIAL and the count field are less interesting than the rest.
    if (f == 0 && rng.one_in(2) && t.descs.size() > 1) f = 1 + rng.below(t.descs.size() - 1);
    mutate_field_value(rng, t, rec, f, img);
}

// ---- groups and data -------------------------------------------------------

// Bytes that restore to something: text, zeros or noise.
std::string payload(Rng& rng, size_t n) {
    switch (rng.below(3)) {
    case 0: return some_bytes(rng, n);
    case 1: return std::string(n, (char)rng.below(256));
    default: {
        std::string s;
        while (s.size() < n) s += "restored line " + std::to_string(s.size()) + "\n";
        s.resize(n);
        return s;
    }
    }
}

// Replaces data bytes [start, start + old) with repl, when they lie in the
// data area.
bool splice(Image& img, int64_t start, int64_t old, const std::string& repl) {
    if (start < 0 || old < 0 || start > (int64_t)img.data.size()) return false;
    if (start + old > (int64_t)img.data.size()) old = (int64_t)img.data.size() - start;
    img.data.replace((size_t)start, (size_t)old, repl);
    return true;
}

// Gives a group new content of a level (4 or -1) with sizes and checksum
// that match it.
void rewrite_group(Rng& rng, Image& img, Table& comp, const GroupSpan& g, size_t max_payload) {
    int fo = find_field(comp, "ORGSIZE"), fc = find_field(comp, "COMPSIZE"), fk = find_field(comp, "CHK_SUM"),
        fl = find_field(comp, "COMP_LVL");
    if (fo < 0 || fc < 0 || fk < 0 || fl < 0) return;
    std::string original;
    int64_t level = field_number(comp, g.rec, (size_t)fl);
    // Keep what the group held when it inflates, to change only its level.
    std::string old = g.start >= 0 && g.start < (int64_t)img.data.size() && g.size > 0
                          ? img.data.substr((size_t)g.start, (size_t)g.size)
                          : std::string();
    bool kept = false;
    if (rng.one_in(2) && !old.empty()) {
        if (level == 4)
            kept = inflate_bytes(old, 1 << 16, &original);
        else {
            original = old;
            kept = true;
        }
    }
    if (!kept) {
        static const size_t sizes[] = {0, 1, 2, 31, 100, 511, 512, 1000, 4096};
        size_t n = sizes[rng.below(9)];
        if (n > max_payload) n = max_payload;
        original = payload(rng, n);
    }
    int64_t new_level = rng.one_in(2) ? 4 : -1;
    if (kept && rng.one_in(2)) new_level = level == 4 ? -1 : 4;
    std::string bytes = new_level == 4 ? deflate_bytes(original) : original;
    if (!splice(img, g.start, g.size, bytes)) return;
    set_field_number(comp, g.rec, (size_t)fo, (int64_t)original.size());
    set_field_number(comp, g.rec, (size_t)fc, (int64_t)bytes.size());
    set_field_number(comp, g.rec, (size_t)fk, group_checksum(original));
    set_field_number(comp, g.rec, (size_t)fl, new_level);
}

// Sets CHK_SUM (and ORGSIZE) to what the group's bytes really give, so a
// changed group passes the check and reaches what follows it.
void fix_group(Image& img, Table& comp, const GroupSpan& g) {
    int fo = find_field(comp, "ORGSIZE"), fk = find_field(comp, "CHK_SUM"), fl = find_field(comp, "COMP_LVL");
    if (fo < 0 || fk < 0 || fl < 0 || g.start < 0 || g.size < 0 || g.start + g.size > (int64_t)img.data.size())
        return;
    std::string bytes = img.data.substr((size_t)g.start, (size_t)g.size), original;
    if (field_number(comp, g.rec, (size_t)fl) == 4) {
        if (!inflate_bytes(bytes, 1 << 16, &original)) return;
    } else {
        original = bytes;
    }
    set_field_number(comp, g.rec, (size_t)fo, (int64_t)original.size());
    set_field_number(comp, g.rec, (size_t)fk, group_checksum(original));
}

void mutate_groups(Rng& rng, Image& img, size_t room) {
    int ci = find_table(img, T_COMP);
    std::vector<GroupSpan> groups = group_spans(img);
    bool stored = ci < 0 || groups.empty() || (!job_compressed(img) && rng.one_in(2));
    if (stored) {
        // Stored files: a file's length changes and its bytes with it, so
        // the files after it stay in place; or the length alone.
        int fi = find_table(img, T_FILES);
        std::vector<GroupSpan> files = file_spans(img);
        if (fi < 0 || files.empty()) return;
        Table& t = img.tables[(size_t)fi];
        int fs = find_field(t, "SIZE_LO");
        const GroupSpan& s = pick(rng, files);
        int64_t n = rng.one_in(3) ? odd_number(rng, s.size) : (int64_t)rng.below(room < 3000 ? room + 1 : 3000);
        if (n < 0 || n > (int64_t)room || rng.one_in(4) || splice(img, s.start, s.size, payload(rng, (size_t)n)))
            set_field_number(t, s.rec, (size_t)fs, n);
        return;
    }
    Table& comp = img.tables[(size_t)ci];
    const GroupSpan g = pick(rng, groups);
    switch (rng.below(6)) {
    case 0: case 1: rewrite_group(rng, img, comp, g, room); break;
    case 2:
        // Damage the group's bytes, then maybe make the checksum agree.
        if (g.start >= 0 && g.size > 0 && g.start + g.size <= (int64_t)img.data.size()) {
            for (size_t k = 1 + rng.below(3); k > 0; k--)
                img.data[(size_t)g.start + rng.below((size_t)g.size)] ^= (char)(1 << rng.below(8));
            if (rng.one_in(2)) fix_group(img, comp, g);
        }
        break;
    case 3:
        // Cut the group short or let it run on.
        if (g.start >= 0 && g.start + g.size <= (int64_t)img.data.size() && g.size > 0) {
            int64_t cut = 1 + (int64_t)rng.below((size_t)g.size);
            int fc = find_field(comp, "COMPSIZE");
            if (rng.one_in(2)) {
                img.data.erase((size_t)(g.start + g.size - cut), (size_t)cut);
                if (fc >= 0 && rng.one_in(2)) set_field_number(comp, g.rec, (size_t)fc, g.size - cut);
            } else if (fc >= 0) {
                set_field_number(comp, g.rec, (size_t)fc, g.size + cut);
            }
        }
        break;
    case 4:
        // One more group: a copy of this one's record after it, with new
        // content of its own; the file then runs over both.
        if (comp.records.size() < 300) {
            std::string copy = comp.records[g.rec];
            comp.records.insert(comp.records.begin() + (long)g.rec + 1, copy);
            int fi = find_field(comp, "IS_LAST");
            if (fi >= 0) set_field_number(comp, g.rec, (size_t)fi, 0);
            GroupSpan next = {g.rec + 1, g.start + (g.size > 0 ? g.size : 0), 0};
            rewrite_group(rng, img, comp, next, room);
            if (comp.descs.size() > 1) set_field_number(comp, 0, 1, (int64_t)comp.records.size());
        }
        break;
    default:
        // A group fewer, its bytes gone from the stream.
        if (g.rec < comp.records.size()) {
            splice(img, g.start, g.size, "");
            comp.records.erase(comp.records.begin() + (long)g.rec);
            if (comp.descs.size() > 1 && rng.one_in(2)) set_field_number(comp, 0, 1, (int64_t)comp.records.size());
        }
        break;
    }
}

// ---- disks -----------------------------------------------------------------

// The image becomes another disk of its set: a last disk that holds only
// the end of the stream (the earlier disks hold the rest), or a disk
// without a catalog that holds a piece of it.
void mutate_split(Rng& rng, Image& img) {
    if (img.header.size() < HEADER_SIZE) return;
    size_t n = img.data.size();
    uint16_t disk = (uint16_t)(1 + rng.below(3));
    put_le16(img.header, HDR_DISK, disk);
    int ji = find_table(img, T_JOB);
    if (ji >= 0 && rng.one_in(2)) {
        Table& j = img.tables[(size_t)ji];
        int f = find_field(j, "NUMDISKS");
        if (f >= 0) set_field_number(j, 1, (size_t)f, rng.one_in(3) ? (int64_t)rng.below(5) : disk);
    }
    if (rng.one_in(3)) {
        int ci = find_table(img, T_COMP);
        if (ci >= 0) {
            Table& c = img.tables[(size_t)ci];
            int f = find_field(c, "ARCDSKSE");
            if (f >= 0 && c.records.size() > 1) set_field_number(c, entry(rng, c), (size_t)f, (int64_t)rng.below(5));
        }
    }
    if (n == 0) return;
    size_t cut = rng.below(n + 1);
    if (rng.one_in(3)) {
        // A middle disk: a piece of the stream, no catalog.
        img.data = img.data.substr(cut);
        img.tables.clear();
        img.tail.clear();
        img.has_catalog = false;
        put_le32(img.header, HDR_CAT_OFFS, 0);
    } else {
        img.data.erase(0, cut);
    }
}

// ---- pieces through the byte mutator ----------------------------------------

void bytes_of_piece(Rng& rng, Image& img, ByteMutator bytes, size_t room) {
    std::string* piece = &img.data;
    bool fixed = false;  // the piece keeps its length
    int ti = any_table(rng, img);
    switch (rng.below(4)) {
    case 0: break;
    case 1:
        if (ti >= 0 && !img.tables[(size_t)ti].records.empty()) {
            Table& t = img.tables[(size_t)ti];
            piece = &t.records[rng.below(t.records.size())];
            fixed = !rng.one_in(4);
        }
        break;
    case 2:
        if (ti >= 0 && !img.tables[(size_t)ti].descs.empty()) {
            Table& t = img.tables[(size_t)ti];
            piece = &t.descs[rng.below(t.descs.size())];
            fixed = true;
        }
        break;
    default: piece = &img.tail; break;
    }
    size_t n = piece->size();
    size_t max = fixed ? n : n + (room < 256 ? room : 256);
    if (max == 0) return;
    if (n == 0) {
        // The byte mutator wants something to start from.
        piece->assign(1, (char)rng.below(256));
        return;
    }
    std::vector<uint8_t> buf(max);
    if (n) memcpy(buf.data(), piece->data(), n);
    size_t got = bytes(buf.data(), n, max);
    if (got > max) got = max;
    if (fixed && got != n) return;
    piece->assign((const char*)buf.data(), got);
}

void mutate_once(Rng& rng, Image& img, ByteMutator bytes, size_t room) {
    size_t r = rng.below(100);
    if (img.tables.empty()) {
        // Nothing of a catalog parsed: header, data, disks, raw pieces.
        if (r < 50) mutate_header(rng, img);
        else if (r < 70) mutate_split(rng, img);
        else bytes_of_piece(rng, img, bytes, room);
        return;
    }
    if (r < 8) mutate_header(rng, img);
    else if (r < 20) mutate_regions(rng, img);
    else if (r < 33) mutate_descs(rng, img);
    else if (r < 45) mutate_records(rng, img);
    else if (r < 70) mutate_fields(rng, img);
    else if (r < 88) mutate_groups(rng, img, room);
    else if (r < 93) mutate_split(rng, img);
    else bytes_of_piece(rng, img, bytes, room);
}

size_t byte_level(uint8_t* data, size_t size, size_t max_size, ByteMutator bytes) {
    size_t n = bytes(data, size, max_size);
    return n <= max_size ? n : max_size;
}

}  // namespace

size_t mutate_image(uint8_t* data, size_t size, size_t max_size, unsigned seed, ByteMutator bytes) {
    Rng rng(seed);
    Image img = parse_image(data, size);
    bool deep = !img.tables.empty();
    if (rng.one_in(deep ? 3 : 2) || size > max_size) return byte_level(data, size, max_size, bytes);
    for (int attempt = 0; attempt < 4; attempt++) {
        Image m = attempt == 0 ? std::move(img) : parse_image(data, size);
        size_t steps = 1 + rng.below(3);
        for (size_t k = 0; k < steps; k++) {
            size_t now = image_size(m);
            mutate_once(rng, m, bytes, max_size > now ? max_size - now : 0);
        }
        if (image_size(m) > max_size) continue;
        std::string out = image_bytes(m);
        if (out.size() > max_size || (out.size() == size && memcmp(out.data(), data, size) == 0)) continue;
        memcpy(data, out.data(), out.size());
        return out.size();
    }
    return byte_level(data, size, max_size, bytes);
}

size_t cross_images(const uint8_t* a, size_t na, const uint8_t* b, size_t nb, uint8_t* out, size_t max_out,
                    unsigned seed) {
    Rng rng(seed);
    Image x = parse_image(a, na), y = parse_image(b, nb);
    switch (rng.below(3)) {
    case 0: {
        // A table of y in place of the same table of x.
        if (y.tables.empty()) return 0;
        const Table& from = y.tables[rng.below(y.tables.size())];
        int k = table_kind(from);
        int at = k >= 0 ? find_table(x, k) : -1;
        if (at < 0) return 0;
        std::string gap = x.tables[(size_t)at].gap;
        x.tables[(size_t)at] = from;
        x.tables[(size_t)at].gap = gap;
        break;
    }
    case 1:
        // y's data under x's catalog.
        if (!x.has_catalog) return 0;
        x.data = y.data;
        break;
    default:
        // x's catalog from the region on that y's ends.
        if (x.tables.empty() || y.tables.empty()) return 0;
        {
            size_t cut = rng.below(x.tables.size());
            x.tables.resize(cut);
            for (size_t i = cut; i < y.tables.size(); i++) x.tables.push_back(y.tables[i]);
            x.tail = y.tail;
        }
        break;
    }
    if (image_size(x) > max_out) return 0;
    std::string bytes = image_bytes(x);
    if (bytes.size() > max_out || bytes.empty()) return 0;
    memcpy(out, bytes.data(), bytes.size());
    return bytes.size();
}
