// Backup image writer: table regions, catalogs, image headers and whole
// backup sets (data stream, compressed groups, multi-disk split).
//
// Everything is built in memory as std::string byte buffers; tests tamper
// with the intermediate structures before the bytes are laid out.
#include "tools/imgwriter.h"

#include <stdio.h>
#include <string.h>

#include <zlib.h>

namespace imgw {

namespace {

const uint32_t kRegionGap[7] = {0x10D0, 0x1E20, 0x1820, 0x1820, 0x1820, 0xC20, 0x1220};

void put_le32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) s[at + i] = (char)((v >> (8 * i)) & 0xFF);
}

void put_le16(std::string& s, size_t at, uint16_t v) {
    s[at] = (char)(v & 0xFF);
    s[at + 1] = (char)(v >> 8);
}

uint32_t get_le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | (unsigned char)s[at + i];
    return v;
}

uint32_t desc_length(const FieldDesc& f) {
    if (f.raw.size() == 32) return get_le32(f.raw, 16);
    return f.length;
}

FieldDesc field(const char* name, char type, uint32_t length) {
    FieldDesc f;
    f.name = name;
    f.type = type;
    f.length = length;
    return f;
}

// Names of the stored directories, in Dirs order, and the index of the
// directory each '\\'-separated path maps to.
struct DirPlan {
    std::vector<std::string> paths;  // "" for the root
    std::vector<int32_t> parent;     // 1-based parent index, 0 for the root
    std::vector<std::string> name;   // last component, "" for the root

    int32_t index_of(const std::string& path) {
        for (size_t i = 0; i < paths.size(); i++)
            if (paths[i] == path) return (int32_t)i + 1;
        int32_t parent_ndx = 1;
        std::string leaf = path;
        size_t cut = path.rfind('\\');
        if (cut != std::string::npos) {
            parent_ndx = index_of(path.substr(0, cut));
            leaf = path.substr(cut + 1);
        }
        paths.push_back(path);
        parent.push_back(parent_ndx);
        name.push_back(leaf);
        return (int32_t)paths.size();
    }
};

std::string deflate_raw(const std::string& in) {
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
    if (rc != Z_STREAM_END) return std::string();
    return out;
}

}  // namespace

// ---- level 1 --------------------------------------------------------------

int32_t ent_size(const Region& r) {
    uint32_t sz = 1;
    for (const FieldDesc& f : r.fields) sz += desc_length(f);
    return (int32_t)sz;
}

std::string encode_region(const Region& r) {
    std::string out(32, '\0');
    out[0] = 0x03;
    uint32_t count = r.header_count >= 0 ? (uint32_t)r.header_count : (uint32_t)r.records.size();
    put_le32(out, 4, count);

    uint32_t offset = 1;
    for (const FieldDesc& f : r.fields) {
        if (f.raw.size() == 32) {
            out += f.raw;
        } else {
            std::string d(32, '\0');
            memcpy(&d[0], f.name.data(), f.name.size() < 11 ? f.name.size() : 11);
            d[11] = f.type;
            put_le32(d, 12, f.offset != 0 ? f.offset : offset);
            put_le32(d, 16, f.length);
            out += d;
        }
        offset += desc_length(f);
    }
    if (r.end_of_fields) out += '\x0D';
    for (const std::string& rec : r.records) out += rec;
    if (r.end_of_data) out += '\x1A';
    return out;
}

std::string num_field(int64_t v, int width) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld", (long long)v);
    std::string s(buf);
    if ((int)s.size() >= width) return s.substr(0, width > 0 ? width : 0);
    return std::string(width - s.size(), ' ') + s;
}

std::string text_field(const std::string& s, int width) {
    if (width <= 0) return std::string();
    if ((int)s.size() >= width) return s.substr(0, width);
    return s + std::string(width - s.size(), ' ');
}

// ---- level 2 --------------------------------------------------------------

std::vector<FieldDesc> standard_fields(int table) {
    switch (table) {
    case 0:
        return {field("SERIAL", 'N', 12), field("NUM2", 'N', 12),     field("NUM3", 'N', 12),
                field("NUM4", 'N', 12),   field("USED_HI", 'N', 12),  field("USED_LOW", 'N', 12),
                field("NUM7", 'N', 12),   field("NUM8", 'N', 12),     field("LABEL", 'C', 12),
                field("TEXT_A", 'C', 14), field("TEXT_B", 'C', 14),   field("DRIVE", 'C', 2),
                field("HASDSKST", 'N', 12)};
    case 1:
        return {field("SERIAL", 'N', 12), field("DISK", 'N', 12), field("PARENT", 'N', 12),
                field("NAME", 'C', 240)};
    case 2:
        return {field("SERIAL", 'N', 12), field("DIR", 'N', 12),    field("NUM3", 'N', 12),
                field("NUM4", 'N', 12),   field("ATTRIB", 'N', 12), field("NUM6", 'N', 12),
                field("SIZE_LO", 'N', 12), field("FDATE", 'C', 14), field("NAME", 'C', 240)};
    case 3:
        return {field("SERIAL", 'N', 12),   field("ORGSER", 'N', 12),   field("SEQUENCE", 'N', 12),
                field("ORGSIZE", 'N', 12),  field("COMPSIZE", 'N', 12), field("ARCDSKSE", 'N', 12),
                field("CHK_SUM", 'N', 12),  field("COMP_LVL", 'N', 12), field("OFFS_HI", 'N', 12),
                field("OFFS_LO", 'N', 12),  field("IS_LAST", 'N', 12)};
    case 4:
        return {field("SERIAL", 'N', 12),     field("JOBNUM", 'N', 12), field("NUMDISKS", 'N', 12),
                field("NUM4", 'N', 12),       field("NUM5", 'N', 12),   field("NUM6", 'N', 12),
                field("NUM7", 'N', 12),       field("COMPRESSED", 'N', 12), field("TEXT_A", 'C', 14),
                field("TEXT_B", 'C', 32),     field("DESCR", 'C', 256)};
    case 5:
        return {field("SERIAL", 'N', 12), field("DATATYPE", 'N', 12), field("DATATEXT", 'C', 240)};
    case 6:
        return {field("SERIAL", 'N', 12), field("SESSFROM", 'N', 12), field("SESSTO", 'N', 12),
                field("JOBNUM", 'N', 12), field("DISKNUM", 'N', 12),  field("SESSDATE", 'C', 14)};
    default:
        return {};
    }
}

std::string count_record(const Region& r, int64_t count) {
    int w0 = r.fields.size() > 0 ? (int)desc_length(r.fields[0]) : 12;
    int w1 = r.fields.size() > 1 ? (int)desc_length(r.fields[1]) : 12;
    std::string rec = " " + num_field(0, w0) + num_field(count, w1);
    int32_t sz = ent_size(r);
    if (sz > 0) rec.resize((size_t)sz, ' ');
    return rec;
}

namespace {

Region standard_region(int table, size_t entries) {
    Region r;
    r.fields = standard_fields(table);
    r.records.push_back(count_record(r, (int64_t)entries + 1));
    return r;
}

}  // namespace

Region disks_region(const std::vector<Disk>& v) {
    Region r = standard_region(0, v.size());
    for (const Disk& d : v)
        r.records.push_back(" " + num_field(d.serial) + num_field(d.num2) + num_field(d.num3) +
                            num_field(d.num4) + num_field(d.used_hi) + num_field(d.used_low) +
                            num_field(d.num7) + num_field(d.num8) + text_field(d.label, 12) +
                            text_field(d.text_a, 14) + text_field(d.text_b, 14) +
                            text_field(d.drive, 2) + num_field(d.hasdskst));
    return r;
}

Region dirs_region(const std::vector<Dir>& v) {
    Region r = standard_region(1, v.size());
    for (const Dir& d : v)
        r.records.push_back(" " + num_field(d.serial) + num_field(d.disk) + num_field(d.parent) +
                            text_field(d.name, 240));
    return r;
}

Region files_region(const std::vector<File>& v) {
    Region r = standard_region(2, v.size());
    for (const File& f : v)
        r.records.push_back(" " + num_field(f.serial) + num_field(f.dir) + num_field(f.num3) +
                            num_field(f.num4) + num_field(f.attrib) + num_field(f.num6) +
                            num_field(f.size_lo) + text_field(f.date, 14) + text_field(f.name, 240));
    return r;
}

Region comp_region(const std::vector<Comp>& v) {
    Region r = standard_region(3, v.size());
    for (const Comp& c : v)
        r.records.push_back(" " + num_field(c.SERIAL) + num_field(c.ORGSER) + num_field(c.SEQUENCE) +
                            num_field(c.ORGSIZE) + num_field(c.COMPSIZE) + num_field(c.ARCDSKSE) +
                            num_field(c.CHK_SUM) + num_field(c.COMP_LVL) + num_field(c.OFFS_HI) +
                            num_field(c.OFFS_LO) + num_field(c.IS_LAST));
    return r;
}

Region job_region(const Job& j) {
    Region r = standard_region(4, 1);
    r.records.push_back(" " + num_field(j.serial) + num_field(j.job_num) + num_field(j.num_disks) +
                        num_field(j.num4) + num_field(j.num5) + num_field(j.num6) +
                        num_field(j.num7) + num_field(j.compressed) + text_field(j.text_a, 14) +
                        text_field(j.text_b, 32) + text_field(j.descr, 256));
    return r;
}

Region paths_region(const std::vector<PathRec>& v) {
    Region r = standard_region(5, v.size());
    for (const PathRec& p : v)
        r.records.push_back(" " + num_field(p.serial) + num_field(p.datatype) +
                            text_field(p.text, 240));
    return r;
}

Region sessions_region(const std::vector<Session>& v) {
    Region r = standard_region(6, v.size());
    for (const Session& s : v)
        r.records.push_back(" " + num_field(s.serial) + num_field(s.sessfrom) + num_field(s.sessto) +
                            num_field(s.job_num) + num_field(s.disk_num) + text_field(s.date, 14));
    return r;
}

std::array<Region, 7> make_regions(const CatalogTables& t) {
    return {disks_region(t.disks),   dirs_region(t.dirs),   files_region(t.files),
            comp_region(t.comp),     job_region(t.job),     paths_region(t.paths),
            sessions_region(t.sessions)};
}

std::string encode_catalog(const std::array<Region, 7>& regions, unsigned char gap_filler) {
    std::string out;
    for (int i = 0; i < 7; i++) {
        // The search for the SERIAL descriptor starts at the end of the gap;
        // the table header sits in the 32 bytes in front of the descriptor,
        // so with extra_skip 0 it takes the last 32 bytes of the gap. The
        // filler is one repeated byte and the header begins with 0x03, so
        // neither can pass for a SERIAL descriptor.
        size_t lead = kRegionGap[i] + regions[i].extra_skip - 32;
        out.append(lead, (char)gap_filler);
        out += encode_region(regions[i]);
    }
    return out;
}

// ---- level 3 --------------------------------------------------------------

std::string encode_header(const Header& h) {
    std::string out(512, '\0');
    std::string res = h.reserved;
    if (res.size() != 32) {
        res.assign(32, '\0');
        for (int i = 0; i < 32; i++) res[i] = (char)(0xA1 + i);
    }
    put_le32(out, 0, h.signature);
    memcpy(&out[4], res.data(), 8);
    put_le32(out, 12, h.set_id1);
    put_le32(out, 16, h.set_id2);
    memcpy(&out[20], res.data() + 8, 4);
    put_le16(out, 24, h.job_num);
    put_le16(out, 26, h.disk_num);
    put_le32(out, 28, h.cat_offs);
    memcpy(&out[32], res.data() + 12, 20);
    if (h.name_area.size() == 460)
        memcpy(&out[52], h.name_area.data(), 460);
    else
        memcpy(&out[52], h.name.data(), h.name.size() < 460 ? h.name.size() : 460);
    return out;
}

std::string make_image(Header h, const std::string& data, const std::string& catalog) {
    if (h.cat_offs == 0 && !catalog.empty()) h.cat_offs = (uint32_t)(512 + data.size());
    return encode_header(h) + data + catalog;
}

BackupSet plan_set(const std::vector<SourceFile>& files, const SetOptions& opt) {
    return plan_set(files, opt, std::vector<std::string>());
}

BackupSet plan_set(const std::vector<SourceFile>& files, const SetOptions& opt,
                   const std::vector<std::string>& dirs) {
    BackupSet set;
    CatalogTables& t = set.tables;

    DirPlan plan;
    plan.index_of("");  // the drive root is directory 1
    for (const std::string& d : dirs) plan.index_of(d);
    std::vector<int32_t> file_dir;
    for (const SourceFile& f : files) file_dir.push_back(plan.index_of(f.dir));

    for (size_t i = 0; i < plan.paths.size(); i++) {
        Dir d;
        d.serial = (int32_t)i + 1;
        d.disk = 1;
        d.parent = i == 0 ? 0 : plan.parent[i];
        d.name = plan.name[i];
        t.dirs.push_back(d);

        PathRec p;
        p.serial = (int32_t)i + 1;
        p.datatype = 1;
        p.text = i == 0 ? opt.drive + "\\" : opt.drive + "\\" + plan.paths[i];
        t.paths.push_back(p);
    }

    int32_t group_size = opt.group_size > 0 ? opt.group_size : 65536;
    for (size_t i = 0; i < files.size(); i++) {
        const SourceFile& src = files[i];
        File f;
        f.serial = (int32_t)i + 1;
        f.dir = file_dir[i];
        f.attrib = src.attrib;
        f.size_lo = (int64_t)src.content.size();
        f.date = src.date;
        f.name = src.name;
        t.files.push_back(f);

        if (!opt.compressed) {
            set.stream += src.content;
            continue;
        }
        size_t pos = 0;
        do {
            std::string chunk = src.content.substr(pos, (size_t)group_size);
            pos += chunk.size();
            std::string bytes = opt.comp_lvl == 4 ? deflate_raw(chunk) : chunk;
            Comp c;
            c.SERIAL = c.SEQUENCE = (int64_t)t.comp.size() + 1;
            c.ORGSER = f.serial;
            c.ORGSIZE = (int64_t)chunk.size();
            c.COMPSIZE = (int64_t)bytes.size();
            uint32_t crc = (uint32_t)crc32(0L, (const Bytef*)chunk.data(), (uInt)chunk.size());
            c.CHK_SUM = (int64_t)(int32_t)~crc;
            c.COMP_LVL = opt.comp_lvl;
            c.OFFS_HI = 0;
            c.OFFS_LO = (int64_t)set.stream.size();
            c.IS_LAST = pos >= src.content.size() ? 1 : 0;
            t.comp.push_back(c);
            set.stream += bytes;
        } while (pos < src.content.size());
    }

    int64_t total = (int64_t)set.stream.size();
    if (opt.disk_capacity > 0 && total > 0) {
        for (int64_t left = total; left > 0; left -= opt.disk_capacity)
            set.disk_data.push_back(left < opt.disk_capacity ? left : opt.disk_capacity);
    } else {
        set.disk_data.push_back(total);
    }
    int32_t num_disks = (int32_t)set.disk_data.size();

    // Each group notes the disk its first byte lies on.
    for (Comp& c : t.comp) {
        int64_t end = 0;
        c.ARCDSKSE = num_disks;
        for (int32_t k = 0; k < num_disks; k++) {
            end += set.disk_data[k];
            if (c.OFFS_LO < end) {
                c.ARCDSKSE = k + 1;
                break;
            }
        }
    }

    Disk disk;
    disk.drive = opt.drive;
    disk.used_low = (int32_t)total;
    t.disks.push_back(disk);

    t.job.job_num = opt.job_num;
    t.job.num_disks = num_disks;
    t.job.compressed = opt.compressed ? 1 : 0;

    Session s;
    s.sessfrom = 1;
    s.sessto = (int32_t)files.size();
    s.job_num = opt.job_num;
    s.disk_num = num_disks;
    t.sessions.push_back(s);

    set.header.name = opt.name;
    set.header.set_id1 = opt.set_id1;
    set.header.set_id2 = opt.set_id2;
    set.header.job_num = opt.job_num;
    return set;
}

std::vector<std::string> layout_images(const BackupSet& set, const std::array<Region, 7>& regions,
                                       unsigned char gap_filler) {
    std::vector<int64_t> sizes = set.disk_data;
    if (sizes.empty()) sizes.push_back((int64_t)set.stream.size());
    std::string catalog = encode_catalog(regions, gap_filler);

    std::vector<std::string> images;
    size_t pos = 0;
    for (size_t k = 0; k < sizes.size(); k++) {
        size_t take = sizes[k] > 0 ? (size_t)sizes[k] : 0;
        std::string data = pos < set.stream.size() ? set.stream.substr(pos, take) : std::string();
        pos += take;
        Header h = set.header;
        h.disk_num = (uint16_t)(k + 1);
        h.cat_offs = 0;
        bool last = k + 1 == sizes.size();
        if (last) h.cat_offs = (uint32_t)(512 + data.size());
        images.push_back(make_image(h, data, last ? catalog : std::string()));
    }
    return images;
}

std::vector<std::string> layout_images(const BackupSet& set) {
    return layout_images(set, make_regions(set.tables));
}

bool write_bytes(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (fclose(f) != 0) ok = false;
    return ok;
}

}  // namespace imgw
