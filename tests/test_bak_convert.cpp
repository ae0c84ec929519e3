// bak convert and bak tables on sets from the image writer.
//
// convert: each kind of archive read back (with libarchive here, and with
// bsdtar, unzip and 7z where installed) is the tree bak extract writes, by
// bytes, times and modes; a damaged file is left out, or salvaged to its
// recorded size, and reported (--report, LOST-DATA.txt), for a file held in
// memory and for one larger than that, checked twice; OUTPUT that is an
// image, the report or a link is refused, and a write that fails ends with
// status 2 and no summary.
//
// tables: every table as JSON, CSV files quoted as RFC 4180 says, and
// table files that dbfscan opens by number.
#include <locale.h>
#include <stdint.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/restore_sets.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

using restore_test::noise;

RunResult run_bak(const std::string& cwd, const std::vector<std::string>& args) {
    return run_program(BAK_EXE, args, "", cwd);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Entry {
    std::string content;
    int64_t mtime;
    unsigned mode;  // permission bits
    bool dir;
};

// Every entry of an archive, by path as the tree of tree_of names it
// (directories end in '/'); from a file, or from bytes when path is empty.
std::map<std::string, Entry> read_archive(const std::string& path, const std::string& bytes = "") {
    // Names as UTF-8 (7z holds UTF-16).
    setlocale(LC_CTYPE, "C.UTF-8");
    std::map<std::string, Entry> out;
    struct archive* a = archive_read_new();
    archive_read_support_format_all(a);
    archive_read_support_filter_all(a);
    int r = path.empty() ? archive_read_open_memory(a, bytes.data(), bytes.size())
                         : archive_read_open_filename(a, path.c_str(), 65536);
    EXPECT_EQ(r, ARCHIVE_OK) << archive_error_string(a);
    struct archive_entry* e;
    while (r == ARCHIVE_OK && archive_read_next_header(a, &e) == ARCHIVE_OK) {
        Entry en;
        en.dir = archive_entry_filetype(e) == AE_IFDIR;
        en.mtime = archive_entry_mtime(e);
        en.mode = archive_entry_perm(e);
        std::string name = archive_entry_pathname(e);
        if (en.dir && name.back() != '/') name += '/';
        char buf[65536];
        la_ssize_t n;
        while ((n = archive_read_data(a, buf, sizeof buf)) > 0) en.content.append(buf, (size_t)n);
        EXPECT_GE(n, 0) << name << ": " << archive_error_string(a);
        EXPECT_EQ((int64_t)en.content.size(), en.dir ? 0 : archive_entry_size(e)) << name;
        out[name] = en;
    }
    archive_read_free(a);
    return out;
}

// Files in two directories, one of them empty and one below another, a
// read-only file, an empty file, two names that are one and a name in
// UTF-8.
std::vector<imgw::SourceFile> tree_files() {
    std::vector<imgw::SourceFile> f = {
        {"", "top.txt", "at the root\n"},
        {"Data", "big.bin", noise(300000, 1)},
        {"Data", "empty.txt", ""},
        {"Data\\Sub", "ro.txt", "read only\n"},
        {"Data\\Sub", "ro.txt", "another\n"},
        {"Data", "na\xc3\xafve.txt", "a name in UTF-8\n"},
    };
    f[1].date = "20011224183000";
    f[3].attrib = 0x124;
    return f;
}

std::string tree_set(const TempDir& t, std::vector<imgw::SourceFile> files = tree_files()) {
    imgw::SetOptions opt;
    opt.group_size = 4096;
    imgw::BackupSet plan = imgw::plan_set(files, opt, {"Empty", "Data\\Deep\\Er"});
    std::vector<std::string> images = imgw::layout_images(plan);
    for (size_t i = 0; i < images.size(); i++) t.write("d" + std::to_string(i + 1) + ".img", images[i]);
    return "d1.img";
}

// Checks an archive's entries against the tree bak extract wrote in dir.
void expect_as_extracted(const std::map<std::string, Entry>& got, const TempDir& t,
                         const std::string& dir, const std::string& what) {
    std::map<std::string, std::string> want = tree_of(t.file(dir));
    std::map<std::string, std::string> contents;
    for (const auto& e : got) contents[e.first] = e.second.content;
    EXPECT_EQ(contents, want) << what;
    for (const auto& w : want) {
        auto it = got.find(w.first);
        if (it == got.end()) continue;
        const Entry& e = it->second;
        if (e.dir) {
            EXPECT_EQ(e.mode, 0755u) << what << " " << w.first;
            continue;
        }
        std::string on_disk = t.file(dir + "/" + w.first);
        EXPECT_EQ(e.mtime, mtime_of(on_disk)) << what << " " << w.first;
        EXPECT_EQ(e.mode, (mode_of(on_disk) & 0222) ? 0644u : 0444u) << what << " " << w.first;
    }
}

const char* const KINDS[] = {".tar", ".tar.gz", ".tar.xz", ".tar.zst", ".zip", ".7z"};

// ---- convert -------------------------------------------------------------------------------

TEST(BakConvert, EveryKindHoldsTheTreeExtractWrites) {
    TempDir t;
    std::string set = tree_set(t);
    RunResult x = run_bak(t.path, {"extract", set, "-C", "ex"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_TRUE(t.exists("ex/C_/Empty") && t.exists("ex/C_/Data/Sub/ro~2.txt"));
    for (const char* kind : KINDS) {
        std::string name = std::string("out") + kind;
        RunResult r = run_bak(t.path, {"convert", set, name});
        EXPECT_EQ(r.status, 0) << kind << r.err;
        EXPECT_TRUE(has(r.err, "bak: 6 restored, 0 already present, 0 damaged, 0 missing, 0 "
                               "skipped; 300046 bytes in "))
            << r.err;
        expect_as_extracted(read_archive(t.file(name)), t, "ex", kind);
#ifndef _WIN32
        // An archive is for others too: the umask alone decides.
        mode_t mask = umask(0);
        umask(mask);
        EXPECT_EQ(mode_of(t.file(name)), 0666u & ~mask) << kind;
#endif
    }
    // A tar on standard output, patterns choosing.
    RunResult r = run_bak(t.path, {"convert", set, "-", "C:\\Data\\Sub"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, Entry> sub = read_archive("", r.out);
    std::vector<std::string> names;
    for (const auto& e : sub) names.push_back(e.first);
    EXPECT_EQ(names, (std::vector<std::string>{"C_/", "C_/Data/", "C_/Data/Sub/",
                                               "C_/Data/Sub/ro.txt", "C_/Data/Sub/ro~2.txt"}));
}

TEST(BakConvert, OtherProgramsReadTheArchives) {
    TempDir t;
    std::string set = tree_set(t);
    ASSERT_EQ(run_bak(t.path, {"extract", set, "-C", "ex"}).status, 0);
    struct Reader {
        const char* program;
        const char* kind;
        const char* command;  // run in the directory "rb", the archive in ".."
    } readers[] = {{"bsdtar", ".tar", "bsdtar -xf ../out.tar"},
                   {"bsdtar", ".tar.zst", "bsdtar -xf ../out.tar.zst"},
                   {"unzip", ".zip", "unzip -q ../out.zip"},
                   {"7z", ".7z", "7z x -bd ../out.7z >/dev/null"}};
    int ran = 0;
    for (const Reader& rd : readers) {
        if (run_program("/bin/sh", {"-c", std::string("command -v ") + rd.program}, "", t.path).status != 0) {
            printf("skipped: %s is not installed\n", rd.program);
            continue;
        }
        ran++;
        ASSERT_EQ(run_bak(t.path, {"convert", set, std::string("out") + rd.kind}).status, 0);
        run_program("/bin/sh", {"-c", "rm -rf rb && mkdir rb"}, "", t.path);
        RunResult r = run_program("/bin/sh", {"-c", rd.command}, "", t.file("rb"));
        EXPECT_EQ(r.status, 0) << rd.command << r.err;
        EXPECT_EQ(tree_of(t.file("rb")), tree_of(t.file("ex"))) << rd.command;
        for (const char* f : {"C_/Data/big.bin", "C_/Data/Sub/ro.txt"}) {
            EXPECT_EQ(mtime_of(t.file(std::string("rb/") + f)), mtime_of(t.file(std::string("ex/") + f)))
                << rd.command << " " << f;
            EXPECT_EQ(mode_of(t.file(std::string("rb/") + f)) & 0222,
                      mode_of(t.file(std::string("ex/") + f)) & 0222)
                << rd.command << " " << f;
        }
    }
    if (ran == 0) GTEST_SKIP() << "none of bsdtar, unzip, 7z is installed";
}

TEST(BakConvert, UnknownKindIsAUsageErrorNamingTheKinds) {
    TempDir t;
    std::string set = tree_set(t);
    RunResult r = run_bak(t.path, {"convert", set, "out.rar"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bak: out.rar: unknown kind of archive: OUTPUT ends in .tar, .tar.gz, "
                     ".tar.xz, .tar.zst, .zip or .7z, or is - for a tar on standard output\n");
    EXPECT_FALSE(t.exists("out.rar"));
    RunResult none = run_bak(t.path, {"convert", set});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "bak: convert takes the set, the archive to write, then patterns\n");
}

// A set of three files whose second has a flipped byte in its first group
// of 4096 bytes (of size bytes in all).
struct Damaged {
    std::vector<imgw::SourceFile> files;
};
Damaged damaged_set(const TempDir& t, size_t size) {
    Damaged d;
    d.files = {{"", "a.txt", "first\n"}, {"", "hurt.bin", noise(size, 5)}, {"", "z.txt", "last\n"}};
    imgw::SetOptions opt;
    opt.group_size = 4096;
    imgw::BackupSet plan = imgw::plan_set(d.files, opt);
    std::string image = imgw::layout_images(plan)[0];
    for (const imgw::Comp& c : plan.tables.comp)
        if (c.ORGSER == 2) {
            image[(size_t)(512 + c.OFFS_LO + c.COMPSIZE / 2)] ^= 0x5A;
            break;
        }
    t.write("d1.img", image);
    return d;
}

void expect_damage_handled(size_t size) {
    TempDir t;
    Damaged d = damaged_set(t, size);
    RunResult r = run_bak(t.path, {"convert", "d1.img", "out.tar", "--report", "lost.txt",
                                   "--report-in-archive"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "bak: damaged, not written: C:\\hurt.bin: group 1 of ")) << r.err;
    EXPECT_TRUE(has(r.err, "bak: 2 restored, 0 already present, 1 damaged, 0 missing, 0 skipped; "
                           "11 bytes in "))
        << r.err;
    std::map<std::string, Entry> got = read_archive(t.file("out.tar"));
    EXPECT_EQ(got.count("C_/hurt.bin"), 0u);
    EXPECT_EQ(got["C_/z.txt"].content, "last\n");
    std::string lost = t.read("lost.txt");
    EXPECT_TRUE(has(lost, "damaged: C:\\hurt.bin: group 1 of ")) << lost;
    EXPECT_EQ(got["LOST-DATA.txt"].content, lost);

    RunResult s = run_bak(t.path, {"convert", "d1.img", "salvaged.zip", "--salvage", "--report",
                                   "lost.json"});
    EXPECT_EQ(s.status, 1);
    EXPECT_TRUE(has(s.err, "1 damaged, 0 missing, 0 skipped (1 salvaged)")) << s.err;
    ASSERT_EQ(run_bak(t.path, {"extract", "d1.img", "--salvage", "-C", "ex"}).status, 1);
    got = read_archive(t.file("salvaged.zip"));
    ASSERT_EQ(got["C_/hurt.bin"].content.size(), size);
    EXPECT_TRUE(got["C_/hurt.bin"].content == t.read("ex/C_/hurt.bin"));
    EXPECT_EQ(got["C_/hurt.bin"].content.find_first_not_of('\0'), 4096u);
    EXPECT_EQ(got.count("LOST-DATA.txt"), 0u);
    nlohmann::json report = nlohmann::json::parse(t.read("lost.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded());
    ASSERT_EQ(report["files"].size(), 1u);
    EXPECT_EQ(report["files"][0]["written"], true);
    EXPECT_EQ(report["files"][0]["output"], "C_/hurt.bin");
    EXPECT_EQ(report["summary"]["salvaged"], 1);
}

TEST(BakConvert, ADamagedFileHeldInMemoryIsLeftOutOrSalvaged) { expect_damage_handled(20000); }

TEST(BakConvert, ADamagedFileTooLargeToHoldIsLeftOutOrSalvaged) {
    expect_damage_handled(64u * 1024 * 1024 + 5000);
}

TEST(BakConvert, ASalvagedFileWhoseGroupsHoldLessIsPaddedToItsSize) {
    TempDir t;
    std::vector<imgw::SourceFile> files = {{"", "short.bin", noise(10000, 3)}};
    imgw::SetOptions opt;
    opt.group_size = 4096;
    imgw::BackupSet plan = imgw::plan_set(files, opt);
    plan.tables.files[0].size_lo = 15000;
    t.write("d1.img", imgw::layout_images(plan)[0]);
    for (const char* kind : KINDS) {
        std::string name = std::string("out") + kind;
        RunResult r = run_bak(t.path, {"convert", "d1.img", name, "--salvage"});
        EXPECT_EQ(r.status, 1) << r.err;
        std::string got = read_archive(t.file(name))["C_/short.bin"].content;
        EXPECT_TRUE(got == files[0].content + std::string(5000, '\0')) << kind;
    }
}

TEST(BakConvert, AnImageTheReportOrALinkIsNeverWrittenOver) {
    TempDir t;
    std::vector<imgw::SourceFile> files = tree_files();
    imgw::BackupSet plan = imgw::plan_set(files, imgw::SetOptions());
    std::string image = imgw::layout_images(plan)[0];
    t.write("set.tar", image);
    ASSERT_EQ(link(t.file("set.tar").c_str(), t.file("hard.zip").c_str()), 0);
    ASSERT_EQ(symlink("elsewhere.tar", t.file("link.tar").c_str()), 0);
    const std::vector<std::vector<std::string>> cases = {
        {"convert", "set.tar", "set.tar"},
        {"convert", "set.tar", "hard.zip"},
        {"convert", "set.tar", "link.tar"},
        {"convert", "set.tar", "lost.tar", "--report", "lost.tar"},
    };
    for (const auto& args : cases) {
        RunResult r = run_bak(t.path, args);
        EXPECT_EQ(r.status, 2) << args[2];
        EXPECT_TRUE(has(r.err, "bak: " + args[2] + ": cannot be written (an image of the set, the "
                                                   "report, a link or not writable)\n"))
            << r.err;
        EXPECT_FALSE(has(r.err, "restored")) << r.err;
    }
    EXPECT_TRUE(t.read("set.tar") == image);
    EXPECT_FALSE(t.exists("elsewhere.tar"));
}

TEST(BakConvert, AFailedWriteEndsWithTwoAndNoSummary) {
    TempDir t;
    std::string set = tree_set(t);
    RunResult limited = run_program("/bin/sh", {"-c", "ulimit -f 100 && exec \"$0\" \"$@\"", BAK_EXE,
                                                "convert", set, "out.tar"},
                                    "", t.path);
    EXPECT_EQ(limited.status, 2);
    EXPECT_TRUE(has(limited.err, "bak: out.tar: cannot be written: write error (no room, or a "
                                 "file-size limit); the archive is incomplete, do not use it\n"))
        << limited.err;
    EXPECT_FALSE(has(limited.err, "restored")) << limited.err;

    RunResult full = run_program("/bin/sh", {"-c", "exec \"$0\" \"$@\" >/dev/full", BAK_EXE,
                                             "convert", set, "-"},
                                 "", t.path);
    EXPECT_EQ(full.status, 2);
    // Behind "left out: out.tar", the image found beside the set.
    const std::string said = "bak: -: cannot be written: standard output cannot be written; the "
                             "archive is incomplete, do not use it\nbak: error writing standard "
                             "output\n";
    EXPECT_EQ(full.err.substr(full.err.size() - std::min(full.err.size(), said.size())), said);
    EXPECT_FALSE(has(full.err, "restored")) << full.err;
}

// ---- tables ----------------------------------------------------------------------------------

TEST(BakTables, JsonGivesEveryTableWithItsFieldsAndRecords) {
    TempDir t;
    std::string set = tree_set(t);
    RunResult r = run_bak(t.path, {"tables", set, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<nlohmann::json> tables;
    size_t at = 0;
    for (size_t nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
        tables.push_back(nlohmann::json::parse(r.out.substr(at, nl - at)));
    ASSERT_EQ(tables.size(), 7u);
    std::vector<std::string> names;
    for (const auto& j : tables) names.push_back(j["table"]);
    EXPECT_EQ(names, (std::vector<std::string>{"Disk", "Dir", "File", "Comp", "Job", "Path", "Session"}));
    const nlohmann::json& files = tables[2];
    EXPECT_EQ(files["dbfscan"], 4);
    EXPECT_EQ(files["fields"][0]["name"], "SERIAL");
    ASSERT_EQ(files["records"].size(), 6u);
    EXPECT_EQ(files["records"][1]["NAME"], "big.bin");
    EXPECT_EQ(files["records"][1]["SIZE_LO"], "300000");
    EXPECT_EQ(files["records"][1]["FDATE"], "20011224183000");
}

TEST(BakTables, CsvFilesQuoteAsRfc4180) {
    TempDir t;
    std::vector<imgw::SourceFile> files = {{"", "a,\"b\".txt", "x"}, {"", "plain.txt", "y"}};
    std::string set = tree_set(t, files);
    RunResult r = run_bak(t.path, {"tables", set, "--csv", "csv/out"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string csv = t.read("csv/out/File.csv");
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "SERIAL,DIR,NUM3,NUM4,ATTRIB,NUM6,SIZE_LO,FDATE,NAME");
    EXPECT_TRUE(has(csv, ",1,20000301000000,\"a,\"\"b\"\".txt\"\r\n")) << csv;
    EXPECT_TRUE(has(csv, ",1,20000301000000,plain.txt\r\n")) << csv;
    for (const char* name : {"Disk", "Dir", "Comp", "Job", "Path", "Session"})
        EXPECT_TRUE(t.exists(std::string("csv/out/") + name + ".csv")) << name;
}

TEST(BakTables, TableFilesOpenInDbfscanByNumber) {
    TempDir t;
    std::string set = tree_set(t);
    RunResult r = run_bak(t.path, {"tables", set, "--dbf", "dbf"});
    EXPECT_EQ(r.status, 0) << r.err;
    struct Want {
        const char* number;
        const char* field;   // a field of that table, as dbfscan lists it
        const char* record;  // a value of one of its records
    } wants[] = {{"1", "COMPSIZE", nullptr}, {"2", "NAME", "Sub"},       {"3", "LABEL", nullptr},
                 {"4", "SIZE_LO", "big.bin"}, {"5", "JOBNUM", "test job"}, {"6", "SESSFROM", nullptr},
                 {"7", "SERIAL", "Data"}};
    for (const Want& w : wants) {
        RunResult d = run_dbfscan(t.file("dbf"), {w.number, "-d"});
        EXPECT_FALSE(has(d.out, "open failed")) << w.number << d.out;
        EXPECT_FALSE(has(d.out, "warning")) << w.number << d.out;
        EXPECT_TRUE(has(d.out, std::string(" ") + w.field + " ")) << w.number << d.out;
        if (w.record) {
            EXPECT_TRUE(has(d.out, w.record)) << w.number << d.out;
        }
    }
}

TEST(BakTables, ALinkInTheDirectoryIsNotWrittenThrough) {
    TempDir t;
    std::string set = tree_set(t);
    t.mkdir("dbf");
    ASSERT_EQ(symlink("../victim", t.file("dbf/DVAFILE.DBF").c_str()), 0);
    RunResult r = run_bak(t.path, {"tables", set, "--dbf", "dbf"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "bak: dbf/DVAFILE.DBF: cannot be written\n")) << r.err;
    EXPECT_FALSE(t.exists("victim"));
}

}  // namespace
