// The fast ways of the restore and the exact ways they stand in for: a
// stored file copied in large pieces leaves what a 1024-byte copy leaves
// after a short read or write.
#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/restore_sets.h"
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

#include "fuzz/replay.h"
#endif

using namespace restore_test;

namespace {

imgw::SetOptions options(bool compressed, int comp_lvl, int32_t group_size = 65536,
                         int64_t disk_capacity = 0) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.comp_lvl = comp_lvl;
    o.group_size = group_size;
    o.disk_capacity = disk_capacity;
    return o;
}

// ---- stored data in large pieces -----------------------------------------------

// a.bin spans two disks: 1,500,000 bytes on disk 1 (1464 whole CHUNKs and
// one of 864 bytes), the rest on disk 2, whose copy here ends 700,077 bytes
// into its data. A CHUNK loop writes the 683 whole CHUNKs of those before
// the read that comes short; the CHUNKs start afresh on each disk.
TEST(StoredCopy, ShortReadLeavesTheWholeChunksThatArrivedOnThatDisk) {
    const std::string a = noise(2500000, 11);
    imgw::BackupSet s = imgw::plan_set({{"", "a.bin", a}}, options(false, 4, 0, 1500000));
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
    EXPECT_EQ(r.status, 0);
    std::string got = t.read("out/C_/a.bin");
    EXPECT_EQ(got.size(), 1500000u + 683 * 1024);
    EXPECT_TRUE(got == a.substr(0, got.size()));
}

#ifndef _WIN32
// A stored file copied in pieces of 1 MiB stops at the limit like a copy in
// CHUNKs: every byte before it is in the file.
TEST(StoredCopy, ShortWriteKeepsEveryByteBeforeTheLimit) {
    const rlim_t limit = 1500077;
    const std::string a = noise(2500000, 12);
    TempDir t;
    write_images(t, imgw::layout_images(imgw::plan_set({{"", "a.bin", a}}, options(false, 4))));
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
