// Hostile images end to end: catalogs cut short inside each table region, a
// catalog offset beyond the image or inside its header, images that end
// inside their header, disk image names that are not images, standard
// input that ends at a prompt, and hostile sizes, counts and indices. Each
// case checks the whole output, the exit status, what was restored, and
// that nothing outside the run directory changed.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "fuzz/replay.h"
#include "tests/restore_sets.h"

using namespace restore_test;

namespace {

using Tree = std::map<std::string, std::string>;

std::string banner() {
    return std::string("\nunbak version 1.02 compiled for WIN32") + "\n       using: zlib version " +
           zlibVersion() + " with raw decompression\n";
}

const char* const ATTEMPT = "\nattempt to step through catalog and locate structure definition regions";
const char* const HEADER_FAIL = "\nfailed to read a valid Tarnel Backup file header from target file\n";
const char* const DISPLAY_TITLE = "\n\n\ndisplay of catalog\n";

std::string locate_line(int i, uint32_t offset) {
    char b[128];
    snprintf(b, sizeof b, "\nstart of Structure Definition %d: %-8s at  0x%lx", i + 1,
             REGION_LABELS[i], (unsigned long)offset);
    return b;
}

imgw::SetOptions options(bool compressed, int comp_lvl = 4, int32_t group = 65536, int64_t capacity = 0) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.comp_lvl = comp_lvl;
    o.group_size = group;
    o.disk_capacity = capacity;
    return o;
}

// An extraction run first goes in-process with the fast path of compressed
// groups on and off, in the run directory, which is emptied again: both
// ways give the same output, exit status and files.
void expect_fast_path_agrees(const TempDir& t, const std::vector<std::string>& args,
                             const std::string& in) {
    if (std::find(args.begin(), args.end(), "-x") == args.end()) return;
    InProcessRun runs[2];
    Tree files[2];
    for (int fast = 0; fast < 2; fast++) {
        runs[fast] = run_unbak_in(t.file("out"), args, in, fast == 1);
        files[fast] = tree_of(t.file("out"));
        remove_below(t.file("out"));
    }
    EXPECT_EQ(runs[1].out, runs[0].out);
    EXPECT_EQ(runs[1].status, runs[0].status);
    EXPECT_TRUE(files[1] == files[0]);
}

// A set written as d1.img, d2.img, ... into a scratch directory; unbak runs
// in its subdirectory out/ on the last image. Everything outside out/ is
// recorded when written, so a run can be checked to have left it alone.
struct Scene {
    imgw::BackupSet set;
    std::vector<std::string> images;
    TempDir t;
    Tree before;

    explicit Scene(const imgw::BackupSet& s) : set(s) {}

    void write() { write(imgw::layout_images(set)); }
    void write(const std::vector<std::string>& imgs) {
        images = imgs;
        write_images(t, images);
        before = outside();
    }
    // An extra file or directory beside the images.
    void add(const std::string& name, const std::string& bytes) {
        t.write(name, bytes);
        before = outside();
    }
    void add_dir(const std::string& name) {
        t.mkdir(name);
        before = outside();
    }
    void add_symlink(const std::string& name, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), t.file(name).c_str()), 0);
        before = outside();
    }
    Tree outside() const {
        Tree all = tree_of(t.path);
        Tree rest;
        for (const auto& e : all)
            if (e.first != "out/" && e.first.rfind("out/", 0) != 0) rest.insert(e);
        return rest;
    }
    RunResult run(std::vector<std::string> opts, const std::string& in = "") const {
        opts.insert(opts.begin(), img(images.size()));
        expect_fast_path_agrees(t, opts, in);
        return run_in_out(t, opts, in);
    }
    Tree restored() const { return tree_of(t.file("out")); }
    uint32_t cat() const { return cat_offs_of(images.back()); }
    bool compressed() const { return set.tables.job.compressed != 0; }

    // The banner, the header lines of the last image and the region lines.
    std::string opening() const {
        return banner() + "\nsource file: " + img(images.size()) + "\n" +
               header_lines((int)images.size(), cat()) + ATTEMPT;
    }
    std::string head() const {
        std::array<imgw::Region, 7> r = imgw::make_regions(set.tables);
        std::string s = opening();
        uint32_t pos = cat();
        for (int i = 0; i < 7; i++) {
            pos += REGION_GAPS[i];
            s += locate_line(i, pos);
            pos += (uint32_t)imgw::encode_region(r[i]).size() - 32;
        }
        return s;
    }
    // Everything through the link summary, for a well-formed catalog.
    std::string prelude() const {
        std::string s = head() + (compressed() ? "\ndata is compressed" : "\ndata is not compressed");
        uint32_t cum = 0;
        int closed = 0;
        if (compressed() && !set.tables.comp.empty()) {
            for (const imgw::Comp& c : set.tables.comp) {
                cum += (uint32_t)c.COMPSIZE;
                if (c.IS_LAST == 1) closed++;
            }
        } else {
            for (const imgw::File& f : set.tables.files) cum += (uint32_t)f.size_lo;
        }
        return s + link_line((int)set.tables.files.size(), closed, cum);
    }
    // The closing catalog summary and the last newline.
    std::string summary() const {
        const imgw::CatalogTables& tb = set.tables;
        char b[160];
        std::string s = "\n\n\ndisplay of catalog";
        snprintf(b, sizeof b, "\nDisks with %d entries\nDirs  with %d entries\nFiles with %d entries",
                 (int)tb.disks.size(), (int)tb.dirs.size(), (int)tb.files.size());
        s += b;
        if (compressed()) s += fmt("\nComp with %ld entries", (long)tb.comp.size());
        s += fmt("\nPaths with %ld entries", (long)tb.paths.size());
        snprintf(b, sizeof b, "\nJob data: Job number %ld  number of disks %ld", (long)tb.job.job_num,
                 (long)tb.job.num_disks);
        s += b;
        if (compressed()) s += " data is compressed";
        return s + fmt("\nSession with %ld entries", (long)tb.sessions.size()) + "\n\n";
    }
};

// ---- catalogs cut short --------------------------------------------------

// The catalog ends inside the first data record of region i: the walk
// counts the count record alone, warns, misses the 0x1A and stops there;
// no table is read, nothing is created.
TEST(TruncatedCatalog, InsideEachOfTheSevenRegions) {
    imgw::BackupSet set = imgw::plan_set(
        {{"Data", "a.txt", "alpha\n"}, {"", "b.txt", "bravo\n"}}, options(true));
    std::array<imgw::Region, 7> r = imgw::make_regions(set.tables);
    std::string whole = imgw::layout_images(set).back();
    uint32_t cat = cat_offs_of(whole);

    uint32_t pos = cat;
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE(REGION_LABELS[i]);
        uint32_t offset = pos + REGION_GAPS[i];
        int32_t ent = imgw::ent_size(r[i]);
        int32_t nfields = (int32_t)r[i].fields.size();
        uint32_t data = offset + 32 * (uint32_t)nfields + 1;
        Scene s(set);
        s.write({whole.substr(0, data + (uint32_t)ent + (uint32_t)ent / 2)});
        RunResult run = s.run({"-x"});

        std::string want = s.opening();
        uint32_t p = cat;
        for (int k = 0; k <= i; k++) {
            p += REGION_GAPS[k];
            want += locate_line(k, p);
            p += (uint32_t)imgw::encode_region(r[k]).size() - 32;
        }
        want += fmt("\nwarning num %ld from 1st record != record cnt 1", (long)r[i].records.size()) +
                "\nfailed to find 0x1A terminator at end of record at 0xld" +
                fmt("\nabort, skip_struct(%ld) returned offset ", (long)i + 1) +
                fmt("%ld", -(long)(32 * nfields + 1 + ent)) + DISPLAY_TITLE + "\n";
        EXPECT_EQ(run.out, want);
        EXPECT_EQ(run.status, 8);
        EXPECT_TRUE(s.restored().empty());
        EXPECT_EQ(s.outside(), s.before);
        pos = offset + (uint32_t)imgw::encode_region(r[i]).size() - 32;
    }
}

// ---- where the catalog offset points ---------------------------------------

TEST(CatalogOffset, BeyondTheEndOfTheImage) {
    imgw::BackupSet set = imgw::plan_set({{"", "a.txt", "alpha\n"}}, options(false));
    std::string image = imgw::layout_images(set).back();
    uint32_t beyond = (uint32_t)image.size() + 0x1000;
    for (int k = 0; k < 4; k++) image[28 + k] = (char)(beyond >> (8 * k));
    uint32_t search = beyond + REGION_GAPS[0];
    const std::string no_serial =
        "\nread error no valid 1st 'SERIAL' field found reading ahead by 0x20 byte blocks\n";

    Scene s(set);
    s.write({image});
    RunResult r = s.run({"-x"});
    EXPECT_EQ(r.out, s.opening() + "\nstart of Structure Definition 1: Disk     at " + no_serial +
                         fmt("\nFailed to reach next structure when search started at offset 0x%lx",
                             (long)search) +
                         DISPLAY_TITLE + "\n");
    EXPECT_EQ(r.status, 8);

    r = s.run({"-f"});
    EXPECT_EQ(r.out, s.opening() + "\nstart of Structure Definition  1: Disk     at " + no_serial +
                         "\nfound 0 structure definition regions\n\n");

    // The catalog file gets the new header and nothing behind it: the
    // image holds no byte from its catalog offset on.
    r = s.run({"-c"});
    EXPECT_EQ(r.out, s.opening() + "\nstart of Structure Definition 1: Disk     at " + no_serial +
                         fmt("\nFailed to reach next structure when search started at offset 0x%lx",
                             (long)search) +
                         "\n");
    EXPECT_EQ(r.status, 0);
    std::string saved = s.t.read("d1.cat");
    ASSERT_EQ(saved.size(), 512u);
    EXPECT_EQ(cat_offs_of(saved), 0x200u);
    Tree want = s.before;
    want["d1.cat"] = saved;
    EXPECT_EQ(s.outside(), want);
    EXPECT_TRUE(s.restored().empty());
}

// A catalog offset of 0x100 lies inside the header: the data space is
// 0x100 - 0x200, negative. The first file asks for the next disk at once,
// with the data space in the warning, and ends when none comes.
TEST(CatalogOffset, InsideTheHeaderLeavesANegativeDataSpace) {
    for (bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "compressed" : "stored");
        imgw::BackupSet set = imgw::plan_set({{"", "a.txt", "alpha\n"}}, options(compressed));
        set.header.cat_offs = 0x100;
        std::string catalog = imgw::encode_catalog(imgw::make_regions(set.tables));
        Scene s(set);
        s.write({imgw::encode_header(set.header) + catalog.substr(0x100)});
        ASSERT_EQ(s.cat(), 0x100u);
        RunResult r = s.run({"-x"});
        EXPECT_EQ(r.out, s.prelude() + dirs_made({"C_"}) + files_heading() + listing(1, "C:\\a.txt", 6) +
                             "\ndisk change - warning avail = -256, should be zero" + disk_prompt(2) + "\n" +
                             s.summary());
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(s.restored(), (Tree{{"C_/", ""}, {"C_/a.txt", ""}}));
        EXPECT_NE(mtime_of(s.t.file("out/C_/a.txt")), DATE_SECS);
        EXPECT_EQ(s.outside(), s.before);
    }
}

// ---- images that are cut short or are not images ---------------------------

TEST(ShortImage, EndingInsideTheHeaderIsRefused) {
    std::string header = imgw::encode_header(imgw::Header());
    for (size_t len : {(size_t)0, (size_t)52, (size_t)53}) {
        SCOPED_TRACE(len);
        Scene s(imgw::plan_set({}, options(false)));
        s.write({header.substr(0, len)});
        RunResult r = s.run({"-x"});
        EXPECT_EQ(r.out, banner() + "\nsource file: ../d1.img\n" + "\nfailed to read file header" +
                             HEADER_FAIL + "\n");
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(s.outside(), s.before);
    }
}

TEST(ShortImage, ImagePathThatIsADirectoryOrADanglingLink) {
    Scene s(imgw::plan_set({}, options(false)));
    s.write({});
    s.add_dir("dir.img");
    s.add_symlink("dangling.img", "no-such-target.img");
    RunResult r = run_in_out(s.t, {"../dir.img", "-x"});
    EXPECT_EQ(r.out, banner() + "\nsource file: ../dir.img\n" + "\nfailed to read file header" +
                         HEADER_FAIL + "\n");
    EXPECT_EQ(r.status, 8);
    r = run_in_out(s.t, {"../dangling.img", "-x", "-c"});
    EXPECT_EQ(r.out, banner() + "\nsource file: ../dangling.img\n" +
                         "\nfailed to open target file: ../dangling.img" + HEADER_FAIL + "\n");
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(s.outside(), s.before);
    EXPECT_TRUE(s.restored().empty());
}

// Two disks: a.bin spans them, b.txt lies on the last.
struct TwoDisks : Scene {
    std::string a = noise(3000, 21);
    TwoDisks() : Scene(imgw::plan_set({{"", "a.bin", noise(3000, 21)}, {"Keep", "b.txt", "bravo\n"}},
                                      options(false, 4, 0, 2000))) {
        write();
    }
    std::string intro() const {
        return prelude() + dirs_made({"C_", "C_\\Keep"}) +
               choice_intro(2, 2,
                            "\n2 files uncompressed data space 3006 used data space 3006"
                            "\n1006 data bytes available for data storage on this disk"
                            "\n1st full file on disk 2   => b.txt"
                            "\n must skip first 1000 data bytes on this media disk as previous file "
                            "spans 2 disks");
    }
    std::string disk1_accepted() const { return header_lines(1, 0) + data_disk_accepted(1, 2, 2000); }
    std::string rest_of_restore() const {
        return files_heading() + listing(1, "C:\\a.bin", 3000) + "\ndisk change" + disk_prompt(2) +
               header_lines(2, cat()) + last_disk_accepted(2, (long)cat() - 512) +
               listing(2, "C:\\Keep\\b.txt", 6) + "\n";
    }
    Tree all_restored() const {
        return {{"C_/", ""}, {"C_/Keep/", ""}, {"C_/a.bin", a}, {"C_/Keep/b.txt", "bravo\n"}};
    }
};

TEST(DiskPrompt, NamesThatAreNotImagesAreRefusedAndAskedAgain) {
    TwoDisks s;
    std::string header = imgw::encode_header(imgw::Header());
    s.add("cut.img", header.substr(0, 100));
    s.add_dir("dir.img");
    s.add_symlink("dangling.img", "no-such-target.img");
    RunResult r = s.run({"-x"}, "N\n../cut.img\n../dir.img\n../dangling.img\n../d1.img\n../d2.img\n");
    EXPECT_EQ(r.out, s.intro() + disk_prompt(1) + "\nfailed to read file header" + disk_prompt(1) +
                         "\nfailed to read file header" + disk_prompt(1) +
                         "\nfailed to open target file: ../dangling.img" + disk_prompt(1) +
                         s.disk1_accepted() + s.rest_of_restore() + s.summary());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(s.restored(), s.all_restored());
    EXPECT_EQ(s.outside(), s.before);
}

// ---- standard input that ends ------------------------------------------------

TEST(ClosedInput, EndOfInputAtAPromptEndsTheDialogue) {
    struct Case {
        const char* what;
        std::vector<std::string> opts;
        std::string input;
        std::function<std::string(const TwoDisks&)> after_intro;
        std::function<Tree(const TwoDisks&)> restored;
        int status;
    };
    const Tree dirs = {{"C_/", ""}, {"C_/Keep/", ""}};
    const Case cases[] = {
        {"at the disk prompt after a refused image", {"-x"}, "N\n../d2.img\n",
         [](const TwoDisks& s) {
             return disk_prompt(1) + header_lines(2, s.cat()) +
                    "\nnew header data does not match catalog header" + disk_prompt(1);
         },
         [&](const TwoDisks&) { return dirs; }, 8},
        {"at the disk prompt while a filtered file is stepped over", {"-x", "-pC:\\Keep"}, "N\n../d1.img\n",
         [](const TwoDisks& s) {
             return disk_prompt(1) + s.disk1_accepted() + files_heading() + "using path string: C:\\Keep\n" +
                    "\ndisk change" + disk_prompt(2) +
                    "\nskipped 1 files due to path comparision from -p<path>\n";
         },
         [&](const TwoDisks&) { return dirs; }, 8},
        // A last name cut off by the end of input still counts.
        {"after a last name without its line end", {"-x"}, "N\n../d1.img\n../d2.img",
         [](const TwoDisks& s) { return disk_prompt(1) + s.disk1_accepted() + s.rest_of_restore(); },
         [](const TwoDisks& s) { return s.all_restored(); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TwoDisks s;
        RunResult r = s.run(c.opts, c.input);
        EXPECT_EQ(r.out, s.intro() + c.after_intro(s) + s.summary());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(s.restored(), c.restored(s));
        EXPECT_EQ(s.outside(), s.before);
    }
}

// ---- hostile numbers -----------------------------------------------------------

// Runs unbak where an allocation near a claimed 2 GiB fails: under the
// address sanitizer by its allocation limit, otherwise by an address-space
// limit.
RunResult run_with_small_heap(const Scene& s, const std::vector<std::string>& args) {
#ifdef UNDER_ASAN
    std::string script =
        "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=256 exec \"$0\" \"$@\"";
#else
    std::string script = "ulimit -v 262144 && exec \"$0\" \"$@\"";
#endif
    std::vector<std::string> argv = {"-c", script, UNBAK_EXE, img(s.images.size())};
    argv.insert(argv.end(), args.begin(), args.end());
    expect_fast_path_agrees(s.t, std::vector<std::string>(argv.begin() + 3, argv.end()), "");
    return run_program("/bin/sh", argv, "", s.t.file("out"));
}

// Sizes on a one-disk set: each file's data is followed by the next file's,
// so what a size makes the restore consume shows in the next file.
TEST(HostileSizes, NegativeAndHugeSizesConsumeOnlyWhatIsThere) {
    struct Case {
        const char* what;
        bool compressed;
        int comp_lvl;
        std::function<void(imgw::BackupSet&)> tamper;
        std::string link;      // the link summary line
        std::string messages;  // what follows the listing line of b.txt
        Tree restored;
        int status;
    };
    const Case cases[] = {
        // A negative stored length consumes nothing: a.bin is created empty
        // and b.txt is read from where a.bin's data would have begun.
        {"negative stored length", false, 4,
         [](imgw::BackupSet& s) { s.tables.files[0].size_lo = -5; },
         "\nwarning cum_dat wrapped in link_data()" + link_line(2, 0, 1), "\n",
         {{"C_/", ""}, {"C_/a.bin", ""}, {"C_/b.txt", "bravo\n"}}, 0},
        // A stored length of 2 GiB - 1 takes what the disk holds, then asks
        // for the next disk, which does not come.
        {"huge stored length", false, 4,
         [](imgw::BackupSet& s) { s.tables.files[1].size_lo = 2147483647; },
         link_line(2, 0, 2147483647u), "\ndisk change" + disk_prompt(2) + "\n",
         {{"C_/", ""}, {"C_/a.bin", ""}, {"C_/b.txt", "bravo\n"}}, 8},
        // A stored group (level -1) whose ORGSIZE is negative cannot be
        // allocated; nothing is read for it.
        {"negative ORGSIZE of a stored group", true, -1,
         [](imgw::BackupSet& s) { s.tables.comp[1].ORGSIZE = -1; }, link_line(2, 2, 6),
         "\nfatal error allocating decompression buffer\n",
         {{"C_/", ""}, {"C_/a.bin", ""}, {"C_/b.txt", ""}}, 8},
        // A stored group of 2 GiB - 1: the bytes present are read, then the
        // next disk is asked for; the failed change ends the file at once.
        {"huge ORGSIZE of a stored group", true, -1,
         [](imgw::BackupSet& s) { s.tables.comp[1].ORGSIZE = 2147483647; }, link_line(2, 2, 6),
         "\ndisk change" + disk_prompt(2) + "\n",
         {{"C_/", ""}, {"C_/a.bin", ""}, {"C_/b.txt", ""}}, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        imgw::BackupSet set = imgw::plan_set({{"", "a.bin", ""}, {"", "b.txt", "bravo\n"}},
                                             options(c.compressed, c.comp_lvl));
        c.tamper(set);
        Scene s(set);
        s.write();
        RunResult r = run_with_small_heap(s, {"-x"});
        std::string prelude = s.prelude();
        prelude = prelude.substr(0, prelude.rfind("\nlink_data()")) + c.link;
        std::string lines = listing(1, "C:\\a.bin", (long)set.tables.files[0].size_lo) +
                            listing(2, "C:\\b.txt", (long)set.tables.files[1].size_lo);
        EXPECT_EQ(r.out, prelude + dirs_made({"C_"}) + files_heading() + lines + c.messages + s.summary());
        EXPECT_EQ(r.status, c.status);
        Tree got = s.restored();
        EXPECT_EQ(got, c.restored);
        EXPECT_EQ(s.outside(), s.before);
    }
}

// Counts and indices out of every range: each gives a defined message and
// result; none reaches outside its table.
TEST(HostileCounts, NegativeAndHugeCountsAndIndices) {
    struct Case {
        const char* what;
        std::function<void(imgw::BackupSet&, std::array<imgw::Region, 7>&)> tamper;
        std::string after_tables;  // from the compression line through the run's end
        Tree restored;
    };
    const Tree both = {{"C_/", ""}, {"C_/Data/", ""}, {"C_/Data/a.txt", "alpha\n"}, {"C_/b.txt", "bravo\n"}};
    const std::string listed = files_heading() + listing(1, "C:\\Data\\a.txt", 6) + listing(2, "C:\\b.txt", 6);
    const Case cases[] = {
        {"Files count of -5: no file is read",
         [](imgw::BackupSet&, std::array<imgw::Region, 7>& r) { r[2].records[0] = imgw::count_record(r[2], -5); },
         "\ndata is not compressed\nabort either no path data or no file data\n  1 C_\n  2 C_\\Data" +
             files_heading() + "\n" +
             "\n\n\ndisplay of catalog\nDisks with 1 entries\nDirs  with 2 entries\nPaths with 2 entries"
             "\nJob data: Job number 1  number of disks 1\nSession with 1 entries\n\n",
         {{"C_/", ""}, {"C_/Data/", ""}}},
        {"Comp count of -5 on a compressed set: no group, files read as stored",
         [](imgw::BackupSet& s, std::array<imgw::Region, 7>& r) {
             s.tables.job.compressed = 1;
             r[4] = imgw::job_region(s.tables.job);
             r[3].records[0] = imgw::count_record(r[3], -5);
         },
         "\ndata is compressed" + link_line(2, 0, 12) + "\n  1 C_\n  2 C_\\Data" + listed + "\n" +
             "\n\n\ndisplay of catalog\nDisks with 1 entries\nDirs  with 2 entries\nFiles with 2 entries"
             "\nPaths with 2 entries\nJob data: Job number 1  number of disks 1 data is compressed"
             "\nSession with 1 entries\n\n",
         both},
        {"negative parent and directory indices, huge disk index",
         [](imgw::BackupSet& s, std::array<imgw::Region, 7>& r) {
             s.tables.dirs[1].parent = -3;
             s.tables.files[1].dir = -1;
             r[1] = imgw::dirs_region(s.tables.dirs);
             r[2] = imgw::files_region(s.tables.files);
             imgw::Dir extra;
             extra.serial = 3;
             extra.disk = 2147483647;
             extra.parent = 1;
             extra.name = "X";
             r[1].records.push_back(imgw::dirs_region({extra}).records[1]);
             r[1].records[0] = imgw::count_record(r[1], 4);
         },
         "\ndata is not compressed" + link_line(2, 0, 12) +
             "\n  1 C_\ndir ndx -3 out of range\n  2: error in mk_path_str()"
             "\ndrive ndx 2147483646 out of range\n  3: error in mk_path_str()" +
             files_heading() + "\ndir ndx -3 out of range" + listing(1, "a.txt", 6) +
             "\ndir ndx -1 out of range" + listing(2, "b.txt", 6) + "\n" +
             "\n\n\ndisplay of catalog\nDisks with 1 entries\nDirs  with 3 entries\nFiles with 2 entries"
             "\nPaths with 2 entries\nJob data: Job number 1  number of disks 1\nSession with 1 entries\n\n",
         {{"C_/", ""}, {"a.txt", "alpha\n"}, {"b.txt", "bravo\n"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        imgw::BackupSet set =
            imgw::plan_set({{"Data", "a.txt", "alpha\n"}, {"", "b.txt", "bravo\n"}}, options(false));
        std::array<imgw::Region, 7> regions = imgw::make_regions(set.tables);
        c.tamper(set, regions);
        Scene s(set);
        s.write(imgw::layout_images(set, regions));
        RunResult r = s.run({"-x"});
        std::string head = s.opening();
        uint32_t pos = s.cat();
        for (int i = 0; i < 7; i++) {
            pos += REGION_GAPS[i];
            head += locate_line(i, pos);
            pos += (uint32_t)imgw::encode_region(regions[i]).size() - 32;
            // A count record that disagrees with the records present only warns.
            long announced = std::stol(regions[i].records[0].substr(13, 12));
            if (announced != (long)regions[i].records.size())
                head += fmt("\nwarning num %ld from 1st record != record cnt ", announced) +
                        fmt("%ld", (long)regions[i].records.size());
        }
        EXPECT_EQ(r.out, head + c.after_tables);
        // A count that disagrees is a restore not as recorded.
        bool disagrees = head.find("\nwarning num") != std::string::npos;
        EXPECT_EQ(r.status, disagrees ? 9 : 0);
        EXPECT_EQ(s.restored(), c.restored);
        EXPECT_EQ(s.outside(), s.before);
    }
}

}  // namespace
