// get_fhead: open an image and read, check and print its 512-byte header.
#include "container/header.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "container/regions.h"
#include "platform/platform.h"

int get_fhead(const char* path, FileHeader* header) {
    int fd = plat_open_read(path);
    if (fd < 0) {
        printf("\nfailed to open target file: %s", path);
        return -1;
    }
    if (plat_read(fd, header->fixed, HEADER_FIXED_SIZE) != HEADER_FIXED_SIZE ||
        plat_read(fd, work_buf, HEADER_NAME_AREA) != HEADER_NAME_AREA) {
        printf("\nfailed to read file header");
        plat_close(fd);
        return -1;
    }
    if (fh_signature(header) != HEADER_SIGNATURE) {
        printf("\nbig endian file header signature != 0x%lx", (unsigned long)HEADER_SIGNATURE);
        plat_close(fd);
        return -1;
    }
    int len = 0;
    while (len < (int)HEADER_NAME_AREA && work_buf[len] != '\0') len++;
    char* name = (char*)malloc((size_t)len + 1);
    if (!name) {
        printf("\nfailed to allocate %d bytes for name string", len + 1);
        plat_close(fd);
        return -1;
    }
    copy_field(name, work_buf, len);
    header->name = name;
    printf("\nBackup name: %s", name);
    printf("\nJob %d  Backup Disk %d", (int)fh_job_num(header), (int)fh_disk_num(header));
    if (fh_cat_offs(header) == 0)
        printf("\nno Catalog on this disk");
    else
        printf("\nCatalog at  offset 0x%lx\n", (unsigned long)fh_cat_offs(header));
    header->name_len = (uint16_t)len;
    return fd;
}
