// Test support on POSIX: child processes (fork, pipes), scratch
// directories and file status.
#include "tests/support/harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

// Starts exe in cwd with its stdin and stdout (and stderr, when err is not
// null) on pipes; *in, *out and *err get the parent's ends. The child's
// pid, or -1.
static pid_t spawn(const std::string& exe, const std::vector<std::string>& args,
                   const std::string& cwd, const char* env_tz, int* in, int* out,
                   int* err = nullptr) {
    int in_pipe[2], out_pipe[2], err_pipe[2] = {-1, -1};
    if (pipe(in_pipe) != 0) return -1;
    if (pipe(out_pipe) != 0 || (err && pipe(err_pipe) != 0)) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        if (err_pipe[0] >= 0) {
            close(out_pipe[0]);
            close(out_pipe[1]);
        }
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        if (err) {
            dup2(err_pipe[1], 2);
            close(err_pipe[0]);
            close(err_pipe[1]);
        }
        close(in_pipe[0]);
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(out_pipe[1]);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        if (env_tz)
            setenv("TZ", env_tz, 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    if (err) close(err_pipe[1]);
    if (pid < 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        if (err) close(err_pipe[0]);
        return -1;
    }
    *in = in_pipe[1];
    *out = out_pipe[0];
    if (err) *err = err_pipe[0];
    return pid;
}

static int status_of(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& stdin_data, const std::string& cwd, const char* env_tz) {
    RunResult res{"", -1, ""};
    int in_fd, out_fd, err_fd;
    pid_t pid = spawn(exe, args, cwd, env_tz, &in_fd, &out_fd, &err_fd);
    if (pid < 0) return res;
    // Feed stdin and drain stdout together so neither side blocks.
    size_t fed = 0;
    bool in_open = true;
    if (stdin_data.empty()) {
        close(in_fd);
        in_open = false;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    char buf[65536];
    // Both outputs drained until both end.
    while (out_fd >= 0 || err_fd >= 0) {
        if (in_open) {
            ssize_t w = write(in_fd, stdin_data.data() + fed, stdin_data.size() - fed);
            if (w > 0) fed += (size_t)w;
            if (fed == stdin_data.size() || (w < 0 && errno != EAGAIN)) {
                close(in_fd);
                in_open = false;
            }
        }
        fd_set rd;
        FD_ZERO(&rd);
        if (out_fd >= 0) FD_SET(out_fd, &rd);
        if (err_fd >= 0) FD_SET(err_fd, &rd);
        struct timeval tv = {0, in_open ? 10000 : 500000};
        int top = out_fd > err_fd ? out_fd : err_fd;
        if (select(top + 1, &rd, nullptr, nullptr, &tv) <= 0) continue;
        for (int* fd : {&out_fd, &err_fd}) {
            if (*fd < 0 || !FD_ISSET(*fd, &rd)) continue;
            ssize_t r = read(*fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                close(*fd);
                *fd = -1;
                continue;
            }
            (fd == &out_fd ? res.out : res.err).append(buf, (size_t)r);
        }
    }
    if (in_open) close(in_fd);
    res.status = status_of(pid);
    return res;
}

LiveRun::LiveRun(const std::string& exe, const std::vector<std::string>& args,
                 const std::string& cwd, const std::string& stdin_data) {
    pid_ = spawn(exe, args, cwd, "UTC", &in_, &out_);
    if (pid_ < 0) return;
    size_t fed = 0;
    while (fed < stdin_data.size()) {
        ssize_t w = write(in_, stdin_data.data() + fed, stdin_data.size() - fed);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        fed += (size_t)w;
    }
}

LiveRun::~LiveRun() {
    if (pid_ > 0) finish();
}

bool LiveRun::wait_for(const std::string& text, int seconds) {
    struct timeval end, now;
    gettimeofday(&end, nullptr);
    end.tv_sec += seconds;
    char buf[65536];
    while (out.find(text) == std::string::npos && out_ >= 0) {
        gettimeofday(&now, nullptr);
        if (!timercmp(&now, &end, <)) return false;
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(out_, &rd);
        struct timeval tv = {0, 100000};
        if (select(out_ + 1, &rd, nullptr, nullptr, &tv) <= 0) continue;
        ssize_t r = read(out_, buf, sizeof buf);
        if (r <= 0) {  // the program is gone
            close(out_);
            out_ = -1;
            break;
        }
        out.append(buf, (size_t)r);
    }
    return out.find(text) != std::string::npos;
}

RunResult LiveRun::finish() {
    RunResult res{out, -1, ""};
    if (pid_ < 0) return res;
    if (in_ >= 0) close(in_);
    in_ = -1;
    char buf[65536];
    ssize_t r;
    while (out_ >= 0 && ((r = read(out_, buf, sizeof buf)) > 0 || (r < 0 && errno == EINTR)))
        if (r > 0) out.append(buf, (size_t)r);
    if (out_ >= 0) close(out_);
    out_ = -1;
    res.out = out;
    res.status = status_of(pid_);
    pid_ = -1;
    return res;
}

static void remove_tree(const std::string& p) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(p.c_str(), 0700);
        if (DIR* d = opendir(p.c_str())) {
            while (dirent* e = readdir(d)) {
                if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
                remove_tree(p + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(p.c_str());
    } else {
        unlink(p.c_str());
    }
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/unbak-test-XXXXXX";
    std::vector<char> b(tmpl.begin(), tmpl.end());
    b.push_back('\0');
    if (!mkdtemp(b.data())) {
        // Without a scratch directory every relative path would land in /.
        fprintf(stderr, "cannot create a scratch directory from %s\n", tmpl.c_str());
        abort();
    }
    path = b.data();
}

TempDir::~TempDir() {
    if (!path.empty()) remove_tree(path);
}

bool TempDir::exists(const std::string& rel) const {
    struct stat st;
    return lstat(file(rel).c_str(), &st) == 0;
}
void TempDir::mkdir(const std::string& rel) const { ::mkdir(file(rel).c_str(), 0755); }

static void walk(const std::string& root, const std::string& rel, std::map<std::string, std::string>& out) {
    DIR* d = opendir((root + (rel.empty() ? "" : "/" + rel)).c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        std::string r = rel.empty() ? e->d_name : rel + "/" + e->d_name;
        struct stat st;
        if (lstat((root + "/" + r).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            out[r + "/"] = "";
            walk(root, r, out);
        } else {
            out[r] = read_file(root + "/" + r);
        }
    }
    closedir(d);
}

std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> out;
    walk(root, "", out);
    return out;
}

int64_t mtime_of(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return (int64_t)st.st_mtime;
}

unsigned mode_of(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return (unsigned)(st.st_mode & 07777);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
}

void set_env(const char* name, const char* value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}
