// dbfscan, the table inspector, end to end on writer-made table files.
#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

const std::string BANNER = "\ndbfscan version 0.90 compiled for WIN32";

imgw::FieldDesc fd(const std::string& name, char type, uint32_t length, uint32_t offset = 0) {
    imgw::FieldDesc f;
    f.name = name;
    f.type = type;
    f.length = length;
    f.offset = offset;
    return f;
}

// Compressed-group records that differ from each other in several fields.
std::vector<imgw::Comp> comps(int n) {
    std::vector<imgw::Comp> v((size_t)n);
    for (int i = 0; i < n; i++) {
        v[i].SERIAL = i + 1;
        v[i].ORGSER = 10 + i;
        v[i].COMPSIZE = 1000 * (i + 1);
        v[i].CHK_SUM = -17 - i;
    }
    return v;
}

std::string comp_table() { return imgw::encode_region(imgw::comp_region(comps(5))); }

const char* const COMP_FIELDS = R"(
#  field nm  type  offset len
 1 SERIAL      N    0x001  12
 2 ORGSER      N    0x00d  12
 3 SEQUENCE    N    0x019  12
 4 ORGSIZE     N    0x025  12
 5 COMPSIZE    N    0x031  12
 6 ARCDSKSE    N    0x03d  12
 7 CHK_SUM     N    0x049  12
 8 COMP_LVL    N    0x055  12
 9 OFFS_HI     N    0x061  12
10 OFFS_LO     N    0x06d  12
11 IS_LAST     N    0x079  12
12 fields using total of 133 bytes per entry
)";

std::string comp_record(int n, int off) {
    char buf[512];
    snprintf(buf, sizeof buf,
             "\ndata record %d @ 0x%x"
             "\n 1: %12d\n 2: %12d\n 3:            0\n 4:            0\n 5: %12d"
             "\n 6:            0\n 7: %12d\n 8:            4\n 9:            0\n10:            0"
             "\n11:            1\n",
             n, off, n, 9 + n, 1000 * n, -16 - n);
    return buf;
}

TEST(DbfscanCommandLine, NoArgumentsPrintsUsageWithoutFinalNewline) {
    TempDir t;
    RunResult r = run_dbfscan(t.path, {});
    EXPECT_EQ(r.out, BANNER + R"(
usage: dbfscan ? [-d] [-f<filename>] [-o<offset>]
where ? maybe '1' through '7' for one of *.dbf:
      
  1: DVAARCF.DBF
  2: DVADIR.DBF
  3: DVADISK.DBF
  4: DVAFILE.DBF
  5: DVJOB.DBF
  6: DVSESS.DBF
  7: DVTEXT.DBF
-f<filename> attempts to open a named file: <filename>
     note -f option overrides default entry of '1' to '7'
          which is no longer required
-o<offset> in conjunction with -f seeks to hex <offset> before parse
          default offset is 0)");
    EXPECT_EQ(r.status, 0);
}

TEST(DbfscanCommandLine, NothingIsParsedWithoutADigitOrAFile) {
    TempDir t;
    t.write("DVAARCF.DBF", comp_table());
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"8"}, {"a1"}, {"0"}, {"-d", "1"}, {"-f"}, {"-o200"}}) {
        RunResult r = run_dbfscan(t.path, args);
        EXPECT_EQ(r.out, BANNER + "\n") << args[0];
        EXPECT_EQ(r.status, 0) << args[0];
    }
}

TEST(DbfscanCommandLine, DigitSelectsTheTableFile) {
    TempDir t;
    t.write("DVAARCF.DBF", comp_table());
    RunResult r = run_dbfscan(t.path, {"1"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: DVAARCF.DBF at offset 0x0" + COMP_FIELDS +
                         "\nparse_region() returned 0\n");
    EXPECT_EQ(r.status, 0);

    // -o without -f does not move the start.
    RunResult ro = run_dbfscan(t.path, {"1", "-o40"});
    EXPECT_EQ(ro.out, r.out);

    RunResult missing = run_dbfscan(t.path, {"7xyz"});
    EXPECT_EQ(missing.out, BANNER + "\nopen failed for DVTEXT.DBF\nparse_region() returned -1\n");
    EXPECT_EQ(missing.status, 255);
}

TEST(DbfscanCommandLine, OptionLettersInEitherCase) {
    TempDir t;
    t.write("c.tbl", comp_table());
    RunResult lower = run_dbfscan(t.path, {"-fc.tbl", "-d"});
    RunResult upper = run_dbfscan(t.path, {"x", "-D", "-Fc.tbl"});
    EXPECT_EQ(lower.status, 5);
    EXPECT_EQ(upper.out, lower.out);
    EXPECT_EQ(upper.status, 5);

    // An empty -f leaves the earlier name; the last name counts.
    RunResult last = run_dbfscan(t.path, {"-fnone.tbl", "-fc.tbl", "-f", "-dump"});
    EXPECT_EQ(last.out, lower.out);
}

TEST(DbfscanCommandLine, StartOffsetIsHexadecimal) {
    TempDir t;
    t.write("c.tbl", std::string(0x1f0, 'z') + comp_table());
    RunResult r = run_dbfscan(t.path, {"-fc.tbl", "-o1F0"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: c.tbl at offset 0x1f0" + COMP_FIELDS +
                         "\nparse_region() returned 0\n");
    RunResult prefixed = run_dbfscan(t.path, {"-O0x1f0", "-fc.tbl"});
    EXPECT_EQ(prefixed.out, r.out);

    // A value that is no number resets the offset to 0, also after a good one.
    RunResult bad = run_dbfscan(t.path, {"-fc.tbl", "-o1f0", "-oxyz"});
    EXPECT_EQ(bad.out, BANNER + "\nfailed to parse -oxyz, using offset 0" +
                           "\nparsing file: c.tbl at offset 0x0" + "\n#  field nm  type  offset len" +
                           "\ninvalid region, first field not named 'SERIAL'" +
                           "\nparse_region() returned -1\n");
    EXPECT_EQ(bad.status, 255);
}

TEST(DbfscanDump, CompTableListsElevenFieldsAndDumpsFiveRecords) {
    TempDir t;
    t.write("DVAARCF.DBF", comp_table());
    RunResult r = run_dbfscan(t.path, {"1", "-d"});
    std::string expected = BANNER + "\nparsing file: DVAARCF.DBF at offset 0x0" + COMP_FIELDS;
    // Record 1 follows the header, 11 descriptors, the 0x0D and record 0.
    for (int n = 1; n <= 5; n++) expected += comp_record(n, 0x181 + 133 * n);
    expected += "\nparse_region() returned 5\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 5);
}

TEST(DbfscanDump, CountRecordDisagreeingWithHeaderWarnsAndStillDumps) {
    TempDir t;
    imgw::Region reg = imgw::comp_region(comps(1));
    reg.header_count = 6;
    reg.records[0] = imgw::count_record(reg, 7);
    t.write("c.tbl", imgw::encode_region(reg));
    RunResult r = run_dbfscan(t.path, {"-fc.tbl", "-d"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: c.tbl at offset 0x0" + COMP_FIELDS +
                         "\nwarning ndat from header 6  != ndat 7 from rec 0" + comp_record(1, 0x206) +
                         "\nparse_region() returned 1\n");
    EXPECT_EQ(r.status, 1);
}

// The header's count is unsigned: 0xFFFFFFFF lets every record up to the
// 0x1A be printed.
TEST(DbfscanDump, HeaderCountIsUnsigned) {
    TempDir t;
    imgw::Region reg = imgw::comp_region(comps(5));
    reg.header_count = 0xFFFFFFFFu;
    t.write("c.tbl", imgw::encode_region(reg));
    RunResult r = run_dbfscan(t.path, {"-fc.tbl", "-d"});
    std::string expected = BANNER + "\nparsing file: c.tbl at offset 0x0" + COMP_FIELDS +
                           "\nwarning ndat from header -1  != ndat 6 from rec 0";
    for (int n = 1; n <= 5; n++) expected += comp_record(n, 0x181 + 133 * n);
    EXPECT_EQ(r.out, expected + "\nparse_region() returned 5\n");
}

TEST(DbfscanDump, TableWithoutEndOfDataByte) {
    TempDir t;
    imgw::Region reg = imgw::comp_region(comps(2));
    reg.end_of_data = false;
    t.write("c.tbl", imgw::encode_region(reg));
    RunResult r = run_dbfscan(t.path, {"-fc.tbl", "-d"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: c.tbl at offset 0x0" + COMP_FIELDS + comp_record(1, 0x206) +
                         comp_record(2, 0x28b) + "\ndata read error for entry 3, no data terminator found" +
                         "\nparse_region() returned 2\n");
    EXPECT_EQ(r.status, 2);
}

// n descriptors F01.. (the first SERIAL), each "N" of 2 characters.
std::string table_with_fields(int n) {
    imgw::Region reg;
    for (int i = 1; i <= n; i++) {
        char name[16];
        snprintf(name, sizeof name, "F%02d", i);
        reg.fields.push_back(fd(i == 1 ? "SERIAL" : name, 'N', 2));
    }
    reg.records.push_back(std::string((size_t)imgw::ent_size(reg), ' '));
    return imgw::encode_region(reg);
}

const char* const NINETEEN_FIELDS = R"(
#  field nm  type  offset len
 1 SERIAL      N    0x001  02
 2 F02         N    0x003  02
 3 F03         N    0x005  02
 4 F04         N    0x007  02
 5 F05         N    0x009  02
 6 F06         N    0x00b  02
 7 F07         N    0x00d  02
 8 F08         N    0x00f  02
 9 F09         N    0x011  02
10 F10         N    0x013  02
11 F11         N    0x015  02
12 F12         N    0x017  02
13 F13         N    0x019  02
14 F14         N    0x01b  02
15 F15         N    0x01d  02
16 F16         N    0x01f  02
17 F17         N    0x021  02
18 F18         N    0x023  02
19 F19         N    0x025  02)";

TEST(DbfscanStructure, NineteenDescriptorsAreTheMost) {
    TempDir t;
    t.write("19.tbl", table_with_fields(19));
    t.write("20.tbl", table_with_fields(20));
    RunResult r19 = run_dbfscan(t.path, {"-f19.tbl"});
    EXPECT_EQ(r19.out, BANNER + "\nparsing file: 19.tbl at offset 0x0" + NINETEEN_FIELDS +
                           "\n20 fields using total of 39 bytes per entry\n" +
                           "\nparse_region() returned 0\n");
    EXPECT_EQ(r19.status, 0);

    RunResult r20 = run_dbfscan(t.path, {"-f20.tbl"});
    EXPECT_EQ(r20.out, BANNER + "\nparsing file: 20.tbl at offset 0x0" + NINETEEN_FIELDS +
                           "\n20 F20         N    0x027  02" +
                           "read error obtaining structure definition, read 20 records + 32 bytes\n" +
                           "\nparse_region() returned -2\n");
    EXPECT_EQ(r20.status, 254);
}

// A name is printed as far as "%s" reads it: an 11-character name has no
// NUL in its field, so the type letter and the field offset's low byte
// (here 'A') follow it.
TEST(DbfscanStructure, ElevenCharacterNamesRunOnIntoTheTypeLetter) {
    TempDir t;
    imgw::Region reg;
    reg.fields = {fd("SERIAL", 'N', 12), fd("PAD", 'C', 52), fd("LONGNAME_11", 'C', 12)};
    reg.records.push_back(std::string(77, ' '));
    t.write("n.tbl", imgw::encode_region(reg));
    RunResult r = run_dbfscan(t.path, {"-fn.tbl"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: n.tbl at offset 0x0" + R"(
#  field nm  type  offset len
 1 SERIAL      N    0x001  12
 2 PAD         C    0x00d  52
 3 LONGNAME_11CA  C    0x041  12
4 fields using total of 77 bytes per entry

parse_region() returned 0
)");
}

TEST(DbfscanStructure, BrokenTableHeadersAndDescriptors) {
    TempDir t;
    std::string comp = comp_table();
    std::string not_serial = comp;
    not_serial[32 + 5] = 'X';
    t.write("name.tbl", not_serial);
    t.write("cut.tbl", comp.substr(0, 32 + 64 + 10));
    t.write("short.tbl", comp.substr(0, 20));
    t.write("noend.tbl", comp.substr(0, 32 + 11 * 32));

    RunResult r = run_dbfscan(t.path, {"-fname.tbl"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: name.tbl at offset 0x0\n#  field nm  type  offset len" +
                         "\ninvalid region, first field not named 'SERIAL'\nparse_region() returned -1\n");
    EXPECT_EQ(r.status, 255);

    r = run_dbfscan(t.path, {"-fcut.tbl"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: cut.tbl at offset 0x0\n#  field nm  type  offset len" +
                         "\n 1 SERIAL      N    0x001  12\n 2 ORGSER      N    0x00d  12" +
                         "read error obtaining structure definition, read 3 records + 10 bytes\n" +
                         "\nparse_region() returned -2\n");

    r = run_dbfscan(t.path, {"-fshort.tbl"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: short.tbl at offset 0x0\n#  field nm  type  offset len" +
                         "read error obtaining structure definition, read 0 records + 20 bytes\n" +
                         "\nparse_region() returned -2\n");

    r = run_dbfscan(t.path, {"-fnoend.tbl", "-d"});
    std::string listing(COMP_FIELDS);
    listing = listing.substr(0, listing.find("\n12 fields"));
    EXPECT_EQ(r.out, BANNER + "\nparsing file: noend.tbl at offset 0x0" + listing +
                         "read error obtaining structure definition, read 12 records + 0 bytes\n" +
                         "\nparse_region() returned -2\n");
    EXPECT_EQ(r.status, 254);
}

TEST(DbfscanStructure, RecordThatDoesNotFitTheBuffer) {
    TempDir t;
    imgw::Region wide;
    wide.fields = {fd("SERIAL", 'N', 12), fd("TEXT", 'C', 930)};
    wide.records.push_back(std::string(943, ' '));
    t.write("wide.tbl", imgw::encode_region(wide));
    RunResult r = run_dbfscan(t.path, {"-fwide.tbl", "-d"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: wide.tbl at offset 0x0" + R"(
#  field nm  type  offset len
 1 SERIAL      N    0x001  12
 2 TEXT        C    0x00d  930
3 fields using total of 943 bytes per entry

BUFSZ < 1040 bytes, not enough room to buffer data
parse_region() returned -4
)");
    EXPECT_EQ(r.status, 252);

    // The record size is a 32-bit sum and the sum tested is the one printed:
    // a first field offset near 2^32 makes it 8, and 97 + 8 fits the buffer.
    // Record 1 then starts 8 bytes behind the 0x0D.
    imgw::Region far;
    far.fields = {fd("SERIAL", 'N', 12, 0xFFFFFFF0u), fd("TEXT", 'C', 12)};
    far.records.push_back(std::string(40, ' '));
    t.write("far.tbl", imgw::encode_region(far));
    r = run_dbfscan(t.path, {"-ffar.tbl", "-d"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: far.tbl at offset 0x0" + R"(
#  field nm  type  offset len
 1 SERIAL      N    0xfffffff0  12
 2 TEXT        C    0x00d  12
3 fields using total of 8 bytes per entry

warning ndat from header 1  != ndat 0 from rec 0
data record 1 @ 0x69
 1: 
 2: 

data record 2 @ 0x71
 1: 
 2: 

data read error for entry 3, no data terminator found
parse_region() returned 2
)");

    // A size of 2^31 - 8 makes the sum 97 + size negative, so it passes the
    // test; record 1 would lie beyond 2^31: it is never reached, nor read
    // into the buffer.
    far.fields[0].offset = 0x7FFFFFE0u;
    t.write("far.tbl", imgw::encode_region(far));
    r = run_dbfscan(t.path, {"-ffar.tbl", "-d"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: far.tbl at offset 0x0" + R"(
#  field nm  type  offset len
 1 SERIAL      N    0x7fffffe0  12
 2 TEXT        C    0x00d  12
3 fields using total of 2147483640 bytes per entry

failed to seek 2147483609 bytes to start of data
parse_region() returned -5
)");
}

TEST(DbfscanFields, LongFieldsShowSeventyCharacters) {
    TempDir t;
    imgw::Region reg;
    reg.fields = {fd("SERIAL", 'N', 12), fd("CNT", 'N', 12), fd("TEXT", 'C', 100), fd("BIG", 'N', 80)};
    std::string text, big;
    for (int i = 0; i < 100; i++) text += (char)('A' + i % 26);
    for (int i = 0; i < 80; i++) big += (char)('0' + i % 10);
    reg.records.push_back(imgw::count_record(reg, 2));
    reg.records.push_back(" " + imgw::num_field(1) + imgw::num_field(5) + text + big);
    t.write("long.tbl", imgw::encode_region(reg));
    RunResult r = run_dbfscan(t.path, {"-flong.tbl", "-d"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: long.tbl at offset 0x0" + R"(
#  field nm  type  offset len
 1 SERIAL      N    0x001  12
 2 CNT         N    0x00d  12
 3 TEXT        C    0x019  100
 4 BIG         N    0x07d  80
5 fields using total of 205 bytes per entry

data record 1 @ 0x16e
 1:            1
 2:            5
 3: ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQR
 4: 0123456789012345678901234567890123456789012345678901234567890123456789

parse_region() returned 1
)");
}

TEST(DbfscanFields, FieldsOutsideTheRecordShowOnlyTheirBytesInside) {
    TempDir t;
    imgw::Region reg;
    // Record: flag, SERIAL 1..12, TEXT 13..24, then 37 bytes no field covers.
    reg.fields = {fd("SERIAL", 'N', 12), fd("TEXT", 'C', 12), fd("PART", 'C', 12, 55),
                  fd("FAR", 'N', 5, 200), fd("DATE", 'D', 8, 1), fd("HUGE", 'C', 12, 0xFFFFFFF8u)};
    ASSERT_EQ(imgw::ent_size(reg), 62);
    std::string tail = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQ";
    reg.records.push_back(imgw::count_record(reg, 2).substr(0, 25) + tail.substr(0, 37));
    reg.records.push_back(" " + imgw::num_field(1) + imgw::text_field("hello", 12) + tail.substr(0, 37));
    t.write("bad.tbl", imgw::encode_region(reg));
    RunResult r = run_dbfscan(t.path, {"-fbad.tbl", "-d"});
    EXPECT_EQ(r.out, BANNER + "\nparsing file: bad.tbl at offset 0x0" + R"(
#  field nm  type  offset len
 1 SERIAL      N    0x001  12
 2 TEXT        C    0x00d  12
 3 PART        C    0x037  12
 4 FAR         N    0x0c8  05
 5 DATE        D    0x001  08
 6 HUGE        C    0xfffffff8  12
7 fields using total of 62 bytes per entry

data record 1 @ 0x11f
 1:            1
 2: hello       
 3: 456789A
 4: 
 5:            1hello       abcdefghijklmnopqrstuvwxyz0123456789A
 6: 

parse_region() returned 1
)");
}

TEST(DbfscanFields, RecordsShorterThanTheFirstBlockStartAtRecordOne) {
    TempDir t;
    imgw::Region reg;
    reg.fields = {fd("SERIAL", 'N', 4), fd("NAME", 'C', 5)};
    reg.records = {"    0    3", "    1alpha", "    2bravo"};
    t.write("s.tbl", std::string(0x40, 'z') + imgw::encode_region(reg));
    RunResult r = run_dbfscan(t.path, {"-fs.tbl", "-o40", "-d"});
    // The count field at offset 13 lies in record 1: "  1alpha" reads as 1.
    EXPECT_EQ(r.out, BANNER + "\nparsing file: s.tbl at offset 0x40" + R"(
#  field nm  type  offset len
 1 SERIAL      N    0x001  04
 2 NAME        C    0x005  05
3 fields using total of 10 bytes per entry

warning ndat from header 3  != ndat 1 from rec 0
data record 1 @ 0xab
 1:    1
 2: alpha

data record 2 @ 0xb5
 1:    2
 2: bravo

parse_region() returned 2
)");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
