// Listing and extraction end to end: whole output, exit status and the
// restored tree, for single- and multi-disk sets, the -p and -s# options, the
// Y/N/L/A dialogue, restored times and write bits, and hostile catalogs that
// try to write outside the current directory.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "restore/outtree.h"
#include "restore/unbak_words.h"
#include "restore/restore.h"
#include "tests/support/format.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

using Tree = std::map<std::string, std::string>;

uint32_t le32_at(const std::string& s, size_t at) {
    return (uint32_t)(unsigned char)s[at] | (uint32_t)(unsigned char)s[at + 1] << 8 |
           (uint32_t)(unsigned char)s[at + 2] << 16 | (uint32_t)(unsigned char)s[at + 3] << 24;
}

// A planned set, tampered as a test likes, then written as disk1.img ... in
// a scratch directory; unbak runs in its subdirectory work/.
struct Set {
    imgw::BackupSet set;
    std::vector<std::string> images;
    TempDir dir;

    Set(const std::vector<imgw::SourceFile>& files, const imgw::SetOptions& opt,
        const std::vector<std::string>& dirs = {})
        : set(imgw::plan_set(files, opt, dirs)) {}

    void write() {
        images = imgw::layout_images(set);
        for (size_t k = 0; k < images.size(); k++) dir.write(disk_name(k + 1), images[k]);
        dir.mkdir("work");
    }
    static std::string disk_name(size_t k) { return "disk" + std::to_string(k) + ".img"; }
    std::string last_arg() const { return "../" + disk_name(images.size()); }
    std::string work() const { return dir.file("work"); }
    RunResult run(std::vector<std::string> opts, const std::string& in = "") const {
        opts.insert(opts.begin(), last_arg());
        return run_unbak(work(), opts, in);
    }
    Tree restored() const { return tree_of(work()); }

    // Header lines of disk k (1-based) as the header read prints them.
    std::string header_lines(size_t k) const {
        uint32_t cat = le32_at(images[k - 1], 28);
        std::string s = "\nBackup name: " + set.header.name +
                        fmt("\nJob %d  Backup Disk %d", (int)set.header.job_num, (int)k);
        return s + (cat ? fmt("\nCatalog at  offset 0x%lx\n", (unsigned long)cat)
                        : std::string("\nno Catalog on this disk"));
    }

    // Everything up to and including the region lines.
    std::string head() const {
        std::string arg = last_arg();
        std::string s = "\nunbak version 1.02 compiled for WIN32";
        s += fmt("\n       using: zlib version %s with raw decompression\n", zlibVersion());
        s += "\nsource file: " + arg + "\n" + header_lines(images.size());
        s += "\nattempt to step through catalog and locate structure definition regions";
        auto regions = imgw::make_regions(set.tables);
        uint64_t pos = le32_at(images.back(), 28);
        for (int i = 0; i < 7; i++) {
            pos += REGION_GAPS[i];
            s += fmt("\nstart of Structure Definition %d: %-8s at ", i + 1, REGION_LABELS[i]);
            s += fmt(" 0x%lx", (unsigned long)pos);
            pos += imgw::encode_region(regions[i]).size() - 32;
        }
        return s;
    }

    bool compressed() const { return set.tables.job.compressed != 0; }

    // The lines after the table reads: compression and the link summary.
    std::string tables_done() const {
        std::string s = compressed() ? "\ndata is compressed" : "\ndata is not compressed";
        uint32_t cum = 0;
        int closed = 0;
        if (compressed() && !set.tables.comp.empty()) {
            for (const imgw::Comp& c : set.tables.comp) {
                cum += (uint32_t)c.COMPSIZE;
                if (c.IS_LAST == 1) closed++;
            }
        } else {
            for (const imgw::File& f : set.tables.files) cum += (uint32_t)f.size_lo;
        }
        return s + fmt("\nlink_data() %d files  %d comp groups  cum data size %lu",
                       (int)set.tables.files.size(), closed, (unsigned long)cum);
    }

    std::string prelude() const { return head() + tables_done(); }

    // The closing catalog summary and the last newline.
    std::string summary() const {
        const imgw::CatalogTables& t = set.tables;
        int paths = 0;
        std::string last;
        for (const imgw::PathRec& p : t.paths) {
            // As stored: cut to the 240-character field, trailing blanks dropped.
            std::string text = p.text.substr(0, 240);
            text.erase(text.find_last_not_of(' ') + 1);
            if (p.datatype == 1 && (paths == 0 || text != last)) {
                paths++;
                last = text;
            }
        }
        std::string s = "\n\n\ndisplay of catalog";
        s += fmt("\nDisks with %d entries", (int)t.disks.size());
        s += fmt("\nDirs  with %d entries", (int)t.dirs.size());
        s += fmt("\nFiles with %d entries", (int)t.files.size());
        if (compressed()) s += fmt("\nComp with %d entries", (int)t.comp.size());
        s += fmt("\nPaths with %d entries", paths);
        s += fmt("\nJob data: Job number %ld  number of disks %ld", (long)t.job.job_num,
                 (long)t.job.num_disks);
        if (compressed()) s += " data is compressed";
        s += fmt("\nSession with %d entries", (int)t.sessions.size());
        return s + "\n\n";
    }

    // The prompt for disk k and what opening it prints.
    std::string disk_prompt(size_t k) const {
        std::string s = fmt("\n\nenter file name for disk %d image followed by 'Enter', empty name aborts\n",
                            (int)k);
        s += header_lines(k);
        if (k == images.size())
            return s + fmt("\nDisk %d is last disk in set with 0x%lx bytes available", (int)k,
                           (unsigned long)(le32_at(images[k - 1], 28) - 512));
        return s + fmt("\nDisk %d with out of %d with 0x%lx bytes available", (int)k, (int)images.size(),
                       (unsigned long)(images[k - 1].size() - 512));
    }

    // Nothing but the images and work/ may be found in the scratch directory.
    void expect_nothing_outside_work() const {
        for (const auto& e : tree_of(dir.path)) {
            if (e.first == "work/" || e.first.rfind("work/", 0) == 0) continue;
            bool image = false;
            for (size_t k = 1; k <= images.size(); k++) image |= e.first == disk_name(k);
            EXPECT_TRUE(image) << "written outside work/: " << e.first;
        }
    }
};

std::string entry(long serial, const std::string& path, const std::string& date, long size) {
    std::string s = fmt("\n%3ld: %-40s  ", serial, path.c_str());
    if (path.size() > 40) s += "\n    ";
    return s + fmt("%s len %8ld", date.c_str(), size);
}

const char* const LISTING = "\ncatalog Files listing:\n";

const char* const MENU =
    "\nenter one of 4 chars {'Y','N','L','A'} followed by 'Enter' to control operations"
    "\n'Y' to just restore the complete files on this last catalog disk"
    "\n'N' to start with 1st disk and try to restore all files"
    "\n'L' to abort extraction, restoring no files, but changing mode to List for files on this Disk"
    "\n'A' to abort and do nothing more"
    "\nenter char: ";

std::string bytes_of(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

std::string text_of(size_t n, const std::string& word) {
    std::string s;
    while (s.size() < n) s += word + std::to_string(s.size() % 97) + "\n";
    return s.substr(0, n);
}

imgw::SetOptions stored() {
    imgw::SetOptions o;
    o.compressed = false;
    return o;
}

imgw::SetOptions compressed(int level = 4, int32_t group = 65536) {
    imgw::SetOptions o;
    o.comp_lvl = level;
    o.group_size = group;
    return o;
}

// ---- single disk: contents, times, write bits ---------------------------

struct Flavour {
    const char* name;
    imgw::SetOptions opt;
};

std::vector<Flavour> flavours() {
    return {{"stored", stored()}, {"deflate", compressed(4, 40000)}, {"stored groups", compressed(-1, 40000)}};
}

TEST(SingleDisk, RestoresContentsTimesAndWriteBits) {
    const std::string big = text_of(100000, "compressible line ");
    const std::string leap = bytes_of(3000, 7);
    std::vector<imgw::SourceFile> files = {
        {"Data", "old.txt", "before 1980", "19791231235959", 0x1B6},
        {"Data", "y1980.txt", "1980", "19800101000000", 0x1B6},
        {"", "leap.bin", leap, "20000301000000", 0x21},
        {"Data\\Sub", "future.dat", "", "20400101000000", 0x1B6},
        {"Data\\Sub", "big.txt", big, "19991231235959", 0x1A4},
    };
    for (const Flavour& f : flavours()) {
        SCOPED_TRACE(f.name);
        Set s(files, f.opt);
        s.write();
        RunResult r = s.run({"-x"});
        EXPECT_EQ(r.out, s.prelude() + "\n  1 C_\n  2 C_\\Data\n  3 C_\\Data\\Sub" + LISTING +
                             entry(1, "C:\\Data\\old.txt", "19791231235959", 11) +
                             entry(2, "C:\\Data\\y1980.txt", "19800101000000", 4) +
                             entry(3, "C:\\leap.bin", "20000301000000", 3000) +
                             entry(4, "C:\\Data\\Sub\\future.dat", "20400101000000", 0) +
                             entry(5, "C:\\Data\\Sub\\big.txt", "19991231235959", 100000) + "\n" +
                             s.summary());
        EXPECT_EQ(r.status, 0);
        Tree want = {{"C_/", ""},
                     {"C_/Data/", ""},
                     {"C_/Data/Sub/", ""},
                     {"C_/Data/old.txt", "before 1980"},
                     {"C_/Data/y1980.txt", "1980"},
                     {"C_/leap.bin", leap},
                     {"C_/Data/Sub/future.dat", ""},
                     {"C_/Data/Sub/big.txt", big}};
        EXPECT_EQ(s.restored(), want);
        std::string w = s.work();
        EXPECT_EQ(mtime_of(w + "/C_/Data/old.txt"), 0);
        EXPECT_EQ(mtime_of(w + "/C_/Data/y1980.txt"), 315532800);
        EXPECT_EQ(mtime_of(w + "/C_/leap.bin"), 951868800);
        EXPECT_EQ(mtime_of(w + "/C_/Data/Sub/future.dat"), 2208988800);
        EXPECT_EQ(mtime_of(w + "/C_/Data/Sub/big.txt"), 946684799);
        EXPECT_EQ(mode_of(w + "/C_/leap.bin") & 0222, 0u);
        EXPECT_NE(mode_of(w + "/C_/Data/old.txt") & 0200, 0u);
        EXPECT_NE(mode_of(w + "/C_/Data/Sub/big.txt") & 0200, 0u);
        s.expect_nothing_outside_work();
    }
}

// ---- -s# and -p -----------------------------------------------------------

std::vector<imgw::SourceFile> four_files() {
    return {{"Data", "a.txt", "contents of a"},
            {"Database", "b.txt", "contents of b"},
            {"", "c.txt", std::string(5000, 'c')},
            {"Data\\Sub", "d.txt", "contents of d"}};
}

TEST(StartFile, CountsListPositionsFromOne) {
    Set s(four_files(), stored());
    s.write();
    const std::string all[4] = {entry(1, "C:\\Data\\a.txt", "20000301000000", 13),
                                entry(2, "C:\\Database\\b.txt", "20000301000000", 13),
                                entry(3, "C:\\c.txt", "20000301000000", 5000),
                                entry(4, "C:\\Data\\Sub\\d.txt", "20000301000000", 13)};
    struct Case {
        const char* opt;
        std::string driver;
        int status;
    };
    const Case cases[] = {
        {"-s1", LISTING + all[0] + all[1] + all[2] + all[3] + "\n", 0},
        {"-s3", LISTING + all[2] + all[3] + "\n", 0},
        {"-s5", std::string(LISTING) + "\n", 0},
        {"-s0", "\nfatal error, could not step ahead to file record # 0", 8},
        {"-s6", "\nfatal error, could not step ahead to file record # 6", 8},
    };
    for (const Case& c : cases) {
        RunResult r = s.run({"-l", c.opt});
        EXPECT_EQ(r.out, s.prelude() + c.driver + s.summary()) << c.opt;
        EXPECT_EQ(r.status, c.status) << c.opt;
    }

    // Extraction from the first file reads the data from its start.
    RunResult r = s.run({"-x", "-s1"});
    EXPECT_EQ(r.out, s.prelude() + "\n  1 C_\n  2 C_\\Data\n  3 C_\\Database\n  4 C_\\Data\\Sub" + LISTING +
                         all[0] + all[1] + all[2] + all[3] + "\n" + s.summary());
    EXPECT_EQ(s.restored().at("C_/Data/Sub/d.txt"), "contents of d");
}

// On a one-disk set the start file's data lies behind the data of the files
// before it; restoring it from 0x200 would give it the first file's bytes.
TEST(StartFile, OneDiskSetRestoresTheStartFileFromItsOwnData) {
    for (bool compressed : {false, true}) {
        imgw::SetOptions opt;
        opt.compressed = compressed;
        opt.group_size = 1000;
        Set s(four_files(), opt);
        s.write();
        RunResult r = s.run({"-x", "-s3"});
        EXPECT_EQ(r.status, 0);
        Tree t = s.restored();
        EXPECT_EQ(t.count("C_/Data/a.txt"), 0u) << compressed;
        EXPECT_EQ(t.count("C_/Database/b.txt"), 0u) << compressed;
        EXPECT_EQ(t.at("C_/c.txt"), std::string(5000, 'c')) << compressed;
        EXPECT_EQ(t.at("C_/Data/Sub/d.txt"), "contents of d") << compressed;
        EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
    }
}

TEST(PathFilter, SelectsByPrefixAndStepsOverTheRest) {
    for (const Flavour& f : flavours()) {
        SCOPED_TRACE(f.name);
        Set s(four_files(), f.opt);
        s.write();
        RunResult r = s.run({"-x", "-pC:\\Data"});
        EXPECT_EQ(r.out, s.prelude() + "\n  1 C_\n  2 C_\\Data\n  3 C_\\Database\n  4 C_\\Data\\Sub" +
                             LISTING + "using path string: C:\\Data\n" +
                             entry(1, "C:\\Data\\a.txt", "20000301000000", 13) +
                             entry(2, "C:\\Database\\b.txt", "20000301000000", 13) +
                             entry(4, "C:\\Data\\Sub\\d.txt", "20000301000000", 13) +
                             "\nskipped 1 files due to path comparision from -p<path>\n" + s.summary());
        EXPECT_EQ(r.status, 0);
        Tree want = {{"C_/", ""},
                     {"C_/Data/", ""},
                     {"C_/Database/", ""},
                     {"C_/Data/Sub/", ""},
                     {"C_/Data/a.txt", "contents of a"},
                     {"C_/Database/b.txt", "contents of b"},
                     {"C_/Data/Sub/d.txt", "contents of d"}};
        EXPECT_EQ(s.restored(), want);
    }
}

TEST(PathFilter, EmptyFilterSelectsAllAndCaseCounts) {
    Set s(four_files(), stored());
    s.write();
    const std::string all = entry(1, "C:\\Data\\a.txt", "20000301000000", 13) +
                            entry(2, "C:\\Database\\b.txt", "20000301000000", 13) +
                            entry(3, "C:\\c.txt", "20000301000000", 5000) +
                            entry(4, "C:\\Data\\Sub\\d.txt", "20000301000000", 13);
    RunResult r = s.run({"-l", "-p"});
    EXPECT_EQ(r.out, s.prelude() + LISTING + "using path string: \n" + all + "\n" + s.summary());

    r = s.run({"-l", "-pc:\\data"});
    EXPECT_EQ(r.out, s.prelude() + LISTING + "using path string: c:\\data\n" +
                         "\nskipped 4 files due to path comparision from -p<path>\n" + s.summary());
}

TEST(Listing, PathsLongerThan40CharactersMoveDateAndSizeToANewLine) {
    const std::string n37(37, 'n'), n38(38, 'm');
    Set s({{"", n37, "x"}, {"", n38, "yy"}}, stored());
    s.write();
    RunResult r = s.run({"-l"});
    EXPECT_EQ(r.out, s.prelude() + LISTING + "\n  1: C:\\" + n37 + "  20000301000000 len        1" +
                         "\n  2: C:\\" + n38 + "  \n    20000301000000 len        2" + "\n" +
                         s.summary());
}

// With -v the closing summary lists every table; only the file listing
// between its title and the summary is the driver's, so that part is
// compared whole.
TEST(Listing, VerboseShowsTheGroupsOfEachRun) {
    Set s({{"", "big.txt", text_of(100000, "group test ")}, {"", "zero.txt", "first group checksum 0"},
           {"", "empty.txt", ""}},
          compressed(4, 40000));
    ASSERT_EQ(s.set.tables.comp.size(), 5u);
    s.set.tables.comp[3].CHK_SUM = 0;
    s.write();
    RunResult r = s.run({"-l", "-v"});
    auto group = [&](size_t i) {
        const imgw::Comp& c = s.set.tables.comp[i];
        return fmt("\n     compsize %ld chksum 0x%lx offs_lo 0x%ld", (long)c.COMPSIZE,
                   (unsigned long)(uint32_t)c.CHK_SUM, (long)c.OFFS_LO);
    };
    std::string want = LISTING + entry(1, "C:\\big.txt", "20000301000000", 100000) + group(0) + group(1) +
                       group(2) + entry(2, "C:\\zero.txt", "20000301000000", 22) +
                       entry(3, "C:\\empty.txt", "20000301000000", 0) + group(4) + "\n";
    size_t from = r.out.find(LISTING);
    size_t to = r.out.find("\n\n\ndisplay of catalog");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(r.out.substr(from, to - from), want);
}

// ---- the last disk of a multi-disk set ----------------------------------

// 700, 500 and 300 bytes on disks of 1000: disk 2 begins with the last 200
// bytes of beta.bin.
struct TwoDisks : Set {
    std::string alpha = bytes_of(700, 1), beta = bytes_of(500, 2), gamma = bytes_of(300, 3);
    TwoDisks(int64_t first = 700, int64_t second = 500)
        : Set({{"Data", "alpha.txt", bytes_of((size_t)first, 1)},
               {"Data\\Sub", "beta.bin", bytes_of((size_t)second, 2)},
               {"", "gamma.txt", bytes_of(300, 3)}},
              [] {
                  imgw::SetOptions o = stored();
                  o.disk_capacity = 1000;
                  return o;
              }()) {
        alpha = bytes_of((size_t)first, 1);
        beta = bytes_of((size_t)second, 2);
        write();
    }
    std::string start() const {
        return prelude() + "\n  1 C_\n  2 C_\\Data\n  3 C_\\Data\\Sub" +
               "\nThis is disk 2 of a multi disk Dravik backup"
               "\nfor a full restore of the total 3 files the other disks are required.";
    }
    std::string entry_of(int i) const {
        switch (i) {
        case 1: return entry(1, "C:\\Data\\alpha.txt", "20000301000000", (long)alpha.size());
        case 2: return entry(2, "C:\\Data\\Sub\\beta.bin", "20000301000000", (long)beta.size());
        default: return entry(3, "C:\\gamma.txt", "20000301000000", 300);
        }
    }
    static Tree dirs_only() { return {{"C_/", ""}, {"C_/Data/", ""}, {"C_/Data/Sub/", ""}}; }
};

const char* const SPAN_CHECK =
    "\n3 files uncompressed data space 1500 used data space 1500"
    "\n500 data bytes available for data storage on this disk"
    "\n1st full file on disk 3   => gamma.txt"
    "\n must skip first 200 data bytes on this media disk as previous file spans 2 disks";

TEST(LastDiskDialogue, YesRestoresTheWholeFilesOfTheLastDisk) {
    TwoDisks s;
    RunResult r = s.run({"-x"}, "Y\n");
    EXPECT_EQ(r.out, s.start() + SPAN_CHECK + MENU + LISTING + s.entry_of(3) + "\n" + s.summary());
    EXPECT_EQ(r.status, 0);
    Tree want = TwoDisks::dirs_only();
    want["C_/gamma.txt"] = s.gamma;
    EXPECT_EQ(s.restored(), want);

    // The boundary at the end of a file: nothing to skip on the last disk.
    TwoDisks even(600, 400);
    r = even.run({"-x"}, "y\n");
    EXPECT_EQ(r.out, even.start() +
                         "\n3 files uncompressed data space 1300 used data space 1300"
                         "\n300 data bytes available for data storage on this disk"
                         "\n1st full file on disk 3   => gamma.txt" +
                         MENU + LISTING + even.entry_of(3) + "\n" + even.summary());
    EXPECT_EQ(even.restored().at("C_/gamma.txt"), even.gamma);
}

TEST(LastDiskDialogue, NoRestoresEverythingFromDiskOne) {
    TwoDisks s;
    RunResult r = s.run({"-x"}, "N\n../disk1.img\n../disk2.img\n");
    EXPECT_EQ(r.out, s.start() + SPAN_CHECK + MENU + s.disk_prompt(1) + LISTING + s.entry_of(1) +
                         s.entry_of(2) + "\ndisk change" + s.disk_prompt(2) + s.entry_of(3) + "\n" +
                         s.summary());
    EXPECT_EQ(r.status, 0);
    Tree want = TwoDisks::dirs_only();
    want["C_/Data/alpha.txt"] = s.alpha;
    want["C_/Data/Sub/beta.bin"] = s.beta;
    want["C_/gamma.txt"] = s.gamma;
    EXPECT_EQ(s.restored(), want);
}

TEST(LastDiskDialogue, NoWithAnEmptyNameGivesUp) {
    TwoDisks s;
    RunResult r = s.run({"-x"}, "N\n\n");
    EXPECT_EQ(r.out, s.start() + SPAN_CHECK + MENU +
                         "\n\nenter file name for disk 1 image followed by 'Enter', empty name aborts\n" +
                         s.summary());
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(s.restored(), TwoDisks::dirs_only());
}

TEST(LastDiskDialogue, ListSwitchesToListingTheLastDisk) {
    TwoDisks s;
    RunResult r = s.run({"-x"}, "l\n");
    EXPECT_EQ(r.out, s.start() + SPAN_CHECK + MENU + LISTING + s.entry_of(3) + "\n" + s.summary());
    EXPECT_EQ(s.restored(), TwoDisks::dirs_only());
}

TEST(LastDiskDialogue, AbortAndClosedInputDoNothingMore) {
    for (const char* in : {"A\n", ""}) {
        TwoDisks s;
        RunResult r = s.run({"-x"}, in);
        EXPECT_EQ(r.out, s.start() + SPAN_CHECK + MENU + s.summary()) << "[" << in << "]";
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(s.restored(), TwoDisks::dirs_only());
    }
}

// After choice N the catalog image's handle is closed; the catalog save must
// still write the same catalog file (disk2.cat, next to the image) as a
// plain -c run, also when the walk ended without an image open.
TEST(LastDiskDialogue, CatalogSaveAfterDiskChangesMatchesAPlainSave) {
    TwoDisks s;
    RunResult plain = s.run({"-c"});
    EXPECT_EQ(plain.status, 0);
    std::string want = s.dir.read("disk2.cat");
    ASSERT_FALSE(want.empty());

    // The second walk fails at the disk change: the save still runs, and
    // the status says the restore failed.
    const struct {
        const char* in;
        int status;
    } walks[] = {{"N\n../disk1.img\n../disk2.img\n", 0}, {"N\n../disk1.img\n\n", 8}};
    for (const auto& w : walks) {
        const char* in = w.in;
        SCOPED_TRACE(in);
        s.dir.write("disk2.cat", "");
        RunResult r = s.run({"-x", "-c"}, in);
        EXPECT_EQ(r.status, w.status);
        std::string got = s.dir.read("disk2.cat");
        EXPECT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "catalog file differs";
        EXPECT_EQ(s.restored().at("C_/Data/alpha.txt"), s.alpha);
    }
    // The failed file keeps what was read before the disk change gave up.
    EXPECT_EQ(s.restored().at("C_/Data/Sub/beta.bin"), s.beta.substr(0, 300));
}

// Every way the dialogue or a disk change gives up ends the run with status
// 8; what each prints is pinned above and in the disk prompt tests.
TEST(ExitStatus, WalksThatStopEarlyGiveEight) {
    const struct {
        const char* what;
        const char* in;
    } cases[] = {
        {"choice A", "A\n"},
        {"input ends at the choice", ""},
        {"empty name for disk 1", "N\n\n"},
        {"input ends at the disk prompt", "N\n"},
        {"wrong disk refused, then an empty name", "N\n../disk2.img\n\n"},
        {"no disk 2 for the file that spans", "N\n../disk1.img\n\n"},
    };
    for (const auto& c : cases) {
        TwoDisks s;
        EXPECT_EQ(s.run({"-x"}, c.in).status, 8) << c.what;
    }

    // A job that counts no disks: after disk 1 is opened the walk ends on
    // the disk count before the first file, quietly, but nothing was done.
    Set s({{"", "a.txt", bytes_of(700, 1)}, {"", "b.txt", bytes_of(500, 2)}}, [] {
        imgw::SetOptions o = stored();
        o.disk_capacity = 1000;
        return o;
    }());
    s.set.tables.job.num_disks = 0;
    s.write();
    RunResult r = s.run({"-x"}, "N\n../disk1.img\n");
    EXPECT_NE(r.out.find(std::string(LISTING) + "\n\n\n\ndisplay of catalog"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(s.restored().count("C_/a.txt"), 0u);
}

// A walk that reached the end of the list ends with 0, whichever way the
// dialogue went; with a length or checksum warning it ends with 9, and
// prints the same.
TEST(ExitStatus, FinishedWalksGiveZeroOrNineAfterWarnings) {
    for (const char* in : {"Y\n", "L\n", "N\n../disk1.img\n../disk2.img\n"}) {
        TwoDisks s;
        EXPECT_EQ(s.run({"-x"}, in).status, 0) << in;
    }

    Set s({{"", "a.txt", text_of(3000, "warned ")}}, compressed());
    s.set.tables.comp[0].CHK_SUM ^= 1;
    s.set.tables.files[0].size_lo += 1;
    s.write();
    RunResult r = s.run({"-x"});
    EXPECT_NE(r.out.find("\nwarning decompressed data crc="), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nwarning output file length mismatch"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 9);
}

// ---- hostile catalogs -------------------------------------------------------

struct Hostile {
    const char* what;
    std::function<void(imgw::CatalogTables&)> tamper;
    std::string mk_dirs;     // the directory lines of -x
    std::string first_path;  // messages and listing path of in.txt
    std::string second_path; // the same for good.txt
    Tree work;               // the restored tree
};

TEST(HostileCatalog, NothingIsWrittenOutsideTheCurrentDirectory) {
    const std::string unsafe2 = "\nunsafe directory name in path of dir ndx 2";
    const std::string unsafe1 = "\nunsafe directory name in path of dir ndx 1";
    const Tree only_root = {{"C_/", ""}, {"in.txt", "in"}, {"C_/good.txt", "good"}};
    const Tree bare = {{"in.txt", "in"}, {"good.txt", "good"}};
    const Tree normal_dirs = {{"C_/", ""}, {"C_/Data/", ""}, {"in.txt", "in"}, {"C_/good.txt", "good"}};
    auto dir_name = [](const char* n) {
        return [n](imgw::CatalogTables& t) { t.dirs[1].name = n; };
    };
    const std::vector<Hostile> cases = {
        {"dir ..", dir_name(".."), "\n  1 C_" + unsafe2 + "\n  2: error in mk_path_str()", unsafe2 + "|in.txt",
         "C:\\good.txt", only_root},
        {"dir ../x", dir_name("../x"), "\n  1 C_" + unsafe2 + "\n  2: error in mk_path_str()",
         unsafe2 + "|in.txt", "C:\\good.txt", only_root},
        {"dir a\\b", dir_name("a\\b"), "\n  1 C_" + unsafe2 + "\n  2: error in mk_path_str()",
         unsafe2 + "|in.txt", "C:\\good.txt", only_root},
        {"drive \\\\", [](imgw::CatalogTables& t) { t.disks[0].drive = "\\\\"; },
         unsafe1 + "\n  1: error in mk_path_str()" + unsafe2 + "\n  2: error in mk_path_str()",
         unsafe2 + "|in.txt", unsafe1 + "|good.txt", bare},
        // An empty drive field holds two blanks: a name like any other.
        {"blank drive", [](imgw::CatalogTables& t) { t.disks[0].drive = ""; },
         "\n  1   \n  2   \\Data", "  \\Data\\in.txt", "  \\good.txt",
         {{"  /", ""}, {"  /Data/", ""}, {"  /Data/in.txt", "in"}, {"  /good.txt", "good"}}},
        {"parent loop", [](imgw::CatalogTables& t) { t.dirs[1].parent = 2; },
         "\n  1 C_\n  2: error in mk_path_str()", "|in.txt", "C:\\good.txt", only_root},
        {"dir parent out of range", [](imgw::CatalogTables& t) { t.dirs[1].parent = 50; },
         "\n  1 C_\ndir ndx 50 out of range\n  2: error in mk_path_str()", "\ndir ndx 50 out of range|in.txt",
         "C:\\good.txt", only_root},
        {"file dir out of range", [](imgw::CatalogTables& t) { t.files[0].dir = 99; },
         "\n  1 C_\n  2 C_\\Data", "\ndir ndx 99 out of range|in.txt", "C:\\good.txt", normal_dirs},
        {"file dir 0", [](imgw::CatalogTables& t) { t.files[0].dir = 0; }, "\n  1 C_\n  2 C_\\Data",
         "\nfatal error in mk_path_str() ndx = 0 reserved|in.txt", "C:\\good.txt", normal_dirs},
        {"disk 0", [](imgw::CatalogTables& t) { t.dirs[1].disk = 0; },
         "\n  1 C_\ndrive ndx -1 out of range\n  2: error in mk_path_str()",
         "\ndrive ndx -1 out of range|in.txt", "C:\\good.txt", only_root},
    };
    auto listed = [](long serial, const std::string& shown, long size) {
        size_t bar = shown.find('|');
        std::string msg = bar == std::string::npos ? "" : shown.substr(0, bar);
        std::string path = bar == std::string::npos ? shown : shown.substr(bar + 1);
        return msg + entry(serial, path, "20000301000000", size);
    };
    for (const Flavour& f : flavours()) {
        for (const Hostile& c : cases) {
            SCOPED_TRACE(std::string(f.name) + ": " + c.what);
            Set s({{"Data", "in.txt", "in"}, {"", "good.txt", "good"}}, f.opt);
            c.tamper(s.set.tables);
            s.write();
            RunResult r = s.run({"-x"});
            EXPECT_EQ(r.out, s.prelude() + c.mk_dirs + LISTING + listed(1, c.first_path, 2) +
                                 listed(2, c.second_path, 4) + "\n" + s.summary());
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(s.restored(), c.work);
            s.expect_nothing_outside_work();
        }
    }
}

TEST(HostileCatalog, UnsafeAndMissingFileNamesAreListedButNotWritten) {
    for (const Flavour& f : flavours()) {
        SCOPED_TRACE(f.name);
        Set s({{"", "..", "dotdot data"},
               {"", "x\\y", "backslash data"},
               {"", "../escape", "slash data"},
               {"", ".", "dot data"},
               {"", "", "nameless data"},
               {"", "last.txt", "the last file"}},
              f.opt);
        s.write();
        RunResult r = s.run({"-x"});
        EXPECT_EQ(r.out, s.prelude() + "\n  1 C_" + LISTING + entry(1, "C:\\..", "20000301000000", 11) +
                             "\nunsafe file name, data skipped: .." +
                             entry(2, "C:\\x\\y", "20000301000000", 14) +
                             "\nunsafe file name, data skipped: x\\y" +
                             entry(3, "C:\\../escape", "20000301000000", 10) +
                             "\nunsafe file name, data skipped: ../escape" +
                             entry(4, "C:\\.", "20000301000000", 8) + "\nunsafe file name, data skipped: ." +
                             entry(5, "C:\\", "20000301000000", 13) +
                             "\nfile record 5 has no name, data skipped" +
                             entry(6, "C:\\last.txt", "20000301000000", 13) + "\n" + s.summary());
        EXPECT_EQ(r.status, 9);  // files left out: not restored as recorded
        Tree want = {{"C_/", ""}, {"C_/last.txt", "the last file"}};
        EXPECT_EQ(s.restored(), want);
        s.expect_nothing_outside_work();
    }
}

TEST(HostileCatalog, DeepChainsStopAtNineteenDirectories) {
    std::string deep;
    for (int i = 2; i <= 25; i++) deep += (deep.empty() ? "" : "\\") + ("d" + std::to_string(i));
    std::string at19 = deep.substr(0, deep.find("\\d20"));
    Set s({{at19, "ok.txt", "nineteen"}, {deep, "deep.txt", "twenty-five"}}, stored());
    s.write();
    RunResult r = s.run({"-x"});

    std::string dirs = "\n  1 C_", raw = "C:\\", made = "C_";
    for (int i = 2; i <= 25; i++) {
        std::string name = "d" + std::to_string(i);
        raw += name + "\\";
        made += "\\" + name;
        dirs += i < 20 ? fmt("\n%3d %s", i, made.c_str()) : fmt("\n%3d: error in mk_path_str()", i);
    }
    std::string ok_path = raw.substr(0, raw.find("d20\\")) + "ok.txt";
    EXPECT_EQ(r.out, s.prelude() + dirs + LISTING + entry(1, ok_path, "20000301000000", 8) +
                         entry(2, "deep.txt", "20000301000000", 11) + "\n" + s.summary());
    Tree got = s.restored();
    EXPECT_EQ(got.at("deep.txt"), "twenty-five");
    std::string ok_native = made.substr(0, made.find("\\d20"));
    for (char& c : ok_native)
        if (c == '\\') c = '/';
    EXPECT_EQ(got.at(ok_native + "/ok.txt"), "nineteen");
    EXPECT_EQ(got.count("C_/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12/d13/d14/d15/d16/d17/d18/d19/d20/"), 0u);
    s.expect_nothing_outside_work();
}

TEST(OutputPaths, DirectoryPartOf254IsUsedAnd255FallsBackToTheBareName) {
    const std::string long_dir(240, 'L');
    const std::string fits = long_dir + "\\" + std::string(9, 'a');   // C:\ + 241 + 10 = 254
    const std::string over = long_dir + "\\" + std::string(10, 'b');  // 255
    const std::string name(200, 'f');
    Set s({{fits, name, "fits"}, {over, "over.txt", "too long"}}, stored());
    s.write();
    RunResult r = s.run({"-x"});
    std::string path254 = "C:\\" + fits + "\\" + name;
    EXPECT_EQ(r.out, s.prelude() + "\n  1 C_\n  2 C_\\" + long_dir + "\n  3 C_\\" + fits +
                         "\n  4: error in mk_path_str()" + LISTING + entry(1, path254, "20000301000000", 4) +
                         entry(2, "over.txt", "20000301000000", 8) + "\n" + s.summary());
    Tree got = s.restored();
    EXPECT_EQ(got.at("C_/" + long_dir + "/aaaaaaaaa/" + name), "fits");
    EXPECT_EQ(got.at("over.txt"), "too long");
}

TEST(DirsDisplay, VeryVerbosePathsAreListedWithoutCreating) {
    Set s({{"Data\\Sub", "x.txt", "x"}, {"Odd", "y.txt", "y"}}, stored());
    s.set.tables.dirs[3].name = "..";
    s.write();
    RunResult r = s.run({"-vs2", "-vv"});
    EXPECT_EQ(r.out, s.head() + "\nfound 4 entries in Dir" + "\n  1: disk ndx   1 dir ndx   0   " +
                         "\n  2: disk ndx   1 dir ndx   1   Data" + "\n  3: disk ndx   1 dir ndx   2   Sub" +
                         "\n  4: disk ndx   1 dir ndx   1   .." + "\n  1 C:\\\n  2 C:\\Data\\\n  3 C:\\Data\\Sub\\" +
                         "\nunsafe directory name in path of dir ndx 4\n  4: error in mk_path_str()" +
                         s.tables_done() + s.summary());
    EXPECT_TRUE(s.restored().empty());
}

// ---- date conversion, in-process ------------------------------------------

struct Zone {
    explicit Zone(const char* tz) {
        const char* old = getenv("TZ");
        had = old != nullptr;
        if (had) saved = old;
        set_env("TZ", tz);
        tzset();
    }
    ~Zone() {
        set_env("TZ", had ? saved.c_str() : nullptr);
        tzset();
    }
    bool had;
    std::string saved;
};

TEST(DateToSecs, LocalTimeFrom1980On) {
    struct Case {
        const char* date;
        int64_t utc;
    };
    const Case cases[] = {
        {"19800101000000", 315532800},  {"20000301000000", 951868800},   {"20000229120000", 951825600},
        {"20400101000000", 2208988800}, {"20380119031408", 2147483648},  {"1980 1 1 0 0 0", 315532800},
    };
    {
        Zone utc("UTC");
        for (const Case& c : cases) EXPECT_EQ(date_to_secs(c.date), c.utc) << c.date;
    }
    {
        Zone east("XXX-1");  // one hour east of UTC, no daylight saving
        for (const Case& c : cases) EXPECT_EQ(date_to_secs(c.date), c.utc - 3600) << c.date;
    }
}

TEST(DateToSecs, YearsBefore1980AndBlankDatesGiveZero) {
    Zone utc("UTC");
    for (const char* d : {"19791231235959", "              ", "", "0000", "abcd0101000000"})
        EXPECT_EQ(date_to_secs(d), 0) << "[" << d << "]";
}

TEST(DateToSecs, OutOfRangeFieldsAreNormalised) {
    Zone utc("UTC");
    EXPECT_EQ(date_to_secs("19801301000000"), date_to_secs("19810101000000"));
    EXPECT_EQ(date_to_secs("19800100000000"), 315446400);
    EXPECT_EQ(date_to_secs("19800101246000"), 315532800 + 24 * 3600 + 3600);
}

TEST(SetFileMeta, ReportsWhatCouldNotBeSet) {
    Zone utc("UTC");
    TempDir t;
    FileRecord file = {};
    snprintf(file.date, sizeof file.date, "%s", "20000301000000");
    OutTree cwd_tree;
    out_tree_init(&cwd_tree, PLAT_CWD, nullptr);

    std::string path = t.file("ro.bin");
    t.write("ro.bin", "data");
    file.attrib = 0x1B6;
    EXPECT_EQ(set_file_meta(&cwd_tree, &UNBAK_REPORTER, &file, path.c_str()), 0);
    EXPECT_EQ(mtime_of(path), 951868800);
    EXPECT_NE(mode_of(path) & 0200, 0u);

    // Read-only afterwards, with the times already set.
    file.attrib = 0x21;
    snprintf(file.date, sizeof file.date, "%s", "19800101000000");
    EXPECT_EQ(set_file_meta(&cwd_tree, &UNBAK_REPORTER, &file, path.c_str()), 0);
    EXPECT_EQ(mtime_of(path), 315532800);
    EXPECT_EQ(mode_of(path) & 0222, 0u);

    // Only bit 0x80 counts: the attribute number is never used as a mode.
    const unsigned read_only = mode_of(path);
#ifdef _WIN32
    const unsigned writable = 0666u;
#else
    const unsigned writable = read_only | 0200u;
#endif
    file.attrib = 0x7FFFFFFF;
    EXPECT_EQ(set_file_meta(&cwd_tree, &UNBAK_REPORTER, &file, path.c_str()), 0);
    EXPECT_EQ(mode_of(path), writable);
    file.attrib = 0x7FFFFF7F;
    EXPECT_EQ(set_file_meta(&cwd_tree, &UNBAK_REPORTER, &file, path.c_str()), 0);
    EXPECT_EQ(mode_of(path), read_only);
    file.attrib = 0x21;

    fflush(stdout);
    testing::internal::CaptureStdout();
    int32_t missing = set_file_meta(&cwd_tree, &UNBAK_REPORTER, &file, t.file("missing").c_str());
    t.mkdir("adir");
    int32_t dir = set_file_meta(&cwd_tree, &UNBAK_REPORTER, &file, t.file("adir").c_str());
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(missing, 3);
    EXPECT_EQ(dir, 1);
    EXPECT_EQ(out, "\nerror setting file: timestamp attributes\nerror setting file: timestamp ");
}

}  // namespace
