// The OS layer on real files, on every platform: binary I/O with short
// counts, seeks, catalog paths with backslashes, directory status, times and
// the read-only state, and several handles of one file. The POSIX layer's
// buffers have their own tests (test_handles.cpp).
#include <gtest/gtest.h>
#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/harness.h"

namespace {

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = (char)(rng() & 0xFF);
    return s;
}

TEST(PlatformFiles, ReadWriteSeekAndShortCounts) {
    TempDir t;
    std::string p = t.file("data.bin");
    int fd = plat_create(p.c_str());
    ASSERT_GE(fd, 0);
    const char bytes[] = "ab\r\ncd\x1a\x00z";
    EXPECT_EQ(plat_write(fd, bytes, 9), 9);
    EXPECT_EQ(plat_close(fd), 0);
#ifdef _WIN32
    EXPECT_EQ(mode_of(p), 0666u);  // a writable file, as the C runtime shows it
#else
    EXPECT_EQ(mode_of(p), 0600u);
#endif

    fd = plat_open_read(p.c_str());
    ASSERT_GE(fd, 0);
    char buf[32];
    EXPECT_EQ(plat_read(fd, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "ab\r\n");  // no text-mode translation
    EXPECT_EQ(plat_seek(fd, 2, PLAT_SEEK_CUR), 6);
    EXPECT_EQ(plat_read(fd, buf, 32), 3);      // short count at the end
    EXPECT_EQ(std::string(buf, 3), std::string("\x1a\x00z", 3));
    EXPECT_EQ(plat_read(fd, buf, 32), 0);
    EXPECT_EQ(plat_seek(fd, 0, PLAT_SEEK_END), 9);
    EXPECT_EQ(plat_seek(fd, 1, PLAT_SEEK_SET), 1);
    EXPECT_EQ(plat_seek(fd, -5, PLAT_SEEK_SET), -1);
    EXPECT_EQ(plat_write(fd, "x", 1), -1);  // opened read-only
    EXPECT_EQ(plat_close(fd), 0);

    EXPECT_EQ(plat_open_read(t.file("missing").c_str()), -1);
}

TEST(PlatformFiles, CreateTruncatesAnExistingFile) {
    TempDir t;
    t.write("f", "0123456789");
    int fd = plat_create(t.file("f").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat_write(fd, "ab", 2), 2);
    plat_close(fd);
    EXPECT_EQ(t.read("f"), "ab");
}

TEST(PlatformFiles, CloseAllClosesWhatIsStillOpen) {
    TempDir t;
    t.write("f", "x");
    int a = plat_open_read(t.file("f").c_str());
    int b = plat_open_read(t.file("f").c_str());
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(plat_close(a), 0);
    plat_close_all();
    char c;
    EXPECT_EQ(plat_read(b, &c, 1), -1);  // b was closed
    EXPECT_EQ(plat_close(a), -1);        // a is not closed twice
}

TEST(PlatformPaths, CatalogPathsUseBackslashSeparators) {
    TempDir t;
    InDir in(t.path);
    EXPECT_EQ(plat_path_status("C_"), PLAT_PATH_NONE);
    EXPECT_EQ(plat_mkdir("C_"), 0);
    EXPECT_EQ(plat_mkdir("C_\\Data"), 0);
    EXPECT_EQ(plat_mkdir("C_\\Data"), -1);
    EXPECT_EQ(plat_mkdir("C_\\No\\Deeper"), -1);  // one level only
    EXPECT_EQ(plat_path_status("C_\\Data"), PLAT_PATH_DIR);
    int fd = plat_create_catalog_path("C_\\Data\\x.txt");
    ASSERT_GE(fd, 0);
    plat_close(fd);
    EXPECT_TRUE(t.exists("C_/Data/x.txt"));
    EXPECT_EQ(plat_path_status("C_\\Data\\x.txt"), PLAT_PATH_OTHER);
#ifdef _WIN32
    // Backslashes are the native separator: image paths have them too.
    fd = plat_create("C_\\Data\\y.img");
    ASSERT_GE(fd, 0);
    plat_close(fd);
    EXPECT_TRUE(t.exists("C_/Data/y.img"));
#else
    // Image paths are passed as given: a backslash stays part of the name.
    fd = plat_create("odd\\name");
    ASSERT_GE(fd, 0);
    plat_close(fd);
    EXPECT_TRUE(t.exists("odd\\name"));
#endif
}

TEST(PlatformPaths, LastComponentBeginsBehindEitherSeparator) {
    EXPECT_EQ(plat_last_component("set.001"), 0);
    EXPECT_EQ(plat_last_component(""), 0);
    EXPECT_EQ(plat_last_component("dir.d/set.001"), 6);
    EXPECT_EQ(plat_last_component("C:\\a.b\\set"), 7);
    EXPECT_EQ(plat_last_component("a\\b/c\\"), 6);  // a trailing separator: an empty name
}

TEST(PlatformMeta, TimesAreSetToOneInstantBeyond2038) {
    TempDir t;
    InDir in(t.path);
    t.write("f", "x");
    EXPECT_EQ(plat_set_times("f", 951868800), 0);
    EXPECT_EQ(mtime_of(t.file("f")), 951868800);
    EXPECT_EQ(plat_set_times("f", 2208988800LL), 0);
    EXPECT_EQ(mtime_of(t.file("f")), 2208988800LL);
    EXPECT_EQ(plat_set_times("missing", 0), -1);
#ifdef _WIN32
    // The C runtime's file times begin in 1970 and end with the year 3000;
    // a time outside leaves the file's alone.
    EXPECT_EQ(plat_set_times("f", 32535216000LL), -1);
    EXPECT_EQ(plat_set_times("f", -1), -1);
    EXPECT_EQ(mtime_of(t.file("f")), 2208988800LL);
    EXPECT_EQ(plat_set_times("f", 32535215999LL), 0);
#endif
}

TEST(PlatformMeta, ReadOnlyStateTogglesOnlyWriteBits) {
    TempDir t;
    InDir in(t.path);
    t.write("f", "x");
#ifdef _WIN32
    // The read-only attribute is all there is: the C runtime shows a file
    // as 0444 or 0666.
    const unsigned writable = 0666u;
#else
    ASSERT_EQ(chmod(t.file("f").c_str(), 0664), 0);
    const unsigned writable = 0644u;  // the owner's write bit only comes back
#endif
    EXPECT_EQ(plat_set_writable("f", false), 0);
    EXPECT_EQ(mode_of(t.file("f")), 0444u);
    EXPECT_EQ(plat_set_writable("f", true), 0);
    EXPECT_EQ(mode_of(t.file("f")), writable);
    // Writable again adds nothing beyond the owner's write bit.
    EXPECT_EQ(plat_set_writable("f", true), 0);
    EXPECT_EQ(mode_of(t.file("f")), writable);
    EXPECT_EQ(plat_set_writable("missing", true), -1);
}

// ---- several handles, and output still open ---------------------------------

TEST(BufferedHandles, HandlesOfOneFileSeeEachOthersBytes) {
    TempDir t;
    int writer = plat_create(t.file("f").c_str());
    ASSERT_GE(writer, 0);
    ASSERT_EQ(plat_write(writer, "0123456789", 10), 10);
    int reader = plat_open_read(t.file("f").c_str());
    ASSERT_GE(reader, 0);
    char buf[1024];
    ASSERT_EQ(plat_read(reader, buf, 10), 10);  // output still buffered counts
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    ASSERT_EQ(plat_write(writer, "abcdef", 6), 6);
    EXPECT_EQ(plat_read(reader, buf, 1024), 6);
    EXPECT_EQ(std::string(buf, 6), "abcdef");

    // A second reader, and a rewrite of bytes the first has cached.
    int second = plat_open_read(t.file("f").c_str());
    ASSERT_GE(second, 0);
    EXPECT_EQ(plat_read(second, buf, 4), 4);
    EXPECT_EQ(plat_seek(writer, 4, PLAT_SEEK_SET), 4);
    ASSERT_EQ(plat_write(writer, "XY", 2), 2);
    EXPECT_EQ(plat_read(second, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "XY67");
    EXPECT_EQ(plat_seek(second, 0, PLAT_SEEK_END), 16);

    plat_close(second);
    plat_close(writer);
    plat_close(reader);
    EXPECT_EQ(t.read("f"), "0123XY6789abcdef");

    // A file read in this run is never created over, closed or not, until
    // the run's handles are all closed.
    EXPECT_EQ(plat_create(t.file("f").c_str()), -1);
    EXPECT_EQ(t.read("f"), "0123XY6789abcdef");
    plat_close_all();

    // Output still pending when the file is created again is truncated away.
    writer = plat_create(t.file("f").c_str());
    ASSERT_EQ(plat_write(writer, "pending", 7), 7);
    int again = plat_create(t.file("f").c_str());
    ASSERT_GE(again, 0);
    plat_close(writer);
    plat_close(again);
    EXPECT_EQ(t.read("f"), "");
}

TEST(BufferedHandles, MoreHandlesThanBuffersAllWork) {
    TempDir t;
    std::string bytes = random_bytes(5000, 3);
    t.write("f", bytes);
    std::vector<int> fds;
    for (int i = 0; i < 12; i++) {
        fds.push_back(plat_open_read(t.file("f").c_str()));
        ASSERT_GE(fds.back(), 0);
    }
    for (int i = 0; i < 12; i++) {
        char buf[100];
        ASSERT_EQ(plat_seek(fds[i], i * 100, PLAT_SEEK_SET), i * 100);
        ASSERT_EQ(plat_read(fds[i], buf, 100), 100);
        EXPECT_EQ(std::string(buf, 100), bytes.substr((size_t)i * 100, 100));
    }
    for (int fd : fds) EXPECT_EQ(plat_close(fd), 0);
}

TEST(BufferedOutput, TimesAndReadOnlyStateSetOnAnOpenFileAreFinal) {
    TempDir t;
    InDir in(t.path);
    std::string bytes = random_bytes(150000, 4);
    int fd = plat_create_catalog_path("f");
    ASSERT_GE(fd, 0);
    for (size_t at = 0; at < bytes.size(); at += 1024) {
        int32_t n = (int32_t)std::min<size_t>(1024, bytes.size() - at);
        ASSERT_EQ(plat_write(fd, bytes.data() + at, n), n);
    }
    EXPECT_EQ(plat_set_times("f", 951868800), 0);
    EXPECT_EQ(t.read("f"), bytes);
    EXPECT_EQ(mtime_of(t.file("f")), 951868800);
    EXPECT_EQ(plat_close(fd), 0);
    EXPECT_EQ(mtime_of(t.file("f")), 951868800);  // nothing was left to write

    fd = plat_create_catalog_path("g");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(plat_write(fd, "abc", 3), 3);
    EXPECT_EQ(plat_set_writable("g", false), 0);
    EXPECT_EQ(t.read("g"), "abc");
#ifdef _WIN32
    EXPECT_EQ(mode_of(t.file("g")), 0444u);
#else
    EXPECT_EQ(mode_of(t.file("g")), 0400u);
#endif
    EXPECT_EQ(plat_close(fd), 0);
    EXPECT_EQ(t.read("g"), "abc");
}

TEST(BufferedOutput, CloseAllWritesWhatIsPending) {
    TempDir t;
    int fd = plat_create(t.file("f").c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(plat_write(fd, "pending", 7), 7);
    plat_close_all();
    EXPECT_EQ(t.read("f"), "pending");
    EXPECT_EQ(plat_write(fd, "x", 1), -1);  // closed
}

}  // namespace
