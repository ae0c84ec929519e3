// Tests of bak's building blocks: the file patterns, names for output
// (escapes, code pages, output paths).
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "check/names.h"
#include "check/patterns.h"
#include "platform/charset.h"

namespace {

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

}  // namespace
