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

#include "container/io_state.h"
#include "container/schema.h"
#include "container/table_format.h"

enum {
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

// Each step reads through io's work buffer and reports to io->rep what it
// finds and why it stops (container/events.h).
int32_t find_serial(int image, int32_t start, int32_t* skipped, IoState* io);
int32_t skip_struct(int image, int32_t* ent_sz, int32_t* count, int32_t* nfields,
                    int32_t* lengths, char* types, IoState* io);
// validate checks each region against its table's shape (catalog mode).
int32_t locate_regions(int image, uint32_t cat_offs, RegionInfo* regions, bool validate,
                       IoState* io);
// verbose reports every descriptor of every region (-f -v).
int32_t walk_regions(int image, uint32_t cat_offs, bool verbose, IoState* io);

#endif
