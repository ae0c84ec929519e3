// The fast ways of the restore and the exact ways they stand in for: a
// level 4 group inflated whole is taken only when it ends at ORGSIZE with
// its checksum, and a run gives the same output and files with the fast
// path on and off, also when writes come short; a stored file copied in
// large pieces leaves what a 1024-byte copy leaves after a short read.
#include <gtest/gtest.h>
#include <zlib.h>

#include "restore/staging.h"
#include "tests/restore_sets.h"
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

#include "fuzz/replay.h"
#endif

using namespace restore_test;

namespace {

std::string deflated(const std::string& bytes) {
    z_stream zs = {};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&zs, (uLong)bytes.size()), '\0');
    zs.next_in = (Bytef*)bytes.data();
    zs.avail_in = (uInt)bytes.size();
    zs.next_out = (Bytef*)&out[0];
    zs.avail_out = (uInt)out.size();
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

uint32_t chk_sum_of(const std::string& bytes) {
    return ~(uint32_t)crc32(0L, (const Bytef*)bytes.data(), (uInt)bytes.size());
}

// Text that deflate shrinks, with matches far back.
std::string text(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; i++) s += "line " + std::to_string(i * 7919 % 1000) + " of the text\n";
    s.resize(n);
    return s;
}

// ---- what the fast path accepts ----------------------------------------------

TEST(StageGroup, AcceptsOnlyAStreamThatEndsAtOrgSizeWithItsChecksum) {
    const std::string plain = text(100000) + noise(5000, 1);
    const std::string packed = deflated(plain);
    const int32_t org = (int32_t)plain.size();
    const uint32_t chk = chk_sum_of(plain);
    // A stream that ends in its first half: deflated with a final block.
    const std::string half = deflated(plain.substr(0, 50000));
    struct Case {
        const char* what;
        std::string stream;
        int32_t org_size;
        uint32_t chk_sum;
        bool accepted;
    };
    const Case cases[] = {
        {"the group as written", packed, org, chk, true},
        {"bytes behind the end of the stream", packed + "\x01\x02garbage", org, chk, true},
        {"checksum off by one", packed, org, chk + 1, false},
        {"ORGSIZE one short of the stream", packed, org - 1, chk_sum_of(plain.substr(0, org - 1)), false},
        {"ORGSIZE one beyond the stream", packed, org + 1, chk, false},
        {"stream cut short", packed.substr(0, packed.size() - 1), org, chk, false},
        {"stream ending early, more behind it", half + packed, org, chk, false},
        {"ORGSIZE 0", deflated(""), 0, chk_sum_of(""), false},
        {"no input", "", org, chk, false},
    };
    Staging st = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const unsigned char* got = stage_group(&st, (const unsigned char*)c.stream.data(),
                                               (int32_t)c.stream.size(), c.org_size, c.chk_sum);
        ASSERT_EQ(got != nullptr, c.accepted);
        if (got) {
            EXPECT_EQ(std::string((const char*)got, (size_t)org), plain);
        }
    }
    st.exact_only = true;
    EXPECT_EQ(stage_group(&st, (const unsigned char*)packed.data(), (int32_t)packed.size(), org, chk),
              nullptr);
    staging_release(&st);
}

TEST(StageGroup, GroupsBeyondTheCapTakeTheExactWay) {
    const std::string plain(STAGING_MAX + 1, 'z');
    const std::string packed = deflated(plain);
    Staging st = {};
    EXPECT_EQ(stage_group(&st, (const unsigned char*)packed.data(), (int32_t)packed.size(),
                          (int32_t)plain.size(), chk_sum_of(plain)),
              nullptr);
    const std::string at_cap = plain.substr(1);
    const std::string packed_at_cap = deflated(at_cap);
    EXPECT_NE(stage_group(&st, (const unsigned char*)packed_at_cap.data(),
                          (int32_t)packed_at_cap.size(), (int32_t)at_cap.size(), chk_sum_of(at_cap)),
              nullptr);
    staging_release(&st);
}

// ---- stored data in large pieces -----------------------------------------------

// a.bin spans two disks: 1,500,000 bytes on disk 1 (1464 whole CHUNKs and
// one of 864 bytes), the rest on disk 2, whose copy here ends 700,077 bytes
// into its data. A CHUNK loop writes the 683 whole CHUNKs of those before
// the read that comes short; the CHUNKs start afresh on each disk.
TEST(StoredCopy, ShortReadLeavesTheWholeChunksThatArrivedOnThatDisk) {
    const std::string a = noise(2500000, 11);
    imgw::BackupSet s = imgw::plan_set({{"", "a.bin", a}}, set_options(false, 4, 0, 1500000));
    std::vector<std::string> images = imgw::layout_images(s);
    ASSERT_EQ(images.size(), 2u);
    uint32_t cat = cat_offs_of(images[1]);
    TempDir t;
    write_images(t, images);
    t.write("short2.img", images[1].substr(0, 512 + 700077));

    RunResult r = run_in_out(t, {img(2), "-x"}, "N\n" + img(1) + "\n../short2.img\n");
    std::string out = engine_part(r.out);
    std::string tail = files_heading() + listing(1, "C:\\a.bin", 2500000) + "\ndisk change" +
                       disk_prompt(2) + header_lines(2, cat) + last_disk_accepted(2, (long)cat - 512) +
                       "\nio error writing file a.bin\n";
    ASSERT_GE(out.size(), tail.size()) << r.out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(r.status, 8);  // the restore stopped at a failed file
    std::string got = t.read("out/C_/a.bin");
    EXPECT_EQ(got.size(), 1500000u + 683 * 1024);
    EXPECT_TRUE(got == a.substr(0, got.size()));
}

#ifndef _WIN32
// ---- the fast path on and off ----------------------------------------------------

struct Outcome {
    std::string out;
    int status;
    std::map<std::string, std::string> files;
};

// Runs unbak in-process in t's "out" with the fast path on or off; the
// output directory is emptied afterwards.
Outcome run_way(const TempDir& t, bool fast, const std::vector<std::string>& args,
                const std::string& answers = "") {
    InProcessRun r = run_unbak_in(t.file("out"), args, answers, fast);
    Outcome o = {r.out, r.status, tree_of(t.file("out"))};
    remove_below(t.file("out"));
    return o;
}

void expect_same_both_ways(const TempDir& t, const std::vector<std::string>& args,
                           const std::string& answers = "") {
    Outcome fast = run_way(t, true, args, answers);
    Outcome exact = run_way(t, false, args, answers);
    EXPECT_EQ(fast.out, exact.out);
    EXPECT_EQ(fast.status, exact.status);
    EXPECT_TRUE(fast.files == exact.files);
}

// a.txt: three groups of 40,000 bytes at most; b.txt: one group, last in
// the stream.
imgw::BackupSet two_files(int comp_lvl) {
    return imgw::plan_set({{"", "a.txt", text(100000)}, {"", "b.txt", text(3000)}},
                          set_options(true, comp_lvl, 40000));
}

TEST(FastPathSwitch, GroupsGiveTheSameRunBothWays) {
    struct Case {
        const char* what;
        int comp_lvl;
        void (*tamper)(imgw::BackupSet&);
    };
    const Case cases[] = {
        {"as written", 4, [](imgw::BackupSet&) {}},
        {"stored groups", -1, [](imgw::BackupSet&) {}},
        {"checksum mismatch", 4, [](imgw::BackupSet& s) { s.tables.comp[1].CHK_SUM ^= 0x100; }},
        {"ORGSIZE short of the stream", 4, [](imgw::BackupSet& s) { s.tables.comp[1].ORGSIZE -= 1; }},
        {"ORGSIZE beyond the stream", 4, [](imgw::BackupSet& s) { s.tables.comp[2].ORGSIZE += 1; }},
        {"bytes behind the last stream", 4,
         [](imgw::BackupSet& s) {
             s.stream += "tail";
             s.disk_data.back() += 4;
             s.tables.comp.back().COMPSIZE += 4;
         }},
        {"group cut short", 4, [](imgw::BackupSet& s) { s.tables.comp[1].COMPSIZE -= 9; }},
        {"damaged group", 4, [](imgw::BackupSet& s) { s.stream[(size_t)s.tables.comp[1].OFFS_LO] = 0x07; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        imgw::BackupSet s = two_files(c.comp_lvl);
        c.tamper(s);
        TempDir t;
        write_images(t, imgw::layout_images(s));
        expect_same_both_ways(t, {img(1), "-x", "-v"});
    }
}

// The process's file size limit stands for a full disk: the write that
// reaches it comes short inside a group, and both ways report it with the
// same counts and leave the same bytes.
TEST(FastPathSwitch, ShortWriteAtTheFileSizeLimit) {
    const rlim_t limit = 50000;
    for (int comp_lvl : {4, -1}) {
        SCOPED_TRACE(comp_lvl);
        TempDir t;
        write_images(t, imgw::layout_images(two_files(comp_lvl)));
        struct rlimit saved;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
        struct rlimit lowered = saved;
        lowered.rlim_cur = limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
        Outcome fast = run_way(t, true, {img(1), "-x"});
        Outcome exact = run_way(t, false, {img(1), "-x"});
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, old_handler);

        EXPECT_EQ(fast.out, exact.out);
        EXPECT_TRUE(fast.files == exact.files);
        EXPECT_EQ(fast.files["C_/a.txt"], text(limit));
        std::string failure = comp_lvl == 4
            ? "\nerror writing output wrote 784 of 1024 bytes\nerror -10 in raw inflate()"
              "\nfatal decompression error"
            : "\nraw write error";
        EXPECT_NE(fast.out.find(listing(1, "C:\\a.txt", 100000) + failure + "\n"), std::string::npos)
            << fast.out;
    }
}

// A stored file copied in pieces of 1 MiB stops at the limit like a copy in
// CHUNKs: every byte before it is in the file.
TEST(StoredCopy, ShortWriteKeepsEveryByteBeforeTheLimit) {
    const rlim_t limit = 1500077;
    const std::string a = noise(2500000, 12);
    TempDir t;
    write_images(t, imgw::layout_images(imgw::plan_set({{"", "a.bin", a}}, set_options(false, 4))));
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lowered = saved;
    lowered.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    InProcessRun r = run_unbak_in(t.file("out"), {img(1), "-x"}, "");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(engine_part(r.out), link_line(1, 0, 2500000) + dirs_made({"C_"}) + files_heading() +
                                      listing(1, "C:\\a.bin", 2500000) +
                                      "\nio error writing file a.bin\n");
    std::string got = t.read("out/C_/a.bin");
    EXPECT_EQ(got.size(), (size_t)limit);
    EXPECT_TRUE(got == a.substr(0, got.size()));
}
#endif

}  // namespace
