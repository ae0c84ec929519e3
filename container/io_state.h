// What the container and catalog steps of one run share: the Reporter their
// events go to, and unbak's one work buffer, through which every header,
// descriptor and record is read.
//
// The front end makes one for a run, cleared as a fresh process has it, and
// hands it down to each step; nothing below keeps it between calls.
#ifndef CONTAINER_IO_STATE_H
#define CONTAINER_IO_STATE_H

#include "container/report.h"

enum { WORK_BUF_SIZE = 1024 };

struct IoState {
    const Reporter* rep;  // null: the events go nowhere
    // The work buffer. Its contents hold only until the next step that uses
    // it: get_fhead (the header's name area), the region walks (one
    // descriptor or record at a time), the table readers (the descriptor
    // block, then one record at a time) and the catalog save (the file name
    // and the note, then the copied catalog). A region walk's count scan and
    // the descriptor names it reports may run on past the block just read
    // into what an earlier step left behind it, so these steps share this
    // one buffer, in the order of the run, and no other.
    char work_buf[WORK_BUF_SIZE];
};

#endif
