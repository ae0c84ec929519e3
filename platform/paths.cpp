// Path text shared by both implementations of the OS layer: nothing here
// calls the OS.
#include "platform/platform.h"

int32_t plat_last_component(const char* path) {
    int32_t start = 0;
    for (int32_t i = 0; path[i] != '\0'; i++)
        if (path[i] == '/' || path[i] == '\\') start = i + 1;
    return start;
}
