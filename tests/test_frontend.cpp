// unbak's command line, run modes and image header, end to end.
#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

std::string banner() {
    return std::string("\nunbak version 1.02 compiled for WIN32") +
           "\n       using: zlib version " + zlibVersion() + " with raw decompression\n";
}

std::string source(const std::string& p) { return "\nsource file: " + p + "\n"; }

const char* const USAGE =
    "\nusage: unbak <bkup file> [-f] [-l] [-p] [-x] [-vv] or [-vs#]"
    "\n  with just <bkup file> displays the file header info and exits"
    "\n-c extract the catalog file to <bkup file>.cat"
    "\n-f is primarily a debug and validation tool,\n   just display where structure definitions are"
    "\n   use -f with -v to display structure headers"
    "\n-l list files that -x would extract"
    "\n-p set path string to limit List and Xtract operations"
    "\n-x extract files, without this option just displays catalog"
    "\n-s# set starting file # of update extraction"
    "\n-v verbose mode and -vv is very verbose mode for additional information"
    "\n-vs# verbose mode to just list structure data for # where 1 <= # <= 7\n";

const char* const HEADER_FAIL = "\nfailed to read a valid Tarnel Backup file header from target file\n";

// A data disk: header and some data, no catalog.
std::string data_disk(imgw::Header h = imgw::Header()) {
    h.cat_offs = 0;
    return imgw::make_image(h, std::string(100, 'd'), "");
}

// A small complete single-disk set.
imgw::BackupSet small_plan(bool compressed = true) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.name = "small set";
    return imgw::plan_set({{"Data", "a.txt", "alpha\n"}, {"", "b.txt", "bravo bravo\n"}}, o);
}

std::string small_set(bool compressed = true) {
    return imgw::layout_images(small_plan(compressed)).back();
}

TEST(CommandLine, NoArgumentsPrintsUsageOnly) {
    TempDir t;
    RunResult r = run_unbak(t.path, {});
    EXPECT_EQ(r.out, banner() + "\nabort: target path to archive is required as the first argument" +
                         USAGE + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST(CommandLine, FirstArgumentIsAlwaysTheImage) {
    TempDir t;
    RunResult r = run_unbak(t.path, {"-x"});
    EXPECT_EQ(r.out, banner() + source("-x") + "\nfailed to open target file: -x" + HEADER_FAIL + "\n");
    EXPECT_EQ(r.status, 8);
}

TEST(CommandLine, LongImagePathGoesOnItsOwnLine) {
    TempDir t;
    std::string p65(65, 'p'), p66(66, 'q');
    RunResult r = run_unbak(t.path, {p65});
    std::string want = banner() + "\nsource file: " + p65 + "\n";
    EXPECT_EQ(r.out.substr(0, want.size()), want);
    r = run_unbak(t.path, {p66});
    want = banner() + "\nsource file: \n" + p66 + "\n";
    EXPECT_EQ(r.out.substr(0, want.size()), want);
}

TEST(CommandLine, BadStartNumbersAreReportedBeforeTheBanner) {
    TempDir t;
    t.write("d.img", data_disk());
    RunResult r = run_unbak(t.path, {"d.img", "-s", "-sx", "-s25"});
    EXPECT_EQ(r.out.substr(0, 41), "\nbad argument -s\n\nbad argument -sx\n\nunbak");
    EXPECT_EQ(r.status, 0);
}

TEST(CommandLine, ExtractOrListNeedsTheCatalogDisk) {
    TempDir t;
    t.write("d.img", data_disk());
    std::string head = banner() + source("d.img") + "\nBackup name: test backup\nJob 1  Backup Disk 1" +
                       "\nno Catalog on this disk";
    const std::string abort_msg =
        "\nabort: to extract or list files, must start with the last disk in the series which contains "
        "the catalog\n";
    for (const char* opt : {"-x", "-X", "-xyz", "-l", "-Lanything"}) {
        RunResult r = run_unbak(t.path, {"d.img", opt, "-f"});
        EXPECT_EQ(r.out, head + abort_msg + "\n") << opt;
        EXPECT_EQ(r.status, 8);
    }
    // Without -x or -l the run simply ends after the header.
    for (const char* opt : {"-v", "-vv", "-c", "-f", "-pC:", "-s3", "-q"}) {
        RunResult r = run_unbak(t.path, {"d.img", opt});
        EXPECT_EQ(r.out, head + "\n") << opt;
    }
}

TEST(ImageHeader, ShortFileAndForeignSignatureAreRefused) {
    TempDir t;
    t.write("short.img", imgw::encode_header(imgw::Header()).substr(0, 511));
    RunResult r = run_unbak(t.path, {"short.img"});
    EXPECT_EQ(r.out, banner() + source("short.img") + "\nfailed to read file header" + HEADER_FAIL + "\n");
    t.write("tiny.img", "\xcd\xab");
    r = run_unbak(t.path, {"tiny.img"});
    EXPECT_EQ(r.out, banner() + source("tiny.img") + "\nfailed to read file header" + HEADER_FAIL + "\n");

    imgw::Header h;
    h.signature = 0xCDABCDABu;  // the bytes AB CD AB CD
    t.write("swapped.img", data_disk(h));
    r = run_unbak(t.path, {"swapped.img", "-x"});
    EXPECT_EQ(r.out, banner() + source("swapped.img") +
                         "\nbig endian file header signature != 0xabcdabcd" + HEADER_FAIL + "\n");
    EXPECT_EQ(r.status, 8);
}

TEST(ImageHeader, NameAreaAndNumbers) {
    TempDir t;
    imgw::Header h;
    h.name_area = std::string(460, 'N');  // no NUL: all 460 characters
    h.job_num = 65535;
    h.disk_num = 65535;
    t.write("full.img", data_disk(h));
    RunResult r = run_unbak(t.path, {"full.img"});
    EXPECT_EQ(r.out, banner() + source("full.img") + "\nBackup name: " + std::string(460, 'N') +
                         "\nJob 65535  Backup Disk 65535\nno Catalog on this disk\n");

    h = imgw::Header();
    h.name_area = std::string("first\0second", 12) + std::string(448, 'x');
    t.write("nulbyte.img", data_disk(h));
    r = run_unbak(t.path, {"nulbyte.img"});
    EXPECT_NE(r.out.find("\nBackup name: first\nJob 1  Backup Disk 1\n"), std::string::npos) << r.out;

    h = imgw::Header();
    h.name = "";
    t.write("empty.img", data_disk(h));
    r = run_unbak(t.path, {"empty.img"});
    EXPECT_NE(r.out.find("\nBackup name: \nJob 1  Backup Disk 1\n"), std::string::npos) << r.out;
}

TEST(ImageHeader, CatalogOffsetIsShownInHex) {
    TempDir t;
    t.write("s.img", small_set());
    RunResult r = run_unbak(t.path, {"s.img", "-vs0"});
    std::string start = banner() + source("s.img") + "\nBackup name: small set\nJob 1  Backup Disk 1" +
                        "\nCatalog at  offset 0x";
    ASSERT_EQ(r.out.substr(0, start.size()), start);
    EXPECT_NE(r.out.find("\nattempt to step through catalog and locate structure definition regions"),
              std::string::npos);
    // -vs0 is plain verbose: no catalog mode, so no catalog display.
    EXPECT_EQ(r.out.find("display of catalog"), std::string::npos);
    EXPECT_EQ(r.status, 0);
}

// Which options enter catalog mode: the closing catalog display shows it.
TEST(CommandLine, CatalogModeOptions) {
    TempDir t;
    t.write("s.img", small_set());
    struct Case {
        std::vector<std::string> args;
        bool catalog_mode;
        bool files_listing;
    } cases[] = {
        {{"-vs3"}, true, true},  {{"-Vs3"}, true, true}, {{"-VS3x"}, true, true},
        {{"-vs5"}, true, false}, {{"-vs8"}, false, false}, {{"-vs"}, false, false},
        {{"-vv"}, false, false}, {{"-l"}, true, false},  {{"-vs3", "-vs8"}, true, true},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"s.img"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run_unbak(t.path, args);
        std::string what = c.args[0];
        EXPECT_EQ(r.out.find("\n\n\ndisplay of catalog") != std::string::npos, c.catalog_mode) << what;
        EXPECT_EQ(r.out.find("\nfound 2 files in catalog") != std::string::npos, c.files_listing) << what;
        EXPECT_EQ(r.out.back(), '\n');
        EXPECT_EQ(r.status, 0);
    }
    // -vs3 alone does not set verbose: the summary has no listings.
    RunResult r = run_unbak(t.path, {"s.img", "-vs3"});
    EXPECT_EQ(r.out.find("\nfound 2 files in catalog"), r.out.rfind("\nfound 2 files in catalog"));
    // -v adds every listing to the summary.
    r = run_unbak(t.path, {"s.img", "-vs3", "-v"});
    EXPECT_NE(r.out.find("\nfound 2 files in catalog"), r.out.rfind("\nfound 2 files in catalog"));
}

TEST(CommandLine, LastPathFilterWins) {
    TempDir t;
    t.write("s.img", small_set());
    RunResult r = run_unbak(t.path, {"s.img", "-l", "-pC:\\Data", "-pC:\\"});
    EXPECT_NE(r.out.find("using path string: C:\\\n"), std::string::npos) << r.out;
    r = run_unbak(t.path, {"s.img", "-l", "-p"});
    EXPECT_NE(r.out.find("using path string: \n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("skipped"), std::string::npos);
}

TEST(CommandLine, StartNumberSelectsTheFirstListedFile) {
    TempDir t;
    t.write("s.img", small_set());
    RunResult r = run_unbak(t.path, {"s.img", "-l", "-s2"});
    EXPECT_EQ(r.out.find("a.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("b.txt"), std::string::npos) << r.out;
    r = run_unbak(t.path, {"s.img", "-l", "-s25"});
    EXPECT_NE(r.out.find("\nfatal error, could not step ahead to file record # 25"), std::string::npos);
    EXPECT_EQ(r.status, 8);
}

// The exit status: the number of failed table reads; else 8 when any other
// step failed; else 0. What each run prints is pinned by the tests of its
// step; only the status is looked at here.
TEST(ExitStatus, FailedStepsGiveEightFailedTableReadsTheirCount) {
    TempDir t;
    t.write("d.img", data_disk());
    const std::string set = small_set();
    t.write("s.img", set);
    const unsigned char* at = (const unsigned char*)set.data() + 28;
    uint32_t cat = (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
    t.write("cut.img", set.substr(0, cat + 64));  // the first region is not there
    t.mkdir("save");
    t.write("save/s.img", set);
    t.mkdir("save/s.cat");  // the catalog file cannot be created
    t.mkdir("out");
    t.mkdir("out/C_");
    t.mkdir("out/C_/b.txt");  // b.txt cannot be restored

    // The Disks table fails to read; with -c the save is skipped.
    imgw::BackupSet bad = small_plan();
    std::array<imgw::Region, 7> regions = imgw::make_regions(bad.tables);
    regions[0].records[0][0] = 'X';
    t.write("bad.img", imgw::layout_images(bad, regions).back());

    struct Case {
        const char* dir;
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {"", {"missing.img"}, 8},
        {"", {"d.img", "-x"}, 8},
        {"", {"d.img", "-l"}, 8},
        {"", {"cut.img", "-vs1"}, 8},
        {"save", {"s.img", "-c"}, 8},
        {"", {"s.img", "-l", "-s4"}, 8},
        {"out", {"../s.img", "-x"}, 8},
        {"", {"bad.img", "-x", "-c"}, 1},
        // Outside catalog mode regions are only located, and -f only walks.
        {"", {"cut.img"}, 0},
        {"", {"cut.img", "-f"}, 0},
        {"", {"d.img"}, 0},
        {"", {"s.img", "-l", "-s3"}, 0},
    };
    for (const Case& c : cases) {
        std::string what = c.dir;
        for (const std::string& a : c.args) what += " " + a;
        RunResult r = run_unbak(*c.dir ? t.file(c.dir) : t.path, c.args);
        EXPECT_EQ(r.status, c.status) << what << r.out;
        EXPECT_EQ(r.out.back(), '\n') << what;
    }
    EXPECT_EQ(t.read("out/C_/Data/a.txt"), "alpha\n");
}

}  // namespace
