// The Catalog: the run's settings and the seven catalog tables in memory.
//
// Tables are read once from the last disk's catalog and live until the run
// ends (catalog_free); indices between tables count from 1 (a directory's
// disk and parent, a file's dir), parent 0 marking a drive's root.
//
// The front end (restore/frontend.cpp) owns the one Catalog of a run and the
// option word it refers to, and hands the Catalog down: every option bit is
// read through catalog->options, and the driver's choice L changes the word
// through it. What the catalog layer has to say goes to catalog->io.rep, the
// run's Reporter (catalog/events.h), and its tables are read through
// catalog->io's work buffer.
#ifndef CATALOG_CATALOG_H
#define CATALOG_CATALOG_H

#include <stddef.h>
#include <stdint.h>

#include "container/header.h"
#include "container/io_state.h"
#include "container/regions.h"
#include "container/schema.h"

// Bits of the run's option word.
enum {
    OPT_EXTRACT = 0x01,
    OPT_FIND_REGIONS = 0x02,
    OPT_SAVE_CATALOG = 0x04,
    OPT_START_FILE = 0x08,
    OPT_LIST = 0x10,
    OPT_VERBOSE = 0x40,
    OPT_VERY_VERBOSE = 0x80,
};

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
    CompRecord* comp;  // first group of the file's run (set by link_data)
};

struct PathNode {
    char* text;
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

// The restore's output tree (restore/outtree.h), its dialogue with the user
// and its buffers (restore/restore.h), which the catalog layer only carries.
struct OutTree;
struct Dialogue;
struct ExtractBuffers;

struct Catalog {
    uint16_t* options;        // the run's option word (OPT_*), never null
    OutTree* out_tree;        // where files are restored; null when none are
    const Dialogue* dialogue;  // answers the restore's questions; null: none
    ExtractBuffers* buffers;  // the extraction's; null when none are restored
    const char* image_path;
    int32_t cur_disk;         // from 0; advanced by every disk change
    uint32_t start_file;      // -s#, counted from 1
    FileHeader* header;       // the catalog image's header
    DiskRecord* disks;
    DirRecord* dirs;
    FileRecord* files;
    CompRecord* comp;
    PathNode* paths;
    JobRecord* job;
    SessionRecord* sessions;
    const char* path_filter;  // -p, into the argument text; null when none
    RegionInfo* regions;      // the run's region table; counts of the tables
    // The run's Reporter (io.rep: where the catalog and restore layers'
    // events go; null: nowhere) and its one work buffer.
    IoState io;
};

// Sets every member to its start value (options -> the given word,
// image_path "?", cur_disk -1, the rest 0 or null: a cleared work buffer,
// no Reporter until the front end sets one).
void catalog_init(Catalog* catalog, uint16_t* options);

// True when any of the option bits is set.
static inline bool has_option(const Catalog* catalog, uint16_t bits) {
    return (*catalog->options & bits) != 0;
}

// The record count of a table (a TBL_ index), 0 when the region table is
// missing.
static inline int32_t table_count(const Catalog* catalog, int table) {
    return catalog->regions ? catalog->regions[table].count : 0;
}

// Releases every table, at the end of a run. The Dirs count is taken from
// regions.
void catalog_free(Catalog* catalog);
void free_files(FileRecord* f);
void free_paths(PathNode* p);
void free_comp(CompRecord* c);

// Table readers (status: count read, or a negative code). Each reads
// through io's work buffer and reports why it failed to io->rep.
DiskRecord* read_disks(int file, int32_t offset, int32_t* status, IoState* io);
DirRecord* read_dirs(int file, int32_t offset, int32_t* status, IoState* io);
FileRecord* read_files(int file, int32_t offset, int32_t* status, IoState* io);
PathNode* read_paths(int file, int32_t offset, int32_t* status, IoState* io);
CompRecord* read_comp(int file, int32_t offset, int32_t* status, IoState* io);
JobRecord* get_job(int file, int32_t offset, IoState* io);
SessionRecord* get_sess(int file, int32_t offset, int32_t* count, IoState* io);

// A front end's display of one table (a TBL_ index) of the Catalog.
typedef void (*TableDisplay)(const Catalog* catalog, int table);

// Reads the seven tables in their fixed order (Disks, Dirs, Files, Job, Comp
// only for compressed data, Paths, Session) into the Catalog, from the
// regions in catalog->regions, whose counts become the records read. Every
// table is tried; each failure is reported to catalog->io.rep, and its name is
// added to failed (", "-separated; may be null). When show is not null it
// is called for the table show_table (a TBL_ index, -1 for none) right
// after that table's read (-vs#). Gives back the failures.
int read_catalog(int image, Catalog* catalog, int show_table, TableDisplay show, char* failed,
                 size_t size);

// Ties each file to the first data group of its run and reports the files,
// the runs and the total size of the data stream (EV_LINKED). Gives back
// the files, or -1 when there are no files or no paths.
int32_t link_data(Catalog* catalog, int32_t comp_count);

#endif
