// Tests of the fuzz mutator's image model and of the mutator itself: the
// model takes writer-made and broken images apart without losing a byte,
// reads the fields the mutator works on, and the mutator stays inside its
// size limit and keeps most of its results well-formed.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/image_model.h"
#include "fuzz/mutator.h"
#include "tools/imgwriter.h"

using namespace imodel;

namespace {

std::vector<imgw::SourceFile> some_files() {
    imgw::SourceFile a{"Data", "a.txt", "alpha\n"};
    imgw::SourceFile b{"Data\\Sub", "b.bin", std::string(900, 'b')};
    imgw::SourceFile c{"", "c.txt", "gamma gamma gamma\n"};
    return {a, b, c};
}

imgw::SetOptions opts(bool compressed, int level, int64_t capacity) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.comp_lvl = level;
    o.group_size = 300;
    o.disk_capacity = capacity;
    return o;
}

// The last images of a stored, a deflated and a stored-groups set, one of
// three disks, and one whose regions lie behind extra blocks.
std::vector<std::string> writer_images() {
    std::vector<std::string> v;
    v.push_back(imgw::layout_images(imgw::plan_set(some_files(), opts(false, 4, 0))).back());
    v.push_back(imgw::layout_images(imgw::plan_set(some_files(), opts(true, 4, 0))).back());
    v.push_back(imgw::layout_images(imgw::plan_set(some_files(), opts(true, -1, 0))).back());
    v.push_back(imgw::layout_images(imgw::plan_set(some_files(), opts(true, 4, 200))).back());
    imgw::BackupSet s = imgw::plan_set(some_files(), opts(true, 4, 0));
    std::array<imgw::Region, 7> r = imgw::make_regions(s.tables);
    r[2].extra_skip = 64;
    v.push_back(imgw::layout_images(s, r, 0x20).back());
    return v;
}

Image parse(const std::string& s) { return parse_image((const uint8_t*)s.data(), s.size()); }

TEST(ImageModel, WriterImagesParseIntoSevenTablesAndLayOutUnchanged) {
    for (const std::string& bytes : writer_images()) {
        Image img = parse(bytes);
        ASSERT_EQ(img.tables.size(), (size_t)T_COUNT);
        for (int k = 0; k < T_COUNT; k++) EXPECT_EQ(table_kind(img.tables[(size_t)k]), k);
        EXPECT_TRUE(img.tail.empty());
        EXPECT_EQ(image_size(img), bytes.size());
        EXPECT_EQ(image_bytes(img), bytes);
    }
}

TEST(ImageModel, BrokenInputsLayOutUnchanged) {
    std::string whole = writer_images()[1];
    std::vector<std::string> inputs = {"", "abc", whole.substr(0, 511), whole.substr(0, 512)};
    // Cut anywhere, including inside descriptors and records.
    for (size_t cut = 513; cut < whole.size(); cut += 997) inputs.push_back(whole.substr(0, cut));
    std::string bad_offs = whole;
    bad_offs[HDR_CAT_OFFS + 3] = 0x7F;  // beyond the end
    inputs.push_back(bad_offs);
    std::string bad_record = whole;
    bad_record[bad_record.size() - 40] = 0x1A;  // inside the last region's record
    inputs.push_back(bad_record);
    for (const std::string& in : inputs) {
        Image img = parse(in);
        EXPECT_EQ(image_bytes(img), in) << in.size();
    }
    EXPECT_EQ(parse(bad_record).tables.size(), (size_t)T_COUNT - 1);
    EXPECT_FALSE(parse(bad_offs).has_catalog);
}

TEST(ImageModel, FieldsAndGroupsMatchTheWriter) {
    imgw::BackupSet s = imgw::plan_set(some_files(), opts(true, 4, 0));
    Image img = parse(imgw::layout_images(s).back());
    ASSERT_TRUE(job_compressed(img));
    Table& comp = img.tables[T_COMP];
    ASSERT_EQ(comp.records.size(), s.tables.comp.size() + 1);
    EXPECT_EQ(field_number(comp, 0, 1), (int64_t)comp.records.size());
    int sum = find_field(comp, "CHK_SUM");
    ASSERT_GE(sum, 0);
    std::vector<GroupSpan> groups = group_spans(img);
    ASSERT_EQ(groups.size(), s.tables.comp.size());
    for (size_t g = 0; g < groups.size(); g++) {
        EXPECT_EQ(groups[g].start, s.tables.comp[g].OFFS_LO);
        EXPECT_EQ(groups[g].size, s.tables.comp[g].COMPSIZE);
        EXPECT_EQ(field_number(comp, groups[g].rec, (size_t)sum), s.tables.comp[g].CHK_SUM);
    }
    // A rewritten number keeps the record's length and reads back.
    size_t len = comp.records[1].size();
    set_field_number(comp, 1, (size_t)sum, -2147483647 - 1);
    EXPECT_EQ(field_number(comp, 1, (size_t)sum), -2147483647 - 1);
    set_field_text(comp, 1, (size_t)sum, std::string(40, '9'));
    EXPECT_EQ(comp.records[1].size(), len);
    // Fields beyond the record are left alone.
    set_field_number(comp, 99, 0, 1);
    EXPECT_EQ(field_number(comp, 99, 0), 0);
}

// A byte mutator like libFuzzer's in contract: with `resize` set it adds or
// drops a byte now and then, within max_size; else it changes one byte.
unsigned byte_state = 1;
bool resize = true;
size_t flip_bytes(uint8_t* data, size_t size, size_t max_size) {
    byte_state = byte_state * 1103515245u + 12345u;
    size_t at = size ? (byte_state >> 8) % size : 0;
    switch (resize ? (byte_state >> 4) % 3 : 2) {
    case 0:
        if (size < max_size) {
            memmove(data + at + 1, data + at, size - at);
            data[at] = (uint8_t)byte_state;
            return size + 1;
        }
        break;
    case 1:
        if (size > 1) {
            memmove(data + at, data + at + 1, size - at - 1);
            return size - 1;
        }
        break;
    default: break;
    }
    if (size) data[at] ^= 0x5A;
    return size;
}

// Mutates each image over and over, going on from a result now and then, as
// the fuzzer does (with keep_whole, only from one that kept all seven
// tables); counts the results that differ from their input and the results
// of inputs with seven tables that kept them.
struct MutationCounts {
    size_t runs = 0, changed = 0, whole = 0;
};
MutationCounts mutate_often(const std::vector<std::string>& images, bool keep_whole) {
    MutationCounts c;
    for (size_t i = 0; i < images.size(); i++) {
        std::string current = images[i];
        for (unsigned seed = 1; seed <= 300; seed++) {
            // Sometimes no room at all beyond the input, sometimes plenty.
            size_t max_size = seed % 5 == 0 ? current.size() : current.size() + 4096;
            std::vector<uint8_t> buf(max_size + 1);
            if (!current.empty()) memcpy(buf.data(), current.data(), current.size());
            size_t n = mutate_image(buf.data(), current.size(), max_size, seed * 7919u + (unsigned)i, flip_bytes);
            EXPECT_LE(n, max_size);
            if (n > max_size) return c;
            std::string out((const char*)buf.data(), n);
            c.runs++;
            if (out != current) c.changed++;
            bool was_whole = parse(current).tables.size() == (size_t)T_COUNT;
            bool whole = parse(out).tables.size() == (size_t)T_COUNT;
            if (was_whole && whole) c.whole++;
            if (seed % 3 == 0 && n > 0 && (whole || !keep_whole)) current = out;
        }
    }
    return c;
}

TEST(ImageMutator, StaysWithinMaxSizeWhateverTheInput) {
    std::vector<std::string> images = writer_images();
    images.push_back(images[0].substr(0, 700));
    images.push_back(images[1].substr(0, 30000));
    images.push_back("short");
    images.push_back("");
    resize = true;
    MutationCounts c = mutate_often(images, false);
    EXPECT_EQ(c.runs, images.size() * 300);
    EXPECT_GT(c.changed, c.runs * 9 / 10);
}

TEST(ImageMutator, MostResultsKeepTheCatalogTakenApart) {
    // Byte changes in place only, so that what breaks a catalog is the
    // structural changes meant to break one.
    resize = false;
    MutationCounts c = mutate_often(writer_images(), true);
    resize = true;
    // Nearly every result differs from its input, so one that keeps the
    // catalog kept it through a change.
    EXPECT_GT(c.changed, c.runs * 9 / 10);
    EXPECT_GT(c.whole, c.runs * 2 / 3);
}

TEST(ImageMutator, CrossOverSwapsTablesAndRespectsTheLimit) {
    std::vector<std::string> images = writer_images();
    const std::string& a = images[0];
    const std::string& b = images[1];
    std::vector<uint8_t> out(a.size() + b.size());
    size_t made = 0, whole = 0;
    for (unsigned seed = 1; seed <= 200; seed++) {
        size_t max_out = seed % 4 == 0 ? 1000 : out.size();
        size_t n = cross_images((const uint8_t*)a.data(), a.size(), (const uint8_t*)b.data(), b.size(), out.data(),
                                max_out, seed);
        ASSERT_LE(n, max_out);
        if (n == 0) continue;
        made++;
        if (parse(std::string((const char*)out.data(), n)).tables.size() == (size_t)T_COUNT) whole++;
    }
    EXPECT_GT(made, 50u);
    EXPECT_EQ(whole, made);
}

}  // namespace
