// The threaded walk's bookkeeping, in-process: a command may ask for the
// files in another order than the reader reads them, pass some over, or ask
// for one the reader never had; each file's check must come out as on one
// thread.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "check/bak.h"
#include "platform/platform.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

// What a check says of a file, as one comparable text.
std::string verdict(const FileCheck& r) {
    std::string s = std::to_string(r.status) + " " + std::to_string(r.ngroups) + " " +
                    std::to_string(r.bytes_lost) + " " + std::to_string(r.written);
    for (const Problem& p : r.problems)
        s += " [" + std::to_string(p.kind) + " " + std::to_string(p.first_group) + "-" +
             std::to_string(p.last_group) + " " + std::to_string(p.a) + " " + std::to_string(p.b) +
             "]";
    for (const LostRange& l : r.lost) s += " <" + std::to_string(l.offset) + "+" + std::to_string(l.length) + ">";
    return s;
}

std::string check(Bak* bak, const BakFile* f) {
    DataOut none = {-1, false, false, false, false, nullptr, nullptr, nullptr};
    FileCheck res;
    check_file(bak, f, &none, &res);
    return verdict(res);
}

TEST(Pipeline, FilesAskedOutOfOrderPassedOverOrNeverReadCheckAsOnOneThread) {
    TempDir t;
    std::vector<imgw::SourceFile> files;
    for (int i = 0; i < 6; i++)
        files.push_back({"", "f" + std::to_string(i) + ".bin", std::string(30000 + 7000 * i, (char)('a' + i))});
    imgw::SetOptions opt;
    opt.group_size = 4096;
    imgw::BackupSet plan = imgw::plan_set(files, opt);
    std::string image = imgw::layout_images(plan)[0];
    // A damaged group in file 3.
    for (const imgw::Comp& c : plan.tables.comp)
        if (c.ORGSER == 4) {
            image[(size_t)(512 + c.OFFS_LO + c.COMPSIZE / 2)] ^= 0x5A;
            break;
        }
    t.write("d1.img", image);

    Bak bak{};
    bak.opt.set = t.file("d1.img");
    ASSERT_EQ(open_set(&bak), 0);
    ASSERT_EQ(bak.set.files.size(), 6u);
    std::vector<std::string> want;
    for (const BakFile& f : bak.set.files) want.push_back(check(&bak, &f));

    const std::vector<BakFile>& all = bak.set.files;
    // The reader reads 5, 2, 0, 3; the command asks for 1 (never read),
    // 0 (passing 5 and 2 over), 2 (passed: its steps are gone, 3's are
    // next), 3, 5 (passed, and the reader is done) and 4 (never read).
    bak.opt.jobs = 3;
    walk_start(&bak, {&all[5], &all[2], &all[0], &all[3]});
    ASSERT_NE(bak.pipeline, nullptr);
    for (int i : {1, 0, 2, 3, 5, 4}) EXPECT_EQ(check(&bak, &all[(size_t)i]), want[(size_t)i]) << i;
    walk_stop(&bak);
    EXPECT_EQ(bak.pipeline, nullptr);
    EXPECT_EQ(want[3].rfind(std::to_string(FILE_DAMAGED) + " ", 0), 0u) << want[3];

    close_set(&bak);
    release_scratch(&bak.scratch);
    plat_close_all();
}

}  // namespace
