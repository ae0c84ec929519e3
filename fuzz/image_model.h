// A backup image taken apart into the pieces the image writer builds it
// from, for the structure-aware fuzz mutator: the 512-byte header, the data
// area, and the catalog's table regions (gap, descriptors, records, end
// bytes), followed by whatever could not be taken apart.
//
// The parse is lossless: image_bytes(parse) gives back the input byte for
// byte, whatever the input. Pieces that do not parse stay raw bytes (the
// data area, or the catalog's tail after the last region that parsed), so
// any input can be modelled, a hostile one only less deeply.
#ifndef FUZZ_IMAGE_MODEL_H
#define FUZZ_IMAGE_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace imodel {

const size_t HEADER_SIZE = 512;
const size_t HDR_JOB = 24, HDR_DISK = 26, HDR_CAT_OFFS = 28, HDR_NAME = 52;
const size_t DESC_SIZE = 32;
// Records longer than this are not taken apart (the reader refuses them
// long before).
const int32_t MAX_RECORD = 4096;
const int MAX_DESCS = 16;

// Catalog order of the tables.
enum { T_DISKS, T_DIRS, T_FILES, T_COMP, T_JOB, T_PATHS, T_SESSIONS, T_COUNT };
// Distance from the end of one region (or the catalog start) to where the
// search for the next region's first descriptor starts.
extern const uint32_t REGION_GAP[T_COUNT];

struct Table {
    std::string gap;                    // from the previous region's end to
                                        // the first descriptor (holds the
                                        // 32-byte table header at its end)
    std::vector<std::string> descs;     // 32 bytes each, SERIAL first
    bool end_of_fields = true;          // 0x0D after the descriptors
    std::vector<std::string> records;   // record 0 is the count record
    bool end_of_data = true;            // 0x1A after the records
};

struct Image {
    std::string header;         // 512 bytes, or the whole input when shorter
    std::string data;           // the data area
    bool has_catalog = false;   // cat_offs pointed into the input
    bool cat_offs_follows = true;  // rewrite cat_offs to 512 + data size
    std::vector<Table> tables;  // the regions that parsed, in file order
    std::string tail;           // the rest of the catalog, raw
};

// Takes bytes apart. Never fails: at worst everything is header/data/tail.
Image parse_image(const uint8_t* data, size_t size);
// Lays the model out again (cat_offs updated when cat_offs_follows).
std::string image_bytes(const Image& img);
size_t image_size(const Image& img);

// Header fields (the header is padded to 512 bytes first when short).
uint32_t get_le32(const std::string& s, size_t at);
void put_le32(std::string& s, size_t at, uint32_t v);
void put_le16(std::string& s, size_t at, uint16_t v);

// Descriptor fields.
std::string desc_name(const std::string& desc);
uint32_t desc_length(const std::string& desc);  // bytes 16..19
std::string make_desc(const std::string& name, char type, uint32_t offset, uint32_t length);
// Record size from the descriptors: 1 + the sum of the lengths.
int64_t record_size(const Table& t);
// Where field f begins in a record (1 + lengths before it), -1 when f is out
// of range. Its width is desc_length(t.descs[f]).
int64_t field_offset(const Table& t, size_t f);
// Index of the descriptor with this name, -1 when none.
int find_field(const Table& t, const char* name);

// Field text of a record; set_* rewrite it in place, cut or padded to the
// field's width (numbers right-aligned, texts left-aligned), and do nothing
// when the record or field does not exist.
bool field_text(const Table& t, size_t rec, size_t f, std::string* out);
int64_t field_number(const Table& t, size_t rec, size_t f);  // 0 when absent
void set_field_number(Table& t, size_t rec, size_t f, int64_t v);
void set_field_text(Table& t, size_t rec, size_t f, const std::string& text);

// Which catalog table a region is, from its descriptors (the second
// descriptor's name is distinctive in all seven), or -1.
int table_kind(const Table& t);
// The region of kind k, or -1.
int find_table(const Image& img, int kind);

// The job record says the backup is compressed (COMPRESSED of the first
// entry is not 0); false when there is no Job table.
bool job_compressed(const Image& img);

// Position of each group in the data area, in Comp order: the stream
// position (the COMPSIZE values before it added up), and its COMPSIZE.
struct GroupSpan {
    size_t rec;       // record index in the Comp table (1-based entries)
    int64_t start;    // offset in the data area
    int64_t size;     // COMPSIZE
};
std::vector<GroupSpan> group_spans(const Image& img);

// Position of each file's data in a stored backup: SIZE_LO added up.
std::vector<GroupSpan> file_spans(const Image& img);

// CHK_SUM value the writer stores for these original bytes.
int64_t group_checksum(const std::string& original);
// Raw deflate of bytes; empty when it fails.
std::string deflate_bytes(const std::string& in);
// Raw inflate of at most limit bytes of output; false when the stream is bad.
bool inflate_bytes(const std::string& in, size_t limit, std::string* out);

}  // namespace imodel

#endif
