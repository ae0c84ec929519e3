// Tests of bak's building blocks: names for output (escapes, code pages,
// output paths).
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "check/names.h"
#include "platform/charset.h"

namespace {

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
