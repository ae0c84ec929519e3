// Multi-disk sets, end to end: where the first whole file on the last disk
// begins, the Y/N/L/A choice and the disk image prompt, fed on stdin,
// including refused images, odd line endings and an input that ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>

#include "tests/restore_sets.h"

using namespace restore_test;

namespace {

imgw::SetOptions options(bool compressed, int comp_lvl, int32_t group_size, int64_t capacity) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.comp_lvl = comp_lvl;
    o.group_size = group_size;
    o.disk_capacity = capacity;
    return o;
}

std::string alloc_totals(long files, unsigned long stored, unsigned long used, long space) {
    char b[200];
    snprintf(b, sizeof b,
             "\n%ld files uncompressed data space %lu used data space %lu"
             "\n%ld data bytes available for data storage on this disk",
             files, stored, used, space);
    return b;
}

std::string first_whole(long counter, const std::string& name, long skip) {
    std::string s = fmt("\n1st full file on disk %ld  ", counter);
    s += name.empty() ? "\nthis disk just contains continuation data from a prior file and the catalog"
                      : " => " + name;
    if (skip > 0)
        s += fmt("\n must skip first %ld data bytes on this media disk as previous file spans 2 disks",
                 skip);
    return s;
}

// ---- the first whole file on the last disk ---------------------------------

TEST(FirstWholeFile, ChoiceYRestoresTheFilesThatBeginOnTheLastDisk) {
    struct Case {
        const char* what;
        std::vector<size_t> sizes;  // stored files f0.bin, f1.bin, ...
        int64_t capacity;
        std::string alloc;          // after the totals
        std::vector<size_t> restored;
    };
    const Case cases[] = {
        {"skip into the last disk", {7000, 5000, 3000}, 5000, first_whole(3, "f2.bin", 2000), {2}},
        {"boundary at a file's end", {5000, 5000}, 5000, first_whole(2, "f1.bin", 0), {1}},
        {"continuation data only", {12000}, 5000, first_whole(2, "", 2000), {}},
    };
    for (const Case& c : cases) {
        std::vector<imgw::SourceFile> src;
        std::map<std::string, std::string> want = {{"C_/", ""}};
        std::string restored_listing;
        size_t total = 0;
        for (size_t i = 0; i < c.sizes.size(); i++) {
            std::string name = "f" + std::to_string(i) + ".bin";
            src.push_back({"", name, noise(c.sizes[i], (uint32_t)i + 20)});
            total += c.sizes[i];
        }
        for (size_t i : c.restored) {
            want["C_/" + src[i].name] = src[i].content;
            restored_listing += listing((long)i + 1, "C:\\" + src[i].name, (long)c.sizes[i]);
        }
        imgw::BackupSet s = imgw::plan_set(src, options(false, 4, 0, c.capacity));
        std::vector<std::string> images = imgw::layout_images(s);
        int n = (int)images.size();
        long space = (long)cat_offs_of(images.back()) - 512;
        TempDir t;
        write_images(t, images);
        RunResult r = run_in_out(t, {img(n), "-x"}, "Y\n");

        EXPECT_EQ(engine_part(r.out),
                  link_line((int)src.size(), 0, total) + dirs_made({"C_"}) +
                      choice_intro(n, (long)src.size(),
                                   alloc_totals((long)src.size(), total, total, space) + c.alloc) +
                      files_heading() + restored_listing + "\n")
            << c.what;
        EXPECT_EQ(tree_of(t.file("out")), want) << c.what;
    }
}

TEST(FirstWholeFile, LessDataThanTheLastDiskHoldsIsRefused) {
    imgw::BackupSet s = imgw::plan_set({{"", "a.bin", noise(1000, 1)}, {"", "b.bin", noise(1000, 2)}},
                                       options(false, 4, 0, 1000));
    s.tables.files[0].size_lo = 0;
    s.tables.files[1].size_lo = 500;
    TempDir t;
    write_images(t, imgw::layout_images(s));
    RunResult r = run_in_out(t, {img(2), "-x"}, "Y\n");

    EXPECT_EQ(engine_part(r.out),
              link_line(2, 0, 500) + dirs_made({"C_"}) +
                  "\nThis is disk 2 of a multi disk Dravik backup"
                  "\nfor a full restore of the total 2 files the other disks are required." +
                  alloc_totals(2, 500, 500, 1000) +
                  "\nabort check_alloc() returned -500 which shouldn't be possible");
    EXPECT_EQ(tree_of(t.file("out")), (std::map<std::string, std::string>{{"C_/", ""}}));
}

// The last disk begins inside the third of a.bin's four groups: the skip
// must cover the rest of a.bin's run so b.txt is read from its first byte.
TEST(FirstWholeFile, BoundaryInsideAGroupRunSkipsTheWholeRun) {
    const std::string a = noise(4000, 3), b = noise(500, 4);
    for (int lvl : {-1, 4}) {
        for (bool verbose : {false, true}) {
            imgw::BackupSet s = imgw::plan_set({{"", "a.bin", a}, {"", "b.txt", b}},
                                               options(true, lvl, 1000, 2500));
            std::vector<std::string> images = imgw::layout_images(s);
            ASSERT_EQ(images.size(), 2u);
            TempDir t;
            write_images(t, images);
            std::vector<std::string> args = {img(2), "-x"};
            if (verbose) args.push_back("-v");
            RunResult r = run_in_out(t, args, "Y\n");

            EXPECT_EQ(t.read("out/C_/b.txt"), b) << lvl << verbose;
            EXPECT_FALSE(t.exists("out/C_/a.bin"));
            if (lvl != -1) continue;
            // Stored groups of 1000 (four) and 500 bytes; 2000 on disk 2.
            std::string alloc = alloc_totals(2, 4500, 4500, 2000);
            if (verbose) alloc += "\ntother = -500 on file 1 comp rec 3, in middle of group";
            alloc += first_whole(2, "b.txt", 1500);
            std::string b_lines = listing(2, "C:\\b.txt", 500);
            if (verbose)
                b_lines += fmt("\n     compsize 500 chksum 0x%lx offs_lo 0x4000",
                               (long)(uint32_t)s.tables.comp[4].CHK_SUM) +
                           "\ngroup 1 offs_lo 0xfa0 comp_lvl -1";
            EXPECT_EQ(engine_part(r.out), link_line(2, 2, 4500) + dirs_made({"C_"}) +
                                              choice_intro(2, 2, alloc) + files_heading() +
                                              b_lines + "\n")
                << verbose;
        }
    }
}

// ---- the dialogue ----------------------------------------------------------------

// Two disks: a.bin (three groups, the second split over the disks), b.txt.
struct DialogueSet {
    TempDir t;
    imgw::BackupSet set;
    std::vector<std::string> images;
    uint32_t cat = 0;
    std::string a = noise(3000, 5);

    DialogueSet() {
        set = imgw::plan_set({{"", "a.bin", a}, {"", "b.txt", "bravo\n"}},
                             options(true, 4, 1000, 2000));
        images = imgw::layout_images(set);
        cat = cat_offs_of(images.back());
        write_images(t, images);
        // Disk-1 images of another set, another set half and another job.
        imgw::Header h = set.header;
        h.disk_num = 1;
        h.set_id1 ^= 1;
        t.write("other_id1.img", imgw::make_image(h, "x", ""));
        h = set.header;
        h.disk_num = 1;
        h.set_id2 ^= 1;
        t.write("other_id2.img", imgw::make_image(h, "x", ""));
        h = set.header;
        h.disk_num = 1;
        h.job_num = 2;
        t.write("other_job.img", imgw::make_image(h, "x", ""));
    }
    uint32_t used() const {
        uint32_t u = 0;
        for (const imgw::Comp& c : set.tables.comp) u += (uint32_t)c.COMPSIZE;
        return u;
    }
    // Everything up to and including the choice prompt.
    std::string intro() const {
        long space = (long)cat - 512;
        uint32_t group1 = (uint32_t)set.tables.comp[0].COMPSIZE;
        uint32_t run_a = group1 + (uint32_t)set.tables.comp[1].COMPSIZE +
                         (uint32_t)set.tables.comp[2].COMPSIZE;
        return link_line(2, 2, used()) + dirs_made({"C_"}) +
               choice_intro(2, 2,
                            alloc_totals(2, 3006, used(), space) +
                                first_whole(2, "b.txt", (long)run_a - 2000));
    }
    // Choice N answered with the right images from disk 1 on.
    std::string restore_from_disk1() const {
        return header_lines(1, 0) + data_disk_accepted(1, 2, 2000) + files_heading() +
               listing(1, "C:\\a.bin", 3000) + "\ndisk change" + disk_prompt(2) +
               header_lines(2, cat) + last_disk_accepted(2, (long)cat - 512) +
               listing(2, "C:\\b.txt", 6) + "\n";
    }
    std::string refused(const std::string& lines) const {
        return lines + "\nnew header data does not match catalog header" + disk_prompt(1);
    }
};

TEST(DiskPrompt, RefusesImagesOfAnotherSetJobOrDiskAndAsksAgain) {
    DialogueSet d;
    std::string names = "nosuch.img\n.\n../d2.img\n../other_id1.img\n../other_id2.img\n../other_job.img\n";
    RunResult r = run_in_out(d.t, {img(2), "-x"}, "N\n" + names + img(1) + "\n" + img(2) + "\n");

    std::string job2 = "\nBackup name: test backup\nJob 2  Backup Disk 1\nno Catalog on this disk";
#ifdef _WIN32
    // A directory cannot be opened as a file here at all.
    const std::string directory = "\nfailed to open target file: .";
#else
    const std::string directory = "\nfailed to read file header";
#endif
    EXPECT_EQ(engine_part(r.out),
              d.intro() + disk_prompt(1) + "\nfailed to open target file: nosuch.img" +
                  disk_prompt(1) + directory + disk_prompt(1) +
                  d.refused(header_lines(2, d.cat)) + d.refused(header_lines(1, 0)) +
                  d.refused(header_lines(1, 0)) + d.refused(job2) + d.restore_from_disk1());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(d.t.read("out/C_/a.bin"), d.a);
    EXPECT_EQ(d.t.read("out/C_/b.txt"), "bravo\n");
}

TEST(DiskPrompt, NameLineEndingsAndLength) {
    DialogueSet d;
    const std::string long_name(600, 'x');
    struct Case {
        const char* what;
        std::string input;
        std::string after_prompt;
    };
    const Case cases[] = {
        {"trailing tab and CR", "N\n" + img(1) + "\t\t\r\n" + img(2) + "\r\n",
         d.restore_from_disk1()},
        {"over-long line read once", "N\n" + long_name + "\n" + img(1) + "\n" + img(2) + "\n",
         "\nfailed to open target file: " + std::string(511, 'x') + disk_prompt(1) +
             d.restore_from_disk1()},
        // The first character is never taken off: a line of only a tab or a
        // CR is a name, whose open fails, and the prompt is repeated.
        {"a tab alone is a name", "N\n\t\n" + img(1) + "\n" + img(2) + "\n",
         "\nfailed to open target file: \t" + disk_prompt(1) + d.restore_from_disk1()},
#ifndef _WIN32
        // (A Windows console input in text mode hands "\r\n" over as "\n".)
        {"a CR alone is a name", "N\n\r\n" + img(1) + "\n" + img(2) + "\n",
         "\nfailed to open target file: \r" + disk_prompt(1) + d.restore_from_disk1()},
#endif
    };
    for (const Case& c : cases) {
        DialogueSet fresh;
        RunResult r = run_in_out(fresh.t, {img(2), "-x"}, c.input);
        EXPECT_EQ(engine_part(r.out), fresh.intro() + disk_prompt(1) + c.after_prompt) << c.what;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(fresh.t.read("out/C_/a.bin"), fresh.a) << c.what;
    }
}

// The data space of an image is counted in 32 bits: a disk-1 image whose
// data does not fit is refused rather than read with a wrapped count.
TEST(DiskPrompt, ImageTooLargeForTheDataSpaceIsRefused) {
    DialogueSet d;
    d.t.write("huge1.img", d.images[0]);
#ifdef _WIN32
    ASSERT_EQ(truncate64(d.t.file("huge1.img").c_str(), 0x80000000LL + 512), 0);  // off_t is 32 bits
#else
    ASSERT_EQ(truncate(d.t.file("huge1.img").c_str(), (off_t)0x80000000LL + 512), 0);
#endif
    RunResult r = run_in_out(d.t, {img(2), "-x"}, "N\n../huge1.img\n" + img(1) + "\n");

    EXPECT_EQ(engine_part(r.out), d.intro() + disk_prompt(1) + header_lines(1, 0) +
                                      "\n seek error reaching EOF to establish available data space");
    EXPECT_EQ(tree_of(d.t.file("out")), (std::map<std::string, std::string>{{"C_/", ""}}));
}

// An empty name, or the end of the input, gives up at once: nothing more is
// printed and nothing is restored.
TEST(DiskPrompt, EmptyNameOrEndOfInputAborts) {
    const char* inputs[] = {"N\n\n", "N\r\n\n", "N\n", "n", "N\n\n" "../d1.img\n"};
    for (const char* in : inputs) {
        DialogueSet d;
        RunResult r = run_in_out(d.t, {img(2), "-x"}, in);
        EXPECT_EQ(engine_part(r.out), d.intro() + disk_prompt(1)) << in;
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(tree_of(d.t.file("out")), (std::map<std::string, std::string>{{"C_/", ""}})) << in;
    }
}

TEST(Choice, AnswersAreTheFirstCharacterOfALineInEitherCase) {
    struct Case {
        const char* what;
        std::string input;
        std::string after;  // after the choice prompt
        bool a_restored, b_restored;
        int status;  // 8 when the dialogue ended the run
    };
    DialogueSet ref;  // for the texts; each case gets its own directory
    const std::string again = "\ntry again, invalid response:";
    const Case cases[] = {
        {"invalid, then n", "x\n\n yes\nn\n" + img(1) + "\n" + img(2) + "\n",
         again + again + again + disk_prompt(1) + ref.restore_from_disk1(), true, true, 0},
        {"yes", "yes\n", files_heading() + listing(2, "C:\\b.txt", 6) + "\n", false, true, 0},
        {"l lists from the first whole file", "l\n",
         files_heading() + listing(2, "C:\\b.txt", 6) + "\n", false, false, 0},
        {"a", "a\n", "", false, false, 8},
        {"closed input", "", "", false, false, 8},
        {"invalid, then the input ends", "q\n", again, false, false, 8},
    };
    for (const Case& c : cases) {
        DialogueSet d;
        RunResult r = run_in_out(d.t, {img(2), "-x"}, c.input);
        EXPECT_EQ(engine_part(r.out), d.intro() + c.after) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(d.t.exists("out/C_/a.bin"), c.a_restored) << c.what;
        EXPECT_EQ(d.t.exists("out/C_/b.txt"), c.b_restored) << c.what;
        if (c.b_restored) {
            EXPECT_EQ(d.t.read("out/C_/b.txt"), "bravo\n") << c.what;
        }
    }
}

}  // namespace
