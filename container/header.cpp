// get_fhead: open an image, read and check its 512-byte header and report
// what it holds.
#include "container/header.h"

#include <stdlib.h>
#include <string.h>

#include "container/events.h"
#include "platform/platform.h"

int get_fhead(const char* path, FileHeader* header, IoState* io) {
    const Reporter* rep = io->rep;
    const char* area = io->work_buf;  // the name area
    int fd = plat_open_read(path);
    if (fd < 0) {
        say(rep, EV_HEADER_OPEN_FAILED, {ev_text(path)});
        return -1;
    }
    if (plat_read(fd, header->fixed, HEADER_FIXED_SIZE) != HEADER_FIXED_SIZE ||
        plat_read(fd, io->work_buf, HEADER_NAME_AREA) != HEADER_NAME_AREA) {
        say(rep, EV_HEADER_READ_FAILED);
        plat_close(fd);
        return -1;
    }
    if (fh_signature(header) != HEADER_SIGNATURE) {
        say(rep, EV_HEADER_BAD_SIGNATURE, {ev_num(HEADER_SIGNATURE)});
        plat_close(fd);
        return -1;
    }
    int len = 0;
    while (len < (int)HEADER_NAME_AREA && area[len] != '\0') len++;
    char* name = (char*)malloc((size_t)len + 1);
    if (!name) {
        say(rep, EV_HEADER_NAME_NO_MEMORY, {ev_num(len + 1)});
        plat_close(fd);
        return -1;
    }
    copy_field(name, area, len);
    header->name = name;
    say(rep, EV_HEADER, {ev_text(name), ev_num(fh_job_num(header)), ev_num(fh_disk_num(header)),
                         ev_num(fh_cat_offs(header))});
    header->name_len = (uint16_t)len;
    return fd;
}
