// bak on sets from the image writer: the set found from any of its images,
// placement (missing, cut, padded and misplaced disks), the catalog's
// consistency, listing and patterns, test, extract (resumed, damaged,
// salvaged, existing files, links, duplicates, unplaced names, a full
// file-size limit), cat, and the runs that cannot start.
//
// Where disks are missing or cut, what must be lost is worked out from the
// set's own plan: a group is lost when its stream bytes touch the stretch no
// image holds; a file is reported when a group of it is lost, and salvaged
// (with zeros in its lost groups) when a group of it is not.
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tests/restore_sets.h"
#include "tests/support/format.h"
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

// The separator bak joins a directory and the names found in it with.
#ifdef _WIN32
const std::string SEP = "\\";
#else
const std::string SEP = "/";
#endif

struct Set {
    std::vector<imgw::SourceFile> files;
    imgw::BackupSet plan;
    std::vector<std::string> images;
};

// Lines of letters: text that deflate shrinks, with no "\r" (a Windows
// harness reads "\r\n" as "\n").
std::string lines(size_t n, uint32_t seed) {
    std::string s = noise(n, seed);
    for (size_t i = 0; i < n; i++) s[i] = i % 50 == 49 ? '\n' : (char)('a' + (unsigned char)s[i] % 26);
    return s;
}

// Files of incompressible bytes (or text) in groups of 4096, spread over
// `disks` disks of equal capacity.
Set make_set(const std::vector<size_t>& sizes, int disks, uint32_t set_id1 = 0x12345678u,
             bool compressed = true, bool text = false) {
    Set s;
    for (size_t i = 0; i < sizes.size(); i++) {
        imgw::SourceFile f;
        f.name = "f" + std::to_string(i + 1) + ".bin";
        f.content = text ? lines(sizes[i], 7u + (uint32_t)i) : noise(sizes[i], 7u + (uint32_t)i);
        s.files.push_back(f);
    }
    imgw::SetOptions opt;
    opt.group_size = 4096;
    opt.set_id1 = set_id1;
    opt.compressed = compressed;
    int64_t stream = (int64_t)imgw::plan_set(s.files, opt).stream.size();
    opt.disk_capacity = (stream + disks - 1) / disks;
    s.plan = imgw::plan_set(s.files, opt);
    s.images = imgw::layout_images(s.plan);
    EXPECT_EQ((int)s.images.size(), disks);
    return s;
}

// One disk of the given files and a tampered catalog.
std::string one_disk(imgw::BackupSet plan) {
    return imgw::layout_images(plan)[0];
}

int64_t capacity_of(const Set& s) { return s.plan.disk_data[0]; }

void write_set(const TempDir& t, const Set& s, const std::string& prefix = "d",
               const std::vector<int>& leave_out = {}) {
    for (size_t i = 0; i < s.images.size(); i++) {
        bool out = false;
        for (int l : leave_out) out = out || l == (int)i + 1;
        if (!out) t.write(prefix + std::to_string(i + 1) + ".img", s.images[i]);
    }
}

// The groups of file number `serial` (from 1).
std::vector<const imgw::Comp*> groups_of(const Set& s, int serial) {
    std::vector<const imgw::Comp*> out;
    for (const imgw::Comp& c : s.plan.tables.comp)
        if (c.ORGSER == serial) out.push_back(&c);
    return out;
}

// Flips a byte in the middle of a group.
void flip_in(Set* s, const imgw::Comp* g) {
    int64_t at = g->OFFS_LO + g->COMPSIZE / 2;
    int64_t cap = capacity_of(*s);
    s->images[(size_t)(at / cap)][(size_t)(512 + at % cap)] ^= 0x5A;
}

struct Expect {
    bool listed = false;   // not intact: a group touches the lost stretch
    bool created = false;  // some group of it is whole on an image
    std::string content;   // the salvaged bytes: lost groups as zeros
};

std::vector<Expect> expect_lost(const Set& s, int64_t lost_from, int64_t lost_to) {
    std::vector<Expect> out;
    for (size_t i = 0; i < s.files.size(); i++) {
        Expect e;
        e.content = s.files[i].content;
        size_t at = 0;
        for (const imgw::Comp* c : groups_of(s, (int)i + 1)) {
            bool lost = c->OFFS_LO < lost_to && c->OFFS_LO + c->COMPSIZE > lost_from;
            if (lost) {
                e.listed = true;
                e.content.replace(at, (size_t)c->ORGSIZE, (size_t)c->ORGSIZE, '\0');
            } else {
                e.created = true;
            }
            at += (size_t)c->ORGSIZE;
        }
        out.push_back(e);
    }
    return out;
}

// Checks the messages and the salvaged tree against the expectations.
void check_salvage(const RunResult& r, const TempDir& t, const Set& s,
                   const std::vector<Expect>& want) {
    EXPECT_EQ(r.status, 1) << r.err;
    std::map<std::string, std::string> tree = tree_of(t.file("out"));
    for (size_t i = 0; i < want.size(); i++) {
        const std::string& name = s.files[i].name;
        SCOPED_TRACE(name);
        EXPECT_EQ(has(r.err, ": C:\\" + name + ":"), want[i].listed) << r.err;
        auto it = tree.find("C_/" + name);
        ASSERT_EQ(it != tree.end(), want[i].created);
        if (want[i].created) {
            EXPECT_TRUE(it->second == want[i].content);
        }
    }
    for (const auto& e : tree) EXPECT_FALSE(has(e.first, ".bak-part~")) << e.first;
}

std::string disk_line(int k, const std::string& image, int64_t from, int64_t to,
                      const std::string& how) {
    return fmt("disk %d: %s: stream bytes %lld-%lld, %s", k, image.c_str(), (long long)from,
               (long long)to, how.c_str());
}

// ---- bakcheck's cases, as bak test and bak extract --salvage -----------------------------

TEST(BakTest, IntactSetHasNoFileLinesAndWritesNothing) {
    TempDir t;
    Set s = make_set({3000, 9000, 20000, 500}, 3);
    write_set(t, s);
    std::map<std::string, std::string> before = tree_of(t.path);
    RunResult r = run_bak(t.path, {"test", "d1.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    int64_t cap = capacity_of(s);
    int64_t stream = (int64_t)s.plan.stream.size();
    std::string how = "placed from the start, confirmed";
    EXPECT_EQ(r.out, disk_line(1, "d1.img", 0, cap - 1, how) + "\n" +
                         disk_line(2, "d2.img", cap, 2 * cap - 1, how) + "\n" +
                         disk_line(3, "d3.img", 2 * cap, stream - 1, how) + " (catalog)\n");
    EXPECT_EQ(r.err, "bak: all 4 files intact, 32500 bytes\n");
    EXPECT_EQ(tree_of(t.path), before);
}

TEST(BakTest, FlippedByteLosesExactlyItsGroup) {
    TempDir t;
    Set s = make_set({3000, 3 * 4096, 5000}, 3);
    std::vector<const imgw::Comp*> groups = groups_of(s, 2);
    ASSERT_EQ(groups.size(), 3u);
    flip_in(&s, groups[1]);
    write_set(t, s);

    RunResult r = run_bak(t.path, {"extract", "--salvage", "-C", "out", "d3.img"});
    EXPECT_TRUE(has(r.err, "bak: damaged, salvaged: C:\\f2.bin: group 2 of 3: ")) << r.err;
    EXPECT_TRUE(has(r.err, "; lost bytes 4096-8191\n")) << r.err;
    Expect intact1{false, true, s.files[0].content}, intact3{false, true, s.files[2].content};
    Expect damaged{true, true, s.files[1].content};
    damaged.content.replace(4096, 4096, 4096, '\0');
    check_salvage(r, t, s, {intact1, damaged, intact3});
    // A salvaged file with lost bytes keeps the run's time, not the catalog's.
    EXPECT_NE(mtime_of(t.file("out/C_/f2.bin")), restore_test::DATE_SECS);
    EXPECT_EQ(mtime_of(t.file("out/C_/f1.bin")), restore_test::DATE_SECS);
}

TEST(BakTest, MissingDiskCostsOnlyTheFilesOnIt) {
    TempDir t;
    Set s = make_set({9000, 9000, 2000, 2000, 9000, 9000, 9000, 9000}, 4);
    write_set(t, s, "d", {2});
    int64_t cap = capacity_of(s);
    std::vector<Expect> want = expect_lost(s, cap, 2 * cap);
    // The set has what the case is about: a file wholly on disk 2, one
    // across its edge, and files on disks 3 and 4 untouched.
    int whole = 0, part = 0;
    for (const Expect& e : want) {
        whole += e.listed && !e.created;
        part += e.listed && e.created;
    }
    ASSERT_TRUE(whole > 0 && part > 0 && !want[6].listed && !want[7].listed);

    RunResult r = run_bak(t.path, {"extract", "d4.img", "--salvage", "-C", "out"});
    EXPECT_TRUE(has(r.err, "on disk 2, missing")) << r.err;
    check_salvage(r, t, s, want);
    RunResult info = run_bak(t.path, {"info", "d1.img"});
    EXPECT_EQ(info.status, 1);
    EXPECT_TRUE(has(info.out, "\ndisk 2: missing\n")) << info.out;
    EXPECT_TRUE(has(info.out, "disks: 4: 3 found, 1 missing, 0 cut short\n")) << info.out;
}

TEST(BakTest, StoredSetLosesExactlyTheBytesOfTheMissingDisk) {
    TempDir t;
    std::vector<imgw::SourceFile> files(5);
    for (size_t i = 0; i < files.size(); i++) {
        files[i].name = "s" + std::to_string(i + 1) + ".bin";
        files[i].content = noise(i == 1 ? 1500 : 4000, 40u + (uint32_t)i);
    }
    imgw::SetOptions opt;
    opt.compressed = false;
    opt.disk_capacity = 6000;  // disk 2 holds stream bytes 6000-11999
    std::vector<std::string> images = imgw::layout_images(imgw::plan_set(files, opt));
    ASSERT_EQ(images.size(), 3u);
    t.write("d1.img", images[0]);
    t.write("d3.img", images[2]);

    RunResult r = run_bak(t.path, {"extract", "--salvage", "-C", "out", "d3.img"});
    EXPECT_EQ(r.status, 1);
    // s2 (4000-5499) and s5 (13500-17499) lie off disk 2; s3 (5500-9499)
    // loses its bytes from 500 on, s4 (9500-13499) its first 2500.
    std::string s3 = files[2].content, s4 = files[3].content;
    s3.replace(500, 3500, 3500, '\0');
    s4.replace(0, 2500, 2500, '\0');
    EXPECT_TRUE(has(r.err, "bak: damaged, salvaged: C:\\s3.bin: bytes 500-3999 on disk 2, "
                           "missing; lost bytes 500-3999\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "\nbak: damaged, salvaged: C:\\s4.bin: bytes 0-2499 on disk 2, "
                           "missing; lost bytes 0-2499\n"))
        << r.err;
    std::map<std::string, std::string> tree = tree_of(t.file("out"));
    EXPECT_TRUE(tree["C_/s1.bin"] == files[0].content);
    EXPECT_TRUE(tree["C_/s2.bin"] == files[1].content);
    EXPECT_TRUE(tree["C_/s3.bin"] == s3);
    EXPECT_TRUE(tree["C_/s4.bin"] == s4);
    EXPECT_TRUE(tree["C_/s5.bin"] == files[4].content);
}

TEST(BakTest, CutImageLosesItsTailAndTheNextDiskIsPlacedFromTheEnd) {
    TempDir t;
    Set s = make_set({9000, 9000, 9000, 9000, 9000, 9000}, 3);
    int64_t cap = capacity_of(s);
    s.images[1].resize((size_t)(512 + cap / 2));
    write_set(t, s);
    std::vector<Expect> want = expect_lost(s, cap + cap / 2, 2 * cap);
    EXPECT_FALSE(want.back().listed);

    RunResult r = run_bak(t.path, {"test", "--json", "d1.img"});
    EXPECT_EQ(r.status, 1);
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.out;
    EXPECT_EQ(j["format"], 1);
    EXPECT_EQ(j["disks"][1]["cut_short"], true);
    EXPECT_EQ(j["disks"][2]["placed_from"], "end");
    EXPECT_EQ(j["disks"][2]["stream_offset"], 2 * cap);
    std::map<std::string, bool> listed;
    for (const auto& f : j["files"]) listed[f["path"].get<std::string>()] = true;
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(listed.count("C:\\" + s.files[i].name) > 0, want[i].listed) << s.files[i].name;

    RunResult x = run_bak(t.path, {"extract", "--salvage", "-C", "out", "d3.img"});
    check_salvage(x, t, s, want);
}

TEST(BakTest, ImageBetweenTwoMissingDisksIsPlacedByTheDiskSize) {
    TempDir t;
    Set s = make_set({9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000}, 5);
    write_set(t, s, "d", {2, 4});
    int64_t cap = capacity_of(s);
    RunResult r = run_bak(t.path, {"test", "d5.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, disk_line(3, "d3.img", 2 * cap, 3 * cap - 1,
                                     "placed by the disks' common size, confirmed\n")))
        << r.out;
    // Only what touches disks 2 and 4 is lost: disk 3 is read.
    std::vector<Expect> on2 = expect_lost(s, cap, 2 * cap), on4 = expect_lost(s, 3 * cap, 4 * cap);
    for (size_t i = 0; i < s.files.size(); i++)
        EXPECT_EQ(has(r.out, ": C:\\" + s.files[i].name + ":"), on2[i].listed || on4[i].listed)
            << s.files[i].name << "\n"
            << r.out;
}

TEST(BakTest, ImageOfAnotherSetIsNamedAndLeftOut) {
    TempDir t;
    Set s = make_set({3000, 9000}, 2);
    Set other = make_set({100}, 2, 0x0BADF00Du);
    write_set(t, s);
    write_set(t, other, "other");
    t.write("notes.txt", "not an image");
    RunResult r = run_bak(t.path, {"test", "d2.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "bak: left out: notes.txt: not a backup image\n"
              "bak: left out: other1.img: another set\n"
              "bak: left out: other2.img: another set\n"
              "bak: all 2 files intact, 12000 bytes\n");
}

TEST(BakTest, UnsafeNamesGoUnderUnplacedInsideTheDirectory) {
    TempDir t;
    std::vector<imgw::SourceFile> files(4);
    files[0].name = "..\\evil";
    files[1].dir = "..";
    files[1].name = "inner.txt";
    files[2].dir = "Sub";
    files[2].name = "..";
    files[3].name = "ok.txt";
    for (imgw::SourceFile& f : files) f.content = "data of " + f.name;
    t.write("d1.img", one_disk(imgw::plan_set(files, imgw::SetOptions())));
    t.mkdir("root");

    RunResult r = run_bak(t.file("root"), {"extract", "-C", "out", "../d1.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "bak: C:\\..\\evil goes to _unplaced/1_.._evil: its name cannot be a "
                           "file name\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "bak: inner.txt goes to _unplaced/2_inner.txt: its directory path "
                           "cannot be built\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "bak: C:\\Sub\\.. goes to _unplaced/3_..: its name cannot be a file "
                           "name\n"))
        << r.err;
    std::map<std::string, std::string> want = {
        {"out/", ""},
        {"out/C_/", ""},
        {"out/C_/Sub/", ""},
        {"out/C_/ok.txt", "data of ok.txt"},
        {"out/_unplaced/", ""},
        {"out/_unplaced/1_.._evil", "data of ..\\evil"},
        {"out/_unplaced/2_inner.txt", "data of inner.txt"},
        {"out/_unplaced/3_..", "data of .."},
    };
    EXPECT_EQ(tree_of(t.file("root")), want);
}

TEST(BakTest, RunsThatCannotStartEndWithStatusTwo) {
    TempDir t;
    Set s = make_set({3000, 9000}, 2);
    write_set(t, s);
    t.mkdir("cut");
    t.write("cut/cut2.img", s.images[1].substr(0, restore_test::cat_offs_of(s.images[1]) + 6000));
    t.mkdir("first");
    t.write("first/d1.img", s.images[0]);
    struct Case {
        std::vector<std::string> args;
        std::string first_line;
    } cases[] = {
        {{}, "usage: bak COMMAND [options] SET [PATTERN...]\n"},
        {{"frobnicate", "d2.img"},
         "bak: frobnicate: no such command (info, list, test, extract, cat, tables, "
#ifdef _WIN32
         "mount)\n"},
#else
         "convert, mount)\n"},
#endif
        {{"test", "--frobnicate", "d2.img"}, "bak: The following argument was not expected: "
                                             "--frobnicate\n"},
        {{"test"}, "bak: which set? name an image of it, or its directory\n"},
        {{"test", "nothing.img"}, "bak: nothing.img: no such file or directory\n"},
        {{"test", "first/d1.img"},
         "bak: no image of the backup \"test backup\", job 1 holds its catalog (the set's last "
         "disk)\n"},
        {{"test", "cut/cut2.img"},
         "bak: the catalog of cut/cut2.img cannot be read: its tables are not where they belong\n"},
        {{"test", "d2.img", "--charset", "NO-SUCH-CODE-PAGE"},
         "bak: --charset NO-SUCH-CODE-PAGE: no such code page here\n"},
    };
    for (const Case& c : cases) {
        RunResult r = run_bak(t.path, c.args);
        EXPECT_EQ(r.status, 2) << c.first_line;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.first_line);
        EXPECT_EQ(r.out, "");
    }
}

// ---- the set found ---------------------------------------------------------------------

TEST(BakSet, FoundFromAnyImageItsDirectoryOrImagesElsewhere) {
    TempDir t;
    Set s = make_set({3000, 9000, 20000}, 3);
    t.mkdir("set");
    t.mkdir("elsewhere");
    for (int k = 1; k <= 3; k++)
        t.write((k == 1 ? "elsewhere/d" : "set/d") + std::to_string(k) + ".img", s.images[(size_t)k - 1]);
    const std::string all = "bak: all 3 files intact, 32000 bytes\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"test", "set/d2.img", "--image", "elsewhere/d1.img"},
          {"test", "--image=elsewhere/d1.img", "set"}, {"test", "set/d3.img", "--image",
                                                         "elsewhere/d1.img", "-q"}}) {
        RunResult r = run_bak(t.path, args);
        EXPECT_EQ(r.status, 0) << args[1];
        EXPECT_EQ(r.err, all) << args[1];
    }
    // Without it, disk 1 is missing and so are the files on it.
    RunResult r = run_bak(t.path, {"test", "-q", "set"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(has(r.err, " missing; ")) << r.err;
}

TEST(BakSet, ADirectoryWithTwoSetsIsRefusedWithTheSetsNamed) {
    TempDir t;
    write_set(t, make_set({3000, 9000}, 2), "a");
    write_set(t, make_set({100}, 1, 0x0BADF00Du), "b");
    RunResult r = run_bak(t.path, {"list", "."});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "bak: . holds 2 backup sets; name an image of the one you mean:\n"
              "bak:   \"test backup\", job 1: 2 images, catalog in ." + SEP + "a2.img\n"
              "bak:   \"test backup\", job 1: 1 image, catalog in ." + SEP + "b1.img\n");
    // Named by one of its images, each is found.
    EXPECT_EQ(run_bak(t.path, {"list", "b1.img"}).out, "C:\\f1.bin\n");
}

// ---- placement ---------------------------------------------------------------------------

TEST(BakPlacement, ADiskWithTrailingBytesLeavesItsNeighboursWhole) {
    TempDir t;
    Set s = make_set({9000, 9000, 9000, 9000, 9000, 9000}, 4);
    s.images[1] += std::string(512, '\x55');  // a copy padded to its medium
    write_set(t, s);
    RunResult r = run_bak(t.path, {"info", "d1.img"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "disks: 4: 4 found, 0 missing, 0 cut short\n")) << r.out;
    EXPECT_TRUE(has(r.out, ", 512 bytes beyond the disk size not read\n")) << r.out;
    EXPECT_FALSE(has(r.out, ", cut short")) << r.out;
    RunResult x = run_bak(t.path, {"extract", "d4.img", "-C", "out"});
    EXPECT_EQ(x.status, 0) << x.err;
    for (const imgw::SourceFile& f : s.files) EXPECT_TRUE(t.read("out/C_/" + f.name) == f.content);
}

TEST(BakPlacement, ADiskWhosePlaceDoesNotCheckOutIsNotRead) {
    TempDir t;
    Set s = make_set({9000, 9000, 9000, 9000, 9000, 9000}, 3);
    // Disk 2's header on disk 1's data: its place holds no group of its own.
    s.images[1] = s.images[1].substr(0, 512) + s.images[0].substr(512);
    write_set(t, s);
    RunResult r = run_bak(t.path, {"test", "d1.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "disk 2: d2.img: stream bytes")) << r.out;
    EXPECT_TRUE(has(r.out, "not confirmed: no group there checks out, so it is not read\n"))
        << r.out;
    int64_t cap = capacity_of(s);
    std::vector<Expect> want = expect_lost(s, cap, 2 * cap);
    for (size_t i = 0; i < s.files.size(); i++)
        EXPECT_EQ(has(r.out, ": C:\\" + s.files[i].name + ":"), want[i].listed) << r.out;
    EXPECT_TRUE(has(r.out, "on disk 2, whose place is not confirmed")) << r.out;
}

// ---- the catalog's consistency -------------------------------------------------------------

// Runs bak test on a one-disk image and checks that the catalog is called
// inconsistent (with `why`) and the set never intact.
void expect_inconsistent(const std::string& image, const std::string& why) {
    TempDir t;
    t.write("d1.img", image);
    RunResult r = run_bak(t.path, {"test", "d1.img"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.out, "inconsistent: " + why + "\n")) << r.out;
    EXPECT_FALSE(has(r.err, "intact")) << r.err;
    EXPECT_TRUE(has(r.err, "bak: the catalog is inconsistent")) << r.err;
    RunResult l = run_bak(t.path, {"list", "d1.img"});
    EXPECT_EQ(l.status, 1);
    EXPECT_TRUE(has(l.err, "bak: inconsistent: " + why + "\n")) << l.err;
}

std::vector<imgw::SourceFile> small_tree(int n) {
    std::vector<imgw::SourceFile> files;
    for (int i = 1; i <= n; i++)
        files.push_back({"", "f" + std::to_string(i) + ".txt", noise(100u * (uint32_t)i, (uint32_t)i)});
    return files;
}

TEST(BakCatalog, ACountRecordThatHidesFiles) {
    imgw::BackupSet plan = imgw::plan_set(small_tree(8), imgw::SetOptions());
    std::array<imgw::Region, 7> regions = imgw::make_regions(plan.tables);
    // Four files announced, eight there.
    regions[2].records[0] = imgw::count_record(regions[2], 5);
    expect_inconsistent(imgw::layout_images(plan, regions)[0],
                        "the Files table's count record announces 4 records, the table holds 8");
}

TEST(BakCatalog, TheJobsCompressedFlagAgainstTheGroups) {
    imgw::BackupSet plan = imgw::plan_set(small_tree(3), imgw::SetOptions());
    plan.tables.job.compressed = 0;
    expect_inconsistent(one_disk(plan),
                        "the Job says the data is stored, but the Comp table holds 3 groups");
}

TEST(BakCatalog, ACompressedFileWithoutGroups) {
    imgw::BackupSet plan = imgw::plan_set(small_tree(3), imgw::SetOptions());
    plan.tables.comp.pop_back();
    expect_inconsistent(one_disk(plan), "1 file of the compressed set has no data groups");
}

TEST(BakCatalog, TheStreamTheCatalogImpliesAgainstTheImage) {
    imgw::BackupSet plan = imgw::plan_set(small_tree(3), imgw::SetOptions());
    imgw::Header h = plan.header;
    std::string image = imgw::make_image(h, plan.stream + std::string(700, 'x'),
                                         imgw::encode_catalog(imgw::make_regions(plan.tables)));
    unsigned long long stream = plan.stream.size();
    expect_inconsistent(image, fmt("the catalog's files take %llu bytes of data, the images hold %llu",
                                   stream, stream + 700));
}

TEST(BakCatalog, AStoredSetWithAChangedByteIsPresentNeverIntact) {
    TempDir t;
    Set s = make_set({3000, 5000}, 1, 0x12345678u, false);
    s.images[0][512 + 4000] ^= 1;
    write_set(t, s);
    RunResult r = run_bak(t.path, {"test", "d1.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "bak: all 2 files present, 8000 bytes: 0 intact, 2 present (a stored file "
                     "has no checksum)\n");
}

// ---- list and patterns -------------------------------------------------------------------------

std::string listing_set(const TempDir& t) {
    std::vector<imgw::SourceFile> files = {
        {"Data\\Letters", "letter1.txt", "one"},
        {"Data\\Letters", "Letter2.TXT", "two"},
        {"Data\\Reports", "figures.csv", "1,2,3"},
        {"Tools", "blob.bin", noise(5000, 3)},
        {"", "bell\x07.txt", "ring"},
        {"", "caf\xe9.txt", "latin-1"},
    };
    files[3].attrib = 0x124;
    files[3].date = "19991231235959";
    t.write("d1.img", one_disk(imgw::plan_set(files, imgw::SetOptions(), {"Empty"})));
    return "d1.img";
}

TEST(BakList, PatternsChooseAndNameWhatMatchedNothing) {
    TempDir t;
    std::string set = listing_set(t);
    struct Case {
        std::vector<std::string> patterns;
        std::string out;
    } cases[] = {
        {{"*.txt"}, "C:\\Data\\Letters\\letter1.txt\nC:\\Data\\Letters\\Letter2.TXT\n"
                    "C:\\bell\\x07.txt\nC:\\caf\\xe9.txt\n"},
        {{"c:/data"}, "C:\\Data\\Letters\\letter1.txt\nC:\\Data\\Letters\\Letter2.TXT\n"
                      "C:\\Data\\Reports\\figures.csv\n"},
        {{"**/reports/*", "--exclude", "*.csv"}, ""},
        {{"Data", "--exclude", "letters"}, "C:\\Data\\Reports\\figures.csv\n"},
        {{"C:\\Tools\\blob.bin", "--", "-l"}, "C:\\Tools\\blob.bin\n"},
        {{"Empty"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"list", set};
        args.insert(args.end(), c.patterns.begin(), c.patterns.end());
        RunResult r = run_bak(t.path, args);
        EXPECT_EQ(r.out, c.out) << c.patterns[0];
        bool named = has(r.err, "bak: -l: no file of the set matches\n");
        EXPECT_EQ(r.status, named ? 1 : 0) << c.patterns[0] << r.err;
    }
    RunResult r = run_bak(t.path, {"list", set, "*.doc", "Tools", "nothing\\"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "C:\\Tools\\blob.bin\n");
    EXPECT_EQ(r.err, "bak: *.doc: no file of the set matches\nbak: nothing\\: no file of the set "
                     "matches\n");
}

TEST(BakList, LongJsonAndNulForms) {
    TempDir t;
    std::string set = listing_set(t);
    RunResult l = run_bak(t.path, {"-l", "list", set, "Tools"});
    EXPECT_EQ(l.status, 2);  // options follow the command
    l = run_bak(t.path, {"list", "-l", set, "Tools", "C:\\Data\\Reports"});
    EXPECT_EQ(l.out,
              "-            5 2000-03-01T00:00:00 C:\\Data\\Reports\\figures.csv\n"
              "r         5000 1999-12-31T23:59:59 C:\\Tools\\blob.bin\n"
              "2 files, 5005 bytes\n");

    RunResult j = run_bak(t.path, {"list", "--json", set});
    EXPECT_EQ(j.status, 0);
    std::vector<nlohmann::json> objects;
    size_t at = 0;
    while (at < j.out.size()) {
        size_t end = j.out.find('\n', at);
        objects.push_back(nlohmann::json::parse(j.out.substr(at, end - at)));
        at = end + 1;
    }
    ASSERT_EQ(objects.size(), 6u);
    EXPECT_EQ(objects[3]["path"], "C:\\Tools\\blob.bin");
    EXPECT_EQ(objects[3]["size"], 5000);
    EXPECT_EQ(objects[3]["date"], "1999-12-31T23:59:59");
    EXPECT_EQ(objects[3]["read_only"], true);
    EXPECT_EQ(objects[4]["path"], "C:\\bell\x07.txt");  // exact, in JSON's own escape
    EXPECT_EQ(objects[5]["path"], "C:\\caf\xef\xbf\xbd.txt");
    EXPECT_EQ(objects[5]["path_hex"], "433a5c636166e92e747874");

    RunResult z = run_bak(t.path, {"list", "-0", set, "*.txt"});
    static const char nul_ended[] =
        "C:\\Data\\Letters\\letter1.txt\0C:\\Data\\Letters\\Letter2.TXT\0C:\\bell\x07.txt\0"
        "C:\\caf\xe9.txt";
    EXPECT_EQ(z.out, std::string(nul_ended, sizeof nul_ended));
    RunResult cs = run_bak(t.path, {"list", "--charset", "CP1252", set, "caf*"});
    EXPECT_EQ(cs.out, "C:\\caf\xc3\xa9.txt\n");
}

// ---- extract ----------------------------------------------------------------------------------

TEST(BakExtract, ASecondRunFindsEverythingAlreadyPresent) {
    TempDir t;
    Set s = make_set({3000, 9000, 20000, 0}, 3);
    s.files[1].attrib = 0x124;
    s.plan.tables.files[1].attrib = 0x124;
    s.images = imgw::layout_images(s.plan);
    write_set(t, s);
    RunResult first = run_bak(t.path, {"extract", "d1.img", "-C", "out"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(has(first.err, "bak: 4 restored, 0 already present, 0 damaged, 0 missing, 0 "
                               "skipped; 32000 bytes in "))
        << first.err;
    std::map<std::string, std::string> tree = tree_of(t.file("out"));
    EXPECT_EQ(tree.size(), 5u);
    std::map<std::string, int64_t> times;
    for (const imgw::SourceFile& f : s.files) {
        EXPECT_TRUE(tree["C_/" + f.name] == f.content) << f.name;
        times[f.name] = mtime_of(t.file("out/C_/" + f.name));
        EXPECT_EQ(times[f.name], restore_test::DATE_SECS);
    }
#ifndef _WIN32
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(mode_of(t.file("out/C_/f1.bin")), 0666u & ~mask);
    EXPECT_EQ(mode_of(t.file("out/C_/f2.bin")), 0444u & ~mask);
    EXPECT_EQ(mode_of(t.file("out/C_")), 0777u & ~mask);
#endif

    RunResult again = run_bak(t.path, {"extract", "d1.img", "-C", "out"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(has(again.err, "bak: 0 restored, 4 already present, 0 damaged, 0 missing, 0 "
                               "skipped; 0 bytes in "))
        << again.err;
    EXPECT_EQ(tree_of(t.file("out")), tree);
    for (const imgw::SourceFile& f : s.files)
        EXPECT_EQ(mtime_of(t.file("out/C_/" + f.name)), times[f.name]);
}

TEST(BakExtract, ADamagedFileNeverStandsUnderItsRealName) {
    TempDir t;
    Set s = make_set({9000, 9000}, 1);
    flip_in(&s, groups_of(s, 2)[0]);
    write_set(t, s);
    t.mkdir("out");
    t.mkdir("out/C_");
    // What an interrupted run left.
    t.write("out/C_/f1.bin.bak-part~", "half a file");
    RunResult r = run_bak(t.path, {"extract", "d1.img", "-C", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "bak: damaged, not written: C:\\f2.bin: group 1 of 3: ")) << r.err;
    std::map<std::string, std::string> want = {{"C_/", ""}, {"C_/f1.bin", s.files[0].content}};
    EXPECT_EQ(tree_of(t.file("out")), want);
}

TEST(BakExtract, SalvageKeepsWhatInflatesRightAndBoundsTheZeros) {
    TempDir t;
    std::vector<imgw::SourceFile> files = {{"", "short.bin", noise(4464, 1)},
                                           {"", "hostile.bin", noise(70000, 2)},
                                           {"", "after.bin", noise(2000, 3)}};
    imgw::BackupSet plan = imgw::plan_set(files, imgw::SetOptions());
    // An ORGSIZE off by a digit, where the group inflates right all the same.
    plan.tables.comp[0].ORGSIZE = 100000;
    // A damaged group that claims 2,000,000,000 bytes, of a file that claims
    // as much, and a good group behind it.
    ASSERT_EQ(plan.tables.comp[2].ORGSER, 2);
    plan.tables.comp[1].ORGSIZE = 2000000000;
    plan.tables.files[1].size_lo = 2000000000;
    std::string image = one_disk(plan);
    image[512 + (size_t)plan.tables.comp[1].OFFS_LO + 10] ^= 0x33;
    t.write("d1.img", image);

    RunResult r = run_bak(t.path, {"extract", "--salvage", "d1.img", "-C", "out", "--report",
                                   "lost.json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "bak: inconsistent: C:\\short.bin: group 1 of 1: inflates to 4464 bytes "
                           "with the right checksum, the catalog says 100000\n"))
        << r.err;
    EXPECT_TRUE(t.read("out/C_/short.bin") == files[0].content);
    EXPECT_EQ(mtime_of(t.file("out/C_/short.bin")), restore_test::DATE_SECS);
    const size_t MiB16 = 16u * 1024 * 1024;
    std::string salvaged = t.read("out/C_/hostile.bin");
    ASSERT_EQ(salvaged.size(), MiB16 + 70000 - 65536);
    EXPECT_EQ(salvaged.find_first_not_of('\0'), MiB16);
    EXPECT_TRUE(salvaged.substr(MiB16) == files[1].content.substr(65536));
    EXPECT_TRUE(t.read("out/C_/after.bin") == files[2].content);

    nlohmann::json report = nlohmann::json::parse(t.read("lost.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded());
    ASSERT_EQ(report["files"].size(), 1u);
    EXPECT_EQ(report["files"][0]["path"], "C:\\hostile.bin");
    EXPECT_EQ(report["files"][0]["written"], true);
    EXPECT_EQ(report["files"][0]["lost"][0]["offset"], 0);
    EXPECT_EQ(report["files"][0]["lost"][0]["length"], MiB16);
    EXPECT_EQ(report["files"][0]["lost"][1]["offset"], MiB16 + 70000 - 65536);
    EXPECT_FALSE(t.exists("out/lost.json"));
}

TEST(BakExtract, TheReportIsNeverWrittenOverByARestoredFile) {
    TempDir t;
    std::vector<imgw::SourceFile> files = {{"", "report.txt", "restored text"},
                                           {"", "b.txt", "bee"}};
    imgw::BackupSet plan = imgw::plan_set(files, imgw::SetOptions());
    t.write("d1.img", one_disk(plan));
    t.mkdir("out");
    t.mkdir("out/C_");
    RunResult r = run_bak(t.path, {"extract", "d1.img", "-C", "out", "--report",
                                   "out/C_/report.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "bak: not written: C:\\report.txt: C_/report.txt cannot be written"))
        << r.err;
    EXPECT_EQ(t.read("out/C_/report.txt"), "backup \"test backup\", job 1: what was lost\nnothing\n");
    EXPECT_EQ(t.read("out/C_/b.txt"), "bee");
}

TEST(BakExtract, ExistingFilesAreLeftAloneUnlessOverwritten) {
    TempDir t;
    Set s = make_set({3000, 4000}, 1);
    write_set(t, s);
    t.mkdir("out");
    t.mkdir("out/C_");
    t.write("out/C_/f1.bin", "older");
#ifndef _WIN32
    chmod(t.file("out/C_/f1.bin").c_str(), 0444);
#endif
    RunResult keep = run_bak(t.path, {"extract", "d1.img", "-C", "out"});
    EXPECT_EQ(keep.status, 1);
    EXPECT_TRUE(has(keep.err, "bak: exists, left alone: C_/f1.bin\n")) << keep.err;
    EXPECT_TRUE(has(keep.err, "bak: 1 restored, 0 already present, 0 damaged, 0 missing, 1 skipped"))
        << keep.err;
    EXPECT_EQ(t.read("out/C_/f1.bin"), "older");

    RunResult over = run_bak(t.path, {"extract", "--overwrite", "d1.img", "-C", "out"});
    EXPECT_EQ(over.status, 0) << over.err;
    EXPECT_TRUE(t.read("out/C_/f1.bin") == s.files[0].content);
    EXPECT_TRUE(t.read("out/C_/f2.bin") == s.files[1].content);
}

TEST(BakExtract, AnImageOfTheSetIsNeverWrittenOverEvenWithOverwrite) {
    TempDir t;
    std::vector<imgw::SourceFile> files = {{"", "one.img", "not the image"}, {"", "b.txt", "bee"}};
    std::string image = one_disk(imgw::plan_set(files, imgw::SetOptions()));
    t.mkdir("out");
    t.mkdir("out/C_");
    t.write("out/C_/one.img", image);
    RunResult r = run_bak(t.path, {"extract", "--overwrite", "out/C_/one.img", "-C", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "bak: not written: C:\\one.img: C_/one.img cannot be written")) << r.err;
    EXPECT_TRUE(t.read("out/C_/one.img") == image);
    EXPECT_EQ(t.read("out/C_/b.txt"), "bee");
}

TEST(BakExtract, DuplicateNamesAreNumbered) {
    TempDir t;
    std::vector<imgw::SourceFile> files = {{"Data", "a:b.txt", "first"},
                                           {"Data", "a_b.txt", "second"},
                                           {"Data", "A_B.TXT", "third"}};
    t.write("d1.img", one_disk(imgw::plan_set(files, imgw::SetOptions())));
    RunResult r = run_bak(t.path, {"extract", "d1.img", "-C", "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "bak: C:\\Data\\a_b.txt goes to C_/Data/a_b~2.txt: an earlier file of "
                           "the set has its name\n"))
        << r.err;
    // Letter case makes another name where the system tells case apart.
#ifdef _WIN32
    const char* third = "C_/Data/A_B~3.TXT";
#else
    const char* third = "C_/Data/A_B.TXT";
#endif
    std::map<std::string, std::string> want = {{"C_/", ""},
                                               {"C_/Data/", ""},
                                               {"C_/Data/a_b.txt", "first"},
                                               {"C_/Data/a_b~2.txt", "second"},
                                               {third, "third"}};
    EXPECT_EQ(tree_of(t.file("out")), want);
    // Run again, every file is found where the first run put it.
    RunResult again = run_bak(t.path, {"extract", "d1.img", "-C", "out"});
    EXPECT_TRUE(has(again.err, "bak: 0 restored, 3 already present")) << again.err;
    // A directory to restore into is made with the ones above it.
    RunResult deep = run_bak(t.path, {"extract", "d1.img", "-C", "new/deeper/out"});
    EXPECT_EQ(deep.status, 0) << deep.err;
    EXPECT_EQ(t.read("new/deeper/out/C_/Data/a_b.txt"), "first");
}

#ifndef _WIN32
TEST(BakExtract, LinksAndSpecialFilesBelowTheDirectoryAreNotFollowed) {
    TempDir t;
    Set s = make_set({3000, 4000, 5000}, 1);
    write_set(t, s);
    t.mkdir("outside");
    t.write("outside/target", "keep me");
    t.mkdir("out");
    t.mkdir("out/C_");
    ASSERT_EQ(symlink(t.file("outside/target").c_str(), t.file("out/C_/f1.bin").c_str()), 0);
    ASSERT_EQ(mkfifo(t.file("out/C_/f2.bin").c_str(), 0644), 0);
    RunResult r = run_bak(t.path, {"extract", "--overwrite", "d1.img", "-C", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "bak: not written: C:\\f1.bin: C_/f1.bin cannot be written")) << r.err;
    EXPECT_TRUE(has(r.err, "bak: not written: C:\\f2.bin: C_/f2.bin cannot be written")) << r.err;
    EXPECT_EQ(t.read("outside/target"), "keep me");
    EXPECT_TRUE(t.read("out/C_/f3.bin") == s.files[2].content);

    // A link in the place of the drive's directory leads nowhere either.
    TempDir u;
    write_set(u, s);
    u.mkdir("out");
    u.mkdir("elsewhere");
    ASSERT_EQ(symlink(u.file("elsewhere").c_str(), u.file("out/C_").c_str()), 0);
    RunResult l = run_bak(u.path, {"extract", "d1.img", "-C", "out"});
    EXPECT_EQ(l.status, 1);
    EXPECT_EQ(tree_of(u.file("elsewhere")).size(), 0u);
}

TEST(BakExtract, AFileSizeLimitLeavesNoPartFileBehind) {
    TempDir t;
    Set s = make_set({2000, 400000, 3000}, 1);
    write_set(t, s);
    t.mkdir("out");
    // 100 blocks: 51,200 bytes in dash's, 102,400 in bash's.
    RunResult r = run_program("/bin/sh", {"-c", "ulimit -f 100 && exec \"$0\" \"$@\"", BAK_EXE,
                                          "extract", "../d1.img"},
                              "", t.file("out"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "bak: not written: C:\\f2.bin: write error\n")) << r.err;
    std::map<std::string, std::string> want = {
        {"C_/", ""}, {"C_/f1.bin", s.files[0].content}, {"C_/f3.bin", s.files[2].content}};
    EXPECT_EQ(tree_of(t.file("out")), want);
    // Without the limit, the same command finishes the job.
    RunResult again = run_bak(t.file("out"), {"extract", "../d1.img"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(has(again.err, "bak: 1 restored, 2 already present")) << again.err;
    EXPECT_TRUE(t.read("out/C_/f2.bin") == s.files[1].content);
}

TEST(BakSet, ASetOfMoreDisksThanOpenFilesAllowedIsRead) {
    TempDir t;
    std::vector<size_t> sizes(20, 6000);
    Set s = make_set(sizes, 40);
    write_set(t, s);
    RunResult r = run_program("/bin/sh", {"-c", "ulimit -n 20 && exec \"$0\" \"$@\"", BAK_EXE,
                                          "extract", "d7.img", "-C", "out"},
                              "", t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const imgw::SourceFile& f : s.files) EXPECT_TRUE(t.read("out/C_/" + f.name) == f.content);
}

TEST(BakStatus, AFailedWriteToStandardOutputEndsWithTwo) {
    TempDir t;
    write_set(t, make_set({3000}, 1));
    RunResult r = run_program("/bin/sh", {"-c", "exec \"$0\" \"$@\" >/dev/full", BAK_EXE, "list",
                                          "d1.img"},
                              "", t.path);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bak: error writing standard output\n");
}
#endif

// ---- cat ------------------------------------------------------------------------------------------

TEST(BakCat, PrintsOneFileCheckedAndStopsBeforeABadGroup) {
    TempDir t;
    Set s = make_set({3000, 3 * 4096 + 100}, 2, 0x12345678u, true, true);
    flip_in(&s, groups_of(s, 2)[2]);
    write_set(t, s);
    RunResult good = run_bak(t.path, {"cat", "d1.img", "c:/F1.BIN"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_TRUE(good.out == s.files[0].content);
    EXPECT_EQ(good.err, "");

    RunResult bad = run_bak(t.path, {"cat", "d1.img", "C:\\f2.bin"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.out == s.files[1].content.substr(0, 2 * 4096));
    EXPECT_TRUE(has(bad.err, "bak: C:\\f2.bin: damaged: group 3 of 4: ")) << bad.err;

    RunResult none = run_bak(t.path, {"cat", "d1.img", "C:\\f3.bin"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "bak: C:\\f3.bin: no such file in the set\n");
}

// ---- threads: -j N gives what -j 1 gives ------------------------------------------------------

// What a run gives, the time in its summary left out, and the tree it made.
struct Outcome {
    int status;
    std::string out, err;
    std::map<std::string, std::string> tree;
    bool operator==(const Outcome& o) const {
        return status == o.status && out == o.out && err == o.err && tree == o.tree;
    }
};

Outcome run_with_jobs(const TempDir& t, std::vector<std::string> args, const std::string& jobs,
                      const std::string& out_dir = "") {
    args.push_back("-j");
    args.push_back(jobs);
    if (!out_dir.empty()) {
        args.push_back("-C");
        args.push_back(out_dir);
    }
    RunResult r = run_bak(t.path, args);
    Outcome o{r.status, r.out, r.err, {}};
    size_t at = o.err.find(" bytes in ");
    if (at != std::string::npos) o.err.erase(at, o.err.find(" s\n", at) - at);
    if (!out_dir.empty()) o.tree = tree_of(t.file(out_dir));
    return o;
}

// test, extract --salvage and cat of every file on more threads against -j 1.
void expect_same_on_threads(const TempDir& t, const Set& s, const std::string& image,
                            const std::vector<const char*>& more = {"2", "3", "8"}) {
    int n = 0;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"test", image}, {"extract", "--salvage", image}}) {
        bool extract = args[0] == "extract";
        Outcome one = run_with_jobs(t, args, "1", extract ? "o" + std::to_string(n++) : "");
        for (const char* jobs : more) {
            SCOPED_TRACE(args[0] + " -j " + jobs);
            Outcome more = run_with_jobs(t, args, jobs, extract ? "o" + std::to_string(n++) : "");
            EXPECT_TRUE(more == one) << one.err << "\n--- against ---\n" << more.err;
        }
    }
    for (const imgw::SourceFile& f : s.files) {
        Outcome one = run_with_jobs(t, {"cat", image, "C:\\" + f.name}, "1");
        EXPECT_TRUE(run_with_jobs(t, {"cat", image, "C:\\" + f.name}, "4") == one) << f.name;
    }
}

TEST(BakParallel, DamageAndAMissingDiskGiveWhatOneThreadGives) {
    TempDir t;
    Set s = make_set({3000, 9000, 200000, 0, 50000, 123457, 40000}, 4);
    // A group of file 5 recorded as shorter than it inflates to: good data,
    // the catalog wrong.
    for (imgw::Comp& c : s.plan.tables.comp)
        if (c.ORGSER == 5) {
            c.ORGSIZE -= 1000;
            break;
        }
    s.images = imgw::layout_images(s.plan);
    flip_in(&s, groups_of(s, 3)[5]);
    flip_in(&s, groups_of(s, 6)[1]);
    write_set(t, s, "d", {2});
    expect_same_on_threads(t, s, "d1.img");
}

TEST(BakParallel, AStoredSetWithAMissingDiskGivesWhatOneThreadGives) {
    TempDir t;
    Set s = make_set({3000, 300000, 600000, 10}, 3, 0x12345678u, false);
    write_set(t, s, "d", {2});
    expect_same_on_threads(t, s, "d1.img");
}

TEST(BakParallel, GroupsLargerThanSixteenMebibytesGoOneAtATime) {
    TempDir t;
    Set s;
    // Incompressible: groups of more than 16 MiB in the stream; and text,
    // whose group inflates beyond what is kept, so it is inflated twice.
    const size_t size = (16 << 20) + 4096;
    s.files = {{"", "big.bin", noise(size, 1)}, {"", "small.bin", noise(5000, 2)},
               {"", "big2.bin", noise(size, 3)}, {"", "text.bin", lines(size, 4)}};
    imgw::SetOptions opt;
    opt.group_size = (int32_t)size;
    s.plan = imgw::plan_set(s.files, opt);
    s.images = imgw::layout_images(s.plan);
    flip_in(&s, groups_of(s, 3)[0]);
    write_set(t, s);
    expect_same_on_threads(t, s, "d1.img", {"4"});
    Outcome o = run_with_jobs(t, {"extract", "d1.img"}, "4", "big");
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_TRUE(o.tree["C_/big.bin"] == s.files[0].content);
    EXPECT_TRUE(o.tree.count("C_/big2.bin") == 0);
    EXPECT_TRUE(o.tree["C_/text.bin"] == s.files[3].content);
}

TEST(BakParallel, AGroupInflatingFarBeyondItsRecordedSizeGivesWhatOneThreadGives) {
    // A worker keeps no more than a group's ORGSIZE (and 64 KiB): this one
    // makes twice that, and is judged again by the writer.
    TempDir t;
    Set s;
    s.files = {{"", "long.bin", lines(300000, 5)}, {"", "after.bin", noise(9000, 6)}};
    imgw::SetOptions opt;
    opt.group_size = 200000;
    s.plan = imgw::plan_set(s.files, opt);
    s.plan.tables.comp[0].ORGSIZE = 100000;
    s.images = imgw::layout_images(s.plan);
    write_set(t, s);
    expect_same_on_threads(t, s, "d1.img", {"2", "4"});
    // Its data is good, and comes out whole: the output kept while it
    // inflated survives the buffer's growth.
    for (const char* jobs : {"1", "4"}) {
        Outcome o = run_with_jobs(t, {"extract", "d1.img"}, jobs, std::string("whole") + jobs);
        EXPECT_TRUE(o.tree["C_/long.bin"] == s.files[0].content) << jobs;
    }
}

TEST(BakParallel, AResumedRunGivesWhatOneThreadGives) {
    TempDir t;
    std::vector<size_t> sizes(30, 20000);
    Set s = make_set(sizes, 2);
    write_set(t, s);
    for (const char* dir : {"one", "four"}) {
        t.mkdir(dir);
        t.mkdir(std::string(dir) + "/C_");
        // Half of them there already (not as recorded: left alone).
        for (size_t i = 0; i < s.files.size(); i += 2)
            t.write(std::string(dir) + "/C_/" + s.files[i].name, s.files[i].content);
    }
    Outcome one = run_with_jobs(t, {"extract", "d1.img"}, "1", "one");
    Outcome four = run_with_jobs(t, {"extract", "d1.img"}, "4", "four");
    EXPECT_TRUE(four == one) << one.err << "\n--- against ---\n" << four.err;
    EXPECT_TRUE(has(one.err, "bak: 15 restored, 0 already present, 0 damaged, 0 missing, 15 skipped"))
        << one.err;
}

}  // namespace
