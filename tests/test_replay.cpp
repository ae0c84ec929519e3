// Replays every kept fuzzing input: the inputs that once made unbak or
// dbfscan crash, leak, hang or misbehave (tests/regress/unbak, .../dbfscan)
// and the minimized corpora (tests/regress/corpus/...). Each input goes
// through both programs in-process, in every mode the fuzz targets use.
// Under the sanitizer build a memory error, undefined behaviour or a leak
// fails the run; in both builds a file written outside the run directory
// fails it. And bak gives the same results on one thread and on four for
// every input of the unbak corpus.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "check/bak.h"
#include "fuzz/replay.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

// The kept inputs, gzip-compressed, below tests/regress/<dir>.
std::vector<std::string> kept_inputs(const std::string& dir) {
    std::string root = std::string(TEST_SOURCE_DIR) + "/regress/" + dir;
    std::vector<std::string> files;
    if (DIR* d = opendir(root.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 3 && n.compare(n.size() - 3, 3, ".gz") == 0) files.push_back(root + "/" + n);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool gunzip(const std::string& path, std::string* out) {
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out->append(buf, (size_t)n);
    bool ok = n == 0;
    gzclose(f);
    return ok;
}

class Replay : public ::testing::Test {
protected:
    TempDir scratch;
    void SetUp() override { ASSERT_TRUE(replay_init(scratch.path)); }
    void TearDown() override { replay_done(); }

    // Replays each input of dir through both programs; gives back how many.
    size_t replay_all(const std::string& dir) {
        size_t n = 0;
        for (const std::string& path : kept_inputs(dir)) {
            std::string bytes;
            EXPECT_TRUE(gunzip(path, &bytes)) << path;
            const uint8_t* data = (const uint8_t*)bytes.data();
            EXPECT_EQ(replay_unbak(data, bytes.size()), "") << path;
            EXPECT_EQ(replay_dbfscan(data, bytes.size()), "") << path;
            n++;
        }
        return n;
    }
};

// Every kept input: those that once failed, and both corpora.
TEST_F(Replay, EveryKeptInputRunsCleanThroughBothPrograms) {
    auto start = std::chrono::steady_clock::now();
    size_t found = replay_all("unbak") + replay_all("dbfscan");
    size_t unbak_corpus = replay_all("corpus/unbak");
    size_t dbfscan_corpus = replay_all("corpus/dbfscan");
    EXPECT_GT(unbak_corpus, 0u) << "no corpus below " << TEST_SOURCE_DIR << "/regress/corpus/unbak";
    EXPECT_GT(dbfscan_corpus, 0u) << "no corpus below " << TEST_SOURCE_DIR << "/regress/corpus/dbfscan";
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("inputs", (int)(found + unbak_corpus + dbfscan_corpus));
    RecordProperty("seconds", std::to_string(secs));
}

// Where two runs' transcripts first part, with some context.
std::string first_difference(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) i++;
    size_t from = i > 200 ? i - 200 : 0;
    return "at byte " + std::to_string(i) + ":\n" + a.substr(from, 400) + "\n---- against ----\n" +
           b.substr(from, 400);
}

// Inflating a whole group on the fast path changes nothing a run shows:
// every kept unbak input gives the same output, exit status and files with
// the fast path on and off.
TEST_F(Replay, FastPathOnAndOffGiveTheSameRuns) {
    size_t n = 0;
    for (const char* dir : {"unbak", "corpus/unbak"}) {
        for (const std::string& path : kept_inputs(dir)) {
            std::string bytes, fast, exact;
            ASSERT_TRUE(gunzip(path, &bytes)) << path;
            const uint8_t* data = (const uint8_t*)bytes.data();
            EXPECT_EQ(replay_unbak(data, bytes.size(), &fast), "") << path;
            EXPECT_EQ(replay_unbak(data, bytes.size(), &exact, false), "") << path;
            EXPECT_TRUE(fast == exact) << path << " " << first_difference(fast, exact);
            n++;
        }
    }
    EXPECT_GT(n, 0u);
}

// bak in-process, its standard output and error caught in files.
struct BakRun {
    int status;
    std::string out, err;
};

BakRun bak_in_process(const TempDir& t, std::vector<std::string> args) {
    args.insert(args.begin(), "bak");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(1), saved_err = dup(2);
    int out = open(t.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(t.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    BakRun r;
    r.status = bak_main((int)args.size(), argv.data());
    fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    r.out = t.read("stdout");
    r.err = t.read("stderr");
    // The time in extract's summary.
    size_t at = r.err.find(" bytes in ");
    if (at != std::string::npos) r.err.erase(at, r.err.find(" s\n", at) - at);
    return r;
}

// Every kept input through bak test and bak extract --salvage, on one
// thread and on four: the same messages, status and files.
TEST(ParallelReplay, EveryKeptInputGivesOnFourThreadsWhatItGivesOnOne) {
    size_t n = 0;
    for (const std::string& path : kept_inputs("corpus/unbak")) {
        TempDir t;
        std::string bytes;
        ASSERT_TRUE(gunzip(path, &bytes)) << path;
        t.mkdir("set");
        t.write("set/img.bak", bytes);
        std::string image = t.file("set/img.bak");
        BakRun test1 = bak_in_process(t, {"test", image, "-j", "1"});
        BakRun test4 = bak_in_process(t, {"test", image, "-j", "4"});
        EXPECT_TRUE(test1.status == test4.status && test1.out == test4.out && test1.err == test4.err)
            << path << "\n" << test1.err << "--- against ---\n" << test4.err;
        BakRun x1 = bak_in_process(t, {"extract", "--salvage", image, "-C", t.file("x1"), "-j", "1"});
        BakRun x4 = bak_in_process(t, {"extract", "--salvage", image, "-C", t.file("x4"), "-j", "4"});
        EXPECT_TRUE(x1.status == x4.status && x1.out == x4.out && x1.err == x4.err)
            << path << "\n" << x1.err << "--- against ---\n" << x4.err;
        EXPECT_EQ(tree_of(t.file("x1")), tree_of(t.file("x4"))) << path;
        n++;
    }
    EXPECT_GT(n, 0u);
}

// A replay leaves the caller's console, working directory and the scratch
// area as it found them, whatever the runs restored.
TEST_F(Replay, LeavesConsoleDirectoryAndScratchAreaAsFound) {
    imgw::SetOptions stored;
    stored.compressed = false;
    std::string image = imgw::layout_images(
        imgw::plan_set({{"Data", "a.txt", "alpha\n"}, {"", "b.txt", "bravo\n"}}, stored)).back();
    char before[4096], after[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(replay_unbak((const uint8_t*)image.data(), image.size()), "");
    EXPECT_EQ(replay_dbfscan((const uint8_t*)image.data(), image.size()), "");
    printf("still here");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here");
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(after, before);
    std::vector<std::string> left;
    for (const auto& e : tree_of(scratch.path)) left.push_back(e.first.substr(e.first.find('/')));
    EXPECT_EQ(left, (std::vector<std::string>{"/", "/a/", "/a/b/", "/a/b/run/"}));
}

}  // namespace
