// The catalog save (-c): the catalog file's name, header and contents, end
// to end and through save_cat itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/platform.h"
#include "restore/restore.h"
#include "restore/unbak_words.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

using ::testing::HasSubstr;

namespace {

std::string small_image(const std::string& name = "small set") {
    imgw::SetOptions o;
    o.name = name;
    imgw::BackupSet s = imgw::plan_set({{"Data", "a.txt", "alpha\n"}, {"", "b.txt", "bravo bravo\n"}}, o);
    s.header.name = name;
    return imgw::layout_images(s).back();
}

uint32_t le32_at(const std::string& s, size_t at) {
    const unsigned char* p = (const unsigned char*)s.data() + at;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The catalog file an image gives when it was named by image_path: its fixed
// header part with cat_offs 0x200, the name and the note in the 460-byte
// name area, then the image from its catalog on.
std::string expected_cat(const std::string& image, const std::string& image_path) {
    std::string name = image.substr(52, 460);
    name = name.substr(0, name.find('\0'));
    std::string area = name + " -\n copied from: " + image_path;
    area.resize(460, '\0');
    return image.substr(0, 28) + std::string("\x00\x02\x00\x00", 4) + image.substr(32, 20) + area +
           image.substr(le32_at(image, 28));
}

// What a run that fails to save prints: the run without -c, with the
// message in front of the final newline.
std::string with_message(const std::string& plain_out, const std::string& message) {
    return plain_out.substr(0, plain_out.size() - 1) + message + "\n";
}

TEST(CatalogSave, WritesHeaderAndCatalogBesideTheImage) {
    TempDir t;
    std::string image = small_image();
    t.write("disk.img", image);
    RunResult plain = run_unbak(t.path, {"disk.img"});
    RunResult r = run_unbak(t.path, {"disk.img", "-c"});
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(r.status, 0);
    ASSERT_TRUE(t.exists("disk.cat"));
    EXPECT_EQ(t.read("disk.cat"), expected_cat(image, "disk.img"));
    EXPECT_EQ(t.read("disk.img"), image);

    // Read back as an image, the header names the source.
    RunResult back = run_unbak(t.path, {"disk.cat"});
    EXPECT_THAT(back.out, HasSubstr("\nBackup name: small set -\n copied from: disk.img"
                                    "\nJob 1  Backup Disk 1\nCatalog at  offset 0x200\n"));
}

TEST(CatalogSave, NameFromTheFirstDotOfTheLastPathComponent) {
    struct Case {
        const char* image;
        const char* dir;  // made before the run, "" for none
        const char* cat;
    };
    const Case cases[] = {
        {"backups.old/disk.img", "backups.old", "backups.old/disk.cat"},
        {"./disk.img", "", "./disk.cat"},
        {"a.b.c", "", "a.cat"},
        {"disk", "", "disk.cat"},
        {"set.v2/disk", "set.v2", "set.v2/disk.cat"},
#ifdef _WIN32
        // Backslashes separate directories here.
        {"set\\backup.001", "set", "set\\backup.cat"},
        {"set.v2\\disk", "set.v2", "set.v2\\disk.cat"},
#else
        // Backslashes are kept as given: one file name in the run directory.
        {"..\\set\\backup.001", "", "..\\set\\backup.cat"},
        {"set.v2\\disk", "", "set.v2\\disk.cat"},
#endif
    };
    std::string image = small_image();
    for (const Case& c : cases) {
        TempDir t;
        if (*c.dir) t.mkdir(c.dir);
        t.write(c.image, image);
        RunResult r = run_unbak(t.path, {c.image, "-c"});
        EXPECT_EQ(r.status, 0) << c.image;
        EXPECT_EQ(t.read(c.cat), expected_cat(image, c.image)) << c.image;
        // Nothing else appeared: the image, its folder and the catalog file.
        EXPECT_EQ(tree_of(t.path).size(), *c.dir ? 3u : 2u) << c.image;
    }
}

TEST(CatalogSave, NoteIsCutToTheRoomTheNameLeaves) {
    TempDir t;
    // 460 characters: no room at all, the name area is copied as it was.
    std::string full = small_image(std::string(460, 'n'));
    t.write("full.img", full);
    ASSERT_EQ(run_unbak(t.path, {"full.img", "-c"}).status, 0);
    std::string cat = t.read("full.cat");
    EXPECT_EQ(cat.substr(52, 460), std::string(460, 'n'));
    EXPECT_EQ(cat, expected_cat(full, "full.img"));

    // 440 characters leave 20 for the note: cut, with no terminator.
    std::string name(440, 'm');
    std::string cut = small_image(name);
    t.write("cut.img", cut);
    ASSERT_EQ(run_unbak(t.path, {"cut.img", "-c"}).status, 0);
    cat = t.read("cut.cat");
    EXPECT_EQ(cat.substr(52, 460), name + " -\n copied from: cut");
    EXPECT_EQ(cat.substr(512), cut.substr(le32_at(cut, 28)));

    // Read back, the header shows the whole 460 characters as the name.
    RunResult back = run_unbak(t.path, {"cut.cat"});
    EXPECT_THAT(back.out, HasSubstr("\nBackup name: " + name + " -\n copied from: cut\nJob 1  Backup Disk 1"
                                    "\nCatalog at  offset 0x200\n"));
}

TEST(CatalogSave, CatalogOfWholeBlocksIsCopiedWhole) {
    TempDir t;
    std::string image = small_image();
    size_t cat_len = image.size() - le32_at(image, 28);
    image.append(1024 - cat_len % 1024, '\x1A');
    ASSERT_EQ((image.size() - le32_at(image, 28)) % 1024, 0u);
    t.write("disk.img", image);
    ASSERT_EQ(run_unbak(t.path, {"disk.img", "-c"}).status, 0);
    EXPECT_EQ(t.read("disk.cat"), expected_cat(image, "disk.img"));
}

TEST(CatalogSave, AfterAMultiDiskRestoreTheImageIsOpenedAgain) {
    TempDir t;
    imgw::SetOptions o;
    o.compressed = false;
    o.disk_capacity = 3000;
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)('a' + i * 7 % 26);
    imgw::BackupSet s = imgw::plan_set({{"", "big.bin", big}, {"", "tail.txt", "the end\n"}}, o);
    std::vector<std::string> images = imgw::layout_images(s);
    ASSERT_EQ(images.size(), 2u);
    t.write("d1.img", images[0]);
    t.write("d2.img", images[1]);
    t.mkdir("out");
    std::string answers = "N\n../d1.img\n../d2.img\n";
    RunResult plain = run_unbak(t.file("out"), {"../d2.img", "-x"}, answers);
    ASSERT_THAT(plain.out, HasSubstr("\ndisk change"));
    ASSERT_EQ(read_file(t.file("out/C_/big.bin")), big);
    // The run that also saves prints the same and leaves d2.cat beside d2.img.
    TempDir t2;
    t2.write("d1.img", images[0]);
    t2.write("d2.img", images[1]);
    t2.mkdir("out");
    RunResult r = run_unbak(t2.file("out"), {"../d2.img", "-x", "-c"}, answers);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(t2.read("d2.cat"), expected_cat(images[1], "../d2.img"));
}

TEST(CatalogSaveFailures, OutputThatCannotBeCreatedOrWritten) {
    TempDir t;
    std::string image = small_image();
    t.write("disk.img", image);
    RunResult plain = run_unbak(t.path, {"disk.img"});

    t.mkdir("disk.cat");
    RunResult r = run_unbak(t.path, {"disk.img", "-c"});
    EXPECT_EQ(r.out, with_message(plain.out, "\nerror opening disk.cat for catalog file output"));
    EXPECT_EQ(r.status, 8);

#ifdef _WIN32
    GTEST_SKIP() << "POSIX only: a write to /dev/full fails";
#else
    // A link at the name is not followed: the device behind it is not
    // written.
    TempDir full;
    full.write("disk.img", image);
    ASSERT_EQ(symlink("/dev/full", full.file("disk.cat").c_str()), 0);
    r = run_unbak(full.path, {"disk.img", "-c"});
    EXPECT_EQ(r.out, with_message(plain.out, "\nerror opening disk.cat for catalog file output"));

    // A file-size limit below the header's size: the write comes back short.
    TempDir limited;
    limited.write("disk.img", image);
    struct rlimit saved, lowered;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    lowered = saved;
    lowered.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    r = run_unbak(limited.path, {"disk.img", "-c"});
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(r.out, with_message(plain.out, "\nfailed to write new header in save_cat()"));
    EXPECT_EQ(r.status, 8);
#endif
}

TEST(CatalogSaveFailures, SavedCatalogIsNotOverwrittenByItsOwnSave) {
    TempDir t;
    t.write("disk.img", small_image());
    ASSERT_EQ(run_unbak(t.path, {"disk.img", "-c"}).status, 0);
    std::string cat = t.read("disk.cat");
    RunResult plain = run_unbak(t.path, {"disk.cat"});
    RunResult r = run_unbak(t.path, {"disk.cat", "-c"});
    EXPECT_EQ(r.out, with_message(plain.out, "\nerror opening disk.cat for catalog file output"));
    EXPECT_EQ(t.read("disk.cat"), cat);
}

// -c never truncates the image it reads. Whether the catalog file's name
// leads to the image is the file system's answer, not the names'.
TEST(CatalogSaveFailures, SameFileIsToldByIdentityNotByName) {
    const std::string image = small_image();
    const std::string refused = "\nerror opening disk.cat for catalog file output";
#ifndef _WIN32
    // Other names of the image itself.
    for (bool hard : {true, false}) {
        TempDir t;
        t.write("disk.img", image);
        int made = hard ? link(t.file("disk.img").c_str(), t.file("disk.cat").c_str())
                        : symlink("disk.img", t.file("disk.cat").c_str());
        ASSERT_EQ(made, 0);
        RunResult plain = run_unbak(t.path, {"disk.img"});
        RunResult r = run_unbak(t.path, {"disk.img", "-c"});
        EXPECT_EQ(r.out, with_message(plain.out, refused)) << hard;
        EXPECT_EQ(t.read("disk.img"), image) << hard;
    }
#endif
    // A name that differs only in letter case is another file where the
    // file system tells case apart, and the same file where it does not.
    TempDir t;
    t.write("disk.CAT", image);
    RunResult plain = run_unbak(t.path, {"disk.CAT"});
    RunResult r = run_unbak(t.path, {"disk.CAT", "-c"});
#ifdef _WIN32
    EXPECT_EQ(r.out, with_message(plain.out, refused));
#else
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(t.read("disk.cat"), expected_cat(image, "disk.CAT"));
#endif
    EXPECT_EQ(t.read("disk.CAT"), image);
}

// In-process: results, and what save_cat leaves as it found it.
struct SaveCatRun {
    FileHeader header{};
    uint16_t options = 0;
    Catalog catalog{};
    int image = -1;
    std::string path;

    explicit SaveCatRun(const std::string& image_path) : path(image_path) {
        catalog_init(&catalog, &options);
        catalog.io.rep = &UNBAK_REPORTER;
        catalog.image_path = path.c_str();
        catalog.header = &header;
        testing::internal::CaptureStdout();
        image = get_fhead(path.c_str(), &header, &catalog.io);
        fflush(stdout);
        testing::internal::GetCapturedStdout();
    }
    ~SaveCatRun() {
        if (image >= 0) plat_close(image);
        free(header.name);
    }
    SaveResult save(int handle, std::string* out) {
        testing::internal::CaptureStdout();
        SaveResult result = save_cat(handle, &catalog);
        fflush(stdout);
        *out = testing::internal::GetCapturedStdout();
        return result;
    }
};

TEST(SaveCatResults, LeavesImagePositionAndHeaderAsFound) {
    TempDir t;
    std::string image = small_image();
    t.write("disk.img", image);
    SaveCatRun run(t.file("disk.img"));
    ASSERT_GE(run.image, 0);
    ASSERT_EQ(plat_seek(run.image, 777, PLAT_SEEK_SET), 777);
    std::string out;
    EXPECT_EQ(run.save(run.image, &out), SAVE_DONE);
    EXPECT_EQ(out, "");
    EXPECT_EQ(plat_seek(run.image, 0, PLAT_SEEK_CUR), 777);
    EXPECT_EQ(fh_cat_offs(&run.header), le32_at(image, 28));
    EXPECT_EQ(t.read("disk.cat"), expected_cat(image, t.file("disk.img")));

    // With the handle gone the image is opened by its path.
    ASSERT_EQ(unlink(t.file("disk.cat").c_str()), 0);
    EXPECT_EQ(run.save(-1, &out), SAVE_DONE);
    EXPECT_EQ(t.read("disk.cat"), expected_cat(image, t.file("disk.img")));

    // Cannot be created: nothing written, a failure result.
    ASSERT_EQ(unlink(t.file("disk.cat").c_str()), 0);
    t.mkdir("disk.cat");
    EXPECT_EQ(run.save(run.image, &out), SAVE_OPEN_FAILED);
    EXPECT_EQ(out, "\nerror opening " + t.file("disk.cat") + " for catalog file output");
}

TEST(SaveCatResults, NoCatalogAndUnreachableImage) {
    TempDir t;
    std::string image = small_image();
    t.write("disk.img", image);
    SaveCatRun run(t.file("disk.img"));
    ASSERT_GE(run.image, 0);
    std::string out;

    // The image gone after a disk change: the header is written, no copy.
    run.path = t.file("gone.img");
    run.catalog.image_path = run.path.c_str();
    EXPECT_EQ(run.save(-1, &out), SAVE_SEEK_FAILED);
    char msg[64];
    snprintf(msg, sizeof msg, "\nseek to catalog start at 0x%x failed", (unsigned)le32_at(image, 28));
    EXPECT_EQ(out, msg);
    EXPECT_EQ(t.read("gone.cat"), expected_cat(image, t.file("gone.img")).substr(0, 512));

    // An offset of 2^31 or more is a negative file offset: out of reach, as
    // it is for the region walk. The image stays where it was.
    ASSERT_EQ(plat_seek(run.image, 777, PLAT_SEEK_SET), 777);
    fh_set_cat_offs(&run.header, 0x80000000u);
    run.path = t.file("far.img");
    run.catalog.image_path = run.path.c_str();
    EXPECT_EQ(run.save(run.image, &out), SAVE_SEEK_FAILED);
    EXPECT_EQ(out, "\nseek to catalog start at 0x80000000 failed");
    EXPECT_EQ(t.read("far.cat").size(), 512u);
    EXPECT_EQ(plat_seek(run.image, 0, PLAT_SEEK_CUR), 777);

    fh_set_cat_offs(&run.header, 0);
    run.path = t.file("none.img");
    run.catalog.image_path = run.path.c_str();
    EXPECT_EQ(run.save(run.image, &out), SAVE_NO_CATALOG);
    EXPECT_EQ(out, "");
    EXPECT_FALSE(t.exists("none.cat"));
}

}  // namespace
