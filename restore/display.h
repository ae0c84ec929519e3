// unbak's display of the catalog it read: a listing per table and the
// closing summary (restore/display.cpp).
#ifndef RESTORE_DISPLAY_H
#define RESTORE_DISPLAY_H

#include <stdint.h>

#include "catalog/catalog.h"

void disp_files(const FileRecord* files, int32_t count);
void disp_sess(const Catalog* catalog);
void disp_catalog(const Catalog* catalog);

// The -vs# listing of a table (a TBL_ index) right after its read, when
// the table is present; read_catalog's TableDisplay.
void show_table_read(const Catalog* catalog, int table);

#endif
