// What both implementations of the OS layer share: path text, and calls
// made of other plat_* calls. Nothing here calls the OS itself.
#include "platform/platform.h"

int32_t plat_last_component(const char* path) {
    int32_t start = 0;
    for (int32_t i = 0; path[i] != '\0'; i++)
        if (path[i] == '/' || path[i] == '\\') start = i + 1;
    return start;
}

int plat_create_catalog_path(const char* path) {
    PlatFileId id;
    int fd = plat_open_output(PLAT_CWD, path, 0, &id);
    if (fd >= 0 && plat_truncate(fd) != 0) {
        plat_close(fd);
        return -1;
    }
    return fd;
}
