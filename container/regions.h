// Catalog table regions: layout, location and measurement.
//
// A region is a 32-byte table header, 32-byte field descriptors (the first
// named SERIAL), a 0x0D byte, fixed-length records (record 0 is the count
// record) and a 0x1A byte. In an image the regions follow the catalog offset,
// each behind a fixed gap; the restore tool finds each by its SERIAL
// descriptor. All region reading goes through the one shared work buffer.
#ifndef CONTAINER_REGIONS_H
#define CONTAINER_REGIONS_H

#include <stdint.h>

#include "container/schema.h"

enum {
    REGION_BUF_SIZE = 1024,
    REGION_COUNT = 7,
    MAX_FIELDS = 14,        // descriptors a region may have
    FIELD_ARRAY_SIZE = 15,  // room in the type and length arrays
    FIELDDEF_SIZE = 32,
    TABLE_HEADER_SIZE = 32,
    END_OF_FIELDS = 0x0D,
    END_OF_DATA = 0x1A,
};

// Table indices, shared by the region table, the schemas and -vs#.
enum { TBL_DISKS = 0, TBL_DIRS = 1, TBL_FILES = 2, TBL_COMP = 3, TBL_JOB = 4, TBL_PATHS = 5, TBL_SESSION = 6 };

// One 32-byte field descriptor as stored.
struct FieldDef {
    char name[11];           // NUL-padded
    char type;               // 'N' or 'C'
    unsigned char offset[4]; // LE32 offset in the record
    unsigned char length[2]; // LE16 length
    unsigned char zero[14];
};

// The 32-byte table header in front of the descriptors; only the record count
// at offset 4 is used (by the table inspector).
struct TableRegion {
    unsigned char head[TABLE_HEADER_SIZE];
};

struct RegionInfo {
    int32_t offset;   // of the first field descriptor in the image
    int32_t nfields;
    int32_t ent_sz;
    int32_t count;    // from the count record; later the entries read
};

// Distance from the end of the previous region (or cat_offs) to where the
// search for each region's first descriptor starts.
extern const int32_t REGION_GAP[REGION_COUNT];
extern const char* const REGION_NAME[REGION_COUNT];

// The program's one shared work buffer.
extern char work_buf[REGION_BUF_SIZE];

int32_t find_serial(int image, int32_t start, int32_t* skipped);
int32_t skip_struct(int image, int32_t* ent_sz, int32_t* count, int32_t* nfields,
                    int32_t* lengths, char* types);
// schemas is null outside catalog mode (no validation).
int32_t locate_regions(int image, uint32_t cat_offs, RegionInfo* regions,
                       const TableSchema* schemas);
// verbose lists every descriptor of every region (-f -v).
int32_t walk_regions(int image, uint32_t cat_offs, bool verbose);

// Resets the buffer between in-process runs.
void regions_reset(void);

#endif
