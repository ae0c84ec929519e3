// OS layer, system side: what bak mount needs of the system beyond files.
// Its file system shows the files as owned by the user who mounted it, turns
// the images' paths into absolute ones before it leaves the directory it
// was started in (a daemon works from /), and reports damage to the system
// log once it has no terminal. POSIX only, as bak mount is.
#ifndef PLATFORM_SYSTEM_H
#define PLATFORM_SYSTEM_H

#include <stdint.h>

#include <string>

// The user and group the program runs as.
void plat_user_ids(uint32_t* uid, uint32_t* gid);

// The path made absolute against the working directory (nothing resolved
// but that); "" when the working directory cannot be had.
std::string plat_absolute_path(const std::string& path);

// Seconds since 1970, now.
int64_t plat_now(void);

// One line to the system log, as an error of the program named.
void plat_log_error(const char* program, const char* line);

#endif
