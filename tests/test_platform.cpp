// The OS layer on real files: binary I/O with short counts, seeks, catalog
// paths with backslashes, directory status, times and the read-only state.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/support/harness.h"

namespace {

struct InDir {
    char saved[4096];
    explicit InDir(const std::string& dir) {
        EXPECT_NE(getcwd(saved, sizeof saved), nullptr);
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InDir() { EXPECT_EQ(chdir(saved), 0); }
};

TEST(PlatformFiles, ReadWriteSeekAndShortCounts) {
    TempDir t;
    std::string p = t.file("data.bin");
    int fd = plat_create(p.c_str());
    ASSERT_GE(fd, 0);
    const char bytes[] = "ab\r\ncd\x1a\x00z";
    EXPECT_EQ(plat_write(fd, bytes, 9), 9);
    EXPECT_EQ(plat_close(fd), 0);
    EXPECT_EQ(mode_of(p), 0600u);

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
    // Image paths are passed as given: a backslash stays part of the name.
    fd = plat_create("odd\\name");
    ASSERT_GE(fd, 0);
    plat_close(fd);
    EXPECT_TRUE(t.exists("odd\\name"));
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
}

TEST(PlatformMeta, ReadOnlyStateTogglesOnlyWriteBits) {
    TempDir t;
    InDir in(t.path);
    t.write("f", "x");
    ASSERT_EQ(chmod(t.file("f").c_str(), 0664), 0);
    EXPECT_EQ(plat_set_readonly_state("f", 0x21), 0);  // bit 0x80 clear
    EXPECT_EQ(mode_of(t.file("f")), 0444u);
    EXPECT_EQ(plat_set_readonly_state("f", 0x80), 0);
    EXPECT_EQ(mode_of(t.file("f")), 0644u);
    // The attribute number is never used as a mode.
    EXPECT_EQ(plat_set_readonly_state("f", 0x7FFFFFFF), 0);
    EXPECT_EQ(mode_of(t.file("f")), 0644u);
    EXPECT_EQ(plat_set_readonly_state("missing", 0x80), -1);
}

}  // namespace
