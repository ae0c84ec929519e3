// Tests of the image writer: the byte layout every other test relies on.
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include "tests/support/format.h"
#include "tools/imgwriter.h"

using namespace imgw;

namespace {

uint32_t le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | (unsigned char)s.at(at + i);
    return v;
}

uint16_t le16(const std::string& s, size_t at) {
    return (uint16_t)((unsigned char)s.at(at) | ((unsigned char)s.at(at + 1) << 8));
}

// The restore tool's test for a region's first descriptor.
bool is_serial_desc(const std::string& s, size_t at) {
    return at + 32 <= s.size() && memcmp(s.data() + at, "SERIAL\0", 7) == 0 && s[at + 11] == 'N' &&
           le32(s, at + 12) != 0 && le32(s, at + 16) != 0 && le32(s, at + 20) == 0 &&
           le32(s, at + 24) == 0 && le32(s, at + 28) == 0;
}

// Where the restore tool finds each region: search from the end of each gap in
// 32-byte steps; the next gap starts behind the region's 0x1A.
std::vector<size_t> found_regions(const std::string& cat, const std::array<Region, 7>& regions) {
    std::vector<size_t> at;
    size_t pos = 0;
    for (int i = 0; i < 7; i++) {
        pos += REGION_GAPS[i];
        while (pos < cat.size() && !is_serial_desc(cat, pos)) pos += 32;
        at.push_back(pos);
        pos += encode_region(regions[i]).size() - 32;
    }
    return at;
}

std::string inflate_raw(const std::string& in) {
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    EXPECT_EQ(inflateInit2(&zs, -15), Z_OK);
    std::string out(1 << 20, '\0');
    zs.next_in = (Bytef*)in.data();
    zs.avail_in = (uInt)in.size();
    zs.next_out = (Bytef*)&out[0];
    zs.avail_out = (uInt)out.size();
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(zs.avail_in, 0u);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return out;
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(seed >> 16);
    }
    return s;
}

}  // namespace

TEST(RegionLayout, PathTableWithTwoEntries) {
    Region r = paths_region({{1, 1, "C:\\"}, {2, 1, "C:\\Data"}});
    std::string b = encode_region(r);
    EXPECT_EQ(ent_size(r), 265);
    ASSERT_EQ(b.size(), 925u);
    EXPECT_EQ(le32(b, 4), 3u);
    const char* names[3] = {"SERIAL", "DATATYPE", "DATATEXT"};
    const uint32_t offs[3] = {1, 13, 25}, lens[3] = {12, 12, 240};
    for (int i = 0; i < 3; i++) {
        size_t d = 32 + 32 * i;
        EXPECT_STREQ(b.c_str() + d, names[i]);
        EXPECT_EQ(b[d + 11], i < 2 ? 'N' : 'C');
        EXPECT_EQ(le32(b, d + 12), offs[i]);
        EXPECT_EQ(le32(b, d + 16), lens[i]);
        EXPECT_EQ(b.substr(d + 20, 12), std::string(12, '\0'));
    }
    EXPECT_EQ(b[128], '\x0D');
    EXPECT_EQ(b[129], ' ');
    EXPECT_EQ(b.substr(142, 12), "           3");
    EXPECT_EQ(b.substr(394, 25), "            1           1");
    EXPECT_EQ(b.substr(659 + 25, 8), "C:\\Data ");
    EXPECT_EQ(b[924], '\x1A');
}

TEST(RegionLayout, OverridesReachTheBytes) {
    Region r = paths_region({});
    r.header_count = 9;
    r.end_of_fields = false;
    r.end_of_data = false;
    r.fields[1].offset = 77;
    r.fields[2].raw = std::string(32, 'x');
    std::string b = encode_region(r);
    EXPECT_EQ(le32(b, 4), 9u);
    EXPECT_EQ(le32(b, 64 + 12), 77u);
    EXPECT_EQ(b.substr(96, 32), std::string(32, 'x'));
    EXPECT_EQ(b.size(), 128u + 265u);  // no 0x0D, no 0x1A
}

TEST(RegionLayout, StandardRegionsMatchTheSchemas) {
    CatalogTables t;
    t.disks.resize(1);
    t.dirs.resize(2);
    t.files.resize(3);
    t.comp.resize(4);
    t.paths.resize(1);
    t.sessions.resize(1);
    std::array<Region, 7> regions = make_regions(t);
    const int32_t sizes[7] = {151, 277, 339, 133, 399, 265, 75};
    const size_t nfields[7] = {13, 4, 9, 11, 11, 3, 6};
    const int64_t counts[7] = {2, 3, 4, 5, 2, 2, 2};
    const char* last_names[7] = {"HASDSKST", "NAME", "NAME", "IS_LAST", "DESCR", "DATATEXT", "SESSDATE"};
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE(i);
        const Region& r = regions[i];
        EXPECT_EQ(ent_size(r), sizes[i]);
        ASSERT_EQ(r.fields.size(), nfields[i]);
        EXPECT_EQ(r.fields[0].name, "SERIAL");
        EXPECT_EQ(r.fields.back().name, last_names[i]);
        ASSERT_EQ(r.records.size(), (size_t)counts[i]);
        for (const std::string& rec : r.records) EXPECT_EQ(rec.size(), (size_t)sizes[i]);
        EXPECT_EQ(r.records[0].substr(13, 12), num_field(counts[i]));
    }
}

TEST(CatalogLayout, RegionsFollowTheirGaps) {
    BackupSet set = plan_set({{"", "a.txt", "abc"}, {"Data", "b.txt", "defg"}}, SetOptions());
    std::array<Region, 7> regions = make_regions(set.tables);
    std::string cat = encode_catalog(regions, 0xFF);
    std::vector<size_t> at = found_regions(cat, regions);
    EXPECT_EQ(at[0], 0x10D0u);
    size_t end = 0;
    for (int i = 0; i < 7; i++) {
        size_t expect = i == 0 ? 0x10D0u : end + (i == 1 ? 0x1E20u : i == 5 ? 0xC20u : i == 6 ? 0x1220u : 0x1820u);
        EXPECT_EQ(at[i], expect) << "region " << i;
        end = at[i] + encode_region(regions[i]).size() - 32;
        EXPECT_EQ(cat[end - 1], '\x1A');
        EXPECT_EQ(cat[at[i] - 32], '\x03');  // table header right in front
    }
    EXPECT_EQ(end, cat.size());

    // Pushed 64 bytes beyond its gap, a region is still found there, and
    // every later region moves with it.
    regions[2].extra_skip = 64;
    std::string moved = encode_catalog(regions, 0);
    std::vector<size_t> at2 = found_regions(moved, regions);
    EXPECT_EQ(at2[1], at[1]);
    for (int i = 2; i < 7; i++) EXPECT_EQ(at2[i], at[i] + 64) << "region " << i;
    EXPECT_EQ(le32(moved, at2[2] - 32 + 4), (uint32_t)regions[2].records.size());
}

TEST(SetPlan, TablesDescribeTheTree) {
    SetOptions opt;
    opt.compressed = false;
    BackupSet set = plan_set({{"Data\\Sub", "x", "12345"}, {"", "r", ""}, {"Data", "y", "67"}}, opt);
    const CatalogTables& t = set.tables;
    ASSERT_EQ(t.dirs.size(), 3u);
    EXPECT_EQ(t.dirs[0].parent, 0);
    EXPECT_EQ(t.dirs[0].name, "");
    EXPECT_EQ(t.dirs[1].name, "Data");
    EXPECT_EQ(t.dirs[1].parent, 1);
    EXPECT_EQ(t.dirs[2].name, "Sub");
    EXPECT_EQ(t.dirs[2].parent, 2);
    ASSERT_EQ(t.paths.size(), 3u);
    EXPECT_EQ(t.paths[0].text, "C:\\");
    EXPECT_EQ(t.paths[2].text, "C:\\Data\\Sub");
    ASSERT_EQ(t.files.size(), 3u);
    EXPECT_EQ(t.files[0].dir, 3);
    EXPECT_EQ(t.files[1].dir, 1);
    EXPECT_EQ(t.files[2].dir, 2);
    EXPECT_EQ(t.files[2].size_lo, 2);
    EXPECT_EQ(set.stream, "1234567");
    EXPECT_EQ(t.job.compressed, 0);
    EXPECT_EQ(t.sessions.at(0).sessto, 3);
}

TEST(SetPlan, GroupsRebuildEachFile) {
    std::vector<SourceFile> files = {{"", "big", pattern(25000, 1)}, {"", "empty", ""},
                                     {"", "exact", pattern(20000, 2)}};
    for (int lvl : {4, -1}) {
        SCOPED_TRACE(lvl);
        SetOptions opt;
        opt.comp_lvl = lvl;
        opt.group_size = 10000;
        BackupSet set = plan_set(files, opt);
        const std::vector<Comp>& comp = set.tables.comp;
        ASSERT_EQ(comp.size(), 3u + 1u + 2u);
        size_t g = 0;
        for (const SourceFile& f : files) {
            std::string rebuilt;
            for (;;) {
                const Comp& c = comp.at(g);
                EXPECT_EQ(c.SEQUENCE, (int64_t)g + 1);
                EXPECT_EQ(c.COMP_LVL, lvl);
                std::string bytes = set.stream.substr((size_t)c.OFFS_LO, (size_t)c.COMPSIZE);
                std::string chunk = lvl == 4 ? inflate_raw(bytes) : bytes;
                EXPECT_EQ((int64_t)chunk.size(), c.ORGSIZE);
                uint32_t crc = (uint32_t)crc32(0L, (const Bytef*)chunk.data(), (uInt)chunk.size());
                EXPECT_EQ((uint32_t)c.CHK_SUM + crc, 0xFFFFFFFFu);
                rebuilt += chunk;
                g++;
                if (c.IS_LAST == 1) break;
                EXPECT_EQ(c.IS_LAST, 0);
            }
            EXPECT_EQ(rebuilt, f.content);
        }
        const Comp& last = comp.back();
        EXPECT_EQ((size_t)(last.OFFS_LO + last.COMPSIZE), set.stream.size());
    }
}

TEST(SetLayout, ThreeDiskSplit) {
    SetOptions opt;
    opt.compressed = false;
    opt.disk_capacity = 1000;
    opt.set_id1 = 0x11111111u;
    opt.set_id2 = 0x22222222u;
    opt.job_num = 7;
    std::string content = pattern(2500, 3);
    BackupSet set = plan_set({{"", "f", content}}, opt);
    EXPECT_EQ(set.tables.job.num_disks, 3);
    std::vector<std::string> images = layout_images(set);
    ASSERT_EQ(images.size(), 3u);
    std::string data;
    for (size_t k = 0; k < 3; k++) {
        SCOPED_TRACE(k);
        const std::string& img = images[k];
        EXPECT_EQ(le32(img, 0), 0xABCDABCDu);
        EXPECT_EQ(le32(img, 12), 0x11111111u);
        EXPECT_EQ(le32(img, 16), 0x22222222u);
        EXPECT_EQ(le16(img, 24), 7);
        EXPECT_EQ(le16(img, 26), k + 1);
        EXPECT_NE(img.substr(4, 8), std::string(8, '\0'));  // reserved pattern
        uint32_t cat = le32(img, 28);
        if (k < 2) {
            EXPECT_EQ(cat, 0u);
            EXPECT_EQ(img.size(), 1512u);
            data += img.substr(512);
        } else {
            ASSERT_EQ(cat, 512u + 500u);
            data += img.substr(512, 500);
            EXPECT_EQ(img.substr(cat), encode_catalog(make_regions(set.tables)));
        }
    }
    EXPECT_EQ(data, content);
}

TEST(SetLayout, HeaderNameArea) {
    Header h;
    h.name = "my set";
    std::string b = encode_header(h);
    ASSERT_EQ(b.size(), 512u);
    EXPECT_EQ(b.substr(52, 7), std::string("my set\0", 7));
    h.name_area = std::string(460, 'n');
    EXPECT_EQ(encode_header(h).substr(52), std::string(460, 'n'));
    h.reserved = std::string(32, '\x5A');
    b = encode_header(h);
    EXPECT_EQ(b.substr(4, 8) + b.substr(20, 4) + b.substr(32, 20), std::string(32, '\x5A'));
}
