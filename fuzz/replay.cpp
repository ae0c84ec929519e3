// In-process runs of unbak and dbfscan for the fuzz targets and the replay
// test (see replay.h).
//
// Standard output goes to /dev/null for the duration of a run; standard
// input is a pipe that holds the dialogue's answers and then ends, so every
// prompt after the last answer sees the end of input.
#include "fuzz/replay.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "inspect/dbfscan.h"
#include "platform/platform.h"
#include "restore/restore.h"

namespace {

const char* const IMAGE_NAME = "img.bak";
const char* const TABLE_NAME = "table.dbf";
// Copies of the image numbered as disks 1 to 3 of its own set, so that the
// disk dialogue can continue a set over several images.
const int DISK_COPIES = 3;

// top/a/b/run: the run directory and the three levels checked above it.
std::string top_dir, run_dir;
const char* const LEVELS[3] = {"a", "a/b", "a/b/run"};

bool write_whole(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(fd, data + done, size - done);
        if (w <= 0) break;
        done += (size_t)w;
    }
    close(fd);
    return done == size;
}

// Removes everything below dir (write and search bits restored first, as a
// run may leave read-only files and directories behind); keeps dir itself.
void empty_dir(const std::string& dir) {
    chmod(dir.c_str(), 0700);
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    for (const std::string& n : names) {
        std::string p = dir + "/" + n;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            empty_dir(p);
            rmdir(p.c_str());
        } else {
            unlink(p.c_str());
        }
    }
}

// What lies in dir besides the entry `allowed`, as one text.
std::string strangers(const std::string& dir, const char* allowed) {
    std::string found;
    DIR* d = opendir(dir.c_str());
    if (!d) return dir + " is gone";
    while (dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || !strcmp(e->d_name, allowed)) continue;
        found += " " + dir + "/" + e->d_name;
    }
    closedir(d);
    return found;
}

std::string written_outside() {
    std::string found = strangers(top_dir, "a") + strangers(top_dir + "/a", "b") +
                        strangers(top_dir + "/a/b", "run");
    return found.empty() ? "" : "written outside the run directory:" + found;
}

// Standard input and output of one batch of runs, redirected and restored.
// Output goes to /dev/null, or to a scratch file when it is kept.
struct Console {
    int saved_in = -1, saved_out = -1;
    FILE* kept = nullptr;

    void begin(bool keep_output = false) {
        fflush(stdout);
        saved_out = dup(1);
        saved_in = dup(0);
        if (keep_output) kept = tmpfile();
        int fd = kept ? dup(fileno(kept)) : open("/dev/null", O_WRONLY);
        if (fd >= 0) {
            dup2(fd, 1);
            close(fd);
        }
    }
    // What the runs printed since the last call (nothing unless kept).
    std::string output() {
        fflush(stdout);
        std::string text;
        if (!kept) return text;
        off_t end = lseek(1, 0, SEEK_CUR);  // shared with the scratch file
        text.resize(end > 0 ? (size_t)end : 0);
        if (!text.empty() && pread(1, &text[0], text.size(), 0) != (ssize_t)text.size()) text.clear();
        if (ftruncate(1, 0) != 0 || lseek(1, 0, SEEK_SET) != 0) text += "<scratch output not reset>";
        return text;
    }
    // Gives the next run a standard input that holds answers and then ends.
    void answers(const char* text) {
        int p[2];
        if (pipe(p) != 0) return;
        size_t n = strlen(text);
        // A pipe holds far more than any answer text.
        ssize_t put = write(p[1], text, n);
        (void)put;
        close(p[1]);
        dup2(p[0], 0);
        close(p[0]);
        __fpurge(stdin);
        clearerr(stdin);
    }
    void end() {
        fflush(stdout);
        if (saved_out >= 0) {
            dup2(saved_out, 1);
            close(saved_out);
        }
        if (kept) fclose(kept);
        kept = nullptr;
        if (saved_in >= 0) {
            dup2(saved_in, 0);
            close(saved_in);
        }
        __fpurge(stdin);
        clearerr(stdin);
    }
};

using Runner = int (*)(int, char**);

struct InputFile {
    std::string name;
    std::string bytes;
};

// unbak's exit statuses: 0, a count of failed table reads, 8, or 9.
const int UNBAK_MAX_STATUS = 9;

// Appends every file and directory below dir to *out: its path, its mode
// and, for a file, its contents.
void list_tree(const std::string& dir, const std::string& rel, std::string* out) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string p = dir + "/" + n;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) continue;
        char mode[16];
        snprintf(mode, sizeof mode, " %o\n", (unsigned)st.st_mode);
        *out += rel + n + mode;
        if (S_ISDIR(st.st_mode)) {
            list_tree(p, rel + n + "/", out);
        } else if (S_ISREG(st.st_mode)) {
            int fd = open(p.c_str(), O_RDONLY);
            char buf[65536];
            ssize_t r;
            while (fd >= 0 && (r = read(fd, buf, sizeof buf)) > 0) out->append(buf, (size_t)r);
            if (fd >= 0) close(fd);
            *out += "\n";
        }
    }
}

// One run of a program in the run directory over fresh copies of its input
// files (a run may have overwritten them). With a transcript, what the run
// printed, its exit status and everything left in the run directory are
// appended to it. A status outside 0 to max_status is reported; a
// max_status of -1 takes any status.
std::string run_once(Runner main_fn, const char* program, const std::vector<InputFile>& files,
                     const std::vector<std::string>& args, const char* answers, Console& console,
                     std::string* transcript = nullptr, int max_status = -1) {
    empty_dir(run_dir);
    for (const InputFile& f : files)
        if (!write_whole(run_dir + "/" + f.name, (const uint8_t*)f.bytes.data(), f.bytes.size()))
            return "cannot write the input";
    std::vector<std::string> words;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);

    int home = open(".", O_RDONLY | O_DIRECTORY);
    if (home < 0 || chdir(run_dir.c_str()) != 0) {
        if (home >= 0) close(home);
        return "cannot enter the run directory";
    }
    console.answers(answers);
    int status = main_fn((int)words.size(), argv.data());
    fflush(stdout);
    int back = fchdir(home);
    close(home);
    if (back != 0) return "cannot return from the run directory";
    if (transcript) {
        for (const std::string& w : words) *transcript += w + " ";
        *transcript += "=> " + std::to_string(status) + "\n" + console.output() + "\n";
        list_tree(run_dir, "", transcript);
    }
    std::string bad = written_outside();
    empty_dir(run_dir);
    if (bad.empty() && max_status >= 0 && (status < 0 || status > max_status))
        bad = "exit status " + std::to_string(status) + " outside 0 to " + std::to_string(max_status);
    if (!bad.empty()) {
        std::string cmd;
        for (const std::string& w : words) cmd += " " + w;
        return bad + " (by" + cmd + ")";
    }
    return "";
}

}  // namespace

std::string replay_default_base() {
    if (const char* s = getenv("UNBAK_FUZZ_SCRATCH"))
        if (*s) return s;
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    const char* t = getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

bool replay_init(const std::string& base) {
    std::string tmpl = base + "/unbak-replay-XXXXXX";
    std::vector<char> b(tmpl.begin(), tmpl.end());
    b.push_back('\0');
    if (!mkdtemp(b.data())) return false;
    top_dir = b.data();
    for (const char* level : LEVELS)
        if (mkdir((top_dir + "/" + level).c_str(), 0700) != 0) return false;
    run_dir = top_dir + "/a/b/run";
    // Unbuffered, so no answer read ahead by one run is seen by the next.
    setvbuf(stdin, nullptr, _IONBF, 0);
    return true;
}

void replay_done() {
    if (top_dir.empty()) return;
    empty_dir(top_dir);
    rmdir(top_dir.c_str());
    top_dir.clear();
    run_dir.clear();
}

std::string replay_unbak(const uint8_t* data, size_t size, std::string* transcript,
                         bool fast_inflate) {
    if (run_dir.empty()) return "replay_init was not called";
    struct Mode {
        std::vector<std::string> args;
        const char* answers;
        bool disks;  // the numbered copies are there to be named
    };
    std::vector<InputFile> image = {{IMAGE_NAME, std::string((const char*)data, size)}};
    std::vector<InputFile> with_disks = image;
    for (int k = 1; k <= DISK_COPIES; k++) {
        InputFile copy = {"disk" + std::to_string(k) + ".bak", image[0].bytes};
        if (copy.bytes.size() >= (size_t)HDR_DISK_NUM + 2) {
            copy.bytes[HDR_DISK_NUM] = (char)k;
            copy.bytes[HDR_DISK_NUM + 1] = 0;
        }
        with_disks.push_back(copy);
    }
    const std::string show_table = "-vs" + std::to_string(1 + size % 7);
    const Mode modes[] = {
        {{IMAGE_NAME, "-x"}, "N\nimg.bak\nimg.bak\n\n", false},
        {{IMAGE_NAME, "-x"}, "N\ndisk1.bak\ndisk2.bak\ndisk3.bak\n\n", true},
        {{IMAGE_NAME, "-x", "-v", "-pC:\\D"}, "Y\n", false},
        {{IMAGE_NAME, "-l", "-v", "-vv", "-s2"}, "", false},
        {{IMAGE_NAME, show_table}, "", false},
        {{IMAGE_NAME, "-f", "-v"}, "", false},
        {{IMAGE_NAME, "-c"}, "", false},
    };
    Console console;
    console.begin(transcript != nullptr);
    std::string bad;
    for (const Mode& m : modes) {
        if (transcript && m.args[1] != "-x") continue;
        bad = run_once(fast_inflate ? unbak_main : unbak_main_exact, "unbak",
                       m.disks ? with_disks : image, m.args, m.answers, console, transcript,
                       UNBAK_MAX_STATUS);
        if (!bad.empty()) break;
    }
    // A run without arguments releases the last run's catalog and closes its
    // images, so every input ends with nothing held.
    if (bad.empty()) bad = run_once(unbak_main, "unbak", image, {}, "", console, nullptr, UNBAK_MAX_STATUS);
    console.end();
    return bad;
}

InProcessRun run_unbak_in(const std::string& dir, const std::vector<std::string>& args,
                          const std::string& answers, bool fast_inflate) {
    InProcessRun run = {"", -1};
    std::vector<std::string> words = {"unbak"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int home = open(".", O_RDONLY | O_DIRECTORY);
    if (home < 0) return run;
    if (chdir(dir.c_str()) == 0) {
        Console console;
        console.begin(true);
        console.answers(answers.c_str());
        Runner main_fn = fast_inflate ? unbak_main : unbak_main_exact;
        run.status = main_fn((int)words.size(), argv.data());
        run.out = console.output();
        console.end();
        // The images a run leaves open for its exit.
        plat_close_all();
    }
    if (fchdir(home) != 0) run.status = -1;
    close(home);
    return run;
}

void remove_below(const std::string& dir) {
    empty_dir(dir);
}

std::string replay_dbfscan(const uint8_t* data, size_t size) {
    if (run_dir.empty()) return "replay_init was not called";
    const std::string file = std::string("-f") + TABLE_NAME;
    const std::vector<std::string> modes[] = {{file}, {"-d", file}};
    const std::vector<InputFile> table = {{TABLE_NAME, std::string((const char*)data, size)}};
    Console console;
    console.begin();
    std::string bad;
    for (const std::vector<std::string>& args : modes) {
        bad = run_once(dbfscan_main, "dbfscan", table, args, "", console);
        if (!bad.empty()) break;
    }
    console.end();
    return bad;
}
