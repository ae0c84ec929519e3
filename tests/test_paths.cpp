// Output paths and directories, in-process: directory chains to path texts,
// index checks, the refusal of unsafe names, and directory creation.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "restore/outtree.h"
#include "restore/restore.h"
#include "restore/unbak_words.h"
#include "tests/support/harness.h"

namespace {

// Everything f() prints to stdout.
template <class F>
std::string capture(F f) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A catalog of Disks and Dirs built record by record.
struct Tree {
    uint16_t options = 0;
    RegionInfo regions[REGION_COUNT] = {};
    std::vector<DiskRecord> disks;
    std::vector<DirRecord> dirs;
    std::deque<std::string> names;
    Catalog cat = {};
    OutTree out = {};

    explicit Tree(const char* drive = "C:") { add_disk(drive); }

    void add_disk(const char* drive) {
        DiskRecord d = {};
        snprintf(d.drive, sizeof d.drive, "%s", drive);
        disks.push_back(d);
    }
    // Gives back the new directory's index; name null for a drive root.
    int32_t add_dir(int32_t parent, const char* name, int32_t disk = 1) {
        DirRecord d = {};
        d.serial = (int32_t)dirs.size() + 1;
        d.disk = disk;
        d.parent = parent;
        if (name) {
            names.push_back(name);
            d.name = &names.back()[0];
        }
        dirs.push_back(d);
        return d.serial;
    }
    Catalog* catalog() {
        cat.options = &options;
        cat.io.rep = &UNBAK_REPORTER;
        out_tree_init(&out, PLAT_CWD, nullptr);
        cat.out_tree = &out;
        cat.disks = disks.empty() ? nullptr : disks.data();
        cat.dirs = dirs.empty() ? nullptr : dirs.data();
        regions[TBL_DISKS].count = (int32_t)disks.size();
        regions[TBL_DIRS].count = (int32_t)dirs.size();
        cat.regions = regions;
        return &cat;
    }
};

struct PathResult {
    bool ok;
    std::string path;
    int32_t length;
    std::string out;
};

PathResult path_of(Tree& t, int32_t ndx) {
    PathResult r{false, "", -1, ""};
    char buf[PATH_BUF_SIZE];
    char* p = nullptr;
    r.out = capture([&] { p = mk_path_str(t.catalog(), ndx, buf, &r.length); });
    r.ok = p != nullptr;
    if (p) r.path = p;
    return r;
}

// Runs f with the current directory set to dir.
template <class F>
void in_dir(const std::string& dir, F f) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    f();
    ASSERT_EQ(chdir(old), 0);
}

}  // namespace

TEST(PathString, BuildsDrivePathsWithTrailingBackslash) {
    Tree t;
    int32_t root = t.add_dir(0, nullptr);
    int32_t data = t.add_dir(root, "Data");
    int32_t sub = t.add_dir(data, "Sub");

    PathResult r = path_of(t, sub);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.path, "C:\\Data\\Sub\\");
    EXPECT_EQ(r.length, 12);
    EXPECT_EQ(r.out, "");

    r = path_of(t, root);
    EXPECT_EQ(r.path, "C:\\");
    EXPECT_EQ(r.length, 3);
}

TEST(PathString, NamedRootAndColonsAreKept) {
    Tree t;
    int32_t root = t.add_dir(0, "NET");
    int32_t odd = t.add_dir(root, "a:b c");
    PathResult r = path_of(t, odd);
    EXPECT_EQ(r.path, "NET\\a:b c\\");
    EXPECT_EQ(r.out, "");
}

TEST(PathString, IndicesOutsideTheirTablesYieldNoPath) {
    struct Case {
        const char* what;
        int32_t ask;
        int32_t parent_of_3;
        int32_t disk_of_3;
        const char* message;
    };
    const Case cases[] = {
        {"index 0", 0, 2, 1, "\nfatal error in mk_path_str() ndx = 0 reserved"},
        {"index past the table", 4, 2, 1, "\ndir ndx 4 out of range"},
        {"negative index", -1, 2, 1, "\ndir ndx -1 out of range"},
        {"parent past the table", 3, 9, 1, "\ndir ndx 9 out of range"},
        {"negative parent", 3, -5, 1, "\ndir ndx -5 out of range"},
        {"disk 0", 3, 2, 0, "\ndrive ndx -1 out of range"},
        {"disk past the table", 3, 2, 2, "\ndrive ndx 1 out of range"},
        {"lowest disk number", 3, 2, INT32_MIN, "\ndrive ndx 2147483647 out of range"},
    };
    for (const Case& c : cases) {
        Tree t;
        t.add_dir(0, nullptr);
        t.add_dir(1, "Data");
        t.add_dir(c.parent_of_3, "Sub", c.disk_of_3);
        PathResult r = path_of(t, c.ask);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.length, 0) << c.what;
        EXPECT_EQ(r.out, c.message) << c.what;
    }
}

TEST(PathString, ChainOfNineteenFitsTwentyAndLoopsDoNot) {
    Tree t;
    int32_t cur = t.add_dir(0, nullptr);
    for (int i = 2; i <= 25; i++) cur = t.add_dir(cur, ("d" + std::to_string(i)).c_str());

    PathResult r = path_of(t, 19);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.path.substr(0, 10), "C:\\d2\\d3\\d");
    EXPECT_EQ(r.path.substr(r.path.size() - 5), "\\d19\\");

    for (int32_t deep : {20, 25}) {
        r = path_of(t, deep);
        EXPECT_FALSE(r.ok) << deep;
        EXPECT_EQ(r.out, "") << deep;
    }

    Tree loop;
    loop.add_dir(0, nullptr);
    loop.add_dir(3, "a");
    loop.add_dir(2, "b");
    r = path_of(loop, 2);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "");
}

TEST(PathString, DirectoryPartOf254IsAcceptedAnd255Refused) {
    // C:\ (3) + 240 + '\' = 244; a 9-character name brings it to 254.
    const std::string long_name(240, 'L');
    for (int last : {9, 10}) {
        Tree t;
        t.add_dir(0, nullptr);
        t.add_dir(1, long_name.c_str());
        t.add_dir(2, std::string((size_t)last, 'x').c_str());
        PathResult r = path_of(t, 3);
        if (last == 9) {
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(r.length, 254);
            EXPECT_EQ(r.path.size(), 254u);
        } else {
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.length, 0);
        }
        EXPECT_EQ(r.out, "");
    }
}

TEST(PathString, UnsafeComponentsNeverReachThePath) {
    struct Case {
        const char* drive;
        const char* root_name;
        const char* mid_name;
    };
    const Case cases[] = {
        {"C:", nullptr, "."},       {"C:", nullptr, ".."},   {"C:", nullptr, "../x"},
        {"C:", nullptr, "a\\b"},    {"C:", nullptr, "a/b"},  {"\\\\", nullptr, "ok"},
        {"", nullptr, "ok"},        {"..", nullptr, "ok"},
        {"C:", "..", "ok"},         {"C:", "/", "ok"},
    };
    for (const Case& c : cases) {
        Tree t(c.drive);
        t.add_dir(0, c.root_name);
        t.add_dir(1, c.mid_name);
        t.add_dir(2, "leaf");
        PathResult r = path_of(t, 3);
        std::string what = std::string(c.drive) + " | " + (c.root_name ? c.root_name : "-") + " | " +
                           c.mid_name;
        EXPECT_FALSE(r.ok) << what;
        EXPECT_EQ(r.length, 0) << what;
        EXPECT_EQ(r.out, "\nunsafe directory name in path of dir ndx 3") << what;
    }
}

TEST(SafeComponent, AcceptsOnlyPlainNames) {
    for (const char* bad : {"", ".", "..", "a/b", "/", "\\", "..\\x", "x\\"})
        EXPECT_FALSE(safe_component(bad)) << "[" << bad << "]";
    EXPECT_FALSE(safe_component(nullptr));
    for (const char* good :
         {"a", "...", ".hidden", "a b", "a:b", "C:", "x..", " lead", "-dash", " ", "   ", ". ", " .."})
        EXPECT_TRUE(safe_component(good)) << "[" << good << "]";
}

TEST(FixColons, ReplacesEveryColon) {
    char text[] = "C:\\a:b\\::";
    fix_colons(text);
    EXPECT_STREQ(text, "C_\\a_b\\__");
}

TEST(MkDir, CreatesOneLevelAndReportsWhatItFinds) {
    TempDir tmp;
    tmp.write("F_", "a file");
    Tree cwd;
    in_dir(tmp.path, [&] {
        char root[] = "C:\\";
        EXPECT_EQ(capture([&] { mk_dir(cwd.catalog(), root); }), "");
        EXPECT_STREQ(root, "C_");
        EXPECT_TRUE(tmp.exists("C_"));

        char again[] = "C:\\";
        EXPECT_EQ(capture([&] { mk_dir(cwd.catalog(), again); }), "\nWarning directory already exists");

        char sub[] = "C:\\Data\\";
        EXPECT_EQ(capture([&] { mk_dir(cwd.catalog(), sub); }), "");
        EXPECT_STREQ(sub, "C_\\Data");

        char file[] = "F:";
        EXPECT_EQ(capture([&] { mk_dir(cwd.catalog(), file); }), "");
        EXPECT_EQ(tmp.read("F_"), "a file");

        char orphan[] = "X:\\Y\\";
        EXPECT_EQ(capture([&] { mk_dir(cwd.catalog(), orphan); }), "\nfailed to create directory");
    });
    EXPECT_TRUE(tmp.exists("C_/Data"));
    EXPECT_FALSE(tmp.exists("X_"));
}

TEST(MkDirs, CreatesInIndexOrderAndListsThePaths) {
    Tree t;
    t.add_dir(0, nullptr);
    t.add_dir(1, "Data");
    t.add_dir(2, "Sub");
    t.add_dir(5, "Late");  // parent comes later: single-level create fails
    t.add_dir(1, "Early");
    TempDir tmp;
    in_dir(tmp.path, [&] {
        EXPECT_EQ(capture([&] { mk_dirs(t.catalog(), true); }),
                  "\n  1 C_\n  2 C_\\Data\n  3 C_\\Data\\Sub"
                  "\nfailed to create directory\n  4 C_\\Early\\Late\n  5 C_\\Early");
        EXPECT_EQ(capture([&] { mk_dirs(t.catalog(), true); }),
                  "\nWarning directory already exists\n  1 C_"
                  "\nWarning directory already exists\n  2 C_\\Data"
                  "\nWarning directory already exists\n  3 C_\\Data\\Sub"
                  "\n  4 C_\\Early\\Late"
                  "\nWarning directory already exists\n  5 C_\\Early");
    });
    auto tree = tree_of(tmp.path);
    std::map<std::string, std::string> want = {{"C_/", ""}, {"C_/Data/", ""}, {"C_/Data/Sub/", ""},
                                               {"C_/Early/", ""}, {"C_/Early/Late/", ""}};
    EXPECT_EQ(tree, want);
}

TEST(MkDirs, ListsRawPathsWithoutCreating) {
    Tree t;
    t.add_dir(0, nullptr);
    t.add_dir(1, "Data");
    t.add_dir(1, "..");
    t.add_dir(3, "under");
    TempDir tmp;
    in_dir(tmp.path, [&] {
        EXPECT_EQ(capture([&] { mk_dirs(t.catalog(), false); }),
                  "\n  1 C:\\\n  2 C:\\Data\\"
                  "\nunsafe directory name in path of dir ndx 3\n  3: error in mk_path_str()"
                  "\nunsafe directory name in path of dir ndx 4\n  4: error in mk_path_str()");
    });
    EXPECT_TRUE(tree_of(tmp.path).empty());
}

TEST(MkDirs, NeedsBothTables) {
    Tree t;
    t.add_dir(0, nullptr);
    Catalog* c = t.catalog();
    c->disks = nullptr;
    EXPECT_EQ(capture([&] { mk_dirs(c, true); }), "\nabort no disks or dirs data loaded");
    Tree empty;
    EXPECT_EQ(capture([&] { mk_dirs(empty.catalog(), false); }), "\nabort no disks or dirs data loaded");
}
