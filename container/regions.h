// Catalog table regions: where the seven tables lie in an image, and their
// measurement.
//
// In an image the regions follow the catalog offset, each behind a fixed
// gap; unbak finds each by its SERIAL descriptor (the table header in front
// of it is never read) and measures it descriptor by descriptor and record by
// record. The layout of one region is in container/table_format.h.
#ifndef CONTAINER_REGIONS_H
#define CONTAINER_REGIONS_H

#include <stdint.h>

#include "container/report.h"
#include "container/schema.h"
#include "container/table_format.h"

enum {
    REGION_BUF_SIZE = 1024,
    REGION_COUNT = TABLE_COUNT,
    MAX_FIELDS = 14,                    // descriptors a region may have
    FIELD_ARRAY_SIZE = MAX_FIELDS + 1,  // room in the type and length arrays
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

// unbak's one work buffer. Its contents hold only until the next step that
// uses it: get_fhead (the header's name area), the region walks (one
// descriptor or record at a time), the table readers (the descriptor block,
// then one record at a time), the extraction (stored data on its way out and
// the inflate window) and the catalog save (the file name and the note, then
// the copied catalog).
extern char work_buf[REGION_BUF_SIZE];

// Each step reports to rep what it finds and why it stops (container/events.h).
int32_t find_serial(int image, int32_t start, int32_t* skipped, const Reporter* rep);
int32_t skip_struct(int image, int32_t* ent_sz, int32_t* count, int32_t* nfields,
                    int32_t* lengths, char* types, const Reporter* rep);
// validate checks each region against its table's shape (catalog mode).
int32_t locate_regions(int image, uint32_t cat_offs, RegionInfo* regions, bool validate,
                       const Reporter* rep);
// verbose reports every descriptor of every region (-f -v).
int32_t walk_regions(int image, uint32_t cat_offs, bool verbose, const Reporter* rep);

// Resets the buffer between in-process runs.
void regions_reset(void);

#endif
