// OS layer, system side, on POSIX: see system.h.
#include "platform/system.h"

#include <limits.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

void plat_user_ids(uint32_t* uid, uint32_t* gid) {
    *uid = (uint32_t)getuid();
    *gid = (uint32_t)getgid();
}

std::string plat_absolute_path(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return "";
    std::string dir = cwd;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir + path;
}

int64_t plat_now(void) {
    return (int64_t)time(nullptr);
}

void plat_log_error(const char* program, const char* line) {
    openlog(program, LOG_PID, LOG_USER);
    syslog(LOG_ERR, "%s", line);
    closelog();
}
