// mkbak: writes a backup set of a directory tree, for trying out unbak.
//
//   mkbak [-s] [-r] [-g GROUPSIZE] [-d DISKCAPACITY] [-n NAME] [--set-id HEX]
//         SOURCE_DIR OUTPUT_BASE
//
// The tree becomes drive C: (its top directory is the drive's root); files
// keep their modification time and read-only state. The images are written
// as OUTPUT_BASE.001, .002, ...; the last one carries the catalog. Each set
// gets set ids of its own, random unless --set-id gives them, so that sets
// written side by side are told apart as the original's would be.
#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/imgwriter.h"

namespace {

void usage() {
    fprintf(stderr,
            "usage: mkbak [-s] [-r] [-g GROUPSIZE] [-d DISKCAPACITY] [-n NAME] [--set-id HEX]\n"
            "             SOURCE_DIR OUTPUT_BASE\n"
            "  -s  stored set (file data not compressed)\n"
            "  -r  compressed set whose groups are stored (level -1)\n"
            "  -g  bytes of file data per group (default 65536)\n"
            "  -d  data bytes per disk image (default: one image)\n"
            "  -n  backup name\n"
            "  --set-id  the set ids, 16 hex digits (default: random)\n");
}

// Set ids from 16 hex digits: the first 8 are set_id1, the last 8 set_id2.
bool parse_set_id(const char* text, uint32_t* id1, uint32_t* id2) {
    if (strlen(text) != 16) return false;
    uint64_t v = 0;
    for (const char* p = text; *p; p++) {
        int digit = *p >= '0' && *p <= '9'   ? *p - '0'
                    : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                    : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                             : -1;
        if (digit < 0) return false;
        v = v << 4 | (uint64_t)digit;
    }
    *id1 = (uint32_t)(v >> 32);
    *id2 = (uint32_t)v;
    return true;
}

// Random set ids, from the system's random source.
bool random_set_id(uint32_t* id1, uint32_t* id2) {
    FILE* f = fopen("/dev/urandom", "rb");
    if (!f) return false;
    unsigned char b[8];
    bool ok = fread(b, 1, sizeof b, f) == sizeof b;
    fclose(f);
    *id1 = (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
    *id2 = (uint32_t)b[4] << 24 | (uint32_t)b[5] << 16 | (uint32_t)b[6] << 8 | b[7];
    return ok;
}

bool read_whole(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

std::string local_date(time_t t) {
    struct tm tm;
    char buf[32];
    if (!localtime_r(&t, &tm)) return "19800101000000";
    snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return std::string(buf, 14);
}

// Walks dir (rel is its '\\'-separated path below the root, "" for the root)
// in sorted name order: files and subdirectories, symbolic links left out.
bool walk(const std::string& dir, const std::string& rel, std::vector<imgw::SourceFile>* files,
          std::vector<std::string>* dirs) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        fprintf(stderr, "mkbak: cannot read directory %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            fprintf(stderr, "mkbak: cannot stat %s: %s\n", path.c_str(), strerror(errno));
            return false;
        }
        if (S_ISLNK(st.st_mode)) continue;
        if (name.size() > 240 || name.find('\\') != std::string::npos) {
            fprintf(stderr, "mkbak: name not representable in a catalog: %s\n", path.c_str());
            return false;
        }
        std::string sub = rel.empty() ? name : rel + "\\" + name;
        if (S_ISDIR(st.st_mode)) {
            dirs->push_back(sub);
            if (!walk(path, sub, files, dirs)) return false;
        } else if (S_ISREG(st.st_mode)) {
            imgw::SourceFile f;
            f.dir = rel;
            f.name = name;
            if (!read_whole(path, &f.content)) {
                fprintf(stderr, "mkbak: cannot read %s: %s\n", path.c_str(), strerror(errno));
                return false;
            }
            if (f.content.size() > 0x7FFFFFFFu) {
                fprintf(stderr, "mkbak: file too large for a catalog: %s\n", path.c_str());
                return false;
            }
            f.date = local_date(st.st_mtime);
            f.attrib = (st.st_mode & S_IWUSR) ? 0x1B6 : 0x124;
            files->push_back(f);
        }
    }
    return true;
}

bool parse_number(const char* text, int64_t min, int64_t* out) {
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > 0x7FFFFFFFLL) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // An image write that reaches the file-size limit fails (and is
    // reported) instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);
    imgw::SetOptions opt;
    bool set_id_given = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-s") {
            opt.compressed = false;
        } else if (a == "-r") {
            opt.comp_lvl = -1;
        } else if (a == "--set-id") {
            if (i + 1 >= argc) {
                fprintf(stderr, "mkbak: %s needs a value\n", a.c_str());
                return 1;
            }
            if (!parse_set_id(argv[++i], &opt.set_id1, &opt.set_id2)) {
                fprintf(stderr, "mkbak: bad value for --set-id (16 hex digits): %s\n", argv[i]);
                return 1;
            }
            set_id_given = true;
        } else if (a == "-g" || a == "-d" || a == "-n") {
            if (i + 1 >= argc) {
                fprintf(stderr, "mkbak: %s needs a value\n", a.c_str());
                return 1;
            }
            const char* v = argv[++i];
            int64_t n = 0;
            if (a == "-n") {
                opt.name = v;
            } else if (!parse_number(v, 1, &n)) {
                fprintf(stderr, "mkbak: bad value for %s: %s\n", a.c_str(), v);
                return 1;
            } else if (a == "-g") {
                opt.group_size = (int32_t)n;
            } else {
                opt.disk_capacity = n;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "mkbak: unknown option %s\n", a.c_str());
            usage();
            return 1;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() != 2) {
        usage();
        return 1;
    }

    struct stat st;
    if (stat(args[0].c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "mkbak: not a directory: %s\n", args[0].c_str());
        return 1;
    }
    if (!set_id_given && !random_set_id(&opt.set_id1, &opt.set_id2)) {
        fprintf(stderr, "mkbak: cannot read /dev/urandom for the set ids: %s\n", strerror(errno));
        return 1;
    }
    std::vector<imgw::SourceFile> files;
    std::vector<std::string> dirs;
    if (!walk(args[0], "", &files, &dirs)) return 1;

    imgw::BackupSet set = imgw::plan_set(files, opt, dirs);
    if (set.stream.size() > 0x7FFFFFFFu) {
        fprintf(stderr, "mkbak: data stream too large for one set\n");
        return 1;
    }
    std::vector<std::string> images = imgw::layout_images(set);
    if (images.size() > 999) {
        fprintf(stderr, "mkbak: %zu disk images needed, at most 999 allowed\n", images.size());
        return 1;
    }
    for (size_t k = 0; k < images.size(); k++) {
        char suffix[24];
        snprintf(suffix, sizeof suffix, ".%03zu", k + 1);
        std::string path = args[1] + suffix;
        if (!imgw::write_bytes(path, images[k])) {
            fprintf(stderr, "mkbak: cannot write %s: %s\n", path.c_str(), strerror(errno));
            return 1;
        }
        printf("wrote %s (%zu bytes)\n", path.c_str(), images[k].size());
    }
    printf("%zu files in %zu directories, %zu data bytes (%s), %zu disk image%s\n", files.size(),
           set.tables.dirs.size(), set.stream.size(),
           !opt.compressed ? "stored" : opt.comp_lvl == 4 ? "compressed" : "stored groups",
           images.size(), images.size() == 1 ? "" : "s");
    printf("set id %08x%08x\n", (unsigned)opt.set_id1, (unsigned)opt.set_id2);
    // A summary that never arrived (a full disk behind a redirect) fails
    // the run like an image that could not be written.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "mkbak: error writing standard output\n");
        return 1;
    }
    return 0;
}
