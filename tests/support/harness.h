// Test support: run the programs as child processes in a scratch directory
// and look at what they left behind.
#ifndef TESTS_SUPPORT_HARNESS_H
#define TESTS_SUPPORT_HARNESS_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// UNDER_ASAN is defined in a build with AddressSanitizer (whose allocator
// and address-space limits some tests must step around).
#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

struct RunResult {
    std::string out;  // everything written to stdout
    int status;       // exit status, or 128 + signal number
    std::string err;  // everything written to stderr (run_program only)
};

// Runs exe with args in cwd; stdin_data is fed through a pipe which is then
// closed (so an empty string means a closed stdin); stdout and stderr are
// captured apart. env_tz, when set, is the TZ of the child. On Windows the output has its "\r\n" line ends turned
// back into "\n", and the status is cut to 8 bits as on POSIX (see
// harness_win32.cpp).
RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& stdin_data, const std::string& cwd,
                      const char* env_tz = "UTC");
RunResult run_unbak(const std::string& cwd, const std::vector<std::string>& args,
                    const std::string& stdin_data = "");
RunResult run_dbfscan(const std::string& cwd, const std::vector<std::string>& args);

#ifndef _WIN32
// A run whose stdin stays open until finish(): the test looks at what the
// program has left on disk while it waits at a prompt. POSIX only.
struct LiveRun {
    // Starts exe with args in cwd (TZ=UTC) and writes stdin_data (a few
    // answers: it must fit in the pipe) to its stdin.
    LiveRun(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd,
            const std::string& stdin_data);
    ~LiveRun();
    LiveRun(const LiveRun&) = delete;
    LiveRun& operator=(const LiveRun&) = delete;
    // Reads stdout until it holds text, or until the program ends or the
    // seconds pass; true when the text appeared.
    bool wait_for(const std::string& text, int seconds = 30);
    // Closes stdin, reads the rest of stdout and waits for the program.
    RunResult finish();
    std::string out;  // stdout so far

  private:
    int pid_ = -1, in_ = -1, out_ = -1;
};
#endif

// A fresh directory under the system's temp directory, removed (with
// everything in it, write bits restored first) when the object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& rel) const { return path + "/" + rel; }
    void write(const std::string& rel, const std::string& bytes) const;
    std::string read(const std::string& rel) const;
    bool exists(const std::string& rel) const;
    void mkdir(const std::string& rel) const;
};

// Runs the rest of a scope in dir (for in-process calls that take paths
// relative to the current directory), and goes back at its end.
struct InDir {
    char saved[4096];
    explicit InDir(const std::string& dir);
    ~InDir();
    InDir(const InDir&) = delete;
    InDir& operator=(const InDir&) = delete;
};

// Every file and directory below root, relative, '/'-separated; directories
// end in '/'. Values are file contents (empty for directories).
std::map<std::string, std::string> tree_of(const std::string& root);

// Stat helpers for restored files.
int64_t mtime_of(const std::string& path);
unsigned mode_of(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// Sets an environment variable of this process; a null value removes it.
void set_env(const char* name, const char* value);

#endif
