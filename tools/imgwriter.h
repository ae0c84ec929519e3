// Backup image writer: builds backup sets, catalogs and stand-alone table
// files in the on-media layout, for the tests and for the mkbak program.
//
// Three levels, each open to tampering so tests can build malformed media:
//   1. Region: field descriptors + raw record texts -> table bytes.
//   2. CatalogTables: typed records of the seven tables -> seven Regions.
//   3. BackupSet: a list of source files -> tables + data stream -> images.
#ifndef TOOLS_IMGWRITER_H
#define TOOLS_IMGWRITER_H

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

namespace imgw {

// ---- level 1: table regions -------------------------------------------

struct FieldDesc {
    std::string name;        // up to 11 bytes, NUL-padded
    char type = 'N';
    uint32_t offset = 0;     // 0: computed as 1 + lengths of the fields before
    uint32_t length = 12;    // stored LE32 at bytes 16..19 (so 18, 19 stay 0
                             // unless length > 0xFFFF)
    std::string raw;         // when 32 bytes long, written instead of the above
};

struct Region {
    std::vector<FieldDesc> fields;
    std::vector<std::string> records;  // whole records, flag byte first;
                                       // records[0] is the count record
    int64_t header_count = -1;   // table header value at offset 4 (-1: records.size())
    bool end_of_fields = true;   // write the 0x0D after the descriptors
    bool end_of_data = true;     // write the 0x1A after the records
    uint32_t extra_skip = 0;     // in a catalog: bytes between the end of the
                                 // gap and the table header (a multiple of 32)
};

// Record size: 1 + the sum of the field lengths.
int32_t ent_size(const Region& r);
// Table header (32 bytes), descriptors, 0x0D, records, 0x1A.
std::string encode_region(const Region& r);

// Field texts: numbers right-aligned in blanks, texts left-aligned and cut
// or blank-padded to the width.
std::string num_field(int64_t v, int width = 12);
std::string text_field(const std::string& s, int width);

// ---- level 2: the seven tables -------------------------------------------

struct Disk {
    int32_t serial = 1;
    int32_t num2 = 0, num3 = 0, num4 = 0;
    int32_t used_hi = 0, used_low = 0;
    int32_t num7 = 0, num8 = 0;
    std::string label = "DISK1";  // 12
    std::string text_a, text_b;   // 14 each
    std::string drive = "C:";     // 2
    int32_t hasdskst = 0;
};
struct Dir {
    int32_t serial = 1;
    int32_t disk = 1;
    int32_t parent = 0;
    std::string name;             // 240; empty for a drive root
};
struct File {
    int32_t serial = 1;
    int32_t dir = 1;
    int32_t num3 = 0, num4 = 0;
    int32_t attrib = 0x1B6;       // bit 0x80 set: writable
    int32_t num6 = 0;
    int64_t size_lo = 0;          // written as text, so any value fits
    std::string date = "20000301000000";  // 14
    std::string name;             // 240
};
struct Comp {
    int64_t SERIAL = 0, ORGSER = 0, SEQUENCE = 0, ORGSIZE = 0, COMPSIZE = 0, ARCDSKSE = 0,
            CHK_SUM = 0, COMP_LVL = 4, OFFS_HI = 0, OFFS_LO = 0, IS_LAST = 1;
};
struct Job {
    int32_t serial = 1;
    int32_t job_num = 1;
    int32_t num_disks = 1;
    int32_t num4 = 0, num5 = 0, num6 = 0, num7 = 0;
    int32_t compressed = 1;
    std::string text_a;           // 14
    std::string text_b;           // 32
    std::string descr = "test job";  // 256
};
struct PathRec {
    int32_t serial = 1;
    int32_t datatype = 1;
    std::string text;             // 240
};
struct Session {
    int32_t serial = 1;
    int32_t sessfrom = 1;
    int32_t sessto = 1;
    int32_t job_num = 1;
    int32_t disk_num = 1;
    std::string date = "20000301000000";  // 14
};

struct CatalogTables {
    std::vector<Disk> disks;
    std::vector<Dir> dirs;
    std::vector<File> files;
    std::vector<Comp> comp;       // written even when job.compressed is 0
    Job job;
    std::vector<PathRec> paths;
    std::vector<Session> sessions;
};

// The standard descriptor lists (names, types, lengths of the built-in
// schemas) and regions with a count record of entries + 1.
std::vector<FieldDesc> standard_fields(int table);  // 0 Disks .. 6 Session
Region disks_region(const std::vector<Disk>& v);
Region dirs_region(const std::vector<Dir>& v);
Region files_region(const std::vector<File>& v);
Region comp_region(const std::vector<Comp>& v);
Region job_region(const Job& j);
Region paths_region(const std::vector<PathRec>& v);
Region sessions_region(const std::vector<Session>& v);
// Count record: flag blank, SERIAL field, count field, rest blank.
std::string count_record(const Region& r, int64_t count);
std::array<Region, 7> make_regions(const CatalogTables& t);

// Catalog bytes as they follow cat_offs: for each region its gap (filled
// with gap_filler; the region's 32-byte table header occupies the last 32
// bytes of the gap + extra_skip), then the region from its first descriptor.
std::string encode_catalog(const std::array<Region, 7>& regions, unsigned char gap_filler = 0);

// ---- level 3: headers, images, sets ---------------------------------------

struct Header {
    uint32_t signature = 0xABCDABCDu;
    uint32_t set_id1 = 0x12345678u, set_id2 = 0x9ABCDEF0u;
    uint16_t job_num = 1, disk_num = 1;
    uint32_t cat_offs = 0;
    std::string name = "test backup";
    std::string name_area;  // when 460 bytes long, written instead of name
    std::string reserved;   // bytes 4..11, 20..23, 32..51 (8+4+20); default pattern
};
std::string encode_header(const Header& h);  // 512 bytes

struct SourceFile {
    std::string dir;        // directory below the drive root, '\\'-separated,
                            // "" for the root ("Data\\Sub")
    std::string name;
    std::string content;
    std::string date = "20000301000000";
    int32_t attrib = 0x1B6;
};

struct SetOptions {
    bool compressed = true;
    int comp_lvl = 4;              // 4 deflate, -1 stored groups
    int32_t group_size = 65536;    // bytes of file data per group
    int64_t disk_capacity = 0;     // data bytes per disk; 0: one disk
    std::string name = "test backup";
    std::string drive = "C:";
    uint32_t set_id1 = 0x12345678u, set_id2 = 0x9ABCDEF0u;
    uint16_t job_num = 1;
};

struct BackupSet {
    CatalogTables tables;           // tamper before laying out
    std::string stream;             // the whole data stream
    std::vector<int64_t> disk_data; // bytes of the stream on each disk
    Header header;                  // template; disk_num and cat_offs set per disk
};

// Directories (root first, parents before children), files in given order,
// one Paths record per directory, one session, groups per file.
BackupSet plan_set(const std::vector<SourceFile>& files, const SetOptions& opt);
// The same, with directories that get a Dirs record even when no file lies
// in them ('\\'-separated like SourceFile::dir), listed before the files' own.
BackupSet plan_set(const std::vector<SourceFile>& files, const SetOptions& opt,
                   const std::vector<std::string>& dirs);
// Images of the set; the last carries the catalog built from regions.
std::vector<std::string> layout_images(const BackupSet& set, const std::array<Region, 7>& regions,
                                       unsigned char gap_filler = 0);
std::vector<std::string> layout_images(const BackupSet& set);  // make_regions(set.tables)

// One image: header (cat_offs filled in when 0 and a catalog is given),
// data, catalog.
std::string make_image(Header h, const std::string& data, const std::string& catalog);

// Writes bytes to path; false on failure.
bool write_bytes(const std::string& path, const std::string& bytes);

}  // namespace imgw

#endif
