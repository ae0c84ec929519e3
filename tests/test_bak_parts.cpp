// Tests of bak's building blocks: finding a set's images in a directory,
// the file patterns, names for output (escapes, code pages, output paths),
// and the set ids mkbak gives its sets.
#include <stdint.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "check/discover.h"
#include "check/names.h"
#include "check/patterns.h"
#include "platform/charset.h"
#include "platform/dirs.h"
#include "tests/restore_sets.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

// ---- discovery ----------------------------------------------------------------------

// The images of a real set of `disks` disks (the writer's layout, catalog
// on the last), of files that do not compress.
std::vector<std::string> set_images(int disks, uint32_t id1, const std::string& name = "test backup") {
    std::vector<imgw::SourceFile> files(3);
    for (size_t i = 0; i < files.size(); i++) {
        files[i].name = "f" + std::to_string(i) + ".bin";
        files[i].content = restore_test::noise(3000, 11u + (uint32_t)i);
    }
    imgw::SetOptions opt;
    opt.group_size = 1024;
    opt.set_id1 = id1;
    opt.name = name;
    int64_t stream = (int64_t)imgw::plan_set(files, opt).stream.size();
    opt.disk_capacity = (stream + disks - 1) / disks;
    std::vector<std::string> images = imgw::layout_images(imgw::plan_set(files, opt));
    EXPECT_EQ((int)images.size(), disks);
    return images;
}

// A bare header: all discovery reads of an image.
std::string header_image(uint32_t id1, uint16_t disk, bool catalog) {
    imgw::Header h;
    h.set_id1 = id1;
    h.disk_num = disk;
    h.cat_offs = catalog ? 512 : 0;
    return imgw::make_image(h, "", "");
}

// A name in t's directory as discovery joins it when SET is the directory.
std::string listed(const TempDir& t, const std::string& name) {
    return t.path + (char)PLAT_SEPARATOR + name;
}

std::map<std::string, std::string> reasons(const Discovery& d) {
    std::map<std::string, std::string> m;
    for (const LeftOut& l : d.left_out) m[l.path] = left_out_text(l);
    return m;
}

TEST(Discover, FindsEveryDiskFromAnyOfItsImagesOrItsDirectory) {
    TempDir t;
    std::vector<std::string> images = set_images(3, 0x1111);
    // Name order is not disk order.
    const char* names[] = {"c.img", "a.img", "b.img"};
    for (int k = 0; k < 3; k++) t.write(names[k], images[k]);

    for (const char* set : {"a.img", "b.img"}) {
        Discovery d = discover_set(t.file(set), {});
        ASSERT_EQ(d.status, DISCOVER_OK) << set;
        EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("c.img"), t.file("a.img"), t.file("b.img")}));
        EXPECT_EQ(d.catalog_disk, 3);
        EXPECT_EQ(d.highest_disk, 3);
        EXPECT_EQ(d.catalog_path, t.file("b.img"));
        EXPECT_EQ(d.key.set_id1, 0x1111u);
        EXPECT_EQ(d.key.name, "test backup");
        EXPECT_TRUE(d.listed);
        EXPECT_TRUE(d.left_out.empty());
    }
    Discovery d = discover_set(t.path, {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", listed(t, "c.img"), listed(t, "a.img"),
                                                 listed(t, "b.img")}));
    EXPECT_EQ(d.catalog_path, listed(t, "b.img"));
}

TEST(Discover, LeavesAMissingDiskEmpty) {
    TempDir t;
    std::vector<std::string> images = set_images(3, 0x2222);
    t.write("s.001", images[0]);
    t.write("s.003", images[2]);
    Discovery d = discover_set(t.file("s.001"), {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("s.001"), "", t.file("s.003")}));
    EXPECT_EQ(d.catalog_disk, 3);

    // Without the catalog image: the one set there is, up to its highest
    // disk found.
    TempDir u;
    u.write("s.001", images[0]);
    u.write("s.002", images[1]);
    d = discover_set(u.path, {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", listed(u, "s.001"), listed(u, "s.002")}));
    EXPECT_EQ(d.highest_disk, 2);
    EXPECT_EQ(d.catalog_disk, 0);
    EXPECT_EQ(d.catalog_path, "");
}

TEST(Discover, LeavesOutAnotherSetBesideIt) {
    TempDir t;
    std::vector<std::string> a = set_images(2, 0xAAAA), b = set_images(2, 0xBBBB);
    std::vector<std::string> renamed = set_images(2, 0xAAAA, "another name");
    t.write("a.001", a[0]);
    t.write("a.002", a[1]);
    t.write("b.001", b[0]);
    t.write("b.002", b[1]);
    t.write("n.001", renamed[0]);
    Discovery d = discover_set(t.file("a.002"), {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("a.001"), t.file("a.002")}));
    EXPECT_EQ(reasons(d), (std::map<std::string, std::string>{{t.file("b.001"), "another set"},
                                                              {t.file("b.002"), "another set"},
                                                              {t.file("n.001"), "another set"}}));
    EXPECT_EQ(d.sets.size(), 3u);

    // As a directory: only a's catalog image is there, so a is the set.
    TempDir u;
    u.write("a.001", a[0]);
    u.write("a.002", a[1]);
    u.write("b.001", b[0]);
    d = discover_set(u.path, {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.key.set_id1, 0xAAAAu);
    EXPECT_EQ(reasons(d), (std::map<std::string, std::string>{{listed(u, "b.001"), "another set"}}));
}

TEST(Discover, RefusesADirectoryWithTwoSets) {
    TempDir t;
    std::vector<std::string> a = set_images(2, 0xAAAA), b = set_images(1, 0xBBBB);
    t.write("a.001", a[0]);
    t.write("a.002", a[1]);
    t.write("b.001", b[0]);
    Discovery d = discover_set(t.path, {});
    EXPECT_EQ(d.status, DISCOVER_SEVERAL_SETS);
    ASSERT_EQ(d.sets.size(), 2u);
    EXPECT_EQ(d.sets[0].key.set_id1, 0xAAAAu);
    EXPECT_EQ(d.sets[0].images, 2);
    EXPECT_EQ(d.sets[0].catalog_path, listed(t, "a.002"));
    EXPECT_EQ(d.sets[1].key.set_id1, 0xBBBBu);
    EXPECT_EQ(d.sets[1].catalog_path, listed(t, "b.001"));
    EXPECT_EQ(d.sets[1].catalog_disk, 1);

    // Naming an image chooses its set.
    d = discover_set(t.file("b.001"), {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("b.001")}));

    // Two sets and no catalog image: nothing to choose by either.
    TempDir u;
    u.write("a.001", a[0]);
    u.write("b.001", header_image(0xBBBB, 1, false));
    EXPECT_EQ(discover_set(u.path, {}).status, DISCOVER_SEVERAL_SETS);
}

TEST(Discover, LeavesOutWhatIsNoImageOfTheSetWithItsReason) {
    TempDir t;
    std::vector<std::string> images = set_images(2, 0x3333);
    t.write("s.001", images[0]);
    t.write("s.002", images[1]);
    t.write("notes.txt", "not an image at all");
    t.write("short.img", images[0].substr(0, 300));  // the signature, cut short
    std::string other(512, 'x');
    t.write("other.bin", other);
    t.write("s.001.copy", images[0]);
    t.write("zero.img", header_image(0x3333, 0, false));
    t.write("beyond.img", header_image(0x3333, 5, false));
    t.write("second-catalog.img", header_image(0x3333, 1, true));
    t.mkdir("sub");
    Discovery d = discover_set(t.file("s.002"), {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("s.001"), t.file("s.002")}));
    EXPECT_EQ(reasons(d), (std::map<std::string, std::string>{
                              {t.file("notes.txt"), "not a backup image"},
                              {t.file("short.img"), "not a backup image"},
                              {t.file("other.bin"), "not a backup image"},
                              {t.file("s.001.copy"), "a second image of disk 1"},
                              {t.file("zero.img"), "disk number 0"},
                              {t.file("beyond.img"), "disk 5, beyond the last disk (2)"},
                              {t.file("second-catalog.img"), "a second image with the catalog"},
                              {t.file("sub"), "a directory"}}));
}

TEST(Discover, TakesExtraImagesFirstAndCountsAFileOnce) {
    TempDir t;
    std::vector<std::string> images = set_images(3, 0x4444);
    t.mkdir("here");
    t.mkdir("elsewhere");
    t.write("here/s.003", images[2]);
    t.write("here/s.002", images[1]);
    t.write("elsewhere/s.002", images[1]);  // a copy: another file of disk 2
    t.write("elsewhere/s.001", images[0]);
    t.write("elsewhere/junk", "junk");
    Discovery d = discover_set(t.file("here/s.003"),
                               {t.file("elsewhere/s.001"), t.file("elsewhere/s.002"),
                                t.file("here/./s.003"), t.file("elsewhere/s.001"),
                                t.file("missing.001"), t.file("elsewhere"), t.file("elsewhere/junk")});
    ASSERT_EQ(d.status, DISCOVER_OK);
    // The --image copy of disk 2 comes before the directory's.
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("elsewhere/s.001"), t.file("elsewhere/s.002"),
                                                 t.file("here/s.003")}));
    EXPECT_EQ(reasons(d), (std::map<std::string, std::string>{
                              {t.file("missing.001"), "not found"},
                              {t.file("elsewhere"), "a directory"},
                              {t.file("elsewhere/junk"), "not a backup image"},
                              {t.file("here/s.002"), "a second image of disk 2"}}));
}

TEST(Discover, SaysWhySetCannotBeUsed) {
    TempDir t;
    t.write("notes.txt", "text");
    t.mkdir("empty");
    t.mkdir("junk");
    t.write("junk/a", "a");
    EXPECT_EQ(discover_set(t.file("missing"), {}).status, DISCOVER_NOT_FOUND);
    EXPECT_EQ(discover_set(t.file("notes.txt"), {}).status, DISCOVER_NOT_IMAGE);
    EXPECT_EQ(discover_set(t.file("empty"), {}).status, DISCOVER_NO_IMAGES);
    Discovery d = discover_set(t.file("junk"), {});
    EXPECT_EQ(d.status, DISCOVER_NO_IMAGES);
    ASSERT_EQ(d.left_out.size(), 1u);
    EXPECT_EQ(d.left_out[0].reason, LEFT_NOT_IMAGE);
}

#ifndef _WIN32
TEST(Discover, FollowsNoLinkInTheDirectoryAndWaitsOnNoFifo) {
    TempDir t;
    std::vector<std::string> images = set_images(3, 0x5555);
    t.mkdir("set");
    t.mkdir("away");
    t.write("set/s.001", images[0]);
    t.write("away/s.002", images[1]);
    t.write("away/s.003", images[2]);
    ASSERT_EQ(symlink(t.file("away/s.002").c_str(), t.file("set/s.002").c_str()), 0);
    ASSERT_EQ(symlink(t.file("away/s.003").c_str(), t.file("set/s.003").c_str()), 0);
    ASSERT_EQ(mkfifo(t.file("set/pipe").c_str(), 0600), 0);

    Discovery d = discover_set(t.file("set/s.001"), {});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("set/s.001")}));
    EXPECT_EQ(reasons(d), (std::map<std::string, std::string>{
                              {t.file("set/s.002"), "a symbolic link"},
                              {t.file("set/s.003"), "a symbolic link"},
                              {t.file("set/pipe"), "not a regular file"}}));

    // Named by the user, a link is followed; a FIFO is no image.
    d = discover_set(t.file("set/s.003"), {t.file("set/s.002")});
    ASSERT_EQ(d.status, DISCOVER_OK);
    EXPECT_EQ(d.disks, (std::vector<std::string>{"", t.file("set/s.001"), t.file("set/s.002"),
                                                 t.file("set/s.003")}));
    EXPECT_EQ(discover_set(t.file("set/pipe"), {}).status, DISCOVER_NOT_IMAGE);
}
#endif

// ---- patterns -------------------------------------------------------------------------

struct MatchCase {
    const char* pattern;
    const char* path;
    bool chosen;
};

TEST(Patterns, MatchPathsAsListed) {
    const MatchCase cases[] = {
        {"C:\\Data\\x.txt", "C:\\Data\\x.txt", true},
        {"C:/Data/x.txt", "C:\\Data\\x.txt", true},
        {"C:\\Data\\x.txt", "C:/Data//x.txt", true},
        {"c:\\DATA\\X.txt", "C:\\Data\\x.txt", true},
        {"C:\\Data\\x.txt", "C:\\Data\\x.txt.bak", false},
        // * and ? stay within a part.
        {"C:\\Data\\*.txt", "C:\\Data\\x.txt", true},
        {"C:\\Data\\*.txt", "C:\\Data\\Sub\\x.txt", false},
        {"C:\\D*a\\x.txt", "C:\\Data\\x.txt", true},
        {"C:\\D*\\x.txt", "C:\\Data\\Sub\\x.txt", false},
        {"C:\\Data\\x?.txt", "C:\\Data\\x1.txt", true},
        {"C:\\Data\\x?.txt", "C:\\Data\\x.txt", false},
        {"C:\\caf?.txt", "C:\\caf\xc3\xa9.txt", true},  // one character, two bytes
        // Classes.
        {"C:\\[a-c]*", "C:\\b.txt", true},
        {"C:\\[a-c]*", "C:\\B.txt", true},
        {"C:\\[a-c]*", "C:\\d.txt", false},
        {"C:\\[!a-c]*", "C:\\d.txt", true},
        {"C:\\[^a-c]*", "C:\\a.txt", false},
        {"C:\\[]x].txt", "C:\\].txt", true},
        {"C:\\[*].txt", "C:\\*.txt", true},
        {"C:\\[*].txt", "C:\\a.txt", false},
        {"C:\\[x", "C:\\[x", true},
        {"C:\\[\xc3\xa9]", "C:\\\xc3\xa9", true},
        // ** across directories.
        {"C:\\**\\x.txt", "C:\\x.txt", true},
        {"C:\\**\\x.txt", "C:\\a\\b\\x.txt", true},
        {"C:\\**\\x.txt", "C:\\a\\b\\y.txt", false},
        {"C:\\a\\**\\b\\**\\c", "C:\\a\\x\\b\\y\\z\\c", true},
        {"C:\\a\\**\\b\\**\\c", "C:\\a\\x\\c\\y\\b", false},
        {"**/Letters", "C:\\Data\\Letters\\l1.txt", true},
        // A directory chooses what lies below it, and only whole names.
        {"C:\\Data", "C:\\Data\\x.txt", true},
        {"C:/Data/", "C:\\Data\\Sub\\x.txt", true},
        {"C:/Data/", "C:\\Data", false},
        {"C:\\Dat", "C:\\Data\\x.txt", false},
        {"C:\\*", "C:\\Data\\Sub\\x.txt", true},
        {"C:", "C:\\x.txt", true},
        // Drives: none given is any drive, from its root.
        {"Data\\x.txt", "C:\\Data\\x.txt", true},
        {"\\Data\\x.txt", "D:\\Data\\x.txt", true},
        {"Data\\x.txt", "C:\\Old\\Data\\x.txt", false},
        {"D:\\Data", "C:\\Data\\x.txt", false},
        {"?:\\Data", "C:\\Data\\x.txt", true},
        // A single part: at any depth.
        {"x.txt", "C:\\Old\\Data\\x.txt", true},
        {"*.TXT", "C:\\a\\b.txt", true},
        {"Letters", "C:\\Data\\Letters\\l1.txt", true},
        {"Letters/", "C:\\Data\\Letters", false},
        // A run of stars does not take exponential time.
        {"*a*a*a*a*a*a*a*a*b", "C:\\aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {"C:\\**\\**\\**\\**\\**\\q", "C:\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a", false},
    };
    for (const MatchCase& c : cases)
        EXPECT_EQ(pattern_matches(make_pattern(c.pattern), c.path), c.chosen)
            << c.pattern << " on " << c.path;
}

TEST(Patterns, ExcludeAndNameThePatternsThatMatchedNothing) {
    PatternSet set;
    add_include(&set, "C:\\Data");
    add_include(&set, "*.csv");
    add_include(&set, "C:\\Nothing");
    add_include(&set, "C:\\Tools\\blob.bin");  // matches, but only what is excluded
    add_exclude(&set, "*.tmp");
    add_exclude(&set, "C:\\Tools");
    std::vector<std::string> chosen;
    for (const char* path : {"C:\\Data\\a.txt", "C:\\Data\\b.tmp", "C:\\Reports\\f.csv",
                             "C:\\Tools\\blob.bin", "C:\\README.TXT"})
        if (select_path(&set, path)) chosen.push_back(path);
    EXPECT_EQ(chosen, (std::vector<std::string>{"C:\\Data\\a.txt", "C:\\Reports\\f.csv"}));
    EXPECT_EQ(unmatched_patterns(set), std::vector<std::string>{"C:\\Nothing"});

    // No include pattern: everything but what is excluded.
    PatternSet all;
    add_exclude(&all, "C:\\Data\\");
    EXPECT_TRUE(select_path(&all, "C:\\README.TXT"));
    EXPECT_FALSE(select_path(&all, "C:\\Data\\a.txt"));
    EXPECT_TRUE(unmatched_patterns(all).empty());
}

// ---- names ------------------------------------------------------------------------------

TEST(Names, EscapeControlsAndBytesThatAreNotUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Data\\plain.txt", "C:\\Data\\plain.txt"},
        {"a\tb\nc", "a\\x09b\\x0ac"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"del\x7f", "del\\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\x9b" "2J", "\\xc2\\x9b2J"},       // C1 control (CSI)
        {"caf\x82", "caf\\x82"},                 // a CP437 name undecoded
        {"\xc3", "\\xc3"},                       // cut short
        {"\xc3(", "\\xc3("},
        {"\xc0\xaf", "\\xc0\\xaf"},              // overlong '/'
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},     // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // beyond U+10FFFF
        {"\xe2\x82", "\\xe2\\x82"},
    };
    for (const auto& c : cases) EXPECT_EQ(escape_for_output(c.first), c.second) << c.second;
}

struct DecodeCase {
    const char* charset;
    const char* raw;
    const char* utf8;
};

TEST(Names, DecodeLegacyCodePages) {
    const DecodeCase cases[] = {
        {"CP437", "caf\x82", "caf\xc3\xa9"},
        {"cp437", "\xe1\xb3", "\xc3\x9f\xe2\x94\x82"},  // sharp s, box line
        {"437", "\x9b", "\xc2\xa2"},                     // cent sign
        {"CP850", "\x82\x9b", "\xc3\xa9\xc3\xb8"},       // e acute, o slash
        {"CP1252", "\x80 \xe9", "\xe2\x82\xac \xc3\xa9"},
        {"CP932", "a\x82", "a\xef\xbf\xbd"},  // a lead byte without its second byte
    };
    for (const DecodeCase& c : cases) {
        PlatCharset* cs = plat_charset_open(c.charset);
        ASSERT_NE(cs, nullptr) << c.charset;
        EXPECT_EQ(decode_charset(cs, c.raw), c.utf8) << c.charset << " " << c.raw;
        plat_charset_close(cs);
    }
    EXPECT_EQ(plat_charset_open("NO-SUCH-CHARSET"), nullptr);
    EXPECT_EQ(decode_charset(nullptr, "caf\x82"), "caf\x82");
}

TEST(Names, OutputPathOfAListedPath) {
    EXPECT_EQ(output_path("C:\\Data\\x.txt"), "C_/Data/x.txt");
    EXPECT_EQ(output_path("C:\\x"), "C_/x");
    EXPECT_EQ(output_path("D:\\a:b\\c"), "D_/a_b/c");
    EXPECT_EQ(output_path("C:"), "C_");
}

// ---- mkbak's set ids ------------------------------------------------------------------

#ifdef MKBAK_EXE
std::string ids_of(const std::string& image) {
    return image.substr(12, 8);
}

TEST(Mkbak, GivesEachSetNewIdsUnlessToldWhich) {
    TempDir t;
    t.mkdir("src");
    t.write("src/a.txt", "some text");
    t.mkdir("out");
    for (const char* base : {"r1", "r2"})
        ASSERT_EQ(run_program(MKBAK_EXE, {"src", "out/" + std::string(base)}, "", t.path).status, 0);
    EXPECT_NE(ids_of(t.read("out/r1.001")), ids_of(t.read("out/r2.001")));

    for (const char* base : {"f1", "f2"}) {
        RunResult r = run_program(MKBAK_EXE, {"--set-id", "0123456789abcDEF", "src", "out/" + std::string(base)},
                                  "", t.path);
        ASSERT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("\nset id 0123456789abcdef\n"), std::string::npos) << r.out;
    }
    EXPECT_EQ(ids_of(t.read("out/f1.001")), std::string("\x67\x45\x23\x01\xef\xcd\xab\x89", 8));
    EXPECT_EQ(t.read("out/f1.001"), t.read("out/f2.001"));

    for (const char* bad : {"0123456789abcde", "0123456789abcdeg", "0x23456789abcdef"})
        EXPECT_EQ(run_program(MKBAK_EXE, {"--set-id", bad, "src", "out/bad"}, "", t.path).status, 1)
            << bad;
    EXPECT_FALSE(t.exists("out/bad.001"));
}
#endif

}  // namespace
