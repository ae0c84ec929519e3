// bak mount: the file system's operations called directly on sets from the
// image writer (names, attributes, reads of any range, damage, missing
// disks, hostile catalogs, the cache, reads from many threads), and then
// the real mount of a tree mkbak wrote, read through the kernel.
//
// The mounted cases need FUSE: where /dev/fuse cannot be opened or
// fusermount3 is not on PATH they are skipped with that reason. Each mount
// is watched: waits are bounded, and whatever happens the mount is taken
// down with fusermount3 -uz and the program killed if it is still there,
// so a hung daemon cannot stall the suite.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "check/bak.h"
#include "check/mount_fs.h"
#include "platform/platform.h"
#include "tests/restore_sets.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

extern char** environ;

namespace {

using restore_test::noise;

// ---- sets and the file system without a mount ------------------------------------------

// Text that deflate shrinks.
std::string text(size_t n, uint32_t seed) {
    std::string s = noise(n, seed);
    for (size_t i = 0; i < n; i++) s[i] = i % 61 == 60 ? '\n' : (char)('a' + (unsigned char)s[i] % 26);
    return s;
}

struct Set {
    std::vector<imgw::SourceFile> files;
    imgw::BackupSet plan;
    std::vector<std::string> images;
};

// Files in groups of 4096 over `disks` disks of equal capacity; tamper
// with plan.tables before images are laid out with lay_out.
Set plan(const std::vector<imgw::SourceFile>& files, int disks, bool compressed = true) {
    Set s;
    s.files = files;
    imgw::SetOptions opt;
    opt.group_size = 4096;
    opt.compressed = compressed;
    int64_t stream = (int64_t)imgw::plan_set(files, opt).stream.size();
    opt.disk_capacity = (stream + disks - 1) / disks;
    s.plan = imgw::plan_set(files, opt);
    return s;
}

void lay_out(Set* s) { s->images = imgw::layout_images(s->plan); }

void write_set(const TempDir& t, const Set& s, const std::vector<int>& leave_out = {}) {
    for (size_t i = 0; i < s.images.size(); i++) {
        bool out = false;
        for (int l : leave_out) out = out || l == (int)i + 1;
        if (!out) t.write("d" + std::to_string(i + 1) + ".img", s.images[i]);
    }
}

std::vector<imgw::SourceFile> sample_files() {
    std::vector<imgw::SourceFile> f(5);
    f[0].name = "big.bin";
    f[0].content = noise(50000, 1);  // incompressible: groups bigger than they inflate
    f[1].dir = "Data";
    f[1].name = "notes.txt";
    f[1].content = text(30001, 2);
    f[1].date = "20190704123456";
    f[2].dir = "Data\\Sub";
    f[2].name = "empty.txt";
    f[3].dir = "Data";
    f[3].name = "ro.txt";
    f[3].content = text(5000, 3);
    f[3].attrib = 0x124;  // no writable bit
    f[4].dir = "Data";
    f[4].name = "last.txt";
    f[4].content = text(12345, 4);
    return f;
}

// Flips a byte in the middle of a group.
void flip_in(Set* s, const imgw::Comp& g) {
    int64_t at = g.OFFS_LO + g.COMPSIZE / 2;
    int64_t cap = s->plan.disk_data[0];
    s->images[(size_t)(at / cap)][(size_t)(512 + at % cap)] ^= 0x5A;
}

std::vector<const imgw::Comp*> groups_of(const Set& s, int serial) {
    std::vector<const imgw::Comp*> out;
    for (const imgw::Comp& c : s.plan.tables.comp)
        if (c.ORGSER == serial) out.push_back(&c);
    return out;
}

// The set opened as bak opens it, and its file system built.
struct Fs {
    Bak bak{};
    MountFs fs;
    int status;
    std::mutex lock;
    std::vector<MountEvent> events;

    explicit Fs(const std::string& image, bool salvage = false, int64_t cache = 64 << 20,
                const std::string& charset = "") {
        bak.opt.set = image;
        bak.opt.charset = charset;
        status = open_set(&bak);
        fs.report = [](void* ctx, const MountEvent* ev) {
            Fs* self = (Fs*)ctx;
            std::lock_guard<std::mutex> hold(self->lock);
            self->events.push_back(*ev);
        };
        fs.report_ctx = this;
        if (status == 0) mount_build(&fs, &bak, salvage, cache, 1000, 100, 1234567);
    }
    ~Fs() {
        if (status == 0) mount_release(&fs);
        close_set(&bak);
        release_scratch(&bak.scratch);
        plat_close_all();
    }
    // Bytes [off, off + len) of path, or "EIO"-like text for an error.
    std::string read(const std::string& path, int64_t off, int64_t len, int64_t* result) {
        int32_t node = mount_open(&fs, path.c_str(), false);
        if (node < 0) {
            *result = node;
            return "";
        }
        std::string buf((size_t)len, '\x55');
        *result = mount_read(&fs, node, (unsigned char*)&buf[0], len, off);
        return *result >= 0 ? buf.substr(0, (size_t)*result) : "";
    }
    std::string all(const std::string& path, int64_t* result) {
        MountAttr a;
        if (mount_getattr(&fs, path.c_str(), &a) != 0) {
            *result = -ENOENT;
            return "";
        }
        return read(path, 0, a.size + 100, result);
    }
    int count(int32_t kind) {
        int n = 0;
        for (const MountEvent& e : events) n += e.kind == kind;
        return n;
    }
};

TEST(MountTree, NamesSizesTimesAndModesAsExtractGivesThem) {
    TempDir t;
    std::vector<imgw::SourceFile> files = sample_files();
    // A second file of one name, and names that cannot be paths.
    files.push_back(files[1]);
    files.back().content = "the second";
    imgw::SourceFile bad;
    bad.name = "..";
    bad.dir = "Data";
    bad.content = "dots";
    files.push_back(bad);
    bad.name = "a\\b";
    bad.dir = "";
    bad.content = "slash";
    files.push_back(bad);
    Set s = plan(files, 1);
    lay_out(&s);
    write_set(t, s);
    Fs m(t.file("d1.img"));
    ASSERT_EQ(m.status, 0);

    std::map<std::string, std::string> want = {
        {"/C_/big.bin", files[0].content},         {"/C_/Data/notes.txt", files[1].content},
        {"/C_/Data/Sub/empty.txt", ""},            {"/C_/Data/ro.txt", files[3].content},
        {"/C_/Data/last.txt", files[4].content},   {"/C_/Data/notes~2.txt", "the second"},
        {"/_unplaced/7_..", "dots"},               {"/_unplaced/8_a_b", "slash"},
    };
    std::map<std::string, std::string> got;
    for (const auto& e : m.fs.by_path) {
        MountAttr a;
        mount_node_attr(&m.fs, e.second, &a);
        int64_t r;
        if (!a.dir) got[e.first] = m.all(e.first, &r);
    }
    EXPECT_EQ(got, want);
    // The two names that cannot be paths are said, once each.
    ASSERT_EQ(m.count(MOUNT_EV_RENAMED), 2);
    EXPECT_EQ(m.events[0].path, "_unplaced/7_..");
    EXPECT_EQ(m.events[1].path, "_unplaced/8_a_b");

    MountAttr a;
    ASSERT_EQ(mount_getattr(&m.fs, "/C_/Data/notes.txt", &a), 0);
    EXPECT_EQ(a.size, 30001);
    EXPECT_EQ(a.mtime, 1562243696);  // 2019-07-04 12:34:56 UTC
    EXPECT_EQ(a.mode, 0644u);
    ASSERT_EQ(mount_getattr(&m.fs, "/C_/Data/ro.txt", &a), 0);
    EXPECT_EQ(a.mode, 0444u);
    ASSERT_EQ(mount_getattr(&m.fs, "/C_/Data/Sub", &a), 0);
    EXPECT_TRUE(a.dir);
    EXPECT_EQ(a.mode, 0755u);
    EXPECT_EQ(mount_getattr(&m.fs, "/C_/nothing", &a), -ENOENT);

    int err;
    const std::vector<int32_t>* top = mount_readdir(&m.fs, "/", &err);
    ASSERT_NE(top, nullptr);
    std::vector<std::string> names;
    for (int32_t c : *top) names.push_back(m.fs.nodes[(size_t)c].name);
    EXPECT_EQ(names, (std::vector<std::string>{"C_", "_unplaced"}));
    EXPECT_EQ(mount_readdir(&m.fs, "/C_/big.bin", &err), nullptr);
    EXPECT_EQ(err, -ENOTDIR);
    EXPECT_EQ(mount_open(&m.fs, "/C_/big.bin", true), -EROFS);
    EXPECT_EQ(mount_open(&m.fs, "/C_/Data", false), -EISDIR);
}

TEST(MountTree, AFileWhereADirectoryStandsIsNumberedAndReported) {
    TempDir t;
    std::vector<imgw::SourceFile> files(2);
    files[0].dir = "Box";
    files[0].name = "in.txt";
    files[0].content = "inside";
    files[1].name = "Box";
    files[1].content = "a file named as the directory";
    Set s = plan(files, 1);
    lay_out(&s);
    write_set(t, s);
    Fs m(t.file("d1.img"));
    ASSERT_EQ(m.status, 0);
    int64_t r;
    EXPECT_EQ(m.all("/C_/Box~2", &r), files[1].content);
    EXPECT_EQ(m.all("/C_/Box/in.txt", &r), "inside");
    ASSERT_EQ(m.count(MOUNT_EV_RENAMED), 1);
    EXPECT_EQ(m.events[0].path, "C_/Box~2");
}

TEST(MountTree, ANameTooLongOnceDecodedGoesUnderUnplaced) {
    TempDir t;
    std::vector<imgw::SourceFile> files(2);
    // 200 bytes of CP437 that are 600 bytes of UTF-8: no Linux name.
    files[0].name = std::string(200, '\xDB');
    files[0].content = "long";
    files[1].name = "short.txt";
    files[1].content = "short";
    Set s = plan(files, 1);
    lay_out(&s);
    write_set(t, s);
    Fs m(t.file("d1.img"), false, 1 << 20, "CP437");
    ASSERT_EQ(m.status, 0);
    int64_t r;
    EXPECT_EQ(m.all("/_unplaced/1", &r), "long");
    EXPECT_EQ(m.all("/C_/short.txt", &r), "short");
    ASSERT_EQ(m.count(MOUNT_EV_RENAMED), 1);
    EXPECT_EQ(m.events[0].path, "_unplaced/1");
}

TEST(MountRead, AnyRangeIsTheSourcesBytesAndNothingBeyondTheSize) {
    TempDir t;
    std::vector<imgw::SourceFile> files = sample_files();
    for (bool compressed : {true, false}) {
        SCOPED_TRACE(compressed ? "compressed" : "stored");
        Set s = plan(files, 3, compressed);
        lay_out(&s);
        write_set(t, s);
        // A small cache: groups leave it and come back while reading.
        Fs m(t.file("d1.img"), false, 10000);
        ASSERT_EQ(m.status, 0);
        std::mt19937 rng(42);
        for (int i = 0; i < 400; i++) {
            const imgw::SourceFile& f = files[(size_t)(rng() % files.size())];
            int64_t size = (int64_t)f.content.size();
            int64_t off = (int64_t)(rng() % (uint32_t)(size + 10));
            int64_t len = (int64_t)(rng() % 20000);
            std::string path = "/C_/" + (f.dir.empty() ? "" : f.dir + "/") + f.name;
            for (char& c : path)
                if (c == '\\') c = '/';
            int64_t r;
            std::string got = m.read(path, off, len, &r);
            std::string want = off < size ? f.content.substr((size_t)off, (size_t)len) : "";
            ASSERT_EQ(r, (int64_t)want.size()) << path << " " << off << "+" << len;
            ASSERT_TRUE(got == want) << path << " " << off << "+" << len;
        }
        EXPECT_LE(m.fs.cache_bytes, 10000);
        EXPECT_TRUE(m.events.empty());
    }
}

TEST(MountRead, ReadsFromManyThreadsAtOnceAreRight) {
    TempDir t;
    std::vector<imgw::SourceFile> files = sample_files();
    Set s = plan(files, 2);
    lay_out(&s);
    write_set(t, s);
    // A cache that holds some of the groups, and reading ahead on.
    Fs m(t.file("d1.img"), false, 400000);
    ASSERT_EQ(m.status, 0);
    mount_start_ahead(&m.fs);
    ASSERT_TRUE(m.fs.ahead != nullptr);
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; k++) {
        threads.emplace_back([&, k] {
            std::mt19937 rng(100 + k);
            for (int i = 0; i < 300; i++) {
                const imgw::SourceFile& f = files[i % 2 ? 0 : 1];
                std::string path = f.dir.empty() ? "/C_/" + f.name : "/C_/Data/" + f.name;
                int64_t size = (int64_t)f.content.size();
                int64_t off = (int64_t)(rng() % (uint32_t)size), len = 1 + rng() % 9000;
                int64_t r;
                std::string got = m.read(path, off, len, &r);
                if (got != f.content.substr((size_t)off, (size_t)len)) wrong[(size_t)k]++;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

TEST(MountRead, ADamagedGroupFailsEveryReadTouchingItOrReadsAsZeros) {
    TempDir t;
    std::vector<imgw::SourceFile> files = sample_files();
    Set s = plan(files, 1);
    lay_out(&s);
    std::vector<const imgw::Comp*> g = groups_of(s, 2);  // notes.txt, 8 groups
    ASSERT_GE(g.size(), 3u);
    flip_in(&s, *g[1]);
    write_set(t, s);
    const std::string path = "/C_/Data/notes.txt";
    {
        Fs m(t.file("d1.img"));
        ASSERT_EQ(m.status, 0);
        int64_t r;
        EXPECT_EQ(m.read(path, 0, 4096, &r), files[1].content.substr(0, 4096));
        m.read(path, 4000, 200, &r);  // runs into group 2
        EXPECT_EQ(r, -EIO);
        m.read(path, 5000, 10, &r);
        EXPECT_EQ(r, -EIO);
        EXPECT_EQ(m.read(path, 8192, 4096, &r), files[1].content.substr(8192, 4096));
        ASSERT_EQ(m.events.size(), 1u);  // reported once
        EXPECT_EQ(m.events[0].kind, MOUNT_EV_DAMAGED);
        EXPECT_EQ(m.events[0].group, 2);
        EXPECT_EQ(m.events[0].path, "C_/Data/notes.txt");
    }
    Fs m(t.file("d1.img"), true);
    int64_t r;
    std::string want = files[1].content;
    want.replace(4096, 4096, 4096, '\0');
    EXPECT_TRUE(m.all(path, &r) == want);
    EXPECT_EQ(m.count(MOUNT_EV_DAMAGED), 1);
}

TEST(MountRead, AMissingDiskCostsOnlyWhatLiesOnIt) {
    TempDir t;
    std::vector<imgw::SourceFile> files = sample_files();
    for (bool compressed : {true, false}) {
        SCOPED_TRACE(compressed ? "compressed" : "stored");
        TempDir t2;
        Set s = plan(files, 3, compressed);
        lay_out(&s);
        write_set(t2, s, {2});
        int64_t cap = s.plan.disk_data[0];
        for (bool salvage : {false, true}) {
            Fs m(t2.file("d1.img"), salvage);
            ASSERT_EQ(m.status, 0);
            if (compressed) {
                // Reading ahead from the first group meets the lost ones
                // before any read does: they must still be said to lie on
                // disk 2.
                mount_start_ahead(&m.fs);
                int64_t r;
                m.read("/C_/big.bin", 0, 1, &r);
                ASSERT_EQ(r, 1);
                bool met = false;
                for (int i = 0; i < 500 && !met; i++) {
                    plat_mutex_lock(m.fs.cache_lock);
                    for (uint8_t st : m.fs.group_state) met = met || (st & GROUP_STATE_LOST);
                    plat_mutex_unlock(m.fs.cache_lock);
                    if (!met) usleep(10000);
                }
                ASSERT_TRUE(met);
            }
            // Each file: its bytes, except where its stream bytes touch disk 2.
            int64_t pos = 0;
            for (size_t i = 0; i < files.size(); i++) {
                const imgw::SourceFile& f = files[i];
                std::string path = "/C_/" + (f.dir.empty() ? "" : f.dir + "/") + f.name;
                for (char& c : path)
                    if (c == '\\') c = '/';
                std::string want = f.content;
                bool lost = false;
                if (compressed) {
                    int64_t at = 0;
                    for (const imgw::Comp* c : groups_of(s, (int)i + 1)) {
                        if (c->OFFS_LO < 2 * cap && c->OFFS_LO + c->COMPSIZE > cap) {
                            want.replace((size_t)at, (size_t)c->ORGSIZE, (size_t)c->ORGSIZE, '\0');
                            lost = true;
                        }
                        at += c->ORGSIZE;
                    }
                } else {
                    for (int64_t b = 0; b < (int64_t)want.size(); b++)
                        if (pos + b >= cap && pos + b < 2 * cap) {
                            want[(size_t)b] = '\0';
                            lost = true;
                        }
                    pos += (int64_t)want.size();
                }
                int64_t r;
                std::string got = m.all(path, &r);
                if (lost && !salvage) {
                    EXPECT_EQ(r, -EIO) << path;
                } else {
                    EXPECT_EQ(r, (int64_t)want.size()) << path;
                    EXPECT_TRUE(got == want) << path;
                }
            }
            EXPECT_GE(m.count(MOUNT_EV_HOLE), 1);
            EXPECT_EQ(m.count(MOUNT_EV_DAMAGED), 0);
            for (const MountEvent& e : m.events)
                if (e.kind == MOUNT_EV_HOLE) {
                    EXPECT_EQ(e.disk, 2);
                }
        }
    }
}

TEST(MountRead, HostileGroupsAndSizesNeverServeOtherBytes) {
    TempDir t;
    std::vector<imgw::SourceFile> files(4);
    for (size_t i = 0; i < files.size(); i++) {
        files[i].name = "f" + std::to_string(i + 1);
        files[i].content = text(10000, 20 + (uint32_t)i);
    }
    Set s = plan(files, 1);
    std::vector<imgw::Comp>& comp = s.plan.tables.comp;
    auto first_of = [&](int serial) -> imgw::Comp& {
        for (imgw::Comp& c : comp)
            if (c.ORGSER == serial) return c;
        return comp[0];
    };
    first_of(1).ORGSIZE = 2000000000;  // an absurd ORGSIZE
    first_of(2).COMP_LVL = 9;          // an unknown level
    // f3 claims more bytes than its groups hold; f4 fewer.
    s.plan.tables.files[2].size_lo = 50000;
    s.plan.tables.files[3].size_lo = 100;
    lay_out(&s);
    write_set(t, s);
    for (bool salvage : {false, true}) {
        Fs m(t.file("d1.img"), salvage);
        ASSERT_EQ(m.status, 0);
        int64_t r;
        // f1: its first group stands for 16 MiB at most, and they are lost.
        MountAttr a;
        ASSERT_EQ(mount_getattr(&m.fs, "/C_/f1", &a), 0);
        EXPECT_EQ(a.size, 10000);
        std::string got = m.all("/C_/f1", &r);
        EXPECT_EQ(r, salvage ? 10000 : -EIO);
        if (salvage) {
            EXPECT_EQ(got, std::string(10000, '\0'));
        }
        got = m.all("/C_/f2", &r);
        EXPECT_EQ(r, salvage ? 10000 : -EIO);
        if (salvage) {
            EXPECT_EQ(got.substr(4096), files[1].content.substr(4096));
        }
        // f3: its bytes, then zeros or EIO up to the recorded size.
        got = m.read("/C_/f3", 0, 10000, &r);
        EXPECT_TRUE(got == files[2].content);
        got = m.read("/C_/f3", 9990, 100, &r);
        if (salvage) {
            EXPECT_TRUE(got == files[2].content.substr(9990) + std::string(90, '\0'));
        } else {
            EXPECT_EQ(r, -EIO);
        }
        got = m.all("/C_/f4", &r);
        EXPECT_TRUE(got == files[3].content.substr(0, 100));
        EXPECT_EQ(m.read("/C_/f4", 100, 10, &r), "");
        EXPECT_EQ(r, 0);
    }
}

TEST(MountRead, AChainThatEndsEarlyLosesOnlyTheRest) {
    TempDir t;
    std::vector<imgw::SourceFile> files(1);
    files[0].name = "cut";
    files[0].content = text(20000, 9);
    Set s = plan(files, 1);
    // The run's closing group goes: the chain ends inside the run.
    s.plan.tables.comp.pop_back();
    s.plan.tables.comp.back().IS_LAST = 0;
    lay_out(&s);
    write_set(t, s);
    Fs m(t.file("d1.img"), true);
    ASSERT_EQ(m.status, 0);
    int64_t r;
    std::string got = m.all("/C_/cut", &r);
    ASSERT_EQ(r, 20000);
    int64_t held = 0;
    for (const imgw::Comp* c : groups_of(s, 1)) held += c->ORGSIZE;
    ASSERT_LT(held, 20000);
    EXPECT_TRUE(got.substr(0, (size_t)held) == files[0].content.substr(0, (size_t)held));
    EXPECT_EQ(got.substr((size_t)held), std::string((size_t)(20000 - held), '\0'));
    EXPECT_EQ(m.count(MOUNT_EV_SHORT), 1);
}

// ---- the real mount -------------------------------------------------------------------------

// Why FUSE cannot be used here, "" when it can.
std::string fuse_unusable() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse cannot be opened";
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t colon = dirs.find(':', at);
        std::string dir = dirs.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        if (access((dir + "/fusermount3").c_str(), X_OK) == 0) return "";
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    return "fusermount3 is not on PATH";
}

// Runs a program from PATH, its stderr thrown away (fusermount3 -uz of a
// mount already gone says so); its status, -1 when it took too long.
int spawn_wait(const std::vector<std::string>& args, int seconds) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    int spawned = posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) return -1;
    for (int i = 0; i < seconds * 20; i++) {
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        usleep(50000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Whether the mount table has dir (a mount whose daemon is gone included,
// which stat cannot look into).
bool is_mount_point(const std::string& dir) {
    return read_file("/proc/self/mounts").find(" " + dir + " ") != std::string::npos;
}

// bak mount -f in the background; taken down when it goes.
struct Mounted {
    std::string mp, err_file;
    pid_t pid = -1;
    bool up = false;

    Mounted(const TempDir& t, const std::string& name, const std::vector<std::string>& args)
        : mp(t.file(name)), err_file(t.file(name + ".err")) {
        t.mkdir(name);
        std::vector<std::string> all = {BAK_EXE, "mount", "-f"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(mp);
        pid = fork();
        if (pid == 0) {
            int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            setenv("TZ", "UTC", 1);
            std::vector<char*> argv;
            for (std::string& a : all) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // Up within ten seconds, or not at all.
        for (int i = 0; i < 200 && !up; i++) {
            int st;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            up = is_mount_point(mp);
            if (!up) usleep(50000);
        }
    }
    // Unmounts; true when the program then ended by itself with status 0.
    bool unmount() {
        spawn_wait({"fusermount3", "-u", mp}, 10);
        return ended_well();
    }
    bool ended_well() {
        if (pid < 0) return false;
        for (int i = 0; i < 200; i++) {
            int st;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(st) && WEXITSTATUS(st) == 0;
            }
            usleep(50000);
        }
        return false;
    }
    std::string err() const { return read_file(err_file); }
    ~Mounted() {
        spawn_wait({"fusermount3", "-uz", mp}, 10);
        if (pid > 0) {
            for (int i = 0; i < 100; i++) {
                if (waitpid(pid, nullptr, WNOHANG) == pid) return;
                usleep(50000);
            }
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

#define NEED_FUSE()                                        \
    do {                                                   \
        std::string why = fuse_unusable();                 \
        if (!why.empty()) GTEST_SKIP() << why;             \
    } while (0)

void make_file(const std::string& path, const std::string& bytes, int64_t mtime, bool read_only) {
    write_file(path, bytes);
    struct timeval tv[2] = {{(time_t)mtime, 0}, {(time_t)mtime, 0}};
    utimes(path.c_str(), tv);
    if (read_only) chmod(path.c_str(), 0444);
}

// Every file below root, relative paths.
void files_below(const std::string& root, const std::string& rel, std::vector<std::string>* out) {
    DIR* d = opendir((root + "/" + rel).c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string r = rel.empty() ? n : rel + "/" + n;
        struct stat st;
        if (stat((root + "/" + r).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            files_below(root, r, out);
        else
            out->push_back(r);
    }
    closedir(d);
}

TEST(MountFuse, EveryFileOfTheTreeAsItWasWithRandomReadsAndNoWrites) {
    NEED_FUSE();
    TempDir t;
    t.mkdir("src");
    t.mkdir("src/Docs");
    t.mkdir("src/Docs/Deep");
    t.mkdir("src/Empty");
    make_file(t.file("src/a.bin"), noise(300000, 5), 1500000000, false);
    make_file(t.file("src/Docs/readme.txt"), text(70000, 6), 1600000000, true);
    make_file(t.file("src/Docs/Deep/zero"), "", 1400000000, false);
    make_file(t.file("src/Docs/Deep/one"), "1", 1400000001, false);
    RunResult mk = run_program(MKBAK_EXE, {"-g", "8192", "-d", "120000", "src", "set"}, "", t.path);
    ASSERT_EQ(mk.status, 0) << mk.err;

    Mounted m(t, "mnt", {t.file("set.001")});
    ASSERT_TRUE(m.up) << m.err();
    std::vector<std::string> src, shown;
    files_below(t.file("src"), "", &src);
    files_below(m.mp + "/C_", "", &shown);
    std::sort(src.begin(), src.end());
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, src);
    struct stat e;
    EXPECT_EQ(stat((m.mp + "/C_/Empty").c_str(), &e), 0);
    for (const std::string& rel : src) {
        SCOPED_TRACE(rel);
        std::string a = t.file("src/" + rel), b = m.mp + "/C_/" + rel;
        struct stat sa, sb;
        ASSERT_EQ(stat(a.c_str(), &sa), 0);
        ASSERT_EQ(stat(b.c_str(), &sb), 0);
        EXPECT_EQ(sb.st_size, sa.st_size);
        EXPECT_EQ(sb.st_mtime, sa.st_mtime);
        EXPECT_EQ(sb.st_mode & 0222, sa.st_mode & 0200 ? 0200u : 0u);
        EXPECT_EQ(sb.st_uid, getuid());
        EXPECT_TRUE(read_file(b) == read_file(a));
    }
    // Random ranges through pread.
    std::string want = read_file(t.file("src/a.bin"));
    int fd = open((m.mp + "/C_/a.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::mt19937 rng(7);
    for (int i = 0; i < 200; i++) {
        size_t off = rng() % want.size(), len = 1 + rng() % 70000;
        std::string buf(len, '\0');
        ssize_t n = pread(fd, &buf[0], len, (off_t)off);
        ASSERT_EQ(n, (ssize_t)std::min(len, want.size() - off));
        ASSERT_TRUE(buf.substr(0, (size_t)n) == want.substr(off, (size_t)n)) << off << "+" << len;
    }
    close(fd);
    // Nothing can be written, made or removed.
    errno = 0;
    EXPECT_LT(open((m.mp + "/C_/a.bin").c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_LT(open((m.mp + "/C_/new").c_str(), O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(unlink((m.mp + "/C_/a.bin").c_str()), -1);
    EXPECT_EQ(mkdir((m.mp + "/C_/d").c_str(), 0755), -1);
    EXPECT_TRUE(m.unmount()) << m.err();
    EXPECT_FALSE(is_mount_point(m.mp));
}

TEST(MountFuse, ADamagedGroupIsEioWithALineAndZerosWithSalvage) {
    NEED_FUSE();
    TempDir t;
    std::vector<imgw::SourceFile> files = sample_files();
    Set s = plan(files, 1);
    lay_out(&s);
    flip_in(&s, *groups_of(s, 2)[1]);
    write_set(t, s);
    {
        Mounted m(t, "mnt", {t.file("d1.img")});
        ASSERT_TRUE(m.up) << m.err();
        int fd = open((m.mp + "/C_/Data/notes.txt").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        char buf[4096];
        EXPECT_EQ(pread(fd, buf, sizeof buf, 4096), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(pread(fd, buf, 100, 8192 + 4096), 100);
        close(fd);
        EXPECT_TRUE(read_file(m.mp + "/C_/big.bin") == files[0].content);
        EXPECT_TRUE(m.unmount());
        EXPECT_NE(m.err().find("bak: C:\\Data\\notes.txt: group 2 of 8 does not inflate to its "
                               "recorded length and checksum; reads of it fail (EIO)\n"),
                  std::string::npos)
            << m.err();
    }
    Mounted m(t, "mnt2", {"--salvage", t.file("d1.img")});
    ASSERT_TRUE(m.up) << m.err();
    std::string want = files[1].content;
    want.replace(4096, 4096, 4096, '\0');
    EXPECT_TRUE(read_file(m.mp + "/C_/Data/notes.txt") == want);
}

TEST(MountFuse, AMissingDiskIsEioForItsFilesOnly) {
    NEED_FUSE();
    TempDir t;
    std::vector<imgw::SourceFile> files = sample_files();
    Set s = plan(files, 3);
    lay_out(&s);
    write_set(t, s, {1});
    Mounted m(t, "mnt", {t.file("d3.img")});
    ASSERT_TRUE(m.up) << m.err();
    // big.bin begins the stream, on disk 1; last.txt ends it, on disk 3.
    int fd = open((m.mp + "/C_/big.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[100];
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, EIO);
    close(fd);
    EXPECT_TRUE(read_file(m.mp + "/C_/Data/last.txt") == files[4].content);
}

// The daemon's process: the one whose command line names the mount point.
pid_t daemon_of(const std::string& mp) {
    DIR* d = opendir("/proc");
    pid_t found = -1;
    while (dirent* e = d ? readdir(d) : nullptr) {
        pid_t pid = (pid_t)atoi(e->d_name);
        if (pid <= 0) continue;
        std::string cmd = read_file("/proc/" + std::string(e->d_name) + "/cmdline");
        if (cmd.find(BAK_EXE) != std::string::npos && cmd.find(mp) != std::string::npos) found = pid;
    }
    if (d) closedir(d);
    return found;
}

bool alive(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

TEST(MountFuse, WithoutForegroundTheDaemonEndsAtUnmount) {
    NEED_FUSE();
    TempDir t;
    Set s = plan(sample_files(), 1);
    lay_out(&s);
    write_set(t, s);
    t.mkdir("mnt");
    std::string mp = t.file("mnt");
    struct Guard {
        std::string mp;
        ~Guard() { spawn_wait({"fusermount3", "-uz", mp}, 10); }
    } guard{mp};
    RunResult r = run_program(BAK_EXE, {"mount", t.file("d1.img"), mp}, "", t.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(is_mount_point(mp));
    pid_t pid = daemon_of(mp);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(read_file(mp + "/C_/Data/ro.txt"), sample_files()[3].content);
    EXPECT_EQ(spawn_wait({"fusermount3", "-u", mp}, 10), 0);
    bool gone = false;
    for (int i = 0; i < 200 && !gone; i++) {
        gone = !alive(pid);
        if (!gone) usleep(50000);
    }
    EXPECT_TRUE(gone);
    if (!gone) kill(pid, SIGKILL);

    // Stopped (as at shutdown), the daemon unmounts first; the mount point
    // given relative to where bak started, which the daemon has left.
    r = run_program(BAK_EXE, {"mount", "d1.img", "mnt"}, "", t.path);
    ASSERT_EQ(r.status, 0) << r.err;
    pid = daemon_of("mnt");
    ASSERT_GT(pid, 0);
    kill(pid, SIGTERM);
    gone = false;
    for (int i = 0; i < 200 && !gone; i++) {
        gone = !alive(pid);
        if (!gone) usleep(50000);
    }
    EXPECT_TRUE(gone);
    EXPECT_FALSE(is_mount_point(mp));
}

TEST(MountFuse, ErrorsBeforeTheMountEndWithStatusTwo) {
    NEED_FUSE();
    TempDir t;
    Set s = plan(sample_files(), 1);
    lay_out(&s);
    write_set(t, s);
    RunResult r = run_program(BAK_EXE, {"mount", t.file("d1.img"), t.file("nowhere")}, "", t.path);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("bak: " + t.file("nowhere") + ": cannot mount the set there\n"),
              std::string::npos)
        << r.err;
    r = run_program(BAK_EXE, {"mount", t.file("none.img"), t.path}, "", t.path);
    EXPECT_EQ(r.status, 2);
    r = run_program(BAK_EXE, {"mount", t.file("d1.img")}, "", t.path);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bak: mount takes the set and the mount point\n");
}

}  // namespace
