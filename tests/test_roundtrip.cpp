// Round trip: random trees written by the image writer as stored and
// compressed sets on one to four disks, restored with -x, must come back with
// the same bytes, modification times and write bits. The seed is fixed, so a
// failure names a trial that can be run again.
#include <time.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

struct Source {
    std::vector<imgw::SourceFile> files;
    std::vector<std::string> dirs;  // below the root, '\\'-separated
    imgw::SetOptions opt;
};

// Names that are legal for a component but unusual: blanks, dots, shell and
// format characters, a colon (restored as '_'), non-ASCII bytes.
const char* const NAME_STEMS[] = {
    "plain",   "with blank", "...dots", ".hidden", "x.y.z",  "UPPER",    "-dash",     "#hash",
    "per%cent", "fmt%s%n",   "quote'",  "amp&",    "tilde~", "(paren)",  "caf\xc3\xa9", "a:b",
    " lead",   "semi;colon", "[br]",    "eq=1",
};

struct Gen {
    std::mt19937 rng;
    int serial = 0;

    explicit Gen(uint32_t seed) : rng(seed) {}

    int below(int n) { return (int)(rng() % (uint32_t)n); }
    int between(int lo, int hi) { return lo + below(hi - lo + 1); }

    std::string name() {
        return std::string(NAME_STEMS[below((int)(sizeof NAME_STEMS / sizeof NAME_STEMS[0]))]) + "_" +
               std::to_string(++serial);
    }

    std::string content() {
        int kind = below(10);
        size_t n = kind < 2 ? 0 : kind < 7 ? (size_t)between(1, 3000) : kind < 9 ? (size_t)between(3000, 70000)
                                                                              : (size_t)between(70000, 200000);
        std::string s(n, '\0');
        if (below(2)) {
            for (char& c : s) c = (char)(rng() & 0xFF);
        } else {
            static const char words[] = "lorem ipsum dolor sit amet\n";
            for (size_t i = 0; i < n; i++) s[i] = words[(i + (size_t)below(3)) % (sizeof words - 1)];
        }
        return s;
    }

    std::string date() {
        int year = below(8) == 0 ? between(1970, 1979) : below(6) == 0 ? between(2039, 2100) : between(1980, 2037);
        char buf[32];
        snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", year, between(1, 12), between(1, 28),
                 between(0, 23), between(0, 59), between(0, 59));
        return buf;
    }

    Source source() {
        Source src;
        std::vector<std::string> all = {""};
        int ndirs = below(6);
        for (int i = 0; i < ndirs; i++) {
            const std::string& parent = all[(size_t)below((int)all.size())];
            std::string d = parent.empty() ? name() : parent + "\\" + name();
            all.push_back(d);
            src.dirs.push_back(d);
        }
        int nfiles = between(1, 9);  // a set without files has nothing to link
        for (int i = 0; i < nfiles; i++) {
            imgw::SourceFile f;
            f.dir = all[(size_t)below((int)all.size())];
            f.name = name();
            f.content = content();
            f.date = date();
            f.attrib = below(4) == 0 ? 0x21 : 0x1B6;
            src.files.push_back(f);
        }
        int kind = below(3);
        src.opt.compressed = kind != 0;
        src.opt.comp_lvl = kind == 2 ? -1 : 4;
        const int32_t groups[] = {512, 4096, 65536};
        src.opt.group_size = below(2) ? groups[below(3)] : between(1000, 30000);
        return src;
    }
};

std::string native(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
        if (c == ':') c = '_';
    }
    return path;
}

int64_t expected_mtime(const std::string& date) {
    struct tm tm = {};
    if (sscanf(date.c_str(), "%4d%2d%2d%2d%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
               &tm.tm_min, &tm.tm_sec) != 6)
        return -1;
    if (tm.tm_year < 1980) return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
#ifdef _WIN32
    return (int64_t)_mkgmtime64(&tm);
#else
    return (int64_t)timegm(&tm);
#endif
}

TEST(RoundTrip, RandomTreesComeBackIdentical) {
    Gen gen(0x5EED2024u);
    const int trials = 24;
    for (int trial = 0; trial < trials; trial++) {
        Source src = gen.source();

        // Spread the stream over 1 to 4 disks.
        int64_t stream = (int64_t)imgw::plan_set(src.files, src.opt, src.dirs).stream.size();
        int want_disks = gen.between(1, 4);
        if (want_disks > 1 && stream >= want_disks)
            src.opt.disk_capacity = (stream + want_disks - 1) / want_disks;
        imgw::BackupSet set = imgw::plan_set(src.files, src.opt, src.dirs);
        std::vector<std::string> images = imgw::layout_images(set);

        SCOPED_TRACE("trial " + std::to_string(trial) + ": " + std::to_string(src.files.size()) + " files, " +
                     std::to_string(images.size()) + " disks, " +
                     (src.opt.compressed ? "compressed level " + std::to_string(src.opt.comp_lvl) : "stored"));

        TempDir t;
        std::string answers;
        for (size_t k = 0; k < images.size(); k++) {
            std::string name = "disk" + std::to_string(k + 1) + ".img";
            t.write(name, images[k]);
            answers += "../" + name + "\n";
        }
        t.mkdir("work");
        std::string stdin_text = images.size() > 1 ? "N\n" + answers : "";
        RunResult r = run_unbak(t.file("work"), {"../disk" + std::to_string(images.size()) + ".img", "-x"},
                                stdin_text);
        EXPECT_EQ(r.status, 0);
        for (const char* bad : {"error", "warning", "fatal", "\nabort", "unsafe", "mismatch"})
            EXPECT_EQ(r.out.find(bad), std::string::npos) << bad << " in:\n" << r.out;

        std::map<std::string, std::string> want = {{"C_/", ""}};
        for (const std::string& d : src.dirs) want[native("C_\\" + d) + "/"] = "";
        for (const imgw::SourceFile& f : src.files) {
            if (!f.dir.empty()) want[native("C_\\" + f.dir) + "/"] = "";
            want[native("C_\\" + (f.dir.empty() ? "" : f.dir + "\\") + f.name)] = f.content;
        }
        std::map<std::string, std::string> got = tree_of(t.file("work"));
        EXPECT_EQ(got.size(), want.size());
        for (const auto& e : want) {
            auto it = got.find(e.first);
            if (it == got.end()) {
                ADD_FAILURE() << "missing " << e.first;
                continue;
            }
            EXPECT_TRUE(it->second == e.second) << "contents differ: " << e.first;
        }

        for (const imgw::SourceFile& f : src.files) {
            std::string path = t.file("work/" + native("C_\\" + (f.dir.empty() ? "" : f.dir + "\\") + f.name));
            EXPECT_EQ(mtime_of(path), expected_mtime(f.date)) << path << " " << f.date;
            bool writable = (mode_of(path) & 0200) != 0;
            EXPECT_EQ(writable, (f.attrib & 0x80) != 0) << path;
            if (!(f.attrib & 0x80)) {
                EXPECT_EQ(mode_of(path) & 0222, 0u) << path;
            }
        }
    }
}

}  // namespace
