// Events: put_event_text's printf with the 32-bit longs of the original
// program, unbak's words for every code of the engine, and a catalog read
// that tells only its Reporter what it found.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/catalog.h"
#include "catalog/events.h"
#include "container/events.h"
#include "container/header.h"
#include "platform/platform.h"
#include "restore/event_text.h"
#include "restore/unbak_words.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace {

// What put_event_text writes for fmt and the values.
std::string text_of(const char* fmt, const std::vector<EventArg>& args) {
    Event ev{};
    for (const EventArg& a : args) ev.args[ev.argc++] = a;
    FILE* f = tmpfile();
    if (!f) return "<no tmpfile>";
    put_event_text(f, fmt, &ev);
    fflush(f);
    rewind(f);
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

TEST(EventText, FillsFormatsAsThe32BitProgramPrintedThem) {
    struct Case {
        const char* fmt;
        std::vector<EventArg> args;
        std::string want;
    } cases[] = {
        {"%ld", {ev_num(0x80000000LL)}, "-2147483648"},
        {"%ld", {ev_num(0x100000005LL)}, "5"},
        {"%lx", {ev_num(-1)}, "ffffffff"},
        {"0x%lx", {ev_num(0x1234ABCDLL)}, "0x1234abcd"},
        {"%lu", {ev_num(-1)}, "4294967295"},
        {"%d", {ev_num(0xFFFFFFFFLL)}, "-1"},
        {"%3ld|%-3ld|%2d", {ev_num(7), ev_num(-7), ev_num(123)}, "  7|-7 |123"},
        {"%-40s|", {ev_text("C:\\a.txt")}, "C:\\a.txt" + std::string(32, ' ') + "|"},
        {"%c%c", {ev_num('Y'), ev_num(-56)}, "Y\xc8"},
        {"100%% of %d%%", {ev_num(3)}, "100% of 3%"},
        // A '*' takes a value; a negative precision is none, a negative
        // width the '-' flag.
        {"%11.*s|", {ev_num(3), ev_text("SERIAL")}, "        SER|"},
        {"%-10.*s|", {ev_num(-1), ev_text("NAME")}, "NAME      |"},
        {"%*d|", {ev_num(-4), ev_num(5)}, "5   |"},
        // Values missing or of the other sort print as 0 or nothing.
        {"%d|%s|%lx", {}, "0||0"},
        {"%s|%d", {ev_num(5), ev_text("x")}, "|0"},
        {"at 0xld", {ev_num(1)}, "at 0xld"},
    };
    for (const Case& c : cases) EXPECT_EQ(text_of(c.fmt, c.args), c.want) << c.fmt;
}

// A code without words would make unbak silently drop what the engine says.
TEST(UnbakWords, EveryEngineCodeHasWords) {
    for (int32_t code = EVENTS_CONTAINER + 1; code < EV_CONTAINER_END; code++)
        EXPECT_TRUE(unbak_has_words(code)) << code;
    for (int32_t code = EVENTS_CATALOG + 1; code < EV_CATALOG_END; code++)
        EXPECT_TRUE(unbak_has_words(code)) << code;
    EXPECT_FALSE(unbak_has_words(EV_CONTAINER_END));
    EXPECT_FALSE(unbak_has_words(EV_CATALOG_END));
}

// ---- a catalog read in-process ------------------------------------------------

struct Recorded {
    int32_t code;
    EventKind kind;
    std::vector<int64_t> nums;
};

void record(void* ctx, const Event* ev) {
    Recorded r{ev->code, ev->kind, {}};
    for (int32_t k = 0; k < ev->argc; k++)
        if (!ev->args[k].text) r.nums.push_back(ev->args[k].num);
    static_cast<std::vector<Recorded>*>(ctx)->push_back(r);
}

// One file in one group; the Paths count record announces 5 records where
// the region holds 3, which the region search warns of.
std::string warned_image() {
    imgw::CatalogTables t;
    t.disks = {imgw::Disk()};
    t.dirs = {imgw::Dir()};
    imgw::File f;
    f.name = "a.txt";
    t.files = {f};
    imgw::Comp g;
    g.COMPSIZE = 40;
    t.comp = {g};
    imgw::PathRec p;
    p.text = "C:\\";
    t.paths = {p, p};
    t.sessions = {imgw::Session()};
    std::array<imgw::Region, 7> r = imgw::make_regions(t);
    r[TBL_PATHS].records[0] = imgw::count_record(r[TBL_PATHS], 5);
    return imgw::make_image(imgw::Header(), "", imgw::encode_catalog(r));
}

struct CatalogRead {
    int32_t located = 0;
    int errors = 0;
    int32_t linked = 0;
};

// get_fhead, locate_regions, read_catalog and link_data over the image, as
// unbak's front end runs them, all reporting to rep.
CatalogRead read_all(const std::string& path, const Reporter* rep) {
    CatalogRead r;
    uint16_t options = 0;
    RegionInfo regions[REGION_COUNT] = {};
    FileHeader header{};
    Catalog catalog;
    catalog_init(&catalog, &options);
    EXPECT_EQ(catalog.io.rep, nullptr);
    catalog.io.rep = rep;
    catalog.regions = regions;
    catalog.header = &header;
    int image = get_fhead(path.c_str(), &header, &catalog.io);
    EXPECT_GE(image, 0);
    if (image < 0) return r;
    r.located = locate_regions(image, fh_cat_offs(&header), regions, true, &catalog.io);
    r.errors = read_catalog(image, &catalog, -1, nullptr, nullptr, 0);
    r.linked = link_data(&catalog, regions[TBL_COMP].count);
    plat_close(image);
    catalog_free(&catalog);
    free(header.name);
    return r;
}

TEST(CatalogEvents, GoToTheReporterAloneAndInTheOrderOfTheRead) {
    TempDir dir;
    dir.write("img.bak", warned_image());
    std::string path = dir.file("img.bak");

    testing::internal::CaptureStdout();
    CatalogRead quiet = read_all(path, nullptr);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::vector<Recorded> got;
    Reporter recorder = {record, &got};
    testing::internal::CaptureStdout();
    CatalogRead heard = read_all(path, &recorder);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // The results do not depend on who listens.
    EXPECT_EQ(quiet.located, REGION_COUNT);
    EXPECT_EQ(heard.located, REGION_COUNT);
    EXPECT_EQ(quiet.errors, 0);
    EXPECT_EQ(heard.errors, 0);
    EXPECT_EQ(quiet.linked, 1);
    EXPECT_EQ(heard.linked, 1);

    std::vector<int32_t> want = {EV_HEADER};
    for (int i = 0; i < REGION_COUNT; i++) {
        want.push_back(EV_REGION_SEARCH);
        want.push_back(EV_REGION_FOUND);
        if (i == TBL_PATHS) want.push_back(EV_RECORD_COUNT_MISMATCH);
    }
    want.push_back(EV_DATA_COMPRESSED);
    want.push_back(EV_LINKED);
    std::vector<int32_t> codes;
    for (const Recorded& r : got) codes.push_back(r.code);
    ASSERT_EQ(codes, want);

    const Recorded& header = got[0];
    EXPECT_EQ(header.kind, EVENT_MESSAGE);
    EXPECT_EQ(header.nums, (std::vector<int64_t>{1, 1, 512}));  // job, disk, catalog offset
    const Recorded& mismatch = got[1 + 2 * (TBL_PATHS + 1)];
    EXPECT_EQ(mismatch.kind, EVENT_WARNING);
    EXPECT_EQ(mismatch.nums, (std::vector<int64_t>{5, 3}));
    EXPECT_EQ(got.back().nums, (std::vector<int64_t>{1, 1, 40}));  // files, runs, data total
}

}  // namespace
