// The Catalog: the run's settings and the seven catalog tables in memory.
//
// Tables are read once from the last disk's catalog and live until exit;
// indices between tables count from 1 (a directory's disk and parent, a
// file's dir), parent 0 marking a drive's root.
#ifndef CATALOG_CATALOG_H
#define CATALOG_CATALOG_H

#include <stdint.h>

#include "container/header.h"
#include "container/regions.h"
#include "container/schema.h"

// Option bits of opt_flags.
enum {
    OPT_EXTRACT = 0x01,
    OPT_FIND_REGIONS = 0x02,
    OPT_SAVE_CATALOG = 0x04,
    OPT_START_FILE = 0x08,
    OPT_LIST = 0x10,
    OPT_VERBOSE = 0x40,
    OPT_VERY_VERBOSE = 0x80,
};

extern uint16_t opt_flags;

struct DiskRecord {
    int32_t serial;
    int32_t num2, num3, num4;
    int32_t used_hi;
    int32_t used_low;
    int32_t num7, num8;
    char label[13];
    char text_a[15];
    char text_b[15];
    char drive[3];
    int32_t hasdskst;
};

struct DirRecord {
    int32_t serial;
    int32_t disk;    // from 1, into disks
    int32_t parent;  // from 1, into dirs; 0 for a root
    char* name;      // null for the unnamed root of a drive
};

struct CompRecord;

struct FileRecord {
    int32_t serial;
    int32_t dir;     // from 1, into dirs
    int32_t num3, num4;
    int32_t attrib;
    int32_t num6;
    int32_t size_lo;
    char date[15];
    char* name;      // null when the NAME field is blank
    FileRecord* next;
    int32_t order;
    CompRecord* comp;  // first group of the file's run (set by link_data)
};

struct PathNode {
    char* text;
    int32_t length;
    PathNode* next;
};

struct CompRecord {
    int32_t SERIAL;
    int32_t ORGSER;
    int32_t SEQUENCE;
    int32_t ORGSIZE;
    int32_t COMPSIZE;
    int32_t ARCDSKSE;
    int32_t CHK_SUM;
    int32_t COMP_LVL;
    int32_t OFFS_HI;
    int32_t OFFS_LO;
    int32_t IS_LAST;
    CompRecord* next;
};

struct JobRecord {
    int32_t serial;
    int32_t job_num;
    int32_t num_disks;
    int32_t num4, num5, num6, num7;
    int32_t compressed;
    char text_a[15];
    char* text_b;
    char* descr;
};

struct SessionRecord {
    int32_t serial;
    int32_t sessfrom;
    int32_t sessto;
    int32_t job_num;
    int32_t disk_num;
    char date[15];
};

struct Catalog {
    uint16_t* options;
    const char* image_path;
    int32_t cur_disk;
    uint32_t start_file;
    uint32_t cum_dat;
    const TableSchema* schemas;
    FileHeader* header;
    DiskRecord* disks;
    DirRecord* dirs;
    FileRecord* files;
    CompRecord* comp;
    PathNode* paths;
    JobRecord* job;
    SessionRecord* sessions;
    const char* path_filter;
    RegionInfo* regions;
};

// Sets every member to its start value (options -> opt_flags, image_path "?",
// cur_disk -1, schemas -> TABLE_SCHEMAS, the rest 0 or null).
void catalog_init(Catalog* catalog);

// Releases every table (used between in-process runs; a normal run keeps
// its tables until exit). The Dirs count is taken from regions.
void catalog_free(Catalog* catalog);
void free_files(FileRecord* f);
void free_paths(PathNode* p);
void free_comp(CompRecord* c);

// Table readers (status: count read, or a negative code).
DiskRecord* read_disks(int file, int32_t offset, int32_t* status);
DirRecord* read_dirs(int file, int32_t offset, int32_t* status);
FileRecord* read_files(int file, int32_t offset, int32_t* status);
PathNode* read_paths(int file, int32_t offset, int32_t* status);
CompRecord* read_comp(int file, int32_t offset, int32_t* status);
JobRecord* get_job(int file, int32_t offset);
SessionRecord* get_sess(int file, int32_t offset, int32_t* count);

// Displays.
void disp_disks(const DiskRecord* disks, int32_t count);
void disp_dirs(const Catalog* catalog, const DirRecord* dirs, int32_t count);
void disp_files(const FileRecord* files, int32_t count);
void disp_comp(const CompRecord* comp);
void disp_paths(const PathNode* paths);
void disp_sess(const Catalog* catalog);
void disp_catalog(const Catalog* catalog);

// Ties each file to the first data group of its run; sets cum_dat.
int32_t link_data(Catalog* catalog, int32_t comp_count);

#endif
