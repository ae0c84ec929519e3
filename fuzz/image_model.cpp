// Backup images taken apart for the structure-aware mutator (image_model.h).
#include "fuzz/image_model.h"

#include <string.h>

#include <zlib.h>

namespace imodel {

const uint32_t REGION_GAP[T_COUNT] = {0x10D0, 0x1E20, 0x1820, 0x1820, 0x1820, 0xC20, 0x1220};

namespace {

// The search's test for a region's first descriptor.
bool is_serial_desc(const uint8_t* p) {
    static const char name[11] = {'S', 'E', 'R', 'I', 'A', 'L', 0, 0, 0, 0, 0};
    if (memcmp(p, name, 7) != 0) return false;
    if (p[11] != 'N') return false;
    uint32_t offs = 0, len = 0;
    for (int i = 3; i >= 0; i--) {
        offs = (offs << 8) | p[12 + i];
        len = (len << 8) | p[16 + i];
    }
    if (offs == 0 || len == 0) return false;
    for (int i = 20; i < 32; i++)
        if (p[i] != 0) return false;
    return true;
}

// Parses one region whose first descriptor is at d; gives back the offset
// after its 0x1A, or 0 when it does not parse cleanly.
size_t parse_table(const uint8_t* data, size_t size, size_t d, Table* t) {
    size_t p = d;
    while (p < size && data[p] != 0x0D) {
        if (size - p < DESC_SIZE || t->descs.size() >= (size_t)MAX_DESCS) return 0;
        t->descs.push_back(std::string((const char*)data + p, DESC_SIZE));
        p += DESC_SIZE;
    }
    if (p >= size || t->descs.empty()) return 0;
    t->end_of_fields = true;
    p++;
    int64_t rs = record_size(*t);
    if (rs < 2 || rs > MAX_RECORD) return 0;
    size_t n = (size_t)rs;
    while (size - p >= n && !memchr(data + p, 0x1A, n)) {
        t->records.push_back(std::string((const char*)data + p, n));
        p += n;
    }
    if (p >= size || data[p] != 0x1A) return 0;
    t->end_of_data = true;
    return p + 1;
}

}  // namespace

uint32_t get_le32(const std::string& s, size_t at) {
    if (at + 4 > s.size()) return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | (unsigned char)s[at + i];
    return v;
}

void put_le32(std::string& s, size_t at, uint32_t v) {
    if (at + 4 > s.size()) return;
    for (int i = 0; i < 4; i++) s[at + i] = (char)((v >> (8 * i)) & 0xFF);
}

void put_le16(std::string& s, size_t at, uint16_t v) {
    if (at + 2 > s.size()) return;
    s[at] = (char)(v & 0xFF);
    s[at + 1] = (char)(v >> 8);
}

Image parse_image(const uint8_t* data, size_t size) {
    Image img;
    if (size < HEADER_SIZE) {
        img.header.assign((const char*)data, size);
        img.cat_offs_follows = false;
        return img;
    }
    img.header.assign((const char*)data, HEADER_SIZE);
    uint32_t cat = get_le32(img.header, HDR_CAT_OFFS);
    if (cat < HEADER_SIZE || cat > size) {
        img.data.assign((const char*)data + HEADER_SIZE, size - HEADER_SIZE);
        img.cat_offs_follows = false;
        return img;
    }
    img.data.assign((const char*)data + HEADER_SIZE, cat - HEADER_SIZE);
    img.has_catalog = true;
    img.cat_offs_follows = true;

    size_t prev_end = cat;
    for (int i = 0; i < T_COUNT; i++) {
        size_t d = prev_end + REGION_GAP[i];
        while (d <= size && size - d >= DESC_SIZE && !is_serial_desc(data + d)) d += DESC_SIZE;
        if (d > size || size - d < DESC_SIZE) break;
        Table t;
        size_t end = parse_table(data, size, d, &t);
        if (end == 0) break;
        t.gap.assign((const char*)data + prev_end, d - prev_end);
        img.tables.push_back(t);
        prev_end = end;
    }
    img.tail.assign((const char*)data + prev_end, size - prev_end);
    return img;
}

size_t image_size(const Image& img) {
    size_t n = img.header.size() + img.data.size() + img.tail.size();
    for (const Table& t : img.tables) {
        n += t.gap.size() + DESC_SIZE * t.descs.size() + (t.end_of_fields ? 1 : 0) + (t.end_of_data ? 1 : 0);
        for (const std::string& r : t.records) n += r.size();
    }
    return n;
}

std::string image_bytes(const Image& img) {
    std::string out;
    out.reserve(image_size(img));
    out += img.header;
    if (img.has_catalog && img.cat_offs_follows && out.size() >= HEADER_SIZE)
        put_le32(out, HDR_CAT_OFFS, (uint32_t)(HEADER_SIZE + img.data.size()));
    out += img.data;
    for (const Table& t : img.tables) {
        out += t.gap;
        for (const std::string& d : t.descs) out += d;
        if (t.end_of_fields) out += '\x0D';
        for (const std::string& r : t.records) out += r;
        if (t.end_of_data) out += '\x1A';
    }
    out += img.tail;
    return out;
}

std::string desc_name(const std::string& desc) {
    std::string n = desc.substr(0, desc.size() < 11 ? desc.size() : 11);
    size_t nul = n.find('\0');
    return nul == std::string::npos ? n : n.substr(0, nul);
}

uint32_t desc_length(const std::string& desc) { return get_le32(desc, 16); }

std::string make_desc(const std::string& name, char type, uint32_t offset, uint32_t length) {
    std::string d(DESC_SIZE, '\0');
    memcpy(&d[0], name.data(), name.size() < 11 ? name.size() : 11);
    d[11] = type;
    put_le32(d, 12, offset);
    put_le32(d, 16, length);
    return d;
}

int64_t record_size(const Table& t) {
    int64_t n = 1;
    for (const std::string& d : t.descs) n += desc_length(d);
    return n;
}

int64_t field_offset(const Table& t, size_t f) {
    if (f >= t.descs.size()) return -1;
    int64_t off = 1;
    for (size_t i = 0; i < f; i++) off += desc_length(t.descs[i]);
    return off;
}

int find_field(const Table& t, const char* name) {
    for (size_t i = 0; i < t.descs.size(); i++)
        if (desc_name(t.descs[i]) == name) return (int)i;
    return -1;
}

namespace {

// Start and width of a field that lies wholly inside the record, or false.
bool field_span(const Table& t, size_t rec, size_t f, size_t* at, size_t* width) {
    if (rec >= t.records.size()) return false;
    int64_t off = field_offset(t, f);
    if (off < 0) return false;
    int64_t w = desc_length(t.descs[f]);
    if (off + w > (int64_t)t.records[rec].size()) return false;
    *at = (size_t)off;
    *width = (size_t)w;
    return true;
}

}  // namespace

bool field_text(const Table& t, size_t rec, size_t f, std::string* out) {
    size_t at, width;
    if (!field_span(t, rec, f, &at, &width)) return false;
    *out = t.records[rec].substr(at, width);
    return true;
}

int64_t field_number(const Table& t, size_t rec, size_t f) {
    std::string s;
    if (!field_text(t, rec, f, &s)) return 0;
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    int64_t v = 0;
    for (int digits = 0; i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 18; i++, digits++)
        v = v * 10 + (s[i] - '0');
    return neg ? -v : v;
}

void set_field_text(Table& t, size_t rec, size_t f, const std::string& text) {
    size_t at, width;
    if (!field_span(t, rec, f, &at, &width)) return;
    std::string v = text.substr(0, width);
    v.resize(width, ' ');
    t.records[rec].replace(at, width, v);
}

void set_field_number(Table& t, size_t rec, size_t f, int64_t v) {
    size_t at, width;
    if (!field_span(t, rec, f, &at, &width)) return;
    std::string s = std::to_string(v);
    if (s.size() > width) s = s.substr(0, width);
    t.records[rec].replace(at, width, std::string(width - s.size(), ' ') + s);
}

int table_kind(const Table& t) {
    static const char* const second[T_COUNT] = {"NUM2", "DISK", "DIR", "ORGSER", "JOBNUM", "DATATYPE", "SESSFROM"};
    if (t.descs.size() < 2) return -1;
    std::string n = desc_name(t.descs[1]);
    for (int k = 0; k < T_COUNT; k++)
        if (n == second[k]) return k;
    return -1;
}

int find_table(const Image& img, int kind) {
    for (size_t i = 0; i < img.tables.size(); i++)
        if (table_kind(img.tables[i]) == kind) return (int)i;
    return -1;
}

bool job_compressed(const Image& img) {
    int j = find_table(img, T_JOB);
    if (j < 0) return false;
    const Table& t = img.tables[(size_t)j];
    int f = find_field(t, "COMPRESSED");
    return f >= 0 && field_number(t, 1, (size_t)f) != 0;
}

namespace {

// pos + n for a size read from a field: negative sizes count as 0 and huge
// ones are held at 2^40, so no sum of them can overflow.
int64_t advance(int64_t pos, int64_t n) {
    const int64_t cap = (int64_t)1 << 40;
    if (n <= 0) return pos;
    if (n > cap) n = cap;
    return pos < cap * 4096 ? pos + n : pos;
}

}  // namespace

std::vector<GroupSpan> group_spans(const Image& img) {
    std::vector<GroupSpan> out;
    int c = find_table(img, T_COMP);
    if (c < 0) return out;
    const Table& t = img.tables[(size_t)c];
    int f = find_field(t, "COMPSIZE");
    if (f < 0) return out;
    int64_t pos = 0;
    for (size_t r = 1; r < t.records.size(); r++) {
        int64_t n = field_number(t, r, (size_t)f);
        out.push_back({r, pos, n});
        pos = advance(pos, n);
    }
    // The last disk of a set holds only the end of the stream.
    int64_t base = pos - (int64_t)img.data.size();
    if (base > 0)
        for (GroupSpan& g : out) g.start -= base;
    return out;
}

std::vector<GroupSpan> file_spans(const Image& img) {
    std::vector<GroupSpan> out;
    int c = find_table(img, T_FILES);
    if (c < 0) return out;
    const Table& t = img.tables[(size_t)c];
    int f = find_field(t, "SIZE_LO");
    if (f < 0) return out;
    int64_t pos = 0;
    for (size_t r = 1; r < t.records.size(); r++) {
        int64_t n = field_number(t, r, (size_t)f);
        out.push_back({r, pos, n});
        pos = advance(pos, n);
    }
    int64_t base = pos - (int64_t)img.data.size();
    if (base > 0)
        for (GroupSpan& g : out) g.start -= base;
    return out;
}

int64_t group_checksum(const std::string& original) {
    uint32_t crc = (uint32_t)crc32(0L, (const Bytef*)original.data(), (uInt)original.size());
    return (int64_t)(int32_t)~crc;
}

std::string deflate_bytes(const std::string& in) {
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::string();
    std::string out(deflateBound(&zs, (uLong)in.size()) + 16, '\0');
    zs.next_in = (Bytef*)in.data();
    zs.avail_in = (uInt)in.size();
    zs.next_out = (Bytef*)&out[0];
    zs.avail_out = (uInt)out.size();
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return rc == Z_STREAM_END ? out : std::string();
}

bool inflate_bytes(const std::string& in, size_t limit, std::string* out) {
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    out->assign(limit, '\0');
    zs.next_in = (Bytef*)in.data();
    zs.avail_in = (uInt)in.size();
    zs.next_out = (Bytef*)&(*out)[0];
    zs.avail_out = (uInt)limit;
    int rc = limit > 0 ? inflate(&zs, Z_FINISH) : Z_BUF_ERROR;
    out->resize(zs.total_out);
    inflateEnd(&zs);
    return rc == Z_STREAM_END;
}

}  // namespace imodel
