// bakcheck on sets from the image writer: an intact set, a damaged group, a
// missing disk, an image cut short, images between two missing disks, an
// image of another set, unsafe names, and the runs that cannot start.
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

#include "tests/restore_sets.h"
#include "tests/support/format.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

using restore_test::noise;

RunResult run_bakcheck(const std::string& cwd, const std::vector<std::string>& args) {
    return run_program(BAKCHECK_EXE, args, "", cwd);
}

struct Set {
    std::vector<imgw::SourceFile> files;
    imgw::BackupSet plan;
    std::vector<std::string> images;
};

// Files of incompressible bytes in groups of 4096, spread over `disks`
// disks of equal capacity.
Set make_set(const std::vector<size_t>& sizes, int disks, uint32_t set_id1 = 0x12345678u) {
    Set s;
    for (size_t i = 0; i < sizes.size(); i++) {
        imgw::SourceFile f;
        f.name = "f" + std::to_string(i + 1) + ".bin";
        f.content = noise(sizes[i], 7u + (uint32_t)i);
        s.files.push_back(f);
    }
    imgw::SetOptions opt;
    opt.group_size = 4096;
    opt.set_id1 = set_id1;
    int64_t stream = (int64_t)imgw::plan_set(s.files, opt).stream.size();
    opt.disk_capacity = (stream + disks - 1) / disks;
    s.plan = imgw::plan_set(s.files, opt);
    s.images = imgw::layout_images(s.plan);
    EXPECT_EQ((int)s.images.size(), disks);
    return s;
}

int64_t capacity_of(const Set& s) { return s.plan.disk_data[0]; }

void write_set(const TempDir& t, const Set& s, const std::string& prefix = "d") {
    for (size_t i = 0; i < s.images.size(); i++)
        t.write(prefix + std::to_string(i + 1) + ".img", s.images[i]);
}

std::vector<std::string> image_args(int disks, const std::vector<int>& leave_out = {}) {
    std::vector<std::string> args;
    for (int k = disks; k >= 1; k--) {  // any order will do
        bool out = false;
        for (int l : leave_out) out = out || l == k;
        if (!out) args.push_back("d" + std::to_string(k) + ".img");
    }
    return args;
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
        for (const imgw::Comp& c : s.plan.tables.comp) {
            if (c.ORGSER != (int64_t)i + 1) continue;
            bool lost = c.OFFS_LO < lost_to && c.OFFS_LO + c.COMPSIZE > lost_from;
            if (lost) {
                e.listed = true;
                e.content.replace(at, (size_t)c.ORGSIZE, (size_t)c.ORGSIZE, '\0');
            } else {
                e.created = true;
            }
            at += (size_t)c.ORGSIZE;
        }
        out.push_back(e);
    }
    return out;
}

// Checks the report and the salvaged tree against the expectations.
void check_salvage(const RunResult& r, const TempDir& t, const Set& s,
                   const std::vector<Expect>& want) {
    EXPECT_EQ(r.status, 1) << r.out;
    std::map<std::string, std::string> tree = tree_of(t.file("out"));
    for (size_t i = 0; i < want.size(); i++) {
        const std::string& name = s.files[i].name;
        SCOPED_TRACE(name);
        EXPECT_EQ(r.out.find(": C:\\" + name + ":") != std::string::npos, want[i].listed) << r.out;
        auto it = tree.find("C_/" + name);
        ASSERT_EQ(it != tree.end(), want[i].created);
        if (want[i].created) {
            EXPECT_TRUE(it->second == want[i].content);
        }
    }
    EXPECT_EQ(t.read("out/SALVAGE-REPORT.txt"), r.out);
}

TEST(Bakcheck, IntactSetHasNoFileLinesAndWritesNothing) {
    TempDir t;
    Set s = make_set({3000, 9000, 20000, 500}, 3);
    write_set(t, s);
    std::map<std::string, std::string> before = tree_of(t.path);
    RunResult r = run_bakcheck(t.path, image_args(3));
    EXPECT_EQ(r.status, 0);
    int64_t cap = capacity_of(s);
    int64_t stream = (int64_t)s.plan.stream.size();
    std::string want =
        "bakcheck: backup \"test backup\", job 1: 3 disks, 4 files, 32500 bytes\n" +
        fmt("disk 1: d1.img: stream bytes 0-%ld\n", (long)cap - 1) +
        fmt("disk 2: d2.img: stream bytes %ld-", (long)cap) +
        std::to_string(2 * cap - 1) + "\n" +
        fmt("disk 3: d3.img, catalog: stream bytes %ld-", (long)(2 * cap)) +
        std::to_string(stream - 1) + "\nall 4 files intact, 32500 bytes\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(tree_of(t.path), before);
}

TEST(Bakcheck, FlippedByteLosesExactlyItsGroup) {
    TempDir t;
    Set s = make_set({3000, 3 * 4096, 5000}, 3);
    // A byte in the middle of f2's second group.
    std::vector<const imgw::Comp*> groups;
    for (const imgw::Comp& c : s.plan.tables.comp)
        if (c.ORGSER == 2) groups.push_back(&c);
    ASSERT_EQ(groups.size(), 3u);
    const imgw::Comp* g = groups[1];
    int64_t at = g->OFFS_LO + g->COMPSIZE / 2;
    int64_t cap = capacity_of(s);
    s.images[(size_t)(at / cap)][(size_t)(512 + at % cap)] ^= 0x5A;
    write_set(t, s);

    RunResult r = run_bakcheck(t.path, {"--salvage", "out", "d3.img", "d1.img", "d2.img"});
    EXPECT_NE(r.out.find("damaged: C:\\f2.bin: group 2 of 3: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; lost bytes 4096-8191\n"), std::string::npos) << r.out;
    Expect intact1{false, true, s.files[0].content}, intact3{false, true, s.files[2].content};
    Expect damaged{true, true, s.files[1].content};
    damaged.content.replace(4096, 4096, 4096, '\0');
    check_salvage(r, t, s, {intact1, damaged, intact3});
}

TEST(Bakcheck, MissingDiskCostsOnlyTheFilesOnIt) {
    TempDir t;
    Set s = make_set({9000, 9000, 2000, 2000, 9000, 9000, 9000, 9000}, 4);
    write_set(t, s);
    int64_t cap = capacity_of(s);
    std::vector<Expect> want = expect_lost(s, cap, 2 * cap);
    // The set has what the case is about: a file wholly on disk 2, one
    // across its edge, and files on disks 3 and 4 untouched.
    int whole = 0, part = 0, after = 0;
    for (const Expect& e : want) {
        whole += e.listed && !e.created;
        part += e.listed && e.created;
    }
    after = !want[6].listed && !want[7].listed;
    ASSERT_TRUE(whole > 0 && part > 0 && after) << whole << " " << part;

    RunResult r = run_bakcheck(t.path, {"--salvage", "out", "d1.img", "d3.img", "d4.img"});
    EXPECT_NE(r.out.find("\ndisk 2: missing\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(disk 2 missing)"), std::string::npos) << r.out;
    check_salvage(r, t, s, want);
}

TEST(Bakcheck, StoredSetLosesExactlyTheBytesOfTheMissingDisk) {
    TempDir t;
    std::vector<imgw::SourceFile> files(5);
    for (size_t i = 0; i < files.size(); i++) {
        files[i].name = "s" + std::to_string(i + 1) + ".bin";
        files[i].content = noise(i == 1 ? 1500 : 4000, 40u + (uint32_t)i);
    }
    imgw::SetOptions opt;
    opt.compressed = false;
    opt.disk_capacity = 6000;  // disk 2 holds stream bytes 6000-11999
    imgw::BackupSet plan = imgw::plan_set(files, opt);
    std::vector<std::string> images = imgw::layout_images(plan);
    ASSERT_EQ(images.size(), 3u);
    t.write("d1.img", images[0]);
    t.write("d3.img", images[2]);

    RunResult r = run_bakcheck(t.path, {"--salvage", "out", "d3.img", "d1.img"});
    EXPECT_EQ(r.status, 1);
    // s2 (4000-5499) and s5 (13500-17499) lie off disk 2; s3 (5500-9499)
    // loses its bytes from 500 on, s4 (9500-13499) its first 2500.
    std::string s3 = files[2].content, s4 = files[3].content;
    s3.replace(500, 3500, 3500, '\0');
    s4.replace(0, 2500, 2500, '\0');
    EXPECT_NE(
        r.out.find("\ndamaged: C:\\s3.bin: bytes 500-3999 on no image given (disk 2 missing); "
                   "lost bytes 500-3999\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\ndamaged: C:\\s4.bin: bytes 0-2499 on no image given (disk 2 missing); "
                         "lost bytes 0-2499\n"),
              std::string::npos);
    std::map<std::string, std::string> tree = tree_of(t.file("out"));
    EXPECT_TRUE(tree["C_/s1.bin"] == files[0].content);
    EXPECT_TRUE(tree["C_/s2.bin"] == files[1].content);
    EXPECT_TRUE(tree["C_/s3.bin"] == s3);
    EXPECT_TRUE(tree["C_/s4.bin"] == s4);
    EXPECT_TRUE(tree["C_/s5.bin"] == files[4].content);
}

TEST(Bakcheck, CutImageLosesItsTailAndTheNextDiskIsPlacedFromTheEnd) {
    TempDir t;
    Set s = make_set({9000, 9000, 9000, 9000, 9000, 9000}, 3);
    int64_t cap = capacity_of(s);
    s.images[1].resize((size_t)(512 + cap / 2));
    write_set(t, s);
    RunResult r =
        run_bakcheck(t.path, {"--json", "--salvage", "out", "d1.img", "d2.img", "d3.img"});

    std::vector<Expect> want = expect_lost(s, cap + cap / 2, 2 * cap);
    EXPECT_FALSE(want.back().listed);
    EXPECT_EQ(r.status, 1);
    std::map<std::string, std::string> tree = tree_of(t.file("out"));
    for (size_t i = 0; i < want.size(); i++) {
        std::string entry = "{\"path\": \"C:\\\\" + s.files[i].name + "\"";
        size_t at = r.out.find(entry);
        ASSERT_EQ(at != std::string::npos, want[i].listed) << s.files[i].name << "\n" << r.out;
        if (want[i].listed) {
            EXPECT_NE(
                r.out.find(want[i].created ? "\"restored\": true" : "\"restored\": false", at),
                std::string::npos);
        }
        auto it = tree.find("C_/" + s.files[i].name);
        ASSERT_EQ(it != tree.end(), want[i].created) << s.files[i].name;
        if (want[i].created) {
            EXPECT_TRUE(it->second == want[i].content) << s.files[i].name;
        }
    }
    EXPECT_NE(r.out.find("\"cut_short\": true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"placed_from\": \"end\", \"stream_offset\": " + std::to_string(2 * cap)),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "}\n}\n");
    EXPECT_NE(t.read("out/SALVAGE-REPORT.txt").find("disk 2: d2.img: stream bytes"),
              std::string::npos);
}

TEST(Bakcheck, ImageBetweenTwoMissingDisksIsNotPlaced) {
    TempDir t;
    Set s = make_set({9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000}, 5);
    write_set(t, s);
    RunResult r = run_bakcheck(t.path, image_args(5, {2, 4}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\ndisk 3: d3.img: cannot be placed from the catalog alone"),
              std::string::npos)
        << r.out;
    int64_t cap = capacity_of(s);
    std::vector<Expect> want = expect_lost(s, cap, 4 * cap);
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(r.out.find(": C:\\" + s.files[i].name + ":") != std::string::npos, want[i].listed)
            << s.files[i].name << "\n"
            << r.out;
}

TEST(Bakcheck, ImageOfAnotherSetIsNamedAndLeftOut) {
    TempDir t;
    Set s = make_set({3000, 9000}, 2);
    Set other = make_set({100}, 2, 0x0BADF00Du);
    write_set(t, s);
    write_set(t, other, "other");
    RunResult r = run_bakcheck(t.path, {"other1.img", "d2.img", "d1.img"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\nleft out: other1.img: another set\nall 2 files intact"),
              std::string::npos)
        << r.out;
}

TEST(Bakcheck, UnsafeNamesStayInsideTheSalvageDirectory) {
    TempDir t;
    std::vector<imgw::SourceFile> files(4);
    files[0].name = "..\\evil";
    files[1].dir = "..";
    files[1].name = "inner.txt";
    files[2].dir = "Sub";
    files[2].name = "..";
    files[3].name = "ok.txt";
    for (imgw::SourceFile& f : files) f.content = "data of " + f.name;
    imgw::BackupSet plan = imgw::plan_set(files, imgw::SetOptions());
    t.write("d1.img", imgw::layout_images(plan)[0]);
    t.mkdir("root");

    RunResult r = run_bakcheck(t.file("root"), {"--salvage", "out", "../d1.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nunsafe name: C:\\..\\evil: unsafe name, not restored\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nunsafe name: C:\\Sub\\..: unsafe name, not restored\n"),
              std::string::npos);
    EXPECT_NE(
        r.out.find("\nunsafe name: inner.txt: its directory path cannot be used: restored under "
                   "its bare name\n"),
        std::string::npos);
    size_t bytes = 0;
    for (const imgw::SourceFile& f : files) bytes += f.content.size();
    EXPECT_NE(r.out.find("4 files, " + std::to_string(bytes) +
                         " bytes: 1 intact, 0 damaged, 0 missing, 3 with unsafe names"),
              std::string::npos)
        << r.out;
    std::map<std::string, std::string> want = {
        {"out/", ""},
        {"out/C_/", ""},
        {"out/C_/Sub/", ""},
        {"out/C_/ok.txt", "data of ok.txt"},
        {"out/inner.txt", "data of inner.txt"},
        {"out/SALVAGE-REPORT.txt", r.out},
    };
    EXPECT_EQ(tree_of(t.file("root")), want);
}

TEST(Bakcheck, RunsThatCannotStartEndWithStatusTwo) {
    TempDir t;
    Set s = make_set({3000, 9000}, 2);
    write_set(t, s);
    // The last disk cut inside its catalog.
    t.write("cut2.img", s.images[1].substr(0, restore_test::cat_offs_of(s.images[1]) + 6000));
    struct Case {
        std::vector<std::string> args;
        std::string first_line;
    } cases[] = {
        {{}, "usage: bakcheck [--salvage DIR] [--json] IMAGE...\n"},
        {{"--frobnicate", "d2.img"}, "bakcheck: unknown option or missing value: --frobnicate\n"},
        {{"d1.img"}, "bakcheck: no image given holds the catalog (the set's last disk)\n"},
        {{"--json", "d1.img"},
         "{\"error\": \"no image given holds the catalog (the set's last disk)\"}\n"},
        {{"d1.img", "cut2.img"},
         "bakcheck: the catalog of cut2.img cannot be read: its tables are not "
         "where they belong\n"},
    };
    for (const Case& c : cases) {
        RunResult r = run_bakcheck(t.path, c.args);
        EXPECT_EQ(r.status, 2) << c.first_line;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), c.first_line);
    }
}

}  // namespace
