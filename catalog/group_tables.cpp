// Catalog table readers: Comp (the data groups), Job and Session.
//
// Same table layout as the Disks/Dirs/Files readers: descriptors closed by
// 0x0D, a count record, fixed-length records, 0x1A. The Job table must hold
// exactly one data record; the Session table must hold every record its count
// record announces; Comp fields must each hold a number.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "catalog/catalog.h"
#include "catalog/events.h"
#include "catalog/table_io.h"
#include "container/fields.h"
#include "container/io_state.h"
#include "container/regions.h"
#include "container/scan.h"
#include "container/schema.h"
#include "container/table_format.h"
#include "platform/platform.h"

// Scans the Comp record at `record` into v, one number per field, each within
// its own characters. The fields are scanned from the last down, so a
// failure names the last field that holds no number; false after its event.
static bool scan_comp_fields(const TableSchema* s, const char* record, int32_t rec, int32_t* v,
                             const Reporter* rep) {
    for (int32_t k = s->nfields - 1; k >= 0; k--) {
        const SchemaField* f = &s->fields[k];
        if (!scan_int(record + f->offset, f->length, SCAN_NO_WIDTH, &v[k])) {
            say(rep, EV_COMP_FIELD_UNREADABLE, {ev_num(rec), ev_num(k)});
            return false;
        }
    }
    return true;
}

CompRecord* read_comp(int file, int32_t offset, int32_t* status, IoState* io) {
    const Reporter* rep = io->rep;
    const TableSchema* s = &TABLE_SCHEMAS[TBL_COMP];
    int32_t n = 0;
    int32_t i = 0;
    CompRecord* head = NULL;
    CompRecord* last = NULL;

    *status = read_descriptors(file, offset, s, 0, CHECK_NAME | CHECK_LENGTH, io);

    // A count record cut short by the end of the image leaves n at 0: an
    // empty table. One that the OS failed to read fails the table as a
    // descriptor block read short does.
    if (*status == 0) {
        int32_t read = read_part(file, io->work_buf, s->ent_sz);
        if (read == READ_FAILED ||
            (read == READ_WHOLE && !parse_count(io->work_buf, s->ent_sz, COUNT_AFTER_SERIAL, &n))) {
            say(rep, EV_COMP_COUNT_UNREADABLE);
            *status = read == READ_FAILED ? -2 : -4;
        }
    }

    while (*status == 0 && i < n) {
        int32_t read = next_record(file, s, io);
        if (read == READ_FAILED) *status = -2;
        if (read != READ_WHOLE) break;
        int32_t v[MAX_FIELDS];
        if (!scan_comp_fields(s, io->work_buf, i, v, rep)) {
            *status = -5;
            break;
        }
        CompRecord* c = (CompRecord*)malloc(sizeof(CompRecord));
        if (!c) {
            say(rep, EV_COMP_NO_MEMORY);
            *status = -6;
            break;
        }
        c->SERIAL = v[0];
        c->ORGSER = v[1];
        c->SEQUENCE = v[2];
        c->ORGSIZE = v[3];
        c->COMPSIZE = v[4];
        c->ARCDSKSE = v[5];
        c->CHK_SUM = v[6];
        c->COMP_LVL = v[7];
        c->OFFS_HI = v[8];
        c->OFFS_LO = v[9];
        c->IS_LAST = v[10];
        c->next = NULL;
        if (last)
            last->next = c;
        else
            head = c;
        last = c;
        i++;
    }

    if (*status < 0)
        say(rep, EV_COMP_DATA_UNREADABLE);
    else
        *status = i;
    return head;
}

// False when there was no memory for a text.
static bool convert_job(const TableSchema* s, const char* record, JobRecord* job,
                        const Reporter* rep) {
    RecordFields r = record_fields(s, record, rep);
    job->serial = take_number(&r);
    job->job_num = take_number(&r);
    job->num_disks = take_number(&r);
    job->num4 = take_number(&r);
    job->num5 = take_number(&r);
    job->num6 = take_number(&r);
    job->num7 = take_number(&r);
    job->compressed = take_number(&r);
    take_copy(&r, job->text_a, sizeof job->text_a);
    bool no_memory_b = false, no_memory_descr = false;
    job->text_b = take_text(&r, &no_memory_b);
    job->descr = take_text(&r, &no_memory_descr);
    return !no_memory_b && !no_memory_descr;
}

JobRecord* get_job(int file, int32_t offset, IoState* io) {
    const Reporter* rep = io->rep;
    const char* record = io->work_buf;
    const TableSchema* s = &TABLE_SCHEMAS[TBL_JOB];
    int32_t checked = read_descriptors(file, offset, s, s->nfields - 1, CHECK_NAME, io);
    if (checked == -1 || checked == -2) {
        say(rep, EV_JOB_DESCRIPTORS_UNREADABLE);
        return NULL;
    }
    if (checked != 0) {
        say(rep, EV_JOB_DESCRIPTORS_INVALID);
        return NULL;
    }
    if (!read_record(file, s, io)) {
        say(rep, EV_JOB_COUNT_RECORD_UNREADABLE);
        return NULL;
    }
    JobRecord* job = (JobRecord*)calloc(1, sizeof(JobRecord));
    if (!job) {
        say(rep, EV_JOB_NO_MEMORY);
        return NULL;
    }
    int32_t n = 0;
    if (!parse_count(record, s->ent_sz, COUNT_IN_FIELD, &n) || n < 2) {
        say(rep, EV_JOB_COUNT_INVALID);
        free(job);
        return NULL;
    }
    // The one data record and the byte behind it, which must end the table.
    int32_t with_end = s->ent_sz + 1;
    if (plat_read(file, io->work_buf, with_end) != with_end || record[s->ent_sz] != END_OF_DATA) {
        say(rep, EV_JOB_RECORD_UNREADABLE);
        free(job);
        return NULL;
    }
    if (n != 2) warn(rep, EV_JOB_COUNT_UNEXPECTED, {ev_num(n)});
    if (!convert_job(s, record, job, rep)) {
        say(rep, EV_JOB_NO_MEMORY);
        free(job->text_b);
        free(job->descr);
        free(job);
        return NULL;
    }
    return job;
}

static void convert_session(const TableSchema* s, const char* record, SessionRecord* sess,
                            const Reporter* rep) {
    RecordFields r = record_fields(s, record, rep);
    sess->serial = take_number(&r);
    sess->sessfrom = take_number(&r);
    sess->sessto = take_number(&r);
    sess->job_num = take_number(&r);
    sess->disk_num = take_number(&r);
    take_copy(&r, sess->date, sizeof sess->date);
}

SessionRecord* get_sess(int file, int32_t offset, int32_t* count, IoState* io) {
    const Reporter* rep = io->rep;
    const TableSchema* s = &TABLE_SCHEMAS[TBL_SESSION];
    *count = 0;
    int32_t checked = read_descriptors(file, offset, s, s->nfields - 1, CHECK_NAME, io);
    if (checked == -1 || checked == -2) {
        say(rep, EV_SESSION_DESCRIPTORS_UNREADABLE);
        return NULL;
    }
    if (checked != 0) {
        say(rep, EV_SESSION_DESCRIPTORS_INVALID);
        return NULL;
    }
    if (!read_record(file, s, io)) {
        say(rep, EV_SESSION_COUNT_RECORD_UNREADABLE);
        return NULL;
    }
    int32_t n = 0;
    if (!parse_count(io->work_buf, s->ent_sz, COUNT_IN_FIELD, &n) || n < 2) {
        say(rep, EV_SESSION_COUNT_INVALID);
        return NULL;
    }
    // Room for the records the image can hold; if that is fewer than
    // announced, the read below comes short and the table is refused.
    int64_t room = records_possible(file, (int64_t)n - 1, s->ent_sz);
    SessionRecord* sessions = NULL;
    if (room > 0) {
        sessions = (SessionRecord*)calloc((size_t)room, sizeof(SessionRecord));
        if (!sessions) {
            say(rep, EV_SESSION_NO_MEMORY);
            return NULL;
        }
    }
    *count = n - 1;
    int32_t got = 0;
    while (got < room && next_record(file, s, io) == READ_WHOLE)
        convert_session(s, io->work_buf, &sessions[got++], rep);
    if (got < n - 1) {
        say(rep, EV_SESSION_RECORDS_SHORT, {ev_num(n - 1)});
        free(sessions);
        return NULL;
    }
    return sessions;
}
