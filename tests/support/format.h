// What the tests know of the image format, and the printf helper they build
// expected output with.
//
// The constants are the tests' own copy, kept apart from the program's: a
// wrong gap or name in the program then shows up as a failing test instead
// of being agreed with.
#ifndef TESTS_SUPPORT_FORMAT_H
#define TESTS_SUPPORT_FORMAT_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

// Gaps in front of each region's search start, in catalog order: from the
// catalog offset to the first region, then from the byte behind each
// region's 0x1A to the next.
const uint32_t REGION_GAPS[7] = {0x10D0, 0x1E20, 0x1820, 0x1820, 0x1820, 0xC20, 0x1220};

// Each region's name as the region walks print it.
const char* const REGION_LABELS[7] = {"Disk", "Dir", "File", "Comp", "Job", "Path", "Session"};

// printf into a string (at most 1023 characters).
inline std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
inline std::string fmt(const char* f, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

#endif
