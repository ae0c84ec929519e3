// Catalog table readers: Comp (the data groups), Job and Session.
//
// Same table layout as the Disks/Dirs/Files readers: descriptors closed by
// 0x0D, a count record, fixed-length records, 0x1A. The Job table must hold
// exactly one data record; the Session table must hold every record its count
// record announces; Comp fields must each hold a number.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "catalog/catalog.h"
#include "catalog/table_io.h"
#include "container/fields.h"
#include "container/regions.h"
#include "container/scan.h"
#include "platform/platform.h"

enum {
    NUM_WIDTH = 12,
    COMP_NFIELDS = 11,
    COMP_ENT_SZ = 133,
    JOB_NFIELDS = 11,
    JOB_ENT_SZ = 399,
    SESS_NFIELDS = 6,
    SESS_ENT_SZ = 75,
    COUNT_FIELD = 13,  // the count record's second field
};

// The one integer at the start of the count record's second field (the
// record is in work_buf); false when the field holds none.
static bool scan_count_field(int32_t* n) {
    return scan_int(work_buf + COUNT_FIELD, NUM_WIDTH, SCAN_NO_WIDTH, n);
}

CompRecord* read_comp(int file, int32_t offset, int32_t* status) {
    static const char* const names[COMP_NFIELDS] = {
        "SERIAL", "ORGSER", "SEQUENCE", "ORGSIZE", "COMPSIZE", "ARCDSKSE",
        "CHK_SUM", "COMP_LVL", "OFFS_HI", "OFFS_LO", "IS_LAST"};
    *status = 0;
    int32_t n = 0;
    int32_t i = 0;
    CompRecord* head = NULL;
    CompRecord* last = NULL;

    *status = read_descriptors(file, offset, COMP_NFIELDS);
    if (*status == 0) {
        for (int k = 0; k < COMP_NFIELDS; k++) {
            const char* desc = work_buf + k * FIELDDEF_SIZE;
            if (!desc_name_is(desc, names[k]) || desc_length(desc) != NUM_WIDTH) *status = -3;
        }
        if (work_buf[COMP_NFIELDS * FIELDDEF_SIZE] != END_OF_FIELDS) *status = -3;
    }

    // A count record that comes short leaves n at 0: an empty table.
    if (*status == 0 && plat_read(file, work_buf, COMP_ENT_SZ) == COMP_ENT_SZ) {
        int32_t v[2];
        if (scan_ints(work_buf, COMP_ENT_SZ, v, 2) < 2) {
            printf("\nfailed to get # of records in comp array");
            *status = -4;
        } else {
            n = v[1];
        }
    }

    while (*status == 0 && i < n) {
        if (!next_record(file, COMP_ENT_SZ)) break;
        // Each field is scanned within its own 12 characters, from the last
        // field down, so a failure names the last field that holds no number.
        int32_t v[COMP_NFIELDS];
        for (int k = COMP_NFIELDS - 1; k >= 0 && *status == 0; k--) {
            const char* field = work_buf + 1 + k * NUM_WIDTH;
            if (!scan_int(field, NUM_WIDTH, SCAN_NO_WIDTH, &v[k])) {
                printf("\nread_comp() failed to scan rec %d data field %d", (int)i, k);
                *status = -5;
            }
        }
        if (*status != 0) break;
        CompRecord* c = (CompRecord*)malloc(sizeof(CompRecord));
        if (!c) {
            printf("\nallocation error");
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
        printf("\nfailed to read Comp data section");
    else
        *status = i;
    return head;
}

JobRecord* get_job(int file, int32_t offset) {
    if (read_descriptors(file, offset, JOB_NFIELDS) != 0) {
        printf("\nfatal error failed to read headers in get_job()");
        return NULL;
    }
    if (work_buf[JOB_NFIELDS * FIELDDEF_SIZE] != END_OF_FIELDS ||
        !desc_name_is(work_buf + (JOB_NFIELDS - 1) * FIELDDEF_SIZE, "DESCR")) {
        printf("\nfatal error, invalid header region in get_job()");
        return NULL;
    }
    if (plat_read(file, work_buf, JOB_ENT_SZ) != JOB_ENT_SZ) {
        printf("\nfailed to read 1st data record in get_job()");
        return NULL;
    }
    JobRecord* job = (JobRecord*)calloc(1, sizeof(JobRecord));
    if (!job) {
        printf("\nallocation error in get_job()");
        return NULL;
    }
    int32_t n = 0;
    if (!scan_count_field(&n) || n < 2) {
        printf("\ninvalid 1st record in get_job()");
        free(job);
        return NULL;
    }
    // The one data record and the byte behind it, which must end the table.
    if (plat_read(file, work_buf, JOB_ENT_SZ + 1) != JOB_ENT_SZ + 1 ||
        work_buf[JOB_ENT_SZ] != END_OF_DATA) {
        printf("\ndata region read error, or not terminated by 0x1a in get_job()");
        free(job);
        return NULL;
    }
    if (n != 2) printf("\nWarning Job has unexpected record count = %d", (int)n);

    const char* r = work_buf;
    job->serial = dvatol(r + 1, 12);
    job->job_num = dvatol(r + 13, 12);
    job->num_disks = dvatol(r + 25, 12);
    job->num4 = dvatol(r + 37, 12);
    job->num5 = dvatol(r + 49, 12);
    job->num6 = dvatol(r + 61, 12);
    job->num7 = dvatol(r + 73, 12);
    job->compressed = dvatol(r + 85, 12);
    copy_field(job->text_a, r + 97, 14);
    job->text_b = dup_field(r + 111, 32);
    job->descr = dup_field(r + 143, 256);
    return job;
}

SessionRecord* get_sess(int file, int32_t offset, int32_t* count) {
    *count = 0;
    if (read_descriptors(file, offset, SESS_NFIELDS) != 0) {
        printf("\nfatal error failed to read headers in get_sess()");
        return NULL;
    }
    if (work_buf[SESS_NFIELDS * FIELDDEF_SIZE] != END_OF_FIELDS ||
        !desc_name_is(work_buf + (SESS_NFIELDS - 1) * FIELDDEF_SIZE, "SESSDATE")) {
        printf("\nfatal error get_sess(), invalid header region");
        return NULL;
    }
    if (plat_read(file, work_buf, SESS_ENT_SZ) != SESS_ENT_SZ) {
        printf("\nfailed to read 1st data record in get_sess()");
        return NULL;
    }
    int32_t n = 0;
    if (!scan_count_field(&n) || n < 2) {
        printf("\ninvalid 1st record");
        return NULL;
    }
    // Room for the records the image can hold; if that is fewer than
    // announced, the read below comes short and the table is refused.
    int64_t room = records_possible(file, (int64_t)n - 1, SESS_ENT_SZ);
    SessionRecord* sessions = NULL;
    if (room > 0) {
        sessions = (SessionRecord*)calloc((size_t)room, sizeof(SessionRecord));
        if (!sessions) {
            printf("\ncalloc() error in get_sess()");
            return NULL;
        }
    }
    *count = n - 1;
    int32_t got = 0;
    while (got < room && next_record(file, SESS_ENT_SZ)) {
        const char* r = work_buf;
        SessionRecord* s = &sessions[got];
        s->serial = dvatol(r + 1, 12);
        s->sessfrom = dvatol(r + 13, 12);
        s->sessto = dvatol(r + 25, 12);
        s->job_num = dvatol(r + 37, 12);
        s->disk_num = dvatol(r + 49, 12);
        copy_field(s->date, r + 61, 14);
        got++;
    }
    if (got < n - 1) {
        printf("\nfatal read error in get_sess() failed to %d read all data records", (int)(n - 1));
        free(sessions);
        return NULL;
    }
    return sessions;
}
