// Tests of the catalog listings, the closing catalog display and the
// file-to-data linking: in-process on hand-built records, and end to end on
// writer-made catalogs with -vs#, -v and -vv.
#include <stdio.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/catalog.h"
#include "catalog/group_run.h"
#include "restore/display.h"
#include "restore/unbak_words.h"
#include "tests/support/format.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

// ---- in-process helpers ---------------------------------------------------

// Everything fn writes to stdout.
std::string capture_stdout(const std::function<void()>& fn) {
    fflush(stdout);
    FILE* tmp = tmpfile();
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
    fclose(tmp);
    return out;
}

// Hand-built Files list and Comp chain, linked in vector order.
struct Lists {
    std::vector<FileRecord> files;
    std::vector<CompRecord> comp;
    PathNode path{const_cast<char*>("C:\\"), nullptr};
    std::array<RegionInfo, 7> regions{};
    uint16_t options = 0;
    Catalog catalog;

    Lists(const std::vector<int32_t>& sizes, const std::vector<int32_t>& is_last,
          const std::vector<int32_t>& compsize = {}) {
        files.resize(sizes.size());
        for (size_t i = 0; i < sizes.size(); i++) {
            files[i] = FileRecord{};
            files[i].size_lo = sizes[i];
            // Not what link_data leaves: it must assign every link.
            files[i].comp = reinterpret_cast<CompRecord*>(&files[i]);
            files[i].next = i + 1 < sizes.size() ? &files[i + 1] : nullptr;
        }
        comp.resize(is_last.size());
        for (size_t i = 0; i < is_last.size(); i++) {
            comp[i] = CompRecord{};
            comp[i].IS_LAST = is_last[i];
            comp[i].COMPSIZE = i < compsize.size() ? compsize[i] : (int32_t)(i + 1) * 10;
            comp[i].next = i + 1 < is_last.size() ? &comp[i + 1] : nullptr;
        }
        catalog_init(&catalog, &options);
        catalog.io.rep = &UNBAK_REPORTER;
        catalog.files = files.empty() ? nullptr : &files[0];
        catalog.comp = comp.empty() ? nullptr : &comp[0];
        catalog.paths = &path;
        catalog.regions = regions.data();
    }
};

// ---- link_data on hand-built lists ------------------------------------------

TEST(LinkData, GivesEachFileTheFirstGroupOfItsRun) {
    Lists l({0, 0, 0}, {1, 0, 0, 1, 1}, {100, 200, 300, 400, 500});
    int32_t result = 0;
    std::string out = capture_stdout([&] { result = link_data(&l.catalog, 5); });
    EXPECT_EQ(out, "\nlink_data() 3 files  3 comp groups  cum data size 1500");
    EXPECT_EQ(result, 3);
    EXPECT_EQ(l.files[0].comp, &l.comp[0]);
    EXPECT_EQ(l.files[1].comp, &l.comp[1]);
    EXPECT_EQ(l.files[2].comp, &l.comp[4]);
}

TEST(LinkData, RunCutOffByTheEndOfTheChainKeepsItsLink) {
    Lists l({0, 0}, {1, 0, 0});
    std::string out = capture_stdout([&] { link_data(&l.catalog, 3); });
    EXPECT_EQ(out, "\nlink_data() 2 files  1 comp groups  cum data size 60");
    EXPECT_EQ(l.files[0].comp, &l.comp[0]);
    EXPECT_EQ(l.files[1].comp, &l.comp[1]);
}

TEST(LinkData, FilesBeyondTheLastRunGetNoGroup) {
    Lists l({0, 0, 0, 0}, {1, 1});
    std::string out = capture_stdout([&] { link_data(&l.catalog, 2); });
    EXPECT_EQ(out,
              "\nreached end of comp chain while there is still file data"
              "\nreached end of comp chain while there is still file data"
              "\nlink_data() 4 files  2 comp groups  cum data size 30");
    EXPECT_EQ(l.files[1].comp, &l.comp[1]);
    EXPECT_EQ(l.files[2].comp, nullptr);
    EXPECT_EQ(l.files[3].comp, nullptr);
}

TEST(LinkData, ConsumesNoMoreGroupsThanTheCountGiven) {
    // Three runs in the chain, but only two records were counted.
    Lists l({0, 0, 0}, {1, 1, 1});
    std::string out = capture_stdout([&] { link_data(&l.catalog, 2); });
    EXPECT_EQ(out,
              "\nreached end of comp chain while there is still file data"
              "\nlink_data() 3 files  2 comp groups  cum data size 30");
    EXPECT_EQ(l.files[2].comp, nullptr);
}

TEST(LinkData, CountOfZeroOrLessLinksNothingFromAChain) {
    for (int32_t count : {0, -3}) {
        Lists l({7, 8}, {1, 1});
        std::string out = capture_stdout([&] { link_data(&l.catalog, count); });
        EXPECT_EQ(out,
                  "\nreached end of comp chain while there is still file data"
                  "\nreached end of comp chain while there is still file data"
                  "\nlink_data() 2 files  0 comp groups  cum data size 0")
            << count;
        EXPECT_EQ(l.files[0].comp, nullptr);
        EXPECT_EQ(l.files[1].comp, nullptr);
    }
}

TEST(LinkData, GroupNeitherLastNorContinuedStartsTheNextRunToo) {
    Lists l({0, 0}, {2, 1});
    std::string out = capture_stdout([&] { link_data(&l.catalog, 2); });
    EXPECT_EQ(out, "\nlink_data() 2 files  0 comp groups  cum data size 0");
    EXPECT_EQ(l.files[0].comp, &l.comp[0]);
    EXPECT_EQ(l.files[1].comp, &l.comp[0]);
}

TEST(LinkData, StoredBackupTotalsFileSizesAndLinksNothing) {
    Lists l({10, 0, 5}, {});
    int32_t result = 0;
    std::string out = capture_stdout([&] { result = link_data(&l.catalog, 1); });
    EXPECT_EQ(out, "\nlink_data() 3 files  0 comp groups  cum data size 15");
    EXPECT_EQ(result, 3);
    for (const FileRecord& f : l.files) EXPECT_EQ(f.comp, nullptr);
}

TEST(LinkData, TotalWrapsWithAWarningPerWrappingAddition) {
    // -1 is 0xffffffff as an unsigned size: 0xffffffff + 2 wraps to 1,
    // the two INT32_MAX reach 0xffffffff exactly, + 3 wraps to 2.
    Lists stored({-1, 2, INT32_MAX, INT32_MAX, 3}, {});
    std::string out = capture_stdout([&] { link_data(&stored.catalog, 0); });
    EXPECT_EQ(out,
              "\nwarning cum_dat wrapped in link_data()"
              "\nwarning cum_dat wrapped in link_data()"
              "\nlink_data() 5 files  0 comp groups  cum data size 2");

    Lists comp({0}, {0, 1}, {INT32_MAX, INT32_MAX});
    out = capture_stdout([&] { link_data(&comp.catalog, 2); });
    EXPECT_EQ(out, "\nlink_data() 1 files  1 comp groups  cum data size 4294967294");
    Lists comp2({0}, {0, 0, 1}, {INT32_MAX, INT32_MAX, 5});
    out = capture_stdout([&] { link_data(&comp2.catalog, 3); });
    EXPECT_EQ(out,
              "\nwarning cum_dat wrapped in link_data()"
              "\nlink_data() 1 files  1 comp groups  cum data size 3");
}

TEST(LinkData, RefusesMissingFilesOrPaths) {
    Lists no_files({}, {1});
    Lists no_paths({4}, {1});
    no_paths.catalog.paths = nullptr;
    for (Lists* l : {&no_files, &no_paths}) {
        int32_t result = 0;
        std::string out = capture_stdout([&] { result = link_data(&l->catalog, 1); });
        EXPECT_EQ(out, "\nabort either no path data or no file data");
        EXPECT_EQ(result, -1);
    }
    EXPECT_NE(no_paths.files[0].comp, nullptr);  // left alone
}

// ---- the walk over one group run ----------------------------------------------

// Indices of the groups the walk visits from chain[start].
std::vector<int> walked(const std::vector<CompRecord>& chain, size_t start, RunClose close) {
    std::vector<int> seen;
    for (const CompRecord* g = run_first(&chain[start], close); g; g = run_next(g, close))
        seen.push_back((int)(g - chain.data()));
    return seen;
}

TEST(GroupRun, ClosingValuesDifferOnlyBetweenTheTwoRules) {
    struct Case {
        std::vector<int32_t> is_last;
        size_t start;
        std::vector<int> any_nonzero, only_one;
    };
    const std::vector<Case> cases = {
        {{0, 0, 1, 0}, 0, {0, 1, 2}, {0, 1, 2}},  // closed by 1
        {{0, 0, 2, 0}, 0, {0, 1, 2}, {0, 1}},     // 2 closes, or ends the run before it
        {{0, -1, 0}, 0, {0, 1}, {0}},
        {{2, 0, 1}, 0, {0}, {}},                  // a run of nothing under only-one
        {{0, 0}, 0, {0, 1}, {0, 1}},              // the chain ends the run
        {{1, 0, 1}, 1, {1, 2}, {1, 2}},           // from inside the chain
    };
    for (const Case& c : cases) {
        std::vector<CompRecord> chain(c.is_last.size());
        for (size_t i = 0; i < chain.size(); i++) {
            chain[i] = CompRecord{};
            chain[i].IS_LAST = c.is_last[i];
            chain[i].next = i + 1 < chain.size() ? &chain[i + 1] : nullptr;
        }
        SCOPED_TRACE(testing::PrintToString(c.is_last));
        EXPECT_EQ(walked(chain, c.start, RUN_CLOSES_ON_NONZERO), c.any_nonzero);
        EXPECT_EQ(walked(chain, c.start, RUN_CLOSES_ON_ONE), c.only_one);
    }
    EXPECT_EQ(run_first(nullptr, RUN_CLOSES_ON_NONZERO), nullptr);
}

TEST(GroupRun, StreamBytesSumTheRunOrTakeTheStoredLength) {
    Lists stored({-5}, {});
    stored.files[0].comp = nullptr;
    EXPECT_EQ(stream_bytes(&stored.files[0]), 4294967291u);

    Lists l({7}, {0, 0, 1, 1}, {100, -1, INT32_MAX, 1000});
    l.files[0].comp = &l.comp[0];
    // 100 - 1 + (2^31 - 1), the last group belonging to the next run.
    EXPECT_EQ(stream_bytes(&l.files[0]), 2147483746u);
}

// ---- listings on hand-built records ------------------------------------------

TEST(Listings, FilesListingStopsAtTheCount) {
    Lists l({1, 2, 3, 4, 5}, {});
    for (FileRecord& f : l.files) snprintf(f.date, sizeof f.date, "20000301000000");
    l.files[0].name = const_cast<char*>("a");
    // files[1] has no name: an empty column.
    l.files[2].name = const_cast<char*>("c");
    std::string out = capture_stdout([&] { disp_files(&l.files[0], 3); });
    EXPECT_EQ(out,
              "\nfound 3 files in catalog"
              "\norder   name                             date             size_lo  Dir ndx"
              "\n  1: a                               20000301000000            1     0"
              "\n  2:                                 20000301000000            2     0"
              "\n  3: c                               20000301000000            3     0");
    // A count beyond the list ends with the list.
    out = capture_stdout([&] { disp_files(&l.files[3], 9); });
    EXPECT_EQ(out.substr(out.rfind('\n')), "\n  2:                                 20000301000000            5     0");
}

TEST(Listings, SessionListingNeedsItsTable) {
    uint16_t options = 0;
    Catalog c;
    catalog_init(&c, &options);
    EXPECT_EQ(capture_stdout([&] { disp_sess(&c); }),
              "\ndisp_sess() called but catalog pointer to session information is NULL");
}

TEST(Listings, BufferWritesNeedFilesAndAnUncompressedJob) {
    Lists l({0, 65535, 65536, 131070, 131071, -9, INT32_MAX}, {});
    SessionRecord sess{};
    sess.sessfrom = 1;
    sess.sessto = 2;
    sess.job_num = 3;
    sess.disk_num = 4;
    snprintf(sess.date, sizeof sess.date, "19991231235959");
    JobRecord job{};
    l.catalog.sessions = &sess;
    l.regions[TBL_SESSION].count = 1;
    l.regions[TBL_FILES].count = 7;
    const std::string head =
        "\n1 session records for 7 files:"
        "\n 1: sessfrom   1 sessto   2 job number  3  disk number  4 date 19991231235959";

    // Job absent: no count.
    EXPECT_EQ(capture_stdout([&] { disp_sess(&l.catalog); }), head);
    // 1 + 1 + 2 + 2 + 3 + 1 + 32769 (INT32_MAX is 32768 units and 32767 bytes).
    l.catalog.job = &job;
    EXPECT_EQ(capture_stdout([&] { disp_sess(&l.catalog); }),
              head + "\n a total of 32779 buffer writes were required for this backup");
    job.compressed = 1;
    EXPECT_EQ(capture_stdout([&] { disp_sess(&l.catalog); }), head);
}

TEST(Listings, EmptyCatalogShowsTitleOnly) {
    uint16_t options = 0;
    Catalog c;
    catalog_init(&c, &options);
    EXPECT_EQ(capture_stdout([&] { disp_catalog(&c); }), "\n\n\ndisplay of catalog\n");
}

// ---- end to end ----------------------------------------------------------------

imgw::Disk disk(const std::string& drive, const std::string& label, int32_t hi, int32_t lo) {
    imgw::Disk d;
    d.drive = drive;
    d.label = label;
    d.used_hi = hi;
    d.used_low = lo;
    return d;
}

imgw::File file(int32_t serial, int32_t dir, int64_t size, const std::string& name) {
    imgw::File f;
    f.serial = serial;
    f.dir = dir;
    f.size_lo = size;
    f.name = name;
    return f;
}

imgw::Comp group(int64_t seq, int64_t orgsize, int64_t compsize, int64_t lvl, int64_t chk,
                 int64_t offs_lo, int64_t is_last) {
    imgw::Comp c;
    c.SEQUENCE = seq;
    c.ORGSIZE = orgsize;
    c.COMPSIZE = compsize;
    c.COMP_LVL = lvl;
    c.CHK_SUM = chk;
    c.OFFS_LO = offs_lo;
    c.IS_LAST = is_last;
    return c;
}

// Two drives, the directories C:\, C:\Data and C:\Data\Sub, one path text
// and one session; files and the job as each case needs.
imgw::CatalogTables base_tables() {
    imgw::CatalogTables t;
    t.disks = {disk("C:", "DISK1", 0, 12345), disk("D:", "BACKUPVOLUME", 3, -5)};
    t.dirs = {{1, 1, 0, ""}, {2, 1, 1, "Data"}, {3, 1, 2, "Sub"}};
    t.files = {file(1, 1, 10, "a.txt"), file(2, 2, 0, "b.txt"), file(3, 3, 5, "c.txt")};
    t.job.compressed = 0;
    t.paths = {{1, 1, "C:\\"}};
    t.sessions = {imgw::Session{}};
    return t;
}

// What every catalog-mode run prints before the tables are read: banner,
// source, header and one line per region. extra[i] is printed behind
// region i's offset (the count warning).
std::string run_prefix(const std::array<imgw::Region, 7>& regions,
                       const std::array<std::string, 7>& extra = {}) {
    std::string s = "\nunbak version 1.02 compiled for WIN32\n       using: zlib version ";
    s += zlibVersion();
    s += " with raw decompression\n\nsource file: img.bak\n"
         "\nBackup name: test backup\nJob 1  Backup Disk 1\nCatalog at  offset 0x200\n"
         "\nattempt to step through catalog and locate structure definition regions";
    uint32_t pos = 512;
    for (int i = 0; i < 7; i++) {
        uint32_t at = pos + REGION_GAPS[i] + regions[i].extra_skip;
        char line[128];
        snprintf(line, sizeof line, "\nstart of Structure Definition %d: %-8s at  0x%x", i + 1,
                 REGION_LABELS[i], at);
        s += line + extra[i];
        pos = at + (uint32_t)imgw::encode_region(regions[i]).size() - 32;
    }
    return s;
}

struct CatalogRun {
    std::string prefix;
    RunResult run;
};

CatalogRun run_catalog(const std::array<imgw::Region, 7>& regions,
                       const std::vector<std::string>& options,
                       const std::array<std::string, 7>& extra = {}) {
    TempDir dir;
    dir.write("img.bak", imgw::make_image(imgw::Header{}, "", imgw::encode_catalog(regions)));
    std::vector<std::string> args = {"img.bak"};
    args.insert(args.end(), options.begin(), options.end());
    return {run_prefix(regions, extra), run_unbak(dir.path, args)};
}

CatalogRun run_catalog(const imgw::CatalogTables& t, const std::vector<std::string>& options) {
    return run_catalog(imgw::make_regions(t), options);
}

const char* const kStoredSummary = R"(


display of catalog
Disks with 2 entries
Dirs  with 3 entries
Files with 3 entries
Paths with 1 entries
Job data: Job number 1  number of disks 1
Session with 1 entries

)";

TEST(SingleTableDisplay, EachTableShownRightAfterItsRead) {
    imgw::CatalogTables t = base_tables();
    const std::string link = "\nlink_data() 3 files  0 comp groups  cum data size 15";
    struct Case {
        std::vector<std::string> options;
        std::string before_job;  // printed between the Files read and the Job line
        std::string after_job;   // printed between the Job line and link_data
    };
    const Case cases[] = {
        {{"-vs1"},
         "\nFound 2 disks in catalog"
         "\n 1:  C:  DISK1        used_hi 0, used_low 12345"
         "\n 2:  D:  BACKUPVOLUME used_hi 3, used_low -5\n",
         ""},
        {{"-vs2"},
         "\nfound 3 entries in Dir"
         "\n  1: disk ndx   1 dir ndx   0   "
         "\n  2: disk ndx   1 dir ndx   1   Data"
         "\n  3: disk ndx   1 dir ndx   2   Sub",
         ""},
        {{"-VS2", "-vv"},
         "\nfound 3 entries in Dir"
         "\n  1: disk ndx   1 dir ndx   0   "
         "\n  2: disk ndx   1 dir ndx   1   Data"
         "\n  3: disk ndx   1 dir ndx   2   Sub"
         "\n  1 C:\\"
         "\n  2 C:\\Data\\"
         "\n  3 C:\\Data\\Sub\\",
         ""},
        {{"-vs3"},
         "\nfound 3 files in catalog"
         "\norder   name                             date             size_lo  Dir ndx"
         "\n  1: a.txt                           20000301000000           10     1"
         "\n  2: b.txt                           20000301000000            0     2"
         "\n  3: c.txt                           20000301000000            5     3",
         ""},
        // Uncompressed: no Comp table is read, so nothing to show.
        {{"-vs4"}, "", ""},
        {{"-vs5"}, "", ""},
        {{"-vs6"}, "", "\npaths found in catalog:\n  1  C:\\"},
        {{"-vs7"},
         "",
         "\n1 session records for 3 files:"
         "\n 1: sessfrom   1 sessto   1 job number  1  disk number  1 date 20000301000000"
         "\n a total of 3 buffer writes were required for this backup"},
    };
    for (const Case& c : cases) {
        CatalogRun r = run_catalog(t, c.options);
        EXPECT_EQ(r.run.out, r.prefix + c.before_job + "\ndata is not compressed" + c.after_job +
                                 link + kStoredSummary)
            << c.options[0];
        EXPECT_EQ(r.run.status, 0);
    }
}

TEST(SingleTableDisplay, FilesListedUpToTheirCount) {
    // The count record says 3 entries while 5 precede the 0x1A; a blank
    // name shows as an empty column.
    imgw::CatalogTables t = base_tables();
    t.files = {file(1, 1, 1, "a.txt"), file(2, 1, 2, ""), file(3, 2, 3, "c.dat"),
               file(4, 2, 4, "d"), file(5, 3, 5, "e")};
    std::array<imgw::Region, 7> regions = imgw::make_regions(t);
    regions[2].records[0] = imgw::count_record(regions[2], 4);
    std::array<std::string, 7> extra;
    extra[2] = "\nwarning num 4 from 1st record != record cnt 6";
    CatalogRun r = run_catalog(regions, {"-vs3"}, extra);
    EXPECT_EQ(r.run.out, r.prefix + R"(
found 3 files in catalog
order   name                             date             size_lo  Dir ndx
  1: a.txt                           20000301000000            1     1
  2:                                 20000301000000            2     1
  3: c.dat                           20000301000000            3     2
data is not compressed
link_data() 3 files  0 comp groups  cum data size 6)" + kStoredSummary);
    EXPECT_EQ(r.run.status, 0);
}

TEST(SingleTableDisplay, CompListingAndRunsOfACompressedSet) {
    // IS_LAST 1, 0, 0, 1, 1 for three files: runs of one, three and one
    // group; checksums -1 and 4660 in their 32-bit hexadecimal form.
    imgw::CatalogTables t = base_tables();
    t.job.compressed = 1;
    t.comp = {group(1, 100, 50, 4, -1, 512, 1), group(1, 65536, 30000, 4, 4660, 562, 0),
              group(2, 65536, 30001, 4, 2147483647, 30562, 0), group(3, 10, 10, -1, 0, 60563, 1),
              group(1, 7, 9, 4, 305419896, 60573, 1)};
    CatalogRun r = run_catalog(t, {"-vs4"});
    EXPECT_EQ(r.run.out, r.prefix + R"(
data is compressed
Comp records found in catalog:
 #  seq     orgsize    compsize comp_lvl  chksum      offs_low is_last
  1   1         100          50     4   0xffffffff         512   1
  2   1       65536       30000     4   0x    1234         562   0
  3   2       65536       30001     4   0x7fffffff       30562   0
  4   3          10          10    -1   0x       0       60563   1
  5   1           7           9     4   0x12345678       60573   1
link_data() 3 files  3 comp groups  cum data size 60070


display of catalog
Disks with 2 entries
Dirs  with 3 entries
Files with 3 entries
Comp with 5 entries
Paths with 1 entries
Job data: Job number 1  number of disks 1 data is compressed
Session with 1 entries

)");
    EXPECT_EQ(r.run.status, 0);
}

TEST(SingleTableDisplay, FilesBeyondTheLastRunAreReported) {
    imgw::CatalogTables t = base_tables();
    t.files.push_back(file(4, 1, 1, "d.txt"));
    t.job.compressed = 1;
    t.comp = {group(1, 10, 10, -1, 0, 512, 1), group(1, 5, 5, -1, 0, 522, 1)};
    CatalogRun r = run_catalog(t, {"-vs5"});
    EXPECT_EQ(r.run.out, r.prefix + R"(
data is compressed
reached end of comp chain while there is still file data
reached end of comp chain while there is still file data
link_data() 4 files  2 comp groups  cum data size 15


display of catalog
Disks with 2 entries
Dirs  with 3 entries
Files with 4 entries
Comp with 2 entries
Paths with 1 entries
Job data: Job number 1  number of disks 1 data is compressed
Session with 1 entries

)");
    EXPECT_EQ(r.run.status, 0);
}

TEST(SingleTableDisplay, EmptyCompTableLinksAsStored) {
    imgw::CatalogTables t = base_tables();
    t.job.compressed = 1;
    CatalogRun r = run_catalog(t, {"-vs4"});
    EXPECT_EQ(r.run.out, r.prefix + R"(
data is compressed
link_data() 3 files  0 comp groups  cum data size 15


display of catalog
Disks with 2 entries
Dirs  with 3 entries
Files with 3 entries
Paths with 1 entries
Job data: Job number 1  number of disks 1 data is compressed
Session with 1 entries

)");
    EXPECT_EQ(r.run.status, 0);
}

TEST(SingleTableDisplay, BufferWritesCountStartedUnitsOf65535) {
    imgw::CatalogTables t = base_tables();
    t.files = {file(1, 1, 0, "a"), file(2, 1, 65535, "b"), file(3, 1, 65536, "c"),
               file(4, 1, 131070, "d"), file(5, 1, 131071, "e")};
    imgw::Session second;
    second.serial = 2;
    second.sessfrom = 2;
    second.sessto = 13;
    second.disk_num = 2;
    second.date = "20000302123456";
    t.sessions.push_back(second);
    const std::string sessions =
        "\n2 session records for 5 files:"
        "\n 1: sessfrom   1 sessto   1 job number  1  disk number  1 date 20000301000000"
        "\n 2: sessfrom   2 sessto  13 job number  1  disk number  2 date 20000302123456";
    const std::string summary =
        "\n\n\ndisplay of catalog\nDisks with 2 entries\nDirs  with 3 entries"
        "\nFiles with 5 entries";

    CatalogRun stored = run_catalog(t, {"-vs7"});
    EXPECT_EQ(stored.run.out,
              stored.prefix + "\ndata is not compressed" + sessions +
                  "\n a total of 9 buffer writes were required for this backup"
                  "\nlink_data() 5 files  0 comp groups  cum data size 393212" +
                  summary +
                  "\nPaths with 1 entries\nJob data: Job number 1  number of disks 1"
                  "\nSession with 2 entries\n\n");

    // Compressed data: no count.
    t.job.compressed = 1;
    for (int i = 0; i < 5; i++) t.comp.push_back(group(1, 1, 1, 4, 0, 0, 1));
    CatalogRun comp = run_catalog(t, {"-vs7"});
    EXPECT_EQ(comp.run.out,
              comp.prefix + "\ndata is compressed" + sessions +
                  "\nlink_data() 5 files  5 comp groups  cum data size 5" + summary +
                  "\nComp with 5 entries\nPaths with 1 entries"
                  "\nJob data: Job number 1  number of disks 1 data is compressed"
                  "\nSession with 2 entries\n\n");
}

TEST(SingleTableDisplay, DataSizeWrapsPast32Bits) {
    // Sizes of 4000000000 read as -294967296; added as unsigned they wrap
    // twice.
    imgw::CatalogTables t = base_tables();
    t.files = {file(1, 1, 4000000000LL, "a"), file(2, 1, 4000000000LL, "b"),
               file(3, 1, 4000000000LL, "c")};
    CatalogRun r = run_catalog(t, {"-vs3"});
    EXPECT_EQ(r.run.out, r.prefix + R"(
found 3 files in catalog
order   name                             date             size_lo  Dir ndx
  1: a                               20000301000000   -294967296     1
  2: b                               20000301000000   -294967296     1
  3: c                               20000301000000   -294967296     1
data is not compressed
warning cum_dat wrapped in link_data()
warning cum_dat wrapped in link_data()
link_data() 3 files  0 comp groups  cum data size 3410065408)" + kStoredSummary);
    EXPECT_EQ(r.run.status, 0);
}

TEST(CatalogDisplay, VerboseSummaryListsEveryTable) {
    imgw::CatalogTables t = base_tables();
    t.job.job_num = 7;
    t.job.num_disks = 2;
    CatalogRun r = run_catalog(t, {"-vs3", "-v"});
    const std::string files =
        "\nfound 3 files in catalog"
        "\norder   name                             date             size_lo  Dir ndx"
        "\n  1: a.txt                           20000301000000           10     1"
        "\n  2: b.txt                           20000301000000            0     2"
        "\n  3: c.txt                           20000301000000            5     3";
    EXPECT_EQ(r.run.out,
              r.prefix + files +
                  "\ndata is not compressed"
                  "\nlink_data() 3 files  0 comp groups  cum data size 15"
                  "\n\n\ndisplay of catalog"
                  "\nDisks with 2 entries"
                  "\nFound 2 disks in catalog"
                  "\n 1:  C:  DISK1        used_hi 0, used_low 12345"
                  "\n 2:  D:  BACKUPVOLUME used_hi 3, used_low -5\n"
                  "\nDirs  with 3 entries"
                  "\nfound 3 entries in Dir"
                  "\n  1: disk ndx   1 dir ndx   0   "
                  "\n  2: disk ndx   1 dir ndx   1   Data"
                  "\n  3: disk ndx   1 dir ndx   2   Sub"
                  "\nFiles with 3 entries" +
                  files +
                  "\nPaths with 1 entries"
                  "\npaths found in catalog:"
                  "\n  1  C:\\"
                  "\nJob data: Job number 7  number of disks 2"
                  "\nSession with 1 entries"
                  "\n1 session records for 3 files:"
                  "\n 1: sessfrom   1 sessto   1 job number  1  disk number  1 date 20000301000000"
                  "\n a total of 3 buffer writes were required for this backup"
                  "\n\n");
    EXPECT_EQ(r.run.status, 0);

    // -vv adds the directory paths to the Dirs listing only when -v shows it.
    CatalogRun vv = run_catalog(t, {"-vs5", "-vv"});
    EXPECT_EQ(vv.run.out.find("\n  2 C:\\Data\\"), std::string::npos);
    CatalogRun both = run_catalog(t, {"-vs5", "-vv", "-v"});
    EXPECT_NE(both.run.out.find("\n  3: disk ndx   1 dir ndx   2   Sub"
                                "\n  1 C:\\"
                                "\n  2 C:\\Data\\"
                                "\n  3 C:\\Data\\Sub\\"
                                "\nFiles with 3 entries"),
              std::string::npos);
}

TEST(CatalogDisplay, FailedTablesHaveNoLine) {
    // A Job table with two data records and a Session table short of its
    // count: both fail, the rest is summarised, nothing is linked.
    imgw::CatalogTables t = base_tables();
    std::array<imgw::Region, 7> regions = imgw::make_regions(t);
    regions[4].records.push_back(regions[4].records[1]);
    regions[4].records[0] = imgw::count_record(regions[4], 2);
    regions[6].records[0] = imgw::count_record(regions[6], 3);
    std::array<std::string, 7> extra;
    extra[4] = "\nwarning num 2 from 1st record != record cnt 3";
    extra[6] = "\nwarning num 3 from 1st record != record cnt 2";
    CatalogRun r = run_catalog(regions, {"-vs5"}, extra);
    EXPECT_EQ(r.run.out, r.prefix + R"(
data region read error, or not terminated by 0x1a in get_job()
failed to read job data
fatal read error in get_sess() failed to 2 read all data records
failed to read session data
can not continue, error parsing catalog



display of catalog
Disks with 2 entries
Dirs  with 3 entries
Files with 3 entries
Paths with 1 entries

)");
    EXPECT_EQ(r.run.status, 2);
}

}  // namespace
