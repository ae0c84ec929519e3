// fuzz_seeds: writes the seed corpora of the fuzz targets with the image
// writer.
//
//   fuzz_seeds UNBAK_DIR DBFSCAN_DIR
//
// UNBAK_DIR gets backup images: stored, compressed, stored groups, several
// groups per file, the disks of sets of two and three disks of each kind,
// sets with unusual tables and a few broken headers. DBFSCAN_DIR gets stand-alone table files of
// every table and of odd shapes. Everything is deterministic.
#include <stdio.h>
#include <sys/stat.h>

#include <array>
#include <string>
#include <vector>

#include "tools/imgwriter.h"

namespace {

using imgw::SourceFile;

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 7;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        // Half text, half noise: some groups shrink, some do not.
        s[i] = (i / 64) % 2 ? (char)(x >> 16) : (char)('a' + (x >> 16) % 26);
    }
    return s;
}

std::vector<SourceFile> tree() {
    SourceFile a{"Data", "a.txt", "alpha\n"};
    SourceFile b{"Data\\Sub", "b.bin", pattern(700, 1)};
    SourceFile c{"", "empty.txt", ""};
    SourceFile d{"Docs", "read-only.txt", "cannot write\n"};
    d.attrib = 0x124;
    d.date = "19991231235959";
    SourceFile e{"Data", "old.txt", "before 1980\n"};
    e.date = "19790101000000";
    return {a, b, c, d, e};
}

imgw::SetOptions options(bool compressed, int level, int32_t group, int64_t capacity) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.comp_lvl = level;
    o.group_size = group;
    o.disk_capacity = capacity;
    return o;
}

int written = 0, failed = 0;

void put(const std::string& dir, const std::string& name, const std::string& bytes) {
    if (imgw::write_bytes(dir + "/" + name, bytes))
        written++;
    else
        failed++;
}

std::string last_image(const imgw::BackupSet& s) { return imgw::layout_images(s).back(); }

void unbak_seeds(const std::string& dir) {
    put(dir, "stored.img", last_image(imgw::plan_set(tree(), options(false, 4, 0, 0))));
    put(dir, "deflate.img", last_image(imgw::plan_set(tree(), options(true, 4, 65536, 0))));
    put(dir, "deflate-groups.img", last_image(imgw::plan_set(tree(), options(true, 4, 256, 0))));
    put(dir, "stored-groups.img", last_image(imgw::plan_set(tree(), options(true, -1, 300, 0))));

    // Multi-disk sets: every disk, and a last disk that claims to be disk 1
    // (its own image then answers the prompt for disk 1).
    for (bool compressed : {false, true}) {
        imgw::BackupSet s = imgw::plan_set(tree(), options(compressed, 4, 200, 500));
        std::vector<std::string> images = imgw::layout_images(s);
        std::string kind = compressed ? "deflate" : "stored";
        for (size_t k = 0; k < images.size(); k++)
            put(dir, kind + "-disk" + std::to_string(k + 1) + "-of-" + std::to_string(images.size()) + ".img",
                images[k]);
        imgw::Header h = s.header;
        h.disk_num = 1;
        h.cat_offs = 0;
        std::string data = s.stream.substr(0, (size_t)s.disk_data.back());
        put(dir, kind + "-last-as-disk1.img",
            imgw::make_image(h, data, imgw::encode_catalog(imgw::make_regions(s.tables))));
    }

    // Stored groups over two disks, and every kind over three: each disk
    // holds a third of the stream, so groups and files cross both splits.
    {
        imgw::BackupSet s = imgw::plan_set(tree(), options(true, -1, 200, 500));
        std::vector<std::string> images = imgw::layout_images(s);
        for (size_t k = 0; k < images.size(); k++)
            put(dir, "groups-disk" + std::to_string(k + 1) + "-of-" + std::to_string(images.size()) + ".img",
                images[k]);
    }
    const struct {
        const char* kind;
        bool compressed;
        int level;
    } kinds[] = {{"stored", false, 4}, {"deflate", true, 4}, {"groups", true, -1}};
    for (const auto& k : kinds) {
        int64_t total = (int64_t)imgw::plan_set(tree(), options(k.compressed, k.level, 200, 0)).stream.size();
        imgw::BackupSet s = imgw::plan_set(tree(), options(k.compressed, k.level, 200, (total + 2) / 3));
        std::vector<std::string> images = imgw::layout_images(s);
        for (size_t d = 0; d < images.size(); d++)
            put(dir, std::string(k.kind) + "-3disks-" + std::to_string(d + 1) + "-of-" + std::to_string(images.size()) +
                         ".img",
                images[d]);
    }

    // Unusual but well-formed tables.
    {
        imgw::BackupSet s = imgw::plan_set(tree(), options(true, 4, 512, 0));
        imgw::CatalogTables& t = s.tables;
        imgw::Disk d2;
        d2.serial = 2;
        d2.drive = "D:";
        d2.label = "SECOND";
        t.disks.push_back(d2);
        imgw::Dir droot;
        droot.serial = (int32_t)t.dirs.size() + 1;
        droot.disk = 2;
        t.dirs.push_back(droot);
        imgw::PathRec other;
        other.datatype = 2;
        other.text = "not a path";
        t.paths.push_back(other);
        t.paths.push_back(t.paths[0]);
        imgw::Session s2;
        s2.serial = 2;
        s2.disk_num = 1;
        t.sessions.push_back(s2);
        t.job.descr = std::string(256, 'D');
        t.job.text_b = "text b";
        put(dir, "many-tables.img", last_image(s));
    }
    {
        imgw::BackupSet s = imgw::plan_set({}, options(false, 4, 0, 0));
        put(dir, "no-files.img", last_image(s));
    }
    {
        // The comp table written while the job says stored.
        imgw::BackupSet s = imgw::plan_set(tree(), options(true, 4, 256, 0));
        s.tables.job.compressed = 0;
        put(dir, "comp-but-stored.img", last_image(s));
    }
    {
        // Unsafe names, a parent loop, an index out of range.
        imgw::BackupSet s = imgw::plan_set(
            {{"Data", "..", "dotdot"}, {"Data\\Sub", "x\\y", "backslash"}, {"", "", "nameless"},
             {"Loop", "l.txt", "loop"}, {"", "ok.txt", "fine"}},
            options(true, 4, 65536, 0));
        for (imgw::Dir& d : s.tables.dirs)
            if (d.name == "Loop") d.parent = d.serial;
        s.tables.dirs[1].name = "..";
        s.tables.files[4].dir = 99;
        put(dir, "hostile-names.img", last_image(s));
    }
    {
        std::string deep;
        for (int i = 2; i <= 22; i++) deep += (deep.empty() ? "" : "\\") + ("d" + std::to_string(i));
        std::string name(240, 'n');
        imgw::BackupSet s = imgw::plan_set({{deep, "deep.txt", "deep"}, {std::string(200, 'L'), name, "long"}},
                                           options(false, 4, 0, 0));
        put(dir, "deep-and-long.img", last_image(s));
    }
    {
        // Regions behind extra blocks, and a filler that is not zero.
        imgw::BackupSet s = imgw::plan_set(tree(), options(true, 4, 65536, 0));
        std::array<imgw::Region, 7> r = imgw::make_regions(s.tables);
        r[1].extra_skip = 64;
        r[5].extra_skip = 32;
        put(dir, "extra-skip.img", imgw::layout_images(s, r, 0x20).back());
    }
    {
        // Wrong checksum, wrong length, an unknown level and a huge size.
        imgw::BackupSet s = imgw::plan_set(tree(), options(true, 4, 300, 0));
        s.tables.comp[0].CHK_SUM = 1;
        s.tables.comp[1].ORGSIZE = 5;
        s.tables.comp.back().COMP_LVL = 2;
        s.tables.files[0].size_lo = 2147483647;
        put(dir, "bad-groups.img", last_image(s));
        s = imgw::plan_set(tree(), options(true, 4, 300, 0));
        s.tables.comp[2].COMPSIZE = 2147483647;
        put(dir, "huge-group.img", last_image(s));
    }

    // Headers alone.
    imgw::Header h;
    put(dir, "data-disk.img", imgw::make_image(h, "some data", ""));
    h.cat_offs = 0x2000;
    put(dir, "catalog-beyond-end.img", imgw::make_image(h, "", ""));
    put(dir, "short-header.img", imgw::encode_header(imgw::Header()).substr(0, 300));
}

imgw::Region field_region(const std::vector<imgw::FieldDesc>& fields, int entries) {
    imgw::Region r;
    r.fields = fields;
    r.records.push_back(imgw::count_record(r, entries + 1));
    for (int e = 0; e < entries; e++) {
        std::string rec = " " + imgw::num_field(e + 1);
        rec += imgw::text_field(std::string(400, (char)('A' + e)), imgw::ent_size(r) - (int)rec.size());
        r.records.push_back(rec);
    }
    return r;
}

imgw::FieldDesc field(const std::string& name, char type, uint32_t length) {
    imgw::FieldDesc f;
    f.name = name;
    f.type = type;
    f.length = length;
    return f;
}

void dbfscan_seeds(const std::string& dir) {
    imgw::BackupSet s = imgw::plan_set(tree(), options(true, 4, 256, 0));
    std::array<imgw::Region, 7> r = imgw::make_regions(s.tables);
    const char* names[7] = {"disks", "dirs", "files", "comp", "job", "paths", "sessions"};
    for (int i = 0; i < 7; i++) put(dir, std::string(names[i]) + ".dbf", imgw::encode_region(r[i]));

    imgw::Region no_end = r[3];
    no_end.end_of_data = false;
    put(dir, "comp-no-end.dbf", imgw::encode_region(no_end));
    imgw::Region header_count = r[6];
    header_count.header_count = 9;
    put(dir, "sessions-header-count.dbf", imgw::encode_region(header_count));

    std::vector<imgw::FieldDesc> many;
    for (int i = 0; i < 19; i++) many.push_back(field(i == 0 ? "SERIAL" : "F" + std::to_string(i), 'N', 12));
    put(dir, "nineteen-fields.dbf", imgw::encode_region(field_region(many, 2)));
    put(dir, "short-records.dbf",
        imgw::encode_region(field_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("T", 'C', 3)}, 3)));
    put(dir, "long-text.dbf",
        imgw::encode_region(field_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("TEXT", 'C', 200),
                                          field("NUM", 'N', 90), field("X", 'M', 10)},
                                         2)));
    imgw::Region outside = field_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("T", 'C', 20)}, 2);
    outside.fields[2].offset = 30;
    put(dir, "field-outside.dbf", imgw::encode_region(outside));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: fuzz_seeds UNBAK_DIR DBFSCAN_DIR\n");
        return 2;
    }
    mkdir(argv[1], 0755);
    mkdir(argv[2], 0755);
    unbak_seeds(argv[1]);
    dbfscan_seeds(argv[2]);
    printf("fuzz_seeds: %d files written\n", written);
    if (failed > 0) fprintf(stderr, "fuzz_seeds: %d files could not be written\n", failed);
    return failed > 0 ? 1 : 0;
}
