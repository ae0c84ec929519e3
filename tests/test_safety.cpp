// What a restore never does, whatever the target directory or the catalog
// holds: write through a symbolic link, open a FIFO or device, write over an
// image of the run or over a file the run has restored; and what it says
// when anything was not restored as recorded, or its output went nowhere.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include "tests/restore_sets.h"

using namespace restore_test;

namespace {

imgw::SetOptions compressed_set() {
    return imgw::SetOptions();
}

void write_set(const TempDir& t, const std::vector<imgw::SourceFile>& files,
               const imgw::SetOptions& o = compressed_set()) {
    write_images(t, imgw::layout_images(imgw::plan_set(files, o)));
}

const std::vector<imgw::SourceFile> DATA_SET = {{"", "top.txt", "top of the tree"},
                                                {"Data", "a.txt", "the data file"}};

#ifdef _WIN32
#define SKIP_WITHOUT_LINKS() GTEST_SKIP() << "under Wine a Unix symbolic link looks like a directory"
#else
#define SKIP_WITHOUT_LINKS() (void)0

// Whatever lies outside out/ is as it was before the run.
void expect_untouched(const TempDir& t, const std::string& rel, const std::string& content) {
    EXPECT_EQ(t.read(rel), content);
}
#endif

TEST(NoLinks, ALinkAtTheDriveDirectoryIsNotFollowed) {
    SKIP_WITHOUT_LINKS();
#ifndef _WIN32
    TempDir t;
    write_set(t, DATA_SET);
    t.mkdir("elsewhere");
    ASSERT_EQ(symlink("../elsewhere", t.file("out/C_").c_str()), 0);
    RunResult r = run_in_out(t, {img(1), "-x"});
    EXPECT_NE(r.out.find("\nfailed to open output file: top.txt"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 8);
    EXPECT_TRUE(tree_of(t.file("elsewhere")).empty());
#endif
}

TEST(NoLinks, ALinkAtADeeperDirectoryIsNotFollowed) {
    SKIP_WITHOUT_LINKS();
#ifndef _WIN32
    TempDir t;
    write_set(t, DATA_SET);
    t.mkdir("elsewhere");
    t.mkdir("out/C_");
    ASSERT_EQ(symlink("../../elsewhere", t.file("out/C_/Data").c_str()), 0);
    RunResult r = run_in_out(t, {img(1), "-x"});
    // The link is neither created nor reported; the file beneath it fails.
    EXPECT_NE(r.out.find("\n  2 C_\\Data\ncatalog Files"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nfailed to open output file: a.txt"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(t.read("out/C_/top.txt"), "top of the tree");
    EXPECT_TRUE(tree_of(t.file("elsewhere")).empty());
#endif
}

TEST(NoLinks, ALinkOrAFifoAtAFileIsNeverOpened) {
    SKIP_WITHOUT_LINKS();
#ifndef _WIN32
    TempDir t;
    write_set(t, DATA_SET);
    t.write("victim", "precious");
    ASSERT_EQ(chmod(t.file("victim").c_str(), 0644), 0);
    t.mkdir("out/C_");
    ASSERT_EQ(symlink("../../victim", t.file("out/C_/top.txt").c_str()), 0);
    RunResult r = run_in_out(t, {img(1), "-x"});
    EXPECT_NE(r.out.find("\nfailed to open output file: top.txt"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 8);
    expect_untouched(t, "victim", "precious");
    EXPECT_EQ(mode_of(t.file("victim")), 0644u);

    // A FIFO would block an open for writing until a reader came.
    ASSERT_EQ(unlink(t.file("out/C_/top.txt").c_str()), 0);
    ASSERT_EQ(mkfifo(t.file("out/C_/top.txt").c_str(), 0600), 0);
    r = run_program("/usr/bin/timeout", {"20", UNBAK_EXE, img(1), "-x"}, "", t.file("out"));
    EXPECT_NE(r.out.find("\nfailed to open output file: top.txt"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 8);
#endif
}

// A file whose directory path cannot be built is restored under its bare
// name in the current directory; that name may be the image's own.
TEST(NeverOverAnImage, TheBareNameOfTheImageLeavesItWhole) {
    std::string deep;
    for (int i = 1; i <= 24; i++) deep += (deep.empty() ? "" : "\\") + ("d" + std::to_string(i));
    TempDir t;
    std::string image = imgw::layout_images(
        imgw::plan_set({{deep, "disk.img", "not the image"}}, compressed_set()))[0];
    t.write("disk.img", image);
    RunResult r = run_unbak(t.path, {"disk.img", "-x"});
    EXPECT_NE(r.out.find("\nfailed to open output file: disk.img"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 8);
    EXPECT_TRUE(t.read("disk.img") == image);
}

// Two catalog files that land on one output path: the first is kept, the
// second's data is stepped over, and the files behind them are restored.
TEST(NeverOverAnEarlierFile, TheSecondOfTwoNamesForOnePathIsSkipped) {
    TempDir t;
    write_set(t, {{"", "a:b", "first"}, {"", "a_b", "second"}, {"", "z.txt", "last"}});
    RunResult r = run_in_out(t, {img(1), "-x"});
    EXPECT_NE(r.out.find("\nduplicate output name, data skipped: C_\\a_b"), std::string::npos)
        << r.out;
    EXPECT_EQ(t.read("out/C_/a_b"), "first");
    EXPECT_EQ(t.read("out/C_/z.txt"), "last");
    EXPECT_EQ(r.status, 9);
}

TEST(ExitStatus, ACleanRestoreIsZero) {
    TempDir t;
    write_set(t, DATA_SET);
    RunResult r = run_in_out(t, {img(1), "-x"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(t.read("out/C_/Data/a.txt"), "the data file");
}

#ifndef _WIN32
TEST(ExitStatus, OutputThatNeverArrivedFailsTheRun) {
    TempDir t;
    write_set(t, DATA_SET);
    RunResult r = run_program(
        "/bin/sh", {"-c", std::string("exec '") + UNBAK_EXE + "' ../d1.img -l >/dev/full 2>err"},
        "", t.file("out"));
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(t.read("out/err"), "unbak: error writing standard output\n");
}

// Under a file-size limit a write comes back short and is reported; the
// run is not killed by the signal.
TEST(ExitStatus, AFileSizeLimitIsAShortWrite) {
    TempDir t;
    write_set(t, {{"", "big.bin", noise(300000, 7)}});
    RunResult r = run_program(
        "/bin/sh", {"-c", std::string("ulimit -f 100; exec '") + UNBAK_EXE + "' ../d1.img -x"}, "",
        t.file("out"));
    EXPECT_NE(r.out.find("\nerror writing output wrote"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 8);
    std::string got = t.read("out/C_/big.bin");
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), 300000u);
    EXPECT_TRUE(got == noise(300000, 7).substr(0, got.size()));
}

// mkbak holds to the same two rules: a file-size limit fails the image write
// with a message, and a summary that never arrived fails the run.
TEST(ExitStatus, MkbakFailsOnAFileSizeLimitOrAFullStdout) {
    TempDir t;
    t.mkdir("src");
    t.write("src/big.bin", noise(300000, 3));
    RunResult r = run_program(
        "/bin/sh", {"-c", std::string("ulimit -f 100; exec '") + MKBAK_EXE + "' src set 2>err"}, "",
        t.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(t.read("err").find("mkbak: cannot write set.001"), std::string::npos);
    r = run_program("/bin/sh",
                    {"-c", std::string("exec '") + MKBAK_EXE + "' src set2 >/dev/full 2>err"}, "",
                    t.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(t.read("err"), "mkbak: error writing standard output\n");
}
#endif

}  // namespace
