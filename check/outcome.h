// What a restoring command (extract, convert) says of its run: the counts
// of its files, what was lost (for --report, and convert's LOST-DATA.txt)
// and the summary line. One place, so both say the same things the same
// way.
#ifndef CHECK_OUTCOME_H
#define CHECK_OUTCOME_H

#include <stdint.h>

#include <string>

#include "check/bak_json.h"
#include "check/naming.h"

struct Bak;
struct BakFile;
struct FileCheck;

struct RestoreTally {
    int32_t restored, present, damaged, salvaged, missing, skipped, failed;
    int64_t bytes;
    bool meta_failed;       // a restored file's time or mode not set
    std::string lost_text;  // a line for each file not restored whole
    Json lost_files;        // the same, as JSON objects
};

void tally_init(RestoreTally* o);
// A damaged or missing file, written (salvaged, as output) or not.
void note_loss(const Bak* bak, RestoreTally* o, const BakFile* f, const FileCheck* res,
               const std::string& output, bool written);
// Says where a file goes when it is not its listed name: _unplaced, or ~N.
void say_name_taken(Bak* bak, const BakFile* f, const OutputName* name);
// Whether a file checked is written: intact or present, or damaged with
// --salvage and something of it left.
bool keep_file(const Bak* bak, const BakFile* f, const FileCheck* res);
// A file not kept, damaged or missing: counted, said, and noted for the
// report.
void say_not_kept(Bak* bak, RestoreTally* o, const BakFile* f, const FileCheck* res,
                  const std::string& output);
// What was lost, as text: a line of the backup, then a line a file.
std::string loss_text(const Bak* bak, const RestoreTally* o);
// The report --report asks for (JSON when its name ends in .json) into fd;
// false when it cannot be written.
bool write_loss_report(const Bak* bak, const RestoreTally* o, int fd);
// The --report file, made at the start of the run and held open for
// reading as well: no output of the run (a restored file, an archive) is
// then written over it. fd -1 when none was asked for.
struct ReportFile {
    int fd, guard;
};
// False (said, nothing left open) when it cannot be made.
bool open_report_file(Bak* bak, ReportFile* r);
// Writes the report and closes it; false (said) when it could not be
// written.
bool finish_report_file(Bak* bak, const RestoreTally* o, ReportFile* r);
// Closes it unwritten (the run could not start).
void drop_report_file(ReportFile* r);
// The summary on stderr, with the set's inconsistencies; then the status
// the run ends with (but for a report that could not be written).
int say_tally(Bak* bak, const RestoreTally* o, double secs, bool unmatched);

// Opens DIR as the root of an output tree, making it and any directory
// above it that is missing (the path is the user's: links on the way are
// followed). -1 when it cannot be made or opened.
int open_output_dir(const std::string& dir);

#endif
