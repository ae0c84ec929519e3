// Events: put_event_text's printf with the 32-bit longs of the original
// program.
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "restore/event_text.h"

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

}  // namespace
