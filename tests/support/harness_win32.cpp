// Test support on Windows: child processes (CreateProcess with pipes),
// scratch directories and file status.
//
// Two things the platform does differently are turned into what the tests
// compare on every platform:
//   - a console program's stdout is in text mode, so each "\n" it prints
//     arrives as "\r\n": the captured output has every "\r\n" turned back
//     into "\n" (exactly the inverse: a "\r" the program printed itself
//     stays);
//   - an exit status is 32 bits wide, where a POSIX parent sees only the low
//     8 bits (a return of -1 is 255 there): the status is cut to those 8
//     bits, and a process ended by an exception (a status of the form
//     0xCxxxxxxx) gives 128 + SIGSEGV's number, as a crash would on POSIX.
#include "tests/support/harness.h"

#include <windows.h>

#include <direct.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <wchar.h>

#include <algorithm>
#include <string>

namespace {

// A host path as the Win32 calls like it best: backslash separators.
std::string backslashed(std::string p) {
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

// One argument quoted so the child's C runtime splits its command line back
// into exactly this text.
void append_arg(std::string& cmd, const std::string& arg) {
    if (!cmd.empty()) cmd += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        cmd += arg;
        return;
    }
    cmd += '"';
    for (size_t i = 0;; i++) {
        size_t slashes = 0;
        while (i < arg.size() && arg[i] == '\\') {
            i++;
            slashes++;
        }
        if (i == arg.size()) {
            cmd.append(slashes * 2, '\\');  // doubled before the closing quote
            break;
        }
        if (arg[i] == '"') {
            cmd.append(slashes * 2 + 1, '\\');
        } else {
            cmd.append(slashes, '\\');
        }
        cmd += arg[i];
    }
    cmd += '"';
}

// The parent's environment with TZ replaced, as one block of NUL-ended
// entries, sorted by name as CreateProcess wants it.
std::string environment_with_tz(const char* tz) {
    std::vector<std::string> entries;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* e = block; *e; e += strlen(e) + 1)
            if (_strnicmp(e, "TZ=", 3) != 0) entries.push_back(e);
        FreeEnvironmentStringsA(block);
    }
    entries.push_back(std::string("TZ=") + tz);
    std::sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    });
    std::string env;
    for (const std::string& e : entries) env += e + '\0';
    env += '\0';
    return env;
}

struct Feed {
    HANDLE pipe;
    const std::string* data;
};

struct Drain {
    HANDLE pipe;
    std::string text;
};

// Reads the child's stderr on its own thread to its end.
DWORD WINAPI drain_stderr(void* arg) {
    Drain* d = (Drain*)arg;
    char buf[65536];
    DWORD got;
    while (ReadFile(d->pipe, buf, sizeof buf, &got, NULL) && got > 0) d->text.append(buf, got);
    CloseHandle(d->pipe);
    return 0;
}

// Writes the child's stdin on its own thread, then closes it, while the
// caller drains stdout: neither side can block the other.
DWORD WINAPI feed_stdin(void* arg) {
    Feed* f = (Feed*)arg;
    size_t fed = 0;
    while (fed < f->data->size()) {
        DWORD chunk = (DWORD)std::min<size_t>(f->data->size() - fed, 65536);
        DWORD put = 0;
        if (!WriteFile(f->pipe, f->data->data() + fed, chunk, &put, NULL)) break;  // child gone
        fed += put;
    }
    CloseHandle(f->pipe);
    return 0;
}

std::string lf_line_ends(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

}  // namespace

RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& stdin_data, const std::string& cwd, const char* env_tz) {
    RunResult res{"", -1, ""};
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) {
        fprintf(stderr, "cannot make a pipe: error %lu\n", (unsigned long)GetLastError());
        return res;
    }
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
        fprintf(stderr, "cannot make a pipe: error %lu\n", (unsigned long)GetLastError());
        CloseHandle(in_read);
        CloseHandle(in_write);
        return res;
    }
    if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
        fprintf(stderr, "cannot make a pipe: error %lu\n", (unsigned long)GetLastError());
        CloseHandle(in_read);
        CloseHandle(in_write);
        CloseHandle(out_read);
        CloseHandle(out_write);
        return res;
    }
    // The parent's ends stay out of the child, or the pipes never end.
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

    std::string program = backslashed(exe);
    std::string cmd;
    append_arg(cmd, program);
    for (const std::string& a : args) append_arg(cmd, a);
    std::vector<char> cmd_buf(cmd.begin(), cmd.end());
    cmd_buf.push_back('\0');
    std::string env = env_tz ? environment_with_tz(env_tz) : std::string();
    std::string dir = backslashed(cwd);

    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    si.hStdError = err_write;
    PROCESS_INFORMATION pi;
    // A start that fails is said on stderr and tried twice more: it has
    // happened once in many runs under Wine, on a loaded machine.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; attempt++) {
        if (attempt > 0) Sleep(200);
        started = CreateProcessA(program.c_str(), cmd_buf.data(), NULL, NULL, TRUE, 0,
                                 env_tz ? (void*)env.data() : NULL, dir.c_str(), &si, &pi);
        if (!started)
            fprintf(stderr, "cannot run %s in %s: error %lu\n", program.c_str(), dir.c_str(),
                    (unsigned long)GetLastError());
    }
    CloseHandle(in_read);
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (!started) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        CloseHandle(err_read);
        return res;
    }
    Drain drain = {err_read, ""};
    HANDLE drainer = CreateThread(NULL, 0, drain_stderr, &drain, 0, NULL);
    if (!drainer) CloseHandle(err_read);

    Feed feed = {in_write, &stdin_data};
    HANDLE feeder = CreateThread(NULL, 0, feed_stdin, &feed, 0, NULL);
    if (!feeder) CloseHandle(in_write);
    std::string raw;
    char buf[65536];
    DWORD got;
    while (ReadFile(out_read, buf, sizeof buf, &got, NULL) && got > 0) raw.append(buf, got);
    CloseHandle(out_read);
    if (feeder) {
        WaitForSingleObject(feeder, INFINITE);
        CloseHandle(feeder);
    }
    if (drainer) {
        WaitForSingleObject(drainer, INFINITE);
        CloseHandle(drainer);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    res.out = lf_line_ends(raw);
    res.err = lf_line_ends(drain.text);
    res.status = (code & 0xF0000000u) == 0xC0000000u ? 128 + 11 : (int)(code & 0xFF);
    return res;
}

// ---- files, by long paths ----------------------------------------------------------

namespace {

// A path in the long form "\\?\<absolute path>" for the wide calls: a
// restored tree may be deeper than the 260 characters of a plain path. Names
// are taken in the ANSI code page, as the programs' narrow calls take them.
std::wstring long_form(const std::string& path) {
    std::wstring w(path.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &w[0], (int)w.size());
    w.resize(n > 0 ? (size_t)n - 1 : 0);
    std::replace(w.begin(), w.end(), L'/', L'\\');
    if (w.compare(0, 4, L"\\\\?\\") == 0) return w;
    DWORD need = GetFullPathNameW(w.c_str(), 0, NULL, NULL);
    if (need == 0) return w;
    std::wstring full(need, L'\0');
    full.resize(GetFullPathNameW(w.c_str(), need, &full[0], NULL));
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string narrow(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_ACP, 0, w, -1, NULL, 0, NULL, NULL);
    if (n <= 0) return "";
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, 0, w, -1, &s[0], n, NULL, NULL);
    s.resize((size_t)n - 1);
    return s;
}

bool is_dot_entry(const wchar_t* name) {
    return !wcscmp(name, L".") || !wcscmp(name, L"..");
}

std::string read_long(const std::wstring& path) {
    std::string bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
    return bytes;
}

void remove_tree(const std::wstring& p) {
    DWORD attr = GetFileAttributesW(p.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) return;
    // Read-only files and directories cannot be removed.
    SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attr & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW e;
        HANDLE h = FindFirstFileW((p + L"\\*").c_str(), &e);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                if (!is_dot_entry(e.cFileName)) remove_tree(p + L"\\" + e.cFileName);
            } while (FindNextFileW(h, &e));
            FindClose(h);
        }
        RemoveDirectoryW(p.c_str());
    } else {
        DeleteFileW(p.c_str());
    }
}

void walk(const std::wstring& dir, const std::string& rel,
          std::map<std::string, std::string>& out) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        if (is_dot_entry(e.cFileName)) continue;
        std::string name = narrow(e.cFileName);
        std::string r = rel.empty() ? name : rel + "/" + name;
        std::wstring path = dir + L"\\" + e.cFileName;
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[r + "/"] = "";
            walk(path, r, out);
        } else {
            out[r] = read_long(path);
        }
    } while (FindNextFileW(h, &e));
    FindClose(h);
}

}  // namespace

TempDir::TempDir() {
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    if (n > 0 && n <= MAX_PATH) {
        std::string dir(base, n);
        if (dir.back() == '\\') dir.pop_back();
        // Unique by process and by a count of the tries.
        static unsigned counter = 0;
        for (int tries = 0; tries < 100; tries++) {
            std::string p = dir + "\\unbak-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(counter++);
            if (_mkdir(p.c_str()) == 0) {
                path = p;
                return;
            }
        }
    }
    // Without it every relative name would land in the drive's root.
    fprintf(stderr, "cannot make a scratch directory\n");
    abort();
}

TempDir::~TempDir() {
    if (!path.empty()) remove_tree(long_form(path));
}

bool TempDir::exists(const std::string& rel) const {
    return GetFileAttributesW(long_form(file(rel)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void TempDir::mkdir(const std::string& rel) const {
    _wmkdir(long_form(file(rel)).c_str());
}

std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> out;
    walk(long_form(root), "", out);
    return out;
}

std::string read_file(const std::string& path) {
    return read_long(long_form(path));
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = _wfopen(long_form(path).c_str(), L"wb");
    if (!f) return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// ---- file status -------------------------------------------------------------------

int64_t mtime_of(const std::string& path) {
    struct _stat64 st;
    if (_wstat64(long_form(path).c_str(), &st) != 0) return -1;
    return (int64_t)st.st_mtime;
}

// The C runtime's mode: 0444 for a read-only file, 0666 for any other (the
// owner's bits copied to group and others), 0111 more for programs.
unsigned mode_of(const std::string& path) {
    struct _stat64 st;
    if (_wstat64(long_form(path).c_str(), &st) != 0) return 0;
    return (unsigned)(st.st_mode & 07777);
}

// ---- environment -------------------------------------------------------------------

void set_env(const char* name, const char* value) {
    _putenv_s(name, value ? value : "");  // an empty value removes the variable
}
