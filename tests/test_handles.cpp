// The POSIX OS layer's buffered handles (platform/handles.cpp), checked call
// by call against plain POSIX calls; the space they reserve, a full device,
// and short and failed writes at the file size limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/platform.h"
#include "tests/support/harness.h"

namespace {

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = (char)(rng() & 0xFF);
    return s;
}

// The same call on a plat_* handle and on a plain descriptor of another file
// with the same bytes: results, bytes read and positions must agree.
struct Twin {
    int plat = -1;
    int ref = -1;
    std::mt19937 rng{12345};

    int64_t plat_pos() { return plat_seek(plat, 0, PLAT_SEEK_CUR); }
    int64_t ref_pos() { return lseek(ref, 0, SEEK_CUR); }

    void read(int32_t n) {
        std::vector<char> a((size_t)n + 1, 'a'), b((size_t)n + 1, 'b');
        int32_t got = plat_read(plat, a.data(), n);
        ssize_t want = ::read(ref, b.data(), (size_t)n);
        ASSERT_EQ(got, (int32_t)want) << "read " << n;
        if (got > 0) {
            ASSERT_EQ(std::string(a.data(), (size_t)got), std::string(b.data(), (size_t)got));
        }
        ASSERT_EQ(plat_pos(), ref_pos());
    }
    void write(int32_t n) {
        std::string bytes;
        for (int32_t i = 0; i < n; i++) bytes += (char)(rng() & 0xFF);
        int32_t put = plat_write(plat, bytes.data(), n);
        ssize_t want = ::write(ref, bytes.data(), (size_t)n);
        ASSERT_EQ(put, (int32_t)want) << "write " << n;
        ASSERT_EQ(plat_pos(), ref_pos());
    }
    void seek(int64_t off, int whence) {
        int w = whence == PLAT_SEEK_CUR ? SEEK_CUR : whence == PLAT_SEEK_END ? SEEK_END : SEEK_SET;
        int64_t got = plat_seek(plat, off, whence);
        off_t want = lseek(ref, (off_t)off, w);
        ASSERT_EQ(got, want < 0 ? -1 : (int64_t)want) << "seek " << off << " whence " << whence;
        ASSERT_EQ(plat_pos(), ref_pos());
    }
};

// Sizes around the layer's buffer (128 KiB) and the callers' pieces.
const int32_t SIZES[] = {0, 1, 31, 512, 1024, 4096, 65536, 131071, 131072, 131073, 300000};

TEST(BufferedHandles, ReadsAndSeeksMatchUnbufferedCalls) {
    TempDir t;
    const size_t size = 3 * 131072 + 777;  // the last buffer comes short
    std::string bytes = random_bytes(size, 1);
    t.write("a.bin", bytes);
    t.write("b.bin", bytes);
    Twin tw;
    tw.plat = plat_open_read(t.file("a.bin").c_str());
    tw.ref = open(t.file("b.bin").c_str(), O_RDONLY);
    ASSERT_GE(tw.plat, 0);
    ASSERT_GE(tw.ref, 0);

    // Fixed cases first: a piece across the first buffer's end, a seek back
    // into what is cached, seeks from the end, before the start, beyond the
    // end, and reads there.
    tw.read(1000);
    tw.seek(131000, PLAT_SEEK_SET);
    tw.read(1024);
    tw.seek(-2048, PLAT_SEEK_CUR);
    tw.read(4096);
    tw.seek(-100, PLAT_SEEK_END);
    tw.read(1024);  // short: 100 bytes
    tw.read(1024);  // 0 at the end
    tw.seek(-1, PLAT_SEEK_SET);  // fails; the position stays
    tw.read(10);
    tw.seek(-(int64_t)size - 1, PLAT_SEEK_END);
    tw.seek(10, PLAT_SEEK_END);  // beyond the end
    tw.read(5);
    tw.seek(5, PLAT_SEEK_SET);
    tw.read(300000);  // more than a buffer in one call
    tw.read(300000);
    if (HasFatalFailure()) return;

    // Then a long random mix.
    for (int i = 0; i < 3000 && !HasFatalFailure(); i++) {
        int32_t n = SIZES[tw.rng() % 11];
        switch (tw.rng() % 5) {
        case 0: tw.seek((int64_t)(tw.rng() % (size + 1000)), PLAT_SEEK_SET); break;
        case 1: tw.seek((int64_t)(tw.rng() % 300000) - 150000, PLAT_SEEK_CUR); break;
        case 2: tw.seek(-(int64_t)(tw.rng() % 200000), PLAT_SEEK_END); break;
        default: tw.read(n); break;
        }
    }
    EXPECT_EQ(plat_close(tw.plat), 0);
    close(tw.ref);
}

TEST(BufferedHandles, WritesReadsAndSeeksMatchUnbufferedCalls) {
    TempDir t;
    Twin tw;
    tw.plat = plat_create(t.file("a.bin").c_str());
    tw.ref = open(t.file("b.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(tw.plat, 0);
    ASSERT_GE(tw.ref, 0);

    for (int k = 0; k < 200; k++) tw.write(1024);  // past a buffer's end
    tw.seek(0, PLAT_SEEK_END);   // the size counts output still buffered
    tw.seek(100, PLAT_SEEK_SET);
    tw.read(1024);               // reads back what was written
    tw.write(5000);              // overwrites in the middle
    tw.seek(50000, PLAT_SEEK_END);
    tw.write(10);                // leaves a hole
    tw.seek(0, PLAT_SEEK_SET);
    tw.write(300000);            // more than a buffer in one call
    if (HasFatalFailure()) return;

    for (int i = 0; i < 3000 && !HasFatalFailure(); i++) {
        int32_t n = SIZES[tw.rng() % 11];
        switch (tw.rng() % 6) {
        case 0: tw.seek((int64_t)(tw.rng() % 400000), PLAT_SEEK_SET); break;
        case 1: tw.seek((int64_t)(tw.rng() % 200000) - 100000, PLAT_SEEK_CUR); break;
        case 2: tw.seek(-(int64_t)(tw.rng() % 100000), PLAT_SEEK_END); break;
        case 3: tw.read(n); break;
        default: tw.write(n > 131073 ? 1024 : n); break;
        }
    }
    EXPECT_EQ(plat_close(tw.plat), 0);
    close(tw.ref);
    EXPECT_EQ(t.read("a.bin"), t.read("b.bin"));
}

// Short of free space every buffer reserves its range first; what is
// reserved beyond the end of the file is given back at close and before the
// times are set.
TEST(BufferedOutput, ReservedSpaceIsGivenBack) {
    TempDir t;
    InDir in(t.path);
    handles_set_space_margin(INT64_MAX);
    std::string bytes = random_bytes(200000, 7);
    int a = plat_create_catalog_path("a");
    int b = plat_create_catalog_path("b");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    for (size_t at = 0; at < bytes.size(); at += 1000) {
        ASSERT_EQ(plat_write(a, bytes.data() + at, 1000), 1000);
        ASSERT_EQ(plat_write(b, bytes.data() + at, 1000), 1000);
    }
    EXPECT_EQ(plat_close(a), 0);
    EXPECT_EQ(plat_set_times("b", 951868800), 0);
    handles_set_space_margin(64LL * 1024 * 1024);
    EXPECT_EQ(t.read("a"), bytes);
    EXPECT_EQ(t.read("b"), bytes);
    EXPECT_EQ(mtime_of(t.file("b")), 951868800);
    // 200,000 bytes take 49 blocks of 4 KiB; a buffer's range reserved
    // beyond them would take 13 more.
    struct stat st;
    ASSERT_EQ(stat(t.file("a").c_str(), &st), 0);
    EXPECT_LE(st.st_blocks * 512, 52 * 4096);
    ASSERT_EQ(stat(t.file("b").c_str(), &st), 0);
    EXPECT_LE(st.st_blocks * 512, 52 * 4096);
    EXPECT_EQ(plat_close(b), 0);
    EXPECT_EQ(mtime_of(t.file("b")), 951868800);
}

// Output goes only to regular files: a link (here to a device that fails
// every write) or a FIFO at the name is refused, and a FIFO is never opened,
// so it cannot block.
TEST(BufferedOutput, OnlyRegularFilesAreCreated) {
    TempDir t;
    ASSERT_EQ(symlink("/dev/full", t.file("full").c_str()), 0);
    EXPECT_EQ(plat_create(t.file("full").c_str()), -1);
    ASSERT_EQ(mkfifo(t.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(plat_create(t.file("fifo").c_str()), -1);
    EXPECT_EQ(plat_create_catalog_path(t.file("fifo").c_str()), -1);
}

// The process's file size limit stands for a disk that fills up: writes
// that reach it come short exactly where unbuffered writes do, and the file
// keeps every byte before it.
TEST(BufferedOutput, ShortWritesAtTheFileSizeLimitAreExact) {
    TempDir t;
    const rlim_t limit = 300000;
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    int fd = plat_create(t.file("a").c_str());
    int ref = open(t.file("b").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_GE(ref, 0);
    struct rlimit lowered = saved;
    lowered.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);

    std::string bytes = random_bytes(400 * 1024, 5);
    std::vector<int32_t> got, want;
    for (size_t at = 0; at < bytes.size(); at += 1024) {
        got.push_back(plat_write(fd, bytes.data() + at, 1024));
        want.push_back((int32_t)::write(ref, bytes.data() + at, 1024));
    }
    plat_close(fd);
    close(ref);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(got, want);
    EXPECT_EQ(want[292], 992);  // the piece that reaches the limit
    EXPECT_EQ(want[293], -1);
    EXPECT_EQ(t.read("a"), bytes.substr(0, limit));
}

// A flush that fails although space was there (the limit lowered under
// pending output stands for a failing disk) is reported by the write that
// flushes, or by the handle's next write, and the file keeps what went out.
TEST(BufferedOutput, FailedFlushesReachTheCaller) {
    TempDir t;
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    std::string bytes = random_bytes(131072, 6);
    struct rlimit lowered = saved;

    int fd = plat_create(t.file("a").c_str());
    ASSERT_GE(fd, 0);
    std::vector<int32_t> got;
    got.push_back(plat_write(fd, bytes.data(), 1024));
    lowered.rlim_cur = 1500;
    setrlimit(RLIMIT_FSIZE, &lowered);
    for (size_t at = 1024; at < bytes.size(); at += 1024)
        got.push_back(plat_write(fd, bytes.data() + at, 1024));
    got.push_back(plat_write(fd, bytes.data(), 1024));
    plat_close(fd);

    int fd2 = plat_create(t.file("b").c_str());
    ASSERT_GE(fd2, 0);
    lowered.rlim_cur = saved.rlim_cur;
    setrlimit(RLIMIT_FSIZE, &lowered);
    int32_t first = plat_write(fd2, bytes.data(), 1024);
    lowered.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &lowered);
    int64_t pos = plat_seek(fd2, 0, PLAT_SEEK_END);  // flushes, and fails
    setrlimit(RLIMIT_FSIZE, &saved);                  // a write could go out now
    int32_t next = plat_write(fd2, "x", 1);
    plat_close(fd2);
    signal(SIGXFSZ, old_handler);

    // The 128th piece fills the buffer; none of its bytes went out.
    ASSERT_EQ(got.size(), 129u);
    for (size_t i = 0; i < 127; i++) EXPECT_EQ(got[i], 1024) << i;
    EXPECT_EQ(got[127], -1);
    EXPECT_EQ(got[128], -1);  // nothing to write at all beyond the limit
    EXPECT_EQ(t.read("a"), bytes.substr(0, 1500));

    EXPECT_EQ(first, 1024);
    EXPECT_EQ(pos, 100);
    EXPECT_EQ(next, -1);
    EXPECT_EQ(t.read("b"), bytes.substr(0, 100));
}

}  // namespace
