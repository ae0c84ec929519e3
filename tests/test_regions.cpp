// Catalog table regions and built-in schemas: region location (plain runs),
// the -f walk, schema validation (catalog mode), and the region functions
// called directly on writer-made files.
#include <gtest/gtest.h>
#include <stdio.h>
#include <zlib.h>

#include <array>
#include <string>
#include <vector>

#include "container/regions.h"
#include "container/scan.h"
#include "container/schema.h"
#include "container/table_format.h"
#include "platform/platform.h"
#include "restore/unbak_words.h"
#include "tests/support/format.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

using imgw::FieldDesc;
using imgw::Region;
using Regions = std::array<Region, 7>;

const uint32_t CAT_OFFS = 512;  // images here carry no data

std::string prefix() {
    return std::string("\nunbak version 1.02 compiled for WIN32") + "\n       using: zlib version " +
           zlibVersion() + " with raw decompression\n" + "\nsource file: img.bak\n" +
           "\nBackup name: test backup\nJob 1  Backup Disk 1" + fmt("\nCatalog at  offset 0x%x\n", CAT_OFFS) +
           "\nattempt to step through catalog and locate structure definition regions";
}

const char* const DISPLAY_TITLE_ONLY = "\n\n\ndisplay of catalog\n";

Regions standard_regions() {
    imgw::CatalogTables t;
    t.disks = {imgw::Disk()};
    t.dirs = {imgw::Dir()};
    imgw::File f;
    f.name = "a.txt";
    t.files = {f};
    t.comp = {imgw::Comp()};
    imgw::PathRec p;
    p.text = "C:\\";
    t.paths = {p, p};
    // One session: from its 0x0D through its 0x1A the Session region holds
    // 1 + 2 * 75 + 1 = 152 bytes, so the -f walk's last block is a short one.
    t.sessions = {imgw::Session()};
    return imgw::make_regions(t);
}

std::string image_of(const Regions& r) {
    return imgw::make_image(imgw::Header(), "", imgw::encode_catalog(r));
}

// Where each region lies, worked out from the layout rules alone.
struct Place {
    uint32_t search;  // end of the gap
    uint32_t offset;  // first descriptor
    uint32_t data;    // byte after the 0x0D
    uint32_t end;     // byte after the 0x1A
};

std::vector<Place> places(const Regions& r) {
    std::vector<Place> v;
    uint32_t pos = CAT_OFFS;
    for (int i = 0; i < 7; i++) {
        Place p;
        p.search = pos + REGION_GAPS[i];
        p.offset = p.search + r[i].extra_skip;
        p.data = p.offset + 32 * (uint32_t)r[i].fields.size() + 1;
        uint32_t bytes = 0;
        for (const std::string& rec : r[i].records) bytes += (uint32_t)rec.size();
        p.end = p.data + bytes + 1;
        v.push_back(p);
        pos = p.end;
    }
    return v;
}

std::string locate_line(int i, uint32_t offset) {
    return fmt("\nstart of Structure Definition %d: %-8s at ", i + 1, REGION_LABELS[i]) + fmt(" 0x%x", offset);
}

// Plain-run lines for regions [0, upto).
std::string locate_lines(const Regions& r, int upto = 7) {
    std::vector<Place> p = places(r);
    std::string s;
    for (int i = 0; i < upto; i++) s += locate_line(i, p[i].offset);
    return s;
}

std::string walk_start(int i) { return fmt("\nstart of Structure Definition %2d: %-8s at ", i + 1, REGION_LABELS[i]); }

// -f lines of a well-formed region i.
std::string walk_region(const Regions& r, int i, bool verbose) {
    Place p = places(r)[i];
    std::string s = walk_start(i) + fmt("0x%x ", p.offset);
    const std::vector<FieldDesc>& f = r[i].fields;
    if (verbose) {
        for (size_t k = 0; k < f.size(); k++)
            s += fmt("\n%2d %-10s type %c len %d", (int)k + 1, f[k].name.c_str(), f[k].type, (int)f[k].length);
    } else {
        s += fmt(" with %d fields", (int)f.size() + 1);
    }
    if (p.offset != p.search) s += fmt("\nskipped ahead 0x%x bytes beyond base fixed offset to find start structure",
                                       p.offset - p.search);
    s += fmt("\nCatalog contains data for %d entries for this structure each of %d bytes",
             (int)r[i].records.size() - 1, imgw::ent_size(r[i]));
    s += fmt("\nend of structure definition start of data at 0x%x", p.data);
    s += fmt("\nend of data start next region             at 0x%x\n", p.end);
    return s;
}

std::string walk_lines(const Regions& r, bool verbose, int upto = 7) {
    std::string s;
    for (int i = 0; i < upto; i++) s += walk_region(r, i, verbose);
    return s;
}

std::string found(int n) { return fmt("\nfound %d structure definition regions\n", n) + "\n"; }

FieldDesc field(const std::string& name, char type, uint32_t length) {
    FieldDesc f;
    f.name = name;
    f.type = type;
    f.length = length;
    return f;
}

// A region of the given descriptors with a count record and `entries` blank
// entries.
Region custom_region(const std::vector<FieldDesc>& fields, int entries) {
    Region r;
    r.fields = fields;
    r.records.push_back(imgw::count_record(r, entries + 1));
    for (int e = 0; e < entries; e++)
        r.records.push_back(imgw::text_field(" " + imgw::num_field(e + 1), imgw::ent_size(r)));
    return r;
}

RunResult run(const std::string& image, const std::vector<std::string>& opts) {
    TempDir t;
    t.write("img.bak", image);
    std::vector<std::string> args = {"img.bak"};
    args.insert(args.end(), opts.begin(), opts.end());
    return run_unbak(t.path, args);
}

// ---- plain runs: region location ---------------------------------------------

TEST(RegionLocation, ReportsEachRegionAtItsFirstDescriptor) {
    Regions r = standard_regions();
    r[2].extra_skip = 64;  // Files begins two blocks behind its gap
    // The last region ends with its 0x1A as the image's last byte.
    ASSERT_EQ(places(r)[6].end, (uint32_t)image_of(r).size());
    RunResult res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r) + "\n");
    EXPECT_EQ(res.status, 0);
}

TEST(RegionLocation, SearchPassesOverNearMissDescriptors) {
    struct Decoy {
        const char* what;
        void (*spoil)(std::string&);
    };
    const Decoy decoys[] = {
        {"lower-case name", [](std::string& d) { d.replace(0, 6, "serial"); }},
        {"type C", [](std::string& d) { d[11] = 'C'; }},
        {"byte 20 set", [](std::string& d) { d[20] = 1; }},
        {"byte 28 set", [](std::string& d) { d[28] = 1; }},
        {"longer name", [](std::string& d) { d[6] = 'X'; }},
        {"field offset 0", [](std::string& d) { d[12] = 0; }},
        {"length 0", [](std::string& d) { d[16] = 0; }},
    };
    for (const Decoy& decoy : decoys) {
        SCOPED_TRACE(decoy.what);
        Regions r = standard_regions();
        r[0].extra_skip = 64;
        std::string image = image_of(r);
        // A SERIAL descriptor at the end of the gap, spoiled in one detail.
        std::string d(32, '\0');
        d.replace(0, 6, "SERIAL");
        d[11] = 'N';
        d[12] = 1;
        d[16] = 12;
        decoy.spoil(d);
        image.replace(places(r)[0].search, 32, d);
        RunResult res = run(image, {});
        EXPECT_EQ(res.out, prefix() + locate_lines(r) + "\n");
    }
}

TEST(RegionLocation, AtMostFourteenDescriptors) {
    std::vector<FieldDesc> f = imgw::standard_fields(0);
    f.push_back(field("EXTRA1", 'N', 12));
    Regions r = standard_regions();
    r[0] = custom_region(f, 1);  // 14 descriptors
    RunResult res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r) + "\n");

    f.push_back(field("EXTRA2", 'N', 12));
    r[0] = custom_region(f, 1);  // 15: the 15th has field offset 1 + 150 + 12 = 0xa3
    res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 1) + "\ninvalid structure header region " +
                           std::string(5, ' ') + "EXTRA2, read 15 entries terminator a3"
                           "\nabort, skip_struct(1) returned offset -12\n");
    EXPECT_EQ(res.status, 0);
}

TEST(RegionLocation, RecordSizeMustFitTheBufferAndHoldTheCountRecord) {
    Regions r = standard_regions();
    r[3] = custom_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("TEXT", 'C', 999)}, 2);
    ASSERT_EQ(imgw::ent_size(r[3]), 1024);
    RunResult res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r) + "\n");

    r[3] = custom_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("TEXT", 'C', 1000)}, 2);
    res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 4) +
                           "\nabort structure data size 1025 exceeds read buffer size of 1024"
                           "\nabort, skip_struct(4) returned offset -12\n");

    // The lengths sum modulo 2^32, and the size printed is the size tested:
    // 1 + 12 + 0xFFFFFFFF is 12.
    r[3] = custom_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 0xFFFFFFFFu)}, 0);
    r[3].records = {imgw::text_field(" " + imgw::num_field(0) + imgw::num_field(1), 40)};
    res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 4) +
                           "\nabort structure data size 12 below minimum of 31"
                           "\nabort, skip_struct(4) returned offset -12\n");

    r[3] = custom_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("FLAG", 'C', 5)}, 1);
    ASSERT_EQ(imgw::ent_size(r[3]), 30);
    res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 4) +
                           "\nabort structure data size 30 below minimum of 31"
                           "\nabort, skip_struct(4) returned offset -12\n");
}

TEST(RegionLocation, ControlBytesInNamesAreRejectedNulBytesAllowed) {
    Regions r = standard_regions();
    r[1].fields[1].name = std::string("DI\0SK", 5);
    RunResult res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r) + "\n");

    // Checked up to the tab; 'S' follows it. The record size so far, 1 + 12 +
    // 12, is below the minimum too: both messages, the size first.
    r[1].fields[1].name = "DI\tSK";
    res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 2) + "\nabort structure data size 25 below minimum of 31" +
                           "\ninvalid structure header region " +
                           std::string(6, ' ') + "DI\tSK, read 2 entries terminator 53"
                           "\nabort, skip_struct(2) returned offset -3\n");
}

// A descriptor name is printed as far as "%s" reads it: an 11-character
// name has no NUL in its field, so the type letter and the bytes behind it
// follow up to the next NUL.
TEST(RegionLocation, ElevenCharacterNamesRunOnIntoTheTypeLetter) {
    std::vector<FieldDesc> f = imgw::standard_fields(0);
    f.push_back(field("EXTRA1", 'N', 12));
    f.push_back(field("EXTRA2ABCDE", 'N', 12));  // field offset 0xa3
    Regions r = standard_regions();
    r[0] = custom_region(f, 1);
    RunResult res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 1) +
                           "\ninvalid structure header region EXTRA2ABCDEN\xa3, read 15 entries terminator a3"
                           "\nabort, skip_struct(1) returned offset -12\n");

    r = standard_regions();
    r[5].fields[2].name = "DATATEXTXYZ";  // type C, field offset 25
    res = run(image_of(r), {"-f", "-v"});
    std::string listing = prefix() + walk_lines(r, true) + found(7);
    listing.replace(listing.find("DATATEXTXYZ type"), 11, "DATATEXTXYZC\x19");
    EXPECT_EQ(res.out, listing);
}

// The count is read as "%12d" reads it: blanks in front do not count toward
// the 12 characters, and the digits may run on into the next field.
TEST(RegionLocation, CountIsTwelveCharactersAfterTheBlanks) {
    Regions r = standard_regions();
    // A 13-character count field of 12 blanks and a 3 (three records).
    r[3] = custom_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 13), field("T", 'C', 20)}, 2);
    r[3].records[0] = imgw::text_field(" " + imgw::num_field(0) + std::string(12, ' ') + "3", 46);
    RunResult res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r) + "\n");

    // "           2" and a next field that begins with 5: 25.
    r[3] = custom_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("NEXT", 'N', 12)}, 2);
    r[3].records[0] = imgw::text_field(" " + imgw::num_field(0) + imgw::num_field(2) + "5", 37);
    res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 4) + "\nwarning num 25 from 1st record != record cnt 3" +
                           locate_line(4, places(r)[4].offset) + locate_line(5, places(r)[5].offset) +
                           locate_line(6, places(r)[6].offset) + "\n");
    res = run(image_of(r), {"-f"});
    std::string walk = prefix() + walk_lines(r, false) + found(7);
    std::string entries = "\nCatalog contains data for 2 entries for this structure each of 37 bytes";
    walk.replace(walk.find(entries), entries.size(),
                 "\nCatalog contains data for 24 entries for this structure each of 37 bytes");
    EXPECT_EQ(res.out, walk);
}

TEST(RegionLocation, CountRecordDisagreeingWithRecordsOnlyWarns) {
    Regions r = standard_regions();
    r[5].records[0] = imgw::count_record(r[5], 5);  // 4 records are there
    ASSERT_EQ(r[5].records.size(), 3u);
    r[5].records.push_back(r[5].records[1]);
    RunResult res = run(image_of(r), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 6) + "\nwarning num 5 from 1st record != record cnt 4" +
                           locate_line(6, places(r)[6].offset) + "\n");
}

TEST(RegionLocation, BrokenRegionsStopTheWalk) {
    Regions r = standard_regions();
    std::vector<Place> p = places(r);
    std::string whole = image_of(r);
    struct Case {
        const char* what;
        std::string image;
        bool found_first;  // the first descriptor was found
        std::string tail;
    };
    Regions no_end = r;
    no_end[6].end_of_data = false;
    Regions blank_count = r;
    blank_count[5].records[0].replace(13, 12, std::string(12, ' '));
    const Case cases[] = {
        {"missing 0x1A", image_of(no_end), true,
         "\nfailed to find 0x1A terminator at end of record at 0xld"
         "\nabort, skip_struct(7) returned offset -343"},  // 6 * 32 + 1 + 2 * 75
        {"cut inside the third descriptor", whole.substr(0, p[6].offset + 64 + 10), true,
         "\nread error in structure header region after 2 entries\nabort, skip_struct(7) returned offset -64"},
        {"cut before the 0x0D", whole.substr(0, p[6].offset + 6 * 32), true,
         "\nread error in structure header region after 6 entries\nabort, skip_struct(7) returned offset -192"},
        {"cut after the 0x0D", whole.substr(0, p[6].data + 1), true,
         "\nabort in skip_struct() at offset 206, failed to get number of records"
         "\nabort, skip_struct(7) returned offset -206"},
        {"cut inside the count record", whole.substr(0, p[6].data + 40), true,
         "\nfailed to find 0x1A terminator at end of record at 0xld"
         "\nabort, skip_struct(7) returned offset -193"},
        {"no descriptor before the end", whole.substr(0, p[5].end), false,
         "\nread error no valid 1st 'SERIAL' field found reading ahead by 0x20 byte blocks\n" +
             fmt("\nFailed to reach next structure when search started at offset 0x%x", p[6].search)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunResult res = run(c.image, {});
        std::string line = locate_line(6, p[6].offset);
        if (!c.found_first) line = line.substr(0, line.rfind(' '));  // "at " with nothing behind
        EXPECT_EQ(res.out, prefix() + locate_lines(r, 6) + line + c.tail + "\n");
        EXPECT_EQ(res.status, 0);
    }

    // The Path count field blank: the count cannot be read.
    RunResult res = run(image_of(blank_count), {});
    EXPECT_EQ(res.out, prefix() + locate_lines(r, 6) +
                           "\nabort in skip_struct() at offset 110, failed to get number of records"
                           "\nabort, skip_struct(6) returned offset -110\n");
}

TEST(RegionLocation, PositionsBeyond2GiBCannotBeReached) {
    imgw::Header h;
    h.cat_offs = 0x7FFFF000u;
    std::string image = imgw::make_image(h, "", "");
    RunResult res = run(image, {});
    std::string head = std::string(prefix()).replace(prefix().find("0x200"), 5, "0x7ffff000");
    EXPECT_EQ(res.out, head + "\nstart of Structure Definition 1: Disk     at "
                              "\nfatal seek error, could not reach start offset when started at 0x800000d0\n\n");
    res = run(image, {"-f"});
    EXPECT_EQ(res.out, head + walk_start(0) + "?\nfatal seek error, could not reach start offset\n" + found(0));
}

// ---- -f: the region walk -----------------------------------------------------

TEST(RegionWalk, ShowsWhereEachRegionLies) {
    Regions r = standard_regions();
    r[4].extra_skip = 64;
    RunResult res = run(image_of(r), {"-f"});
    EXPECT_EQ(res.out, prefix() + walk_lines(r, false) + found(7));
    EXPECT_EQ(res.status, 0);
    EXPECT_NE(res.out.find("\nskipped ahead 0x40 bytes"), std::string::npos);

    res = run(image_of(r), {"-f", "-v"});
    EXPECT_EQ(res.out, prefix() + walk_lines(r, true) + found(7));
}

// The count scan reads "%12d" from the count field on, and blanks let it run
// past the 0x0D block into what the work buffer held before: for the first
// region, the header's name area, whose digits then give the count.
TEST(RegionWalk, BlankCountRunsOnIntoWhatTheHeaderReadLeft) {
    Regions r = standard_regions();
    r[0].records[0].replace(13, 18, std::string(18, ' '));  // up to the block's end
    imgw::Header h;
    h.name_area = h.name + std::string(32 - h.name.size(), '\0') + "41";
    h.name_area.resize(460, '\0');
    RunResult res = run(imgw::make_image(h, "", imgw::encode_catalog(r)), {"-f"});
    std::string expected = prefix() + walk_lines(r, false) + found(7);
    std::string recorded = fmt("data for %d entries", (int)r[0].records.size() - 1);
    expected.replace(expected.find(recorded), recorded.size(), "data for 40 entries");
    EXPECT_EQ(res.out, expected);
}

TEST(RegionWalk, EndByteFoundInBlockOfAnyLength) {
    // The last region's bytes from its 0x0D: 1 + ent_sz * records + 1. Its
    // final block may hold the 0x1A alone, end with it, or be a short one.
    struct Case {
        uint32_t text_len;  // ent_sz = 25 + text_len
        int entries;
        int last_block;     // bytes in the walk's final block
    };
    const Case cases[] = {{6, 0, 1}, {6, 1, 32}, {32, 1, 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text_len * 10 + c.entries);
        Regions r = standard_regions();
        r[6] = custom_region({field("SERIAL", 'N', 12), field("COUNT", 'N', 12), field("T", 'C', c.text_len)},
                             c.entries);
        int from_0d = 1 + imgw::ent_size(r[6]) * (c.entries + 1) + 1;
        ASSERT_EQ((from_0d - 1) % 32 + 1, c.last_block);
        RunResult res = run(image_of(r), {"-f"});
        EXPECT_EQ(res.out, prefix() + walk_lines(r, false) + found(7));
    }
}

TEST(RegionWalk, StopsAtABrokenRegion) {
    Regions r = standard_regions();
    std::vector<Place> p = places(r);
    std::string whole = image_of(r);
    Regions no_end = r;
    no_end[6].end_of_data = false;
    std::string walk6 = prefix() + walk_lines(r, false, 6);

    RunResult res = run(image_of(no_end), {"-f"});
    std::string last = walk_region(r, 6, false);
    last = last.substr(0, last.find("\nend of data"));
    EXPECT_EQ(res.out, walk6 + last + "\nread error searching for terminators\n" + found(6));

    res = run(whole.substr(0, p[6].offset + 64 + 10), {"-f"});
    EXPECT_EQ(res.out, walk6 + walk_start(6) + fmt("0x%x ", p[6].offset) + " with 3 fields" +
                           "\nread error searching for terminators\n" + found(6));

    res = run(whole.substr(0, p[5].end), {"-f"});
    EXPECT_EQ(res.out, walk6 + walk_start(6) +
                           "\nread error no valid 1st 'SERIAL' field found reading ahead by 0x20 byte blocks\n" +
                           found(6));
}

// ---- catalog mode: validation against the built-in schemas ---------------------

TEST(RegionValidation, MismatchStopsBeforeAnyTableIsRead) {
    struct Case {
        const char* what;
        int table;
        void (*spoil)(Region&);
        const char* messages;
    };
    const Case cases[] = {
        {"Dir with 5 descriptors", 1,
         [](Region& r) { r.fields.push_back(field("EXTRA", 'N', 12)); },
         "\nmismatch in # of fields 4 != 5\nmismatch in total size of data element 277 != 289"},
        {"Disk field 9 of 13 characters", 0, [](Region& r) { r.fields[8].length = 13; },
         "\nmismatch in total size of data element 151 != 152"},
        {"Path DATATEXT typed N", 5, [](Region& r) { r.fields[2].type = 'N'; },
         "\nfield 2 type S mis match, should not be N"},
        {"Session field 2 typed C", 6, [](Region& r) { r.fields[1].type = 'C'; },
         "\nfield 1 type C mis match, should not be L"},
        {"Comp lengths 11 and 13", 3,
         [](Region& r) {
             r.fields[4].length = 11;
             r.fields[5].length = 13;
         },
         "\nfield 4  len mismatch  12 != 11"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Regions r = standard_regions();
        c.spoil(r[c.table]);
        // Keep the records as long as the descriptors say.
        for (std::string& rec : r[c.table].records) rec = imgw::text_field(rec, imgw::ent_size(r[c.table]));
        r[c.table].records[0] = imgw::count_record(r[c.table], (int64_t)r[c.table].records.size());
        RunResult res = run(image_of(r), {"-vs5"});
        EXPECT_EQ(res.out, prefix() + locate_lines(r, c.table + 1) + c.messages +
                               fmt("\nabort: field validation failed for structure %d", c.table + 1) +
                               DISPLAY_TITLE_ONLY + "\n");
        EXPECT_EQ(res.status, 8);
        // Outside catalog mode the same region is only located.
        res = run(image_of(r), {});
        EXPECT_EQ(res.out, prefix() + locate_lines(r) + "\n");
    }
}

// ---- the functions on their own ----------------------------------------------

// Opens bytes written to a scratch file; closes and removes it at the end.
// It is read through a work buffer of its own, reporting in unbak's words.
struct ImageFile {
    TempDir dir;
    int fd = -1;
    IoState io{};
    explicit ImageFile(const std::string& bytes) {
        dir.write("t.bin", bytes);
        fd = plat_open_read(dir.file("t.bin").c_str());
        io.rep = &UNBAK_REPORTER;
    }
    ~ImageFile() {
        if (fd >= 0) plat_close(fd);
    }
};

TEST(RegionFunctions, MeasuresTheTwoEntryPathRegion) {
    imgw::PathRec a, b;
    a.text = "C:\\";
    b.text = "C:\\Data";
    ImageFile f(imgw::encode_region(imgw::paths_region({a, b})));
    ASSERT_GE(f.fd, 0);
    int32_t skipped = -1;
    testing::internal::CaptureStdout();
    int32_t at = find_serial(f.fd, 0, &skipped, &f.io);
    int32_t ent_sz = 0, count = 0, nfields = 0, lengths[15] = {0};
    char types[15] = {0};
    int32_t length = skip_struct(f.fd, &ent_sz, &count, &nfields, lengths, types, &f.io);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(at, 32);  // behind the table header
    EXPECT_EQ(skipped, 32);
    EXPECT_EQ(length, 893);
    EXPECT_EQ(ent_sz, 265);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(nfields, 3);
    EXPECT_EQ(std::vector<int32_t>(lengths, lengths + 3), (std::vector<int32_t>{12, 12, 240}));
    EXPECT_EQ(std::string(types, 3), "NNC");
}

TEST(RegionFunctions, FindSerialGivesBackWhereTheSearchEnded) {
    ImageFile f(std::string(100, 'x'));
    ASSERT_GE(f.fd, 0);
    ASSERT_EQ(plat_seek(f.fd, 0, PLAT_SEEK_SET), 0);
    int32_t skipped = -1;
    testing::internal::CaptureStdout();
    int32_t at = find_serial(f.fd, 4000, &skipped, &f.io);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nread error no valid 1st 'SERIAL' field found reading ahead by 0x20 byte blocks\n");
    EXPECT_EQ(at, -(4000 + 96));
    EXPECT_EQ(skipped, 96);
}

TEST(RegionFunctions, RegionTableHoldsTrueOffsetsAndRecordedCounts) {
    Regions r = standard_regions();
    r[2].extra_skip = 64;
    r[5].records[0] = imgw::count_record(r[5], 5);
    ImageFile f(image_of(r));
    ASSERT_GE(f.fd, 0);
    RegionInfo info[7] = {};
    testing::internal::CaptureStdout();
    int32_t got = locate_regions(f.fd, CAT_OFFS, info, true, &f.io);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, 7) << out;
    std::vector<Place> p = places(r);
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(info[i].offset, (int32_t)p[i].offset);
        EXPECT_EQ(info[i].nfields, (int32_t)r[i].fields.size());
        EXPECT_EQ(info[i].ent_sz, imgw::ent_size(r[i]));
        EXPECT_EQ(info[i].count, i == 5 ? 5 : (int32_t)r[i].records.size());
    }
}

// scanf's conversions on bounded text: the width counts from the sign, the
// room or a NUL ends the text, values wrap modulo 2^32.
TEST(NumberScan, WidthRoomAndNulBoundTheConversion) {
    struct Case {
        const char* text;
        int32_t room, width;
        int32_t took;  // 0: no number
        uint32_t value;
    };
    const Case dec[] = {
        {"  +12345678901234", 17, 12, 14, 3755744309u},  // "+12345678901" modulo 2^32
        {"   7", 3, 12, 0, 0},                          // the room ends inside the blanks
        {"12\0" "34", 5, SCAN_NO_WIDTH, 2, 12},
        {"99", 1, SCAN_NO_WIDTH, 1, 9},
        {"-", 1, SCAN_NO_WIDTH, 0, 0},
        {"-1", 2, SCAN_NO_WIDTH, 2, 0xFFFFFFFFu},       // "%lu" of -1
    };
    for (const Case& c : dec) {
        SCOPED_TRACE(c.text);
        uint32_t v = 0;
        EXPECT_EQ(scan_dec(c.text, c.room, c.width, &v), c.took);
        EXPECT_EQ(v, c.value);
    }
    const Case hex[] = {{" -0x10", 6, 0, 6, 0xFFFFFFF0u}, {"0xg", 3, 0, 2, 0}, {"g", 1, 0, 0, 0}};
    for (const Case& c : hex) {
        SCOPED_TRACE(c.text);
        uint32_t v = 0;
        EXPECT_EQ(scan_hex(c.text, c.room, &v), c.took);
        EXPECT_EQ(v, c.value);
    }
}

// The count record's count, read the three ways the steps read it: "%d %d"
// from the flag byte (the readers), "%d" within the 12-character field (Job,
// Session, dbfscan), "%12d" from the field on (the region walks).
TEST(CountRecord, EachWayOfReadingTheCount) {
    const std::string serial = "           0";
    struct Case {
        const char* what;
        std::string record;
        bool after_serial, in_field, width_12;  // a count came
        int32_t count_after_serial, count_in_field, count_width_12;
    };
    const int32_t run_on = (int32_t)(uint32_t)(1234567890129ull % 4294967296ull);
    const int32_t twelve = (int32_t)(uint32_t)(123456789012ull % 4294967296ull);
    const Case cases[] = {
        {"plain", " " + serial + "           3 x", true, true, true, 3, 3, 3},
        {"flag byte not a blank", "*" + serial + "           3", false, true, true, 0, 3, 3},
        {"blank field, number behind it", " " + serial + "            7", true, false, true, 7, 0, 7},
        {"digits running on", " " + serial + "   123456789" + "0129", true, true, true, run_on, 123456789,
         twelve},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const char* r = c.record.data();
        int32_t room = (int32_t)c.record.size();
        int32_t a = 0, b = 0, w = 0;
        EXPECT_EQ(parse_count(r, room, COUNT_AFTER_SERIAL, &a), c.after_serial);
        EXPECT_EQ(parse_count(r, room, COUNT_IN_FIELD, &b), c.in_field);
        EXPECT_EQ(parse_count(r, room, COUNT_WIDTH_12, &w), c.width_12);
        EXPECT_EQ(a, c.count_after_serial);
        EXPECT_EQ(b, c.count_in_field);
        EXPECT_EQ(w, c.count_width_12);
    }
    // The room bounds every way: digits behind it are not read, and a count
    // cut off by it is left alone.
    std::string cut = " " + serial + "  45";
    int32_t n = -1;
    EXPECT_FALSE(parse_count(cut.data(), 15, COUNT_IN_FIELD, &n));
    EXPECT_FALSE(parse_count(cut.data(), 15, COUNT_WIDTH_12, &n));
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(parse_count(cut.data(), 16, COUNT_AFTER_SERIAL, &n));
    EXPECT_EQ(n, 4);
}

TEST(SchemaCheck, StandardDescriptorsMatchEveryTable) {
    for (int t = 0; t < 7; t++) {
        SCOPED_TRACE(t);
        std::vector<FieldDesc> f = imgw::standard_fields(t);
        std::vector<int32_t> lengths;
        std::string types;
        for (const FieldDesc& d : f) {
            lengths.push_back((int32_t)d.length);
            types += d.type;
        }
        int32_t ent_sz = imgw::ent_size(Region{f, {}});
        EXPECT_EQ(TABLE_SCHEMAS[t].name, std::string(REGION_LABELS[t]));
        testing::internal::CaptureStdout();
        EXPECT_EQ(validate_region(t, (int32_t)f.size(), ent_sz, lengths.data(), types.data(), &UNBAK_REPORTER), 0);
        // A type letter other than C and N is not checked.
        std::string odd(types.size(), 'X');
        EXPECT_EQ(validate_region(t, (int32_t)f.size(), ent_sz, lengths.data(), odd.data(), &UNBAK_REPORTER), 0);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    int32_t len = 12;
    testing::internal::CaptureStdout();
    EXPECT_EQ(validate_region(7, 1, 13, &len, "N", &UNBAK_REPORTER), -1);
    EXPECT_EQ(validate_region(-1, 1, 13, &len, "N", &UNBAK_REPORTER), -1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nvalidation error: structure index 7 out of range\nvalidation error: structure index -1 out of range");
}

}  // namespace
