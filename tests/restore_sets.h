// Helpers for the restore tests: writing a set's images into a scratch
// directory, and the exact texts unbak prints around an extraction.
#ifndef TESTS_RESTORE_SETS_H
#define TESTS_RESTORE_SETS_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/support/format.h"
#include "tests/support/harness.h"
#include "tools/imgwriter.h"

namespace restore_test {

const char* const DATE = "20000301000000";
const int64_t DATE_SECS = 951868800;  // DATE under TZ=UTC

// Deterministic bytes that deflate does not shrink.
inline std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(seed >> 16);
    }
    return s;
}

// Writes the images as d1.img, d2.img, ... and makes the run directory
// "out" beside them; the last image is the one to name on the command line.
inline void write_images(const TempDir& t, const std::vector<std::string>& images) {
    for (size_t i = 0; i < images.size(); i++)
        t.write("d" + std::to_string(i + 1) + ".img", images[i]);
    t.mkdir("out");
}

inline std::string img(size_t n) { return "../d" + std::to_string(n) + ".img"; }

inline RunResult run_in_out(const TempDir& t, const std::vector<std::string>& args,
                            const std::string& stdin_data = "") {
    return run_unbak(t.file("out"), args, stdin_data);
}

inline uint32_t cat_offs_of(const std::string& image) {
    const unsigned char* p = (const unsigned char*)image.data() + 28;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// What the run prints from the link summary through the driver's final
// newline: directory creation, the dialogue, the listing and extraction.
inline std::string engine_part(const std::string& out) {
    size_t from = out.find("\nlink_data()");
    size_t to = out.find("\n\n\ndisplay of catalog");
    if (from == std::string::npos || to == std::string::npos || to < from)
        return "<no engine output in>\n" + out;
    return out.substr(from, to - from);
}

inline std::string link_line(int files, int groups, unsigned long size) {
    char b[128];
    snprintf(b, sizeof b, "\nlink_data() %d files  %d comp groups  cum data size %lu", files, groups,
             size);
    return b;
}

// mk_dirs' lines for directories given as output paths ("C_", "C_\\Data").
inline std::string dirs_made(const std::vector<std::string>& dirs) {
    std::string s;
    for (size_t i = 0; i < dirs.size(); i++) {
        char b[300];
        snprintf(b, sizeof b, "\n%3d %s", (int)i + 1, dirs[i].c_str());
        s += b;
    }
    return s;
}

inline std::string listing(long serial, const std::string& path, long size,
                           const std::string& date = DATE) {
    char b[600];
    snprintf(b, sizeof b, "\n%3ld: %-40s  ", serial, path.c_str());
    std::string s = b;
    if (path.size() > 40) s += "\n    ";
    snprintf(b, sizeof b, "%s len %8ld", date.c_str(), size);
    return s + b;
}

inline std::string files_heading() { return "\ncatalog Files listing:\n"; }

inline std::string disk_prompt(int disk) {
    return fmt("\n\nenter file name for disk %ld image followed by 'Enter', empty name aborts\n",
               (long)disk);
}

// get_fhead's lines for an image of the default test set.
inline std::string header_lines(int disk, uint32_t cat_offs, const std::string& name = "test backup") {
    std::string s = "\nBackup name: " + name + fmt("\nJob 1  Backup Disk %ld", (long)disk);
    if (cat_offs == 0) return s + "\nno Catalog on this disk";
    return s + fmt("\nCatalog at  offset 0x%lx\n", (long)cat_offs);
}

inline std::string data_disk_accepted(int disk, int num_disks, long avail) {
    char b[128];
    snprintf(b, sizeof b, "\nDisk %d with out of %d with 0x%lx bytes available", disk, num_disks,
             (unsigned long)avail);
    return b;
}

inline std::string last_disk_accepted(int disk, long avail) {
    char b[128];
    snprintf(b, sizeof b, "\nDisk %d is last disk in set with 0x%lx bytes available", disk,
             (unsigned long)avail);
    return b;
}

// The last-disk introduction up to the choice prompt; alloc is what
// find_first_whole_file reports.
inline std::string choice_intro(int num_disks, long num_files, const std::string& alloc) {
    return fmt("\nThis is disk %ld of a multi disk Dravik backup", (long)num_disks) +
           fmt("\nfor a full restore of the total %ld files the other disks are required.",
               num_files) +
           alloc +
           "\nenter one of 4 chars {'Y','N','L','A'} followed by 'Enter' to control operations"
           "\n'Y' to just restore the complete files on this last catalog disk"
           "\n'N' to start with 1st disk and try to restore all files"
           "\n'L' to abort extraction, restoring no files, but changing mode to List for files on "
           "this Disk"
           "\n'A' to abort and do nothing more"
           "\nenter char: ";
}

// A set's writing options: compressed or stored, the groups' level, the
// bytes of file data per group and the data bytes per disk (0: one disk).
inline imgw::SetOptions set_options(bool compressed, int comp_lvl, int32_t group_size = 65536,
                                    int64_t disk_capacity = 0) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.comp_lvl = comp_lvl;
    o.group_size = group_size;
    o.disk_capacity = disk_capacity;
    return o;
}

}  // namespace restore_test

#endif
