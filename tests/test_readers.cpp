// The seven catalog table readers: end to end through unbak on writer-made
// catalogs, and directly on table files for the cases a validated catalog
// never lets through to a reader.
#include <gtest/gtest.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>

#include <array>
#include <functional>
#include <initializer_list>
#include <string>

#include "catalog/catalog.h"
#include "platform/platform.h"
#include "restore/unbak_words.h"
#include "tests/support/format.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

using Regions = std::array<imgw::Region, 7>;

// Two files on the root of C:, one path, one session; with compressed set,
// each file has one data group.
imgw::CatalogTables base_tables(bool compressed = false) {
    imgw::CatalogTables t;
    t.disks = {imgw::Disk()};
    t.dirs = {imgw::Dir()};
    imgw::File a, b;
    a.name = "A.TXT";
    a.size_lo = 10;
    b.serial = 2;
    b.name = "B.TXT";
    b.size_lo = 5;
    t.files = {a, b};
    t.job.compressed = compressed ? 1 : 0;
    if (compressed) {
        imgw::Comp c1, c2;
        c1.ORGSIZE = c1.COMPSIZE = 10;
        c2.ORGSIZE = c2.COMPSIZE = 5;
        t.comp = {c1, c2};
    }
    imgw::PathRec p;
    p.text = "C:\\";
    t.paths = {p};
    t.sessions = {imgw::Session()};
    return t;
}

// What unbak prints before the first table read, for the image run() writes:
// banner, source, header, and each region's line with the warning of a count
// record that disagrees with the records present.
std::string head(const Regions& regs) {
    std::string s = std::string("\nunbak version 1.02 compiled for WIN32") +
                    "\n       using: zlib version " + zlibVersion() + " with raw decompression\n" +
                    "\nsource file: t.img\n" + "\nBackup name: test backup\nJob 1  Backup Disk 1" +
                    "\nCatalog at  offset 0x200\n" +
                    "\nattempt to step through catalog and locate structure definition regions";
    long pos = 512;
    for (int i = 0; i < 7; i++) {
        pos += REGION_GAPS[i] + regs[i].extra_skip;
        s += fmt("\nstart of Structure Definition %d: %-8s at  0x%lx", i + 1, REGION_LABELS[i], pos);
        long announced = strtol(regs[i].records[0].substr(13, 12).c_str(), nullptr, 10);
        long present = (long)regs[i].records.size();
        if (announced != present)
            s += fmt("\nwarning num %ld from 1st record != record cnt %ld", announced, present);
        pos += (long)imgw::encode_region(regs[i]).size() - 32;
    }
    return s;
}

// The closing display of base_tables() with the tables of `absent` missing.
std::string summary(bool compressed, std::initializer_list<int> absent = {}) {
    auto present = [&](int table) {
        for (int a : absent)
            if (a == table) return false;
        return true;
    };
    std::string s = "\n\n\ndisplay of catalog";
    if (present(0)) s += "\nDisks with 1 entries";
    if (present(1)) s += "\nDirs  with 1 entries";
    if (present(2)) s += "\nFiles with 2 entries";
    if (compressed && present(3)) s += "\nComp with 2 entries";
    if (present(5)) s += "\nPaths with 1 entries";
    if (present(4))
        s += std::string("\nJob data: Job number 1  number of disks 1") +
             (compressed ? " data is compressed" : "");
    if (present(6)) s += "\nSession with 1 entries";
    return s + "\n";
}

const char* const CANNOT = "\ncan not continue, error parsing catalog\n";

RunResult run(const Regions& regs, const char* opt) {
    TempDir t;
    t.write("t.img", imgw::make_image(imgw::Header(), "", imgw::encode_catalog(regs)));
    return run_unbak(t.path, {"t.img", opt});
}

std::string blanks(size_t n) { return std::string(n, ' '); }

// ---- end to end --------------------------------------------------------

TEST(FilesTable, EndingBeforeItsCountIsNoError) {
    imgw::CatalogTables t = base_tables();
    imgw::File c = t.files[0];
    c.serial = 3;
    c.name = "C.TXT";
    c.size_lo = 123456;
    t.files.push_back(c);
    Regions regs = imgw::make_regions(t);
    regs[2].records[0] = imgw::count_record(regs[2], 10);
    RunResult r = run(regs, "-vs3");
    EXPECT_EQ(r.out, head(regs) + R"(
found 3 files in catalog
order   name                             date             size_lo  Dir ndx
  1: A.TXT                           20000301000000           10     1
  2: B.TXT                           20000301000000            5     1
  3: C.TXT                           20000301000000       123456     1
data is not compressed
link_data() 3 files  0 comp groups  cum data size 123471


display of catalog
Disks with 1 entries
Dirs  with 1 entries
Files with 3 entries
Paths with 1 entries
Job data: Job number 1  number of disks 1
Session with 1 entries

)");
    EXPECT_EQ(r.status, 0);
}

// The one descriptor each of Disks, Dirs and Files checks: its name ignoring
// case, its type letter exactly. (The schema check has already passed the
// type letter 'M', which it does not look at.)
TEST(CommonReaders, CheckedDescriptorNameIgnoresCaseTypeDoesNot) {
    struct Case {
        int table;
        const char* error;
    } cases[] = {{0, "\nError -3 reading Disks"},
                 {1, "\nError -3 reading Dirs"},
                 {2, "\nError -3 reading Files"}};
    for (const Case& c : cases) {
        Regions regs = imgw::make_regions(base_tables());
        imgw::FieldDesc& d = regs[c.table].fields.back();
        for (char& ch : d.name) ch = (char)tolower((unsigned char)ch);
        RunResult r = run(regs, "-vs5");
        EXPECT_EQ(r.out, head(regs) + "\ndata is not compressed" +
                             "\nlink_data() 2 files  0 comp groups  cum data size 15" +
                             summary(false) + "\n")
            << c.table;
        EXPECT_EQ(r.status, 0);

        d.type = 'M';
        r = run(regs, "-vs5");
        EXPECT_EQ(r.out, head(regs) + c.error + "\ndata is not compressed" + CANNOT +
                             summary(false, {c.table}) + "\n")
            << c.table;
        EXPECT_EQ(r.status, 1);
    }
}

// A count record whose flag byte is a letter fails the count scan.
TEST(CommonReaders, CountRecordWithLetterFlagFails) {
    struct Case {
        int table;
        const char* messages;
    } cases[] = {
        {0, "\nfailed to get # of records in disk array\nError -4 reading Disks\ndata is compressed"},
        {1, "\nfailed to get # of records in dir array\nError -4 reading Dirs\ndata is compressed"},
        {2, "\nfailed to get # of records in file array\nError -4 reading Files\ndata is compressed"},
        {3, "\ndata is compressed\nfailed to get # of records in comp array"
            "\nfailed to read Comp data section\nError -4 reading Comp, can't decompress data"},
    };
    for (const Case& c : cases) {
        Regions regs = imgw::make_regions(base_tables(true));
        regs[c.table].records[0][0] = 'X';
        RunResult r = run(regs, "-vs5");
        EXPECT_EQ(r.out, head(regs) + c.messages + CANNOT + summary(true, {c.table}) + "\n")
            << c.table;
        EXPECT_EQ(r.status, 1);
    }
}

TEST(CommonReaders, CountOfOneIsAnEmptyTableBelowOneAnAllocationFailure) {
    imgw::CatalogTables t = base_tables();
    t.disks.clear();
    t.dirs.clear();
    Regions regs = imgw::make_regions(t);
    RunResult r = run(regs, "-vs1");
    EXPECT_EQ(r.out, head(regs) + "\ndata is not compressed" +
                         "\nlink_data() 2 files  0 comp groups  cum data size 15" +
                         summary(false, {0, 1}) + "\n");
    EXPECT_EQ(r.status, 0);

    regs = imgw::make_regions(base_tables());
    regs[0].records[0] = imgw::count_record(regs[0], 0);
    regs[1].records[0] = imgw::count_record(regs[1], -3);
    r = run(regs, "-vs2");
    EXPECT_EQ(r.out, head(regs) +
                         "\nfailed to allocate space for disk_def\nError -5 reading Disks"
                         "\nfailed to allocate space for dir_def\nError -5 reading Dirs"
                         "\ndata is not compressed" +
                         CANNOT + summary(false, {0, 1}) + "\n");
    EXPECT_EQ(r.status, 2);
}

TEST(PathsTable, KeepsOnlyChangesBetweenConsecutiveTexts) {
    imgw::CatalogTables t = base_tables();
    imgw::PathRec other;
    other.datatype = 2;  // not a path: skipped, blank text and all
    auto path = [](const char* text) {
        imgw::PathRec p;
        p.text = text;
        return p;
    };
    t.paths = {path("C:\\A"), other, path("C:\\A"), path("C:\\B"), path("C:\\A")};
    Regions regs = imgw::make_regions(t);
    RunResult r = run(regs, "-vs6");
    EXPECT_EQ(r.out, head(regs) + R"(
data is not compressed
paths found in catalog:
  1  C:\A
  2  C:\B
  3  C:\A
link_data() 2 files  0 comp groups  cum data size 15


display of catalog
Disks with 1 entries
Dirs  with 1 entries
Files with 2 entries
Paths with 3 entries
Job data: Job number 1  number of disks 1
Session with 1 entries

)");
    EXPECT_EQ(r.status, 0);
}

TEST(PathsTable, BadRecordsFailTheTable) {
    struct Case {
        const char* what;
        std::function<void(imgw::Region&)> spoil;
        const char* messages;
    } cases[] = {
        {"flag '*'", [](imgw::Region& p) { p.records[1][0] = '*'; },
         "\nfailed to get # of records in paths array"
         "\nfailed to read Paths data section\nError -4 reading Paths"},
        {"blank path", [](imgw::Region& p) { p.records[1].replace(25, 240, blanks(240)); },
         "\nstring allocation error in read_paths()"
         "\nfailed to read Paths data section\nError -5 reading Paths"},
    };
    for (const Case& c : cases) {
        Regions regs = imgw::make_regions(base_tables());
        c.spoil(regs[5]);
        RunResult r = run(regs, "-vs6");
        EXPECT_EQ(r.out, head(regs) + "\ndata is not compressed" + c.messages + CANNOT +
                             summary(false, {5}) + "\n")
            << c.what;
        EXPECT_EQ(r.status, 1);
    }
}

TEST(JobTable, CountOtherThanTwoWarnsSecondRecordFails) {
    Regions regs = imgw::make_regions(base_tables());
    regs[4].records[0] = imgw::count_record(regs[4], 3);
    RunResult r = run(regs, "-vs5");
    EXPECT_EQ(r.out, head(regs) + "\nWarning Job has unexpected record count = 3" +
                         "\ndata is not compressed" +
                         "\nlink_data() 2 files  0 comp groups  cum data size 15" + summary(false) +
                         "\n");
    EXPECT_EQ(r.status, 0);

    // Two data records: the byte behind the first is not the end byte. The
    // Comp table is then not read although the catalog's data is compressed.
    regs = imgw::make_regions(base_tables(true));
    regs[4].records[0] = imgw::count_record(regs[4], 3);
    regs[4].records.push_back(regs[4].records[1]);
    r = run(regs, "-vs4");
    EXPECT_EQ(r.out, head(regs) +
                         "\ndata region read error, or not terminated by 0x1a in get_job()"
                         "\nfailed to read job data" +
                         CANNOT + summary(true, {3, 4}) + "\n");
    EXPECT_EQ(r.status, 1);
}

TEST(CompTable, ReadsNoMoreThanTheCountAndWrapsTo32Bits) {
    imgw::CatalogTables t = base_tables(true);
    t.comp.clear();
    for (int i = 1; i <= 5; i++) {
        imgw::Comp c;
        c.SEQUENCE = i;
        c.ORGSIZE = c.COMPSIZE = 100 * i;
        t.comp.push_back(c);
    }
    t.comp[0].CHK_SUM = 4294967295LL;  // taken modulo 2^32: -1
    t.comp[1].CHK_SUM = 4660;
    t.comp[2].OFFS_LO = 4294967296LL + 77;
    Regions regs = imgw::make_regions(t);
    regs[3].records[0] = imgw::count_record(regs[3], 4);
    RunResult r = run(regs, "-vs4");
    EXPECT_EQ(r.out, head(regs) + R"(
data is compressed
Comp records found in catalog:
 #  seq     orgsize    compsize comp_lvl  chksum      offs_low is_last
  1   1         100         100     4   0xffffffff           0   1
  2   2         200         200     4   0x    1234           0   1
  3   3         300         300     4   0x       0          77   1
  4   4         400         400     4   0x       0           0   1
link_data() 2 files  2 comp groups  cum data size 300


display of catalog
Disks with 1 entries
Dirs  with 1 entries
Files with 2 entries
Comp with 4 entries
Paths with 1 entries
Job data: Job number 1  number of disks 1 data is compressed
Session with 1 entries

)");
    EXPECT_EQ(r.status, 0);
}

// Fields are scanned from the last to the first, so a blank field is named
// by its own index whatever else in the record is blank too.
TEST(CompTable, BlankFieldNamesItsIndex) {
    struct Case {
        int record;
        int field;
        const char* message;
    } cases[] = {{1, 6, "\nread_comp() failed to scan rec 1 data field 6"},
                 {0, 10, "\nread_comp() failed to scan rec 0 data field 10"}};
    for (const Case& c : cases) {
        Regions regs = imgw::make_regions(base_tables(true));
        std::string& rec = regs[3].records[1 + c.record];
        rec.replace(1 + 12 * c.field, 12, blanks(12));
        rec.replace(1, 12, blanks(12));  // SERIAL blank too: scanned last
        RunResult r = run(regs, "-vs4");
        EXPECT_EQ(r.out, head(regs) + "\ndata is compressed" + c.message +
                             "\nfailed to read Comp data section"
                             "\nError -5 reading Comp, can't decompress data" +
                             CANNOT + summary(true, {3}) + "\n")
            << c.field;
        EXPECT_EQ(r.status, 1);
    }
}

TEST(SessionTable, MustHoldEveryAnnouncedRecord) {
    imgw::CatalogTables t = base_tables();
    imgw::Session s2;
    s2.sessfrom = 2;
    s2.sessto = 3;
    s2.date = "20000302000000";
    t.sessions.push_back(s2);
    Regions regs = imgw::make_regions(t);
    RunResult r = run(regs, "-vs7");
    EXPECT_EQ(r.out, head(regs) + R"(
data is not compressed
2 session records for 2 files:
 1: sessfrom   1 sessto   1 job number  1  disk number  1 date 20000301000000
 2: sessfrom   2 sessto   3 job number  1  disk number  1 date 20000302000000
 a total of 2 buffer writes were required for this backup
link_data() 2 files  0 comp groups  cum data size 15


display of catalog
Disks with 1 entries
Dirs  with 1 entries
Files with 2 entries
Paths with 1 entries
Job data: Job number 1  number of disks 1
Session with 2 entries

)");
    EXPECT_EQ(r.status, 0);

    // Count 3 with one record; count 1.
    struct Case {
        size_t sessions;
        int count;
        const char* message;
    } cases[] = {
        {1, 3, "\nfatal read error in get_sess() failed to 2 read all data records"},
        {0, 1, "\ninvalid 1st record"},
    };
    for (const Case& c : cases) {
        t.sessions.resize(c.sessions);
        regs = imgw::make_regions(t);
        regs[6].records[0] = imgw::count_record(regs[6], c.count);
        r = run(regs, "-vs7");
        EXPECT_EQ(r.out, head(regs) + "\ndata is not compressed" + c.message +
                             "\nfailed to read session data" + CANNOT + summary(false, {6}) +
                             "\n")
            << c.count;
        EXPECT_EQ(r.status, 1);
    }
}

TEST(CatalogReading, EveryFailedTableIsCounted) {
    imgw::CatalogTables t = base_tables();
    t.sessions.clear();
    Regions regs = imgw::make_regions(t);
    regs[0].records[0][0] = 'X';                     // Disks: count scan fails
    regs[1].fields.back().type = 'M';                // Dirs: NAME descriptor
    regs[4].records[0] = imgw::count_record(regs[4], 3);
    regs[4].records.push_back(regs[4].records[1]);   // Job: two records
    regs[5].records[1][0] = '*';                     // Paths: flagged record
    RunResult r = run(regs, "-vs1");                 // Session: count 1
    EXPECT_EQ(r.out, head(regs) + R"(
failed to get # of records in disk array
Error -4 reading Disks
Error -3 reading Dirs
data region read error, or not terminated by 0x1a in get_job()
failed to read job data
failed to get # of records in paths array
failed to read Paths data section
Error -4 reading Paths
invalid 1st record
failed to read session data
can not continue, error parsing catalog



display of catalog
Files with 2 entries

)");
    EXPECT_EQ(r.status, 5);
}

// ---- readers called directly on a table file -----------------------------

// A table file holding one region; its first descriptor is at REGION_AT.
const int32_t REGION_AT = 32;

// It is read through a work buffer of its own, reporting in unbak's words.
struct TableFile {
    TempDir dir;
    int fd;
    IoState io{};
    explicit TableFile(const std::string& bytes) {
        dir.write("t.dbf", bytes);
        fd = plat_open_read(dir.file("t.dbf").c_str());
        io.rep = &UNBAK_REPORTER;
    }
    ~TableFile() { plat_close(fd); }
};

std::string captured(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void free_dirs(DirRecord* dirs, int32_t n) {
    for (int32_t i = 0; dirs && i < n; i++) free(dirs[i].name);
    free(dirs);
}

void free_job(JobRecord* job) {
    if (!job) return;
    free(job->text_b);
    free(job->descr);
    free(job);
}

// A region cut off inside its count record.
std::string cut_in_count_record(const imgw::Region& r) {
    return imgw::encode_region(r).substr(0, REGION_AT + 32 * r.fields.size() + 1 + 20);
}

TEST(DirectRead, CountRecordCutShort) {
    imgw::CatalogTables t = base_tables(true);
    int32_t st = 0;
    {
        TableFile f(cut_in_count_record(imgw::disks_region(t.disks)));
        EXPECT_EQ(captured([&] { EXPECT_EQ(read_disks(f.fd, REGION_AT, &st, &f.io), nullptr); }),
                  "\nfailed to get # of records in disk array");
        EXPECT_EQ(st, -6);
    }
    {
        // Comp takes a short count record for an empty table.
        TableFile f(cut_in_count_record(imgw::comp_region(t.comp)));
        EXPECT_EQ(captured([&] { EXPECT_EQ(read_comp(f.fd, REGION_AT, &st, &f.io), nullptr); }), "");
        EXPECT_EQ(st, 0);
    }
    {
        TableFile f(cut_in_count_record(imgw::sessions_region(t.sessions)));
        int32_t count = 0;
        EXPECT_EQ(captured([&] { EXPECT_EQ(get_sess(f.fd, REGION_AT, &count, &f.io), nullptr); }),
                  "\nfailed to read 1st data record in get_sess()");
    }
}

// An image that ends inside the second data record ends the table there, as
// its 0x1A would: the first record, no message. (Disks and Dirs never read
// beyond the records the image can hold.)
TEST(DirectRead, ImageEndingInsideARecordEndsTheTable) {
    imgw::CatalogTables t = base_tables(true);
    imgw::PathRec second;
    second.text = "C:\\B";
    t.paths.push_back(second);
    auto cut_in_second_record = [](const imgw::Region& r) {
        size_t data = REGION_AT + 32 * r.fields.size() + 1 + (size_t)imgw::ent_size(r);
        return imgw::encode_region(r).substr(0, data + (size_t)imgw::ent_size(r) * 3 / 2);
    };
    int32_t st = 0;
    {
        TableFile f(cut_in_second_record(imgw::files_region(t.files)));
        FileRecord* files = nullptr;
        EXPECT_EQ(captured([&] { files = read_files(f.fd, REGION_AT, &st, &f.io); }), "");
        EXPECT_EQ(st, 1);
        ASSERT_NE(files, nullptr);
        EXPECT_STREQ(files->name, "A.TXT");
        EXPECT_EQ(files->next, nullptr);
        free_files(files);
    }
    {
        TableFile f(cut_in_second_record(imgw::comp_region(t.comp)));
        CompRecord* comp = nullptr;
        EXPECT_EQ(captured([&] { comp = read_comp(f.fd, REGION_AT, &st, &f.io); }), "");
        EXPECT_EQ(st, 1);
        ASSERT_NE(comp, nullptr);
        EXPECT_EQ(comp->ORGSIZE, 10);
        free_comp(comp);
    }
    {
        // Behind the record's first 25 bytes: its DATATEXT comes short.
        TableFile f(cut_in_second_record(imgw::paths_region(t.paths)));
        PathNode* paths = nullptr;
        EXPECT_EQ(captured([&] { paths = read_paths(f.fd, REGION_AT, &st, &f.io); }), "");
        EXPECT_EQ(st, 1);
        ASSERT_NE(paths, nullptr);
        EXPECT_STREQ(paths->text, "C:\\");
        EXPECT_EQ(paths->next, nullptr);
        free_paths(paths);
    }
}

TEST(DirectRead, OffsetsThatCannotBeReached) {
    TableFile f(imgw::encode_region(imgw::dirs_region(base_tables().dirs)));
    int32_t st = 0;
    // -1 is also what a failed seek gives back.
    EXPECT_EQ(read_dirs(f.fd, -1, &st, &f.io), nullptr);
    EXPECT_EQ(st, -1);
    EXPECT_EQ(read_dirs(f.fd, 1 << 20, &st, &f.io), nullptr);
    EXPECT_EQ(st, -2);
    EXPECT_EQ(captured([&] { read_paths(f.fd, -1, &st, &f.io); }), "\nfailed to read Paths data section");
    EXPECT_EQ(st, -1);
    EXPECT_EQ(captured([&] { read_comp(f.fd, 1 << 20, &st, &f.io); }), "\nfailed to read Comp data section");
    EXPECT_EQ(st, -2);
    EXPECT_EQ(captured([&] { EXPECT_EQ(get_job(f.fd, -1, &f.io), nullptr); }),
              "\nfatal error failed to read headers in get_job()");
}

TEST(DirectRead, CheckedDescriptors) {
    imgw::CatalogTables t = base_tables(true);
    struct Case {
        const char* what;
        std::function<void(imgw::Region&)> spoil;
    } dir_cases[] = {
        {"longer name", [](imgw::Region& r) { r.fields[3].name = "NAMES"; }},
        {"length 254", [](imgw::Region& r) { r.fields[3].length = 254; }},
        {"no 0x0D", [](imgw::Region& r) { r.end_of_fields = false; }},
    };
    for (const Case& c : dir_cases) {
        imgw::Region r = imgw::dirs_region(t.dirs);
        c.spoil(r);
        TableFile f(imgw::encode_region(r));
        int32_t st = 0;
        DirRecord* dirs = read_dirs(f.fd, REGION_AT, &st, &f.io);
        EXPECT_EQ(st, -3) << c.what;
        free_dirs(dirs, st);
    }
    // An 11-character name fills the field: no NUL behind it.
    imgw::Region disks = imgw::disks_region(t.disks);
    disks.fields[12].name = "HASDSKSTABC";
    TableFile fd(imgw::encode_region(disks));
    int32_t st = 0;
    EXPECT_EQ(read_disks(fd.fd, REGION_AT, &st, &fd.io), nullptr);
    EXPECT_EQ(st, -3);

    // Comp checks every name (any case) and length, never a type letter.
    imgw::Region comp = imgw::comp_region(t.comp);
    comp.fields[4].name = "compsize";
    comp.fields[7].type = 'C';
    TableFile fc(imgw::encode_region(comp));
    free_comp(read_comp(fc.fd, REGION_AT, &st, &fc.io));
    EXPECT_EQ(st, 2);
    comp.fields[4].name = "COMPSIZ";
    TableFile fc2(imgw::encode_region(comp));
    EXPECT_EQ(captured([&] { EXPECT_EQ(read_comp(fc2.fd, REGION_AT, &st, &fc2.io), nullptr); }),
              "\nfailed to read Comp data section");
    EXPECT_EQ(st, -3);
}

TEST(DirectRead, NumbersWrapModulo2To32) {
    imgw::Region dirs = imgw::dirs_region({});
    dirs.records[0] = imgw::count_record(dirs, 2);
    dirs.records.push_back(" " + std::string("  4294967297") + imgw::num_field(1) +
                           std::string(" -2147483649") + imgw::text_field("  X", 240));
    TableFile fd(imgw::encode_region(dirs));
    int32_t st = 0;
    DirRecord* d = read_dirs(fd.fd, REGION_AT, &st, &fd.io);
    ASSERT_EQ(st, 1);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d[0].serial, 1);
    EXPECT_EQ(d[0].disk, 1);
    EXPECT_EQ(d[0].parent, 2147483647);
    EXPECT_STREQ(d[0].name, "  X");
    free_dirs(d, st);

    // Comp's own scan: modulo 2^32 as well, and "12 34" is the number 12.
    imgw::Comp c;
    c.CHK_SUM = 4294967295LL;
    c.OFFS_LO = -4294967296LL - 5;
    imgw::Region comp = imgw::comp_region({c});
    comp.records[1].replace(1 + 12 * 3, 12, "12 34       ");
    TableFile fc(imgw::encode_region(comp));
    CompRecord* g = read_comp(fc.fd, REGION_AT, &st, &fc.io);
    ASSERT_EQ(st, 1);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->CHK_SUM, -1);
    EXPECT_EQ(g->OFFS_LO, -5);
    EXPECT_EQ(g->ORGSIZE, 12);
    EXPECT_EQ(g->IS_LAST, 1);
    EXPECT_EQ(g->next, nullptr);
    free_comp(g);
}

// A count far beyond the records present costs no more than the image holds:
// the table is read as one that ends early, or refused (Session) as short.
TEST(DirectRead, HugeCountsAreBoundedByTheImage) {
    imgw::Region dirs = imgw::dirs_region(base_tables().dirs);
    dirs.records[0] = imgw::count_record(dirs, 2147483647);
    TableFile fd(imgw::encode_region(dirs));
    int32_t st = 0;
    DirRecord* d = nullptr;
    EXPECT_EQ(captured([&] { d = read_dirs(fd.fd, REGION_AT, &st, &fd.io); }), "");
    ASSERT_EQ(st, 1);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d[0].serial, 1);
    free_dirs(d, st);

    imgw::Region sess = imgw::sessions_region(base_tables().sessions);
    sess.records[0] = imgw::count_record(sess, 2147483647);
    TableFile fs(imgw::encode_region(sess));
    int32_t count = 0;
    EXPECT_EQ(captured([&] { EXPECT_EQ(get_sess(fs.fd, REGION_AT, &count, &fs.io), nullptr); }),
              "\nfatal read error in get_sess() failed to 2147483646 read all data records");
}

TEST(DirectRead, PathsHandlesRecordsUpToTheCount) {
    imgw::PathRec a, b, c;
    a.text = "C:\\A";
    b.text = "C:\\B";
    c.text = "C:\\C";
    imgw::Region paths = imgw::paths_region({a, b, c});
    // The count record's DATATYPE says 2: records 0 to 2 are handled.
    paths.records[0] = imgw::count_record(paths, 2);
    TableFile f(imgw::encode_region(paths));
    int32_t st = 0;
    PathNode* p = read_paths(f.fd, REGION_AT, &st, &f.io);
    ASSERT_EQ(st, 2);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->text, "C:\\A");
    EXPECT_EQ(strlen(p->text), 4u);
    ASSERT_NE(p->next, nullptr);
    EXPECT_STREQ(p->next->text, "C:\\B");
    EXPECT_EQ(p->next->next, nullptr);
    free_paths(p);
}

TEST(DirectRead, JobRecord) {
    imgw::Job j;
    j.job_num = 7;
    j.num_disks = 3;
    j.compressed = 1;
    j.text_a = "TEXT A";
    j.descr = "  nightly";
    imgw::Region job = imgw::job_region(j);
    {
        TableFile f(imgw::encode_region(job));
        JobRecord* rec = get_job(f.fd, REGION_AT, &f.io);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->job_num, 7);
        EXPECT_EQ(rec->num_disks, 3);
        EXPECT_EQ(rec->compressed, 1);
        EXPECT_STREQ(rec->text_a, "TEXT A        ");
        EXPECT_EQ(rec->text_b, nullptr);
        EXPECT_STREQ(rec->descr, "  nightly");
        free_job(rec);
    }
    struct Case {
        const char* what;
        std::function<void(imgw::Region&)> spoil;
        const char* message;
    } cases[] = {
        {"blank count", [](imgw::Region& r) { r.records[0].replace(13, 12, blanks(12)); },
         "\ninvalid 1st record in get_job()"},
        {"no end byte", [](imgw::Region& r) { r.end_of_data = false; },
         "\ndata region read error, or not terminated by 0x1a in get_job()"},
    };
    for (const Case& c : cases) {
        imgw::Region r = job;
        c.spoil(r);
        TableFile f(imgw::encode_region(r));
        EXPECT_EQ(captured([&] { EXPECT_EQ(get_job(f.fd, REGION_AT, &f.io), nullptr); }), c.message)
            << c.what;
    }
}

}  // namespace
