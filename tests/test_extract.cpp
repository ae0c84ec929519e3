// File data extraction, end to end: stored and compressed files restored
// byte for byte, the warnings and failures of a group, the data stream
// continued across disk images, and memory bounded by the bytes present.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>

#include "platform/platform.h"
#include "restore/restore.h"
#include "tests/restore_sets.h"

using namespace restore_test;

namespace {

uint32_t stream_total(const imgw::BackupSet& s) {
    uint32_t t = 0;
    for (const imgw::Comp& c : s.tables.comp) t += (uint32_t)c.COMPSIZE;
    return t;
}

uint32_t crc_of(const std::string& bytes) {
    return (uint32_t)crc32(0L, (const Bytef*)bytes.data(), (uInt)bytes.size());
}

// ---- whole sets restored ---------------------------------------------------

struct SetKind {
    const char* label;
    bool compressed;
    int comp_lvl;
};

class SingleDiskRestore : public ::testing::TestWithParam<SetKind> {};

TEST_P(SingleDiskRestore, EveryFileByteForByteWithItsTime) {
    const SetKind k = GetParam();
    const std::string big = noise(150000, 1);  // three groups of 64 KiB at most
    imgw::BackupSet s = imgw::plan_set({{"Data", "a.txt", "alpha\n"},
                                        {"", "empty.txt", ""},
                                        {"Data\\Sub", "big.bin", big}},
                                       set_options(k.compressed, k.comp_lvl));
    TempDir t;
    write_images(t, imgw::layout_images(s));
    RunResult r = run_in_out(t, {img(1), "-x"});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(engine_part(r.out),
              link_line(3, k.compressed ? 3 : 0, k.compressed ? stream_total(s) : 150006) +
                  dirs_made({"C_", "C_\\Data", "C_\\Data\\Sub"}) + files_heading() +
                  listing(1, "C:\\Data\\a.txt", 6) + listing(2, "C:\\empty.txt", 0) +
                  listing(3, "C:\\Data\\Sub\\big.bin", 150000) + "\n");
    std::map<std::string, std::string> want = {
        {"C_/", ""},           {"C_/Data/", ""},          {"C_/Data/Sub/", ""},
        {"C_/empty.txt", ""},  {"C_/Data/a.txt", "alpha\n"}, {"C_/Data/Sub/big.bin", big}};
    EXPECT_EQ(tree_of(t.file("out")), want);
    for (const char* f : {"C_/empty.txt", "C_/Data/a.txt", "C_/Data/Sub/big.bin"})
        EXPECT_EQ(mtime_of(t.file("out/") + f), DATE_SECS) << f;
}

INSTANTIATE_TEST_SUITE_P(Kinds, SingleDiskRestore,
                         ::testing::Values(SetKind{"Stored", false, 4}, SetKind{"Deflate", true, 4},
                                           SetKind{"StoredGroups", true, -1}),
                         [](const ::testing::TestParamInfo<SetKind>& i) { return i.param.label; });

TEST(CompressedTrace, VerboseShowsEachGroupAndItsInflatedLength) {
    for (int lvl : {4, -1}) {
        imgw::BackupSet s =
            imgw::plan_set({{"", "x.bin", noise(2500, 2)}}, set_options(true, lvl, 1000));
        TempDir t;
        write_images(t, imgw::layout_images(s));
        RunResult r = run_in_out(t, {img(1), "-x", "-v"});

        std::string want = link_line(1, 1, stream_total(s)) + dirs_made({"C_"}) + files_heading() +
                           listing(1, "C:\\x.bin", 2500);
        for (const imgw::Comp& c : s.tables.comp)
            want += fmt("\n     compsize %ld", (long)c.COMPSIZE) +
                    fmt(" chksum 0x%lx", (long)(uint32_t)c.CHK_SUM) +
                    fmt(" offs_lo 0x%ld", (long)c.OFFS_LO);
        for (size_t g = 0; g < s.tables.comp.size(); g++) {
            want += fmt("\ngroup %ld", (long)g + 1) +
                    fmt(" offs_lo 0x%lx", (long)s.tables.comp[g].OFFS_LO) +
                    fmt(" comp_lvl %ld", (long)lvl);
            if (lvl == 4)
                want += fmt("\nend of compressed bitstream, wrote %ld bytes",
                            (long)s.tables.comp[g].ORGSIZE);
        }
        EXPECT_EQ(engine_part(r.out), want + "\n") << "level " << lvl;
        EXPECT_EQ(t.read("out/C_/x.bin"), noise(2500, 2));
    }
}

// ---- warnings leave the file restored --------------------------------------

// a.bin: three groups of 1000, 1000 and 500 bytes; b.txt: one group.
imgw::BackupSet warning_set() {
    return imgw::plan_set({{"", "a.bin", noise(2500, 3)}, {"", "b.txt", "bravo\n"}},
                          set_options(true, 4, 1000));
}

TEST(GroupWarnings, AreReportedAndTheRestoreGoesOn) {
    const std::string a = noise(2500, 3);
    struct Case {
        const char* what;
        void (*tamper)(imgw::BackupSet&);
        long listed_len;
        std::string warning;
    };
    const Case cases[] = {
        {"checksum", [](imgw::BackupSet& s) { s.tables.comp[1].CHK_SUM += 1; }, 2500,
         fmt("\nwarning decompressed data crc=0x%lx", (long)crc_of(a.substr(1000, 1000))) +
             fmt("+chksum in file =0x%lx for block != -1",
                 (long)(uint32_t)(~crc_of(a.substr(1000, 1000)) + 1u))},
        {"group length", [](imgw::BackupSet& s) { s.tables.comp[2].ORGSIZE = 499; }, 2500,
         "\nwarning decompressed block data length mismatch! 499 != 500"},
        {"file length", [](imgw::BackupSet& s) { s.tables.files[0].size_lo = 2499; }, 2499,
         "\nwarning output file length mismatch after extraction! 2499 != 2500"},
    };
    for (const Case& c : cases) {
        imgw::BackupSet s = warning_set();
        c.tamper(s);
        TempDir t;
        write_images(t, imgw::layout_images(s));
        RunResult r = run_in_out(t, {img(1), "-x"});

        EXPECT_EQ(engine_part(r.out), link_line(2, 2, stream_total(s)) + dirs_made({"C_"}) +
                                          files_heading() + listing(1, "C:\\a.bin", c.listed_len) +
                                          c.warning + listing(2, "C:\\b.txt", 6) + "\n")
            << c.what;
        EXPECT_EQ(t.read("out/C_/a.bin"), a) << c.what;
        EXPECT_EQ(t.read("out/C_/b.txt"), "bravo\n") << c.what;
        // A warning is not a failure: the file still gets its time.
        EXPECT_EQ(mtime_of(t.file("out/C_/a.bin")), DATE_SECS) << c.what;
    }
}

// ---- failures stop the walk, keeping what was written ------------------------

struct Failure {
    const char* what;
    void (*tamper)(imgw::BackupSet&);
    std::string messages;  // printed after a.bin's listing line
    size_t kept;           // bytes of a.bin in the output file
};

TEST(GroupFailures, StopTheWalkAndKeepEarlierGroups) {
    const std::string a = noise(2500, 3);
    const Failure cases[] = {
        {"unknown level", [](imgw::BackupSet& s) { s.tables.comp[1].COMP_LVL = 2; },
         "\nfatal error comp_lvl = 2 unknown", 1000},
        {"negative size", [](imgw::BackupSet& s) { s.tables.comp[1].COMPSIZE = -5; },
         "\nfatal error allocating decompression buffer", 1000},
        {"chain ends inside the run", [](imgw::BackupSet& s) {
             s.tables.files.pop_back();
             s.tables.comp.pop_back();
             s.tables.comp.back().IS_LAST = 0;
         },
         "\nfatal error, end Comp records for file a.bin", 2500},
    };
    for (const Failure& c : cases) {
        imgw::BackupSet s = warning_set();
        c.tamper(s);
        TempDir t;
        write_images(t, imgw::layout_images(s));
        RunResult r = run_in_out(t, {img(1), "-x"});

        std::string out = engine_part(r.out);
        std::string tail = listing(1, "C:\\a.bin", 2500) + c.messages + "\n";
        ASSERT_GE(out.size(), tail.size()) << c.what << out;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << c.what;
        EXPECT_EQ(t.read("out/C_/a.bin"), a.substr(0, c.kept)) << c.what;
        EXPECT_FALSE(t.exists("out/C_/b.txt")) << c.what;
        EXPECT_NE(mtime_of(t.file("out/C_/a.bin")), DATE_SECS) << c.what;
    }
}

TEST(GroupFailures, BadDeflateDataIsFatalForTheFile) {
    const std::string c = noise(3000, 4);
    struct Case {
        const char* what;
        bool truncate;
        std::string messages;
    };
    const Case cases[] = {
        {"truncated", true,
         "\nerror -5 in raw inflate()\nfatal decompression error"
         "\nwarning output file length mismatch after extraction! 3000 != 0"},
        {"reserved block type", false,
         "\nerror -3 in raw inflate()\ninvalid block type\nfatal decompression error"
         "\nwarning output file length mismatch after extraction! 3000 != 0"},
    };
    for (const Case& k : cases) {
        imgw::BackupSet s = imgw::plan_set({{"", "c.bin", c}, {"", "d.txt", "delta\n"}},
                                           set_options(true, 4));
        if (k.truncate)
            s.tables.comp[0].COMPSIZE /= 2;
        else
            s.stream[0] = 0x07;  // final block of the reserved type 3
        TempDir t;
        write_images(t, imgw::layout_images(s));
        RunResult r = run_in_out(t, {img(1), "-x"});

        EXPECT_EQ(engine_part(r.out), link_line(2, 2, stream_total(s)) + dirs_made({"C_"}) +
                                          files_heading() + listing(1, "C:\\c.bin", 3000) +
                                          k.messages + "\n")
            << k.what;
        std::string got = t.read("out/C_/c.bin");
        EXPECT_LT(got.size(), c.size()) << k.what;
        EXPECT_EQ(got, c.substr(0, got.size())) << k.what;
        EXPECT_FALSE(t.exists("out/C_/d.txt")) << k.what;
    }
}

// ---- the stream across disk images -------------------------------------------

// The last-disk menu text for a two-disk set whose first whole file on the
// last disk is second, behind skip bytes of the first.
std::string two_disk_intro(uint32_t stored, uint32_t used, int32_t space, const std::string& second,
                           int32_t skip) {
    std::string alloc = fmt("\n2 files uncompressed data space %ld", (long)stored) +
                        fmt(" used data space %ld", (long)used) +
                        fmt("\n%ld data bytes available for data storage on this disk",
                            (long)space) +
                        "\n1st full file on disk 2   => " + second;
    if (skip > 0)
        alloc += fmt("\n must skip first %ld data bytes on this media disk as previous file spans 2 "
                     "disks",
                     (long)skip);
    return choice_intro(2, 2, alloc);
}

TEST(DiskChange, GroupSplitOverTwoImagesIsGatheredWhole) {
    const std::string a = noise(3000, 5);
    imgw::BackupSet s = imgw::plan_set({{"", "a.bin", a}, {"", "b.txt", "bravo\n"}},
                                       set_options(true, 4, 65536, 2000));
    std::vector<std::string> images = imgw::layout_images(s);
    ASSERT_EQ(images.size(), 2u);
    uint32_t cat = cat_offs_of(images[1]);
    TempDir t;
    write_images(t, images);
    RunResult r = run_in_out(t, {img(2), "-x"}, "N\n" + img(1) + "\n" + img(2) + "\n");

    int32_t space = (int32_t)cat - 512;
    EXPECT_EQ(engine_part(r.out),
              link_line(2, 2, stream_total(s)) + dirs_made({"C_"}) +
                  two_disk_intro(3006, stream_total(s), space, "b.txt",
                                 (int32_t)s.tables.comp[0].COMPSIZE - 2000) +
                  disk_prompt(1) + header_lines(1, 0) + data_disk_accepted(1, 2, 2000) +
                  files_heading() + listing(1, "C:\\a.bin", 3000) + "\ndisk change" +
                  disk_prompt(2) + header_lines(2, cat) + last_disk_accepted(2, space) +
                  listing(2, "C:\\b.txt", 6) + "\n");
    EXPECT_EQ(t.read("out/C_/a.bin"), a);
    EXPECT_EQ(t.read("out/C_/b.txt"), "bravo\n");
}

TEST(DiskChange, StoredFileEndingAtTheImageEndChangesDiskOnlyForTheNext) {
    const std::string a = noise(1000, 6), b = noise(500, 7);
    imgw::BackupSet s =
        imgw::plan_set({{"", "a.bin", a}, {"", "b.bin", b}}, set_options(false, 4, 0, 1000));
    std::vector<std::string> images = imgw::layout_images(s);
    ASSERT_EQ(images.size(), 2u);
    uint32_t cat = cat_offs_of(images[1]);
    TempDir t;
    write_images(t, images);
    RunResult r = run_in_out(t, {img(2), "-x"}, "N\n" + img(1) + "\n" + img(2) + "\n");

    EXPECT_EQ(engine_part(r.out),
              link_line(2, 0, 1500) + dirs_made({"C_"}) + two_disk_intro(1500, 1500, 500, "b.bin", 0) +
                  disk_prompt(1) + header_lines(1, 0) + data_disk_accepted(1, 2, 1000) +
                  files_heading() + listing(1, "C:\\a.bin", 1000) + listing(2, "C:\\b.bin", 500) +
                  "\ndisk change" + disk_prompt(2) + header_lines(2, cat) +
                  last_disk_accepted(2, 500) + "\n");
    EXPECT_EQ(t.read("out/C_/a.bin"), a);
    EXPECT_EQ(t.read("out/C_/b.bin"), b);
    EXPECT_EQ(mtime_of(t.file("out/C_/b.bin")), DATE_SECS);
}

TEST(DiskChange, NoNextImageEndsTheFileAtOnce) {
    // Input ends after disk 1's name: the prompt for disk 2 finds no answer.
    for (bool compressed : {false, true}) {
        const std::string a = noise(3000, 8);
        imgw::BackupSet s = imgw::plan_set({{"", "a.bin", a}, {"", "b.txt", "bravo\n"}},
                                           set_options(compressed, 4, 1000, 2000));
        std::vector<std::string> images = imgw::layout_images(s);
        ASSERT_EQ(images.size(), 2u);
        TempDir t;
        write_images(t, images);
        RunResult r = run_in_out(t, {img(2), "-x"}, "N\n" + img(1) + "\n");

        // No length warning for the compressed file: the failed change ends
        // it at once.
        std::string out = engine_part(r.out);
        std::string tail = files_heading() + listing(1, "C:\\a.bin", 3000) + "\ndisk change" +
                           disk_prompt(2) + "\n";
        ASSERT_GE(out.size(), tail.size()) << out;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << compressed;
        std::string got = t.read("out/C_/a.bin");
        // Stored: all of disk 1's bytes; compressed: the whole groups on it.
        EXPECT_EQ(got, a.substr(0, compressed ? 1000 : 2000)) << compressed;
        EXPECT_NE(mtime_of(t.file("out/C_/a.bin")), DATE_SECS);
    }
}

// While the prompt for disk 2 waits, the part of a.bin that disk 1 held is
// already in the file: a user who stops there keeps it.
TEST(DiskChange, BytesRestoredBeforeAPromptAreOnDiskWhileItWaits) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX only: the Windows layer holds no output back";
#else
    const std::string a = noise(3000, 11);
    imgw::BackupSet s = imgw::plan_set({{"", "a.bin", a}, {"", "b.txt", "bravo\n"}},
                                       set_options(false, 4, 0, 2000));
    std::vector<std::string> images = imgw::layout_images(s);
    ASSERT_EQ(images.size(), 2u);
    TempDir t;
    write_images(t, images);
    LiveRun run(UNBAK_EXE, {img(2), "-x"}, t.file("out"), "N\n" + img(1) + "\n");
    ASSERT_TRUE(run.wait_for("\ndisk change" + disk_prompt(2))) << run.out;
    EXPECT_EQ(t.read("out/C_/a.bin"), a.substr(0, 2000));
    run.finish();
#endif
}

TEST(DiskChange, SkippedFileIsSteppedOverAcrossImages) {
    for (bool compressed : {false, true}) {
        imgw::BackupSet s = imgw::plan_set(
            {{"Skip", "x.bin", noise(3000, 9)}, {"Keep", "y.txt", "yankee\n"}},
            set_options(compressed, 4, 1000, 2000));
        std::vector<std::string> images = imgw::layout_images(s);
        ASSERT_EQ(images.size(), 2u);
        uint32_t cat = cat_offs_of(images[1]);
        TempDir t;
        write_images(t, images);
        RunResult r =
            run_in_out(t, {img(2), "-x", "-pC:\\Keep"}, "N\n" + img(1) + "\n" + img(2) + "\n");

        std::string out = engine_part(r.out);
        std::string tail = files_heading() + "using path string: C:\\Keep\n" + "\ndisk change" +
                           disk_prompt(2) + header_lines(2, cat) +
                           last_disk_accepted(2, (long)cat - 512) +
                           listing(2, "C:\\Keep\\y.txt", 7) +
                           "\nskipped 1 files due to path comparision from -p<path>\n";
        ASSERT_GE(out.size(), tail.size()) << out;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << compressed;
        EXPECT_EQ(t.read("out/C_/Keep/y.txt"), "yankee\n") << compressed;
        EXPECT_FALSE(t.exists("out/C_/Skip/x.bin")) << compressed;
    }
}

// In-process: a run's size in the stream is summed in signed 32 bits, as the
// linking sums it; a group of -5 takes 5 off the count, and a sum of 0 or
// less (wrapped past 2^31 included) skips nothing.
TEST(SkipFile, SumsTheRunInSigned32Bits) {
    struct Case {
        std::vector<int32_t> sizes;
        int32_t skipped;
    };
    const Case cases[] = {
        {{10, -5}, 5},
        {{3, -5}, 0},
        {{INT32_MAX, 1}, 0},
        {{INT32_MAX, INT32_MAX, 9}, 7},
    };
    TempDir t;
    t.write("d1.img", std::string(4096, 'd'));
    for (const Case& c : cases) {
        std::vector<CompRecord> run(c.sizes.size());
        for (size_t i = 0; i < run.size(); i++) {
            run[i] = {};
            run[i].COMPSIZE = c.sizes[i];
            run[i].IS_LAST = i + 1 == run.size();
            run[i].next = i + 1 < run.size() ? &run[i + 1] : nullptr;
        }
        FileRecord file = {};
        file.comp = run.data();
        uint16_t options = 0;
        Catalog catalog;
        catalog_init(&catalog, &options);
        int image = plat_open_read(t.file("d1.img").c_str());
        ASSERT_GE(image, 0);
        ASSERT_EQ(plat_seek(image, 0x200, PLAT_SEEK_SET), 0x200);
        int32_t avail = 1000;
        EXPECT_EQ(skip_file(&image, &catalog, &file, &avail), RESTORE_OK) << c.skipped;
        EXPECT_EQ(plat_seek(image, 0, PLAT_SEEK_CUR), 0x200 + c.skipped);
        EXPECT_EQ(avail, 1000 - c.skipped);
        plat_close(image);
    }
}

// In-process: data that runs on past the image with no next image to be had
// (no Dialogue) ends the step with that reason, the image closed.
TEST(SkipFile, DataBeyondTheImageWithoutANextDiskStops) {
    TempDir t;
    t.write("d1.img", std::string(4096, 'd'));
    FileRecord file = {};
    file.size_lo = 3000;
    uint16_t options = 0;
    Catalog catalog;
    catalog_init(&catalog, &options);
    catalog.cur_disk = 0;
    int image = plat_open_read(t.file("d1.img").c_str());
    ASSERT_GE(image, 0);
    int32_t avail = 1000;
    EXPECT_EQ(skip_file(&image, &catalog, &file, &avail), RESTORE_NO_NEXT_DISK);
    EXPECT_EQ(image, -1);
    EXPECT_EQ(catalog.cur_disk, 1);
}

// ---- memory bounded by the bytes present ---------------------------------------

// Runs unbak in dir where an allocation near the claimed group size fails:
// under the address sanitizer by its allocation limit, otherwise by an
// address-space limit.
RunResult run_with_small_heap(const std::string& dir, const std::vector<std::string>& args,
                              const std::string& in) {
#ifdef UNDER_ASAN
    std::string script =
        "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=256 exec \"$0\" \"$@\"";
#else
    std::string script = "ulimit -v 262144 && exec \"$0\" \"$@\"";
#endif
    std::vector<std::string> argv = {"-c", script, UNBAK_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program("/bin/sh", argv, in, dir);
}

TEST(HostileGroupSize, TwoGibibyteClaimReadsOnlyWhatIsThere) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX only: the small heap is a shell's ulimit";
#endif
    const std::string a = noise(6000, 10);
    imgw::BackupSet s =
        imgw::plan_set({{"", "a.bin", a}}, set_options(true, 4, 65536, 4000));
    s.tables.comp[0].COMPSIZE = 2147483647;
    std::vector<std::string> images = imgw::layout_images(s);
    ASSERT_EQ(images.size(), 2u);
    uint32_t cat = cat_offs_of(images[1]);
    TempDir t;
    write_images(t, images);
    // A copy of disk 2 cut short behind 100 data bytes: its header matches,
    // its data ends early.
    t.write("short2.img", images[1].substr(0, 612));

    RunResult r = run_with_small_heap(t.file("out"), {img(2), "-x"},
                                      "N\n" + img(1) + "\n../short2.img\n");
    std::string out = engine_part(r.out);
    std::string tail = files_heading() + listing(1, "C:\\a.bin", 6000) + "\ndisk change" +
                       disk_prompt(2) + header_lines(2, cat) +
                       last_disk_accepted(2, (long)cat - 512) + "\nio error reading file a.bin" +
                       "\nwarning output file length mismatch after extraction! 6000 != 0\n";
    ASSERT_GE(out.size(), tail.size()) << r.out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(r.status, 8);
}

}  // namespace
