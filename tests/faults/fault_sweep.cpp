// fault_sweep: every failure path of unbak, dbfscan and bak that the OS
// layer can open. For each run below, each kind of OS-layer call
// (platform/faults.h) and each way it can fail, the Nth call of that kind
// fails, for every N from 1 until a run ends without reaching the Nth call:
//   - a 3-disk compressed restore answered on stdin (N and the disk names),
//   - a 2-disk stored restore with -p, answered the same way,
//   - -l -v, -c, -vs1 to -vs7 and -f -v on the last disk of the compressed
//     set, and -x there answered Y, and -x -pC:\Docs answered as above,
//   - a one-disk set of stored groups restored with -s2,
//   - dbfscan -d on a stand-alone Files table,
//   - bak test and bak extract --salvage on the 3-disk compressed set, and
//     bak extract on the stored set, on one thread; bak extract on the
//     compressed set on four; bak convert --salvage (where it is built) and
//     bak tables --dbf on the compressed set.
// The programs run in-process (unbak_main, dbfscan_main, bak_main) in a
// scratch directory three levels below a private top directory, with
// standard output (and for bak standard error, where its messages go)
// captured to a file and standard input a pipe holding the answers.
//
// Each run must
//   - end, without a crash or a hang (a run gets 10 seconds);
//   - leave no heap block of ours allocated once the next run has released
//     the last one's catalog (the fault switch counts them; LeakSanitizer
//     checks at exit, in a sanitized build, or after every run with
//     --lsan-each), and no handle of the OS layer open;
//   - write nothing outside its directory;
//   - print what the clean run prints up to the moment of the failure, and
//     after it one of the programs' failure messages (FAILURE_TEXTS below),
//     unless the failure was absorbed: same status, output and files as the
//     clean run;
//   - end with the status the failure calls for: the number of failed table
//     reads when there are any, 8 when the run stopped (STOP_TEXTS), else
//     0; and with 0 the restored files must be those of the clean run.
//     dbfscan's status is the result it prints. bak's messages are its
//     own: a failure it does not absorb must end with status 1 or 2, or
//     with 0 and something said and the clean run's files.
// Findings whose root lies in code this sweep may not change yet are listed
// in KNOWN_FINDINGS; they are reported but do not fail the sweep.
//
//   fault_sweep [-v] [--run NAME]... [--kind KIND]... [--every N] [--stride S]
//               [--show N] [--lsan-each]
//
// --run and --kind pick runs and kinds (names as in the summary); --every N
// (default: all) sweeps N = 1..N, then every S-th N (--stride, default 7)
// until the run ends without reaching it. -v prints the tally of each run
// and kind and every finding, known ones too; --show N prints the output of
// the runs whose Nth call failed. Exit status 0 when nothing but known
// findings turned up.
#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define SWEEP_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SWEEP_LSAN 1
#endif
#endif
#ifdef SWEEP_LSAN
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

#include "check/bak.h"
#include "inspect/dbfscan.h"
#include "platform/faults.h"
#include "platform/handles.h"
#include "restore/restore.h"
#include "tools/imgwriter.h"

namespace {

// ---- the programs' messages ----------------------------------------------------------

// A table read that failed: the front end counts these for its status.
// "\nError %d reading <table>" is matched in table_failures().
const char* const TABLE_FAILURE_TEXTS[] = {
    "\nfailed to read job data",
    "\nfailed to read session data",
};
const char* const TABLE_ERROR_NAMES[] = {" reading Disks", " reading Dirs", " reading Files",
                                         " reading Comp, can't decompress data", " reading Paths"};

// What makes a listing or restore that went to its end "not as recorded":
// status 9 instead of 0.
const char* const NOT_AS_RECORDED_TEXTS[] = {
    "\nerror setting file: ",
    "\nwarning decompressed block data length mismatch! ",
    "\nwarning decompressed data crc=",
    "\nwarning output file length mismatch after extraction! ",
    "\nunsafe file name, data skipped: ",
    "\nduplicate output name, data skipped: ",
    " has no name, data skipped",
};

// Failures after which the run does not do what was asked: status 8.
const char* const STOP_TEXTS[] = {
    // the run's copy buffer
    " bytes for the copy buffer\n",
    // the image header (of the catalog disk, or of a disk typed at the prompt)
    "\nfailed to read a valid Tarnel Backup file header from target file\n",
    "\nfailed to open target file: ",
    "\nfailed to read file header",
    "\nbig endian file header signature != 0x",
    " bytes for name string",
    "\nnew header data does not match catalog header",
    "\n seek error reaching EOF to establish available data space",
    // the walk over the files
    "\nfatal error, could not step ahead to file record # ",
    "\nfatal error seeking to start of file data at 0x200\n",
    "\nabort check_alloc() returned ",
    "\nfatal error seeking to start of 2nd file data at 0x",
    "\nfailed to open output file: ",
    "\nio error writing file ",
    "\nfatal error, end Comp records for file ",
    "\nfatal error comp_lvl = ",
    "\nfatal error allocating decompression buffer",
    "\nio error reading file ",
    "\nraw write error",
    "\nfatal decompression error",
    "\nseek error in skip_file()",
    // the catalog save
    " for catalog file output",
    "\nfailed to write new header in save_cat()",
    "\nseek to catalog start at 0x",
    "\nerror saving catalog file",
};

// The region location's failures: they stop a run in catalog mode (-x, -l,
// -vs#); elsewhere they only report.
const char* const REGION_STOP_TEXTS[] = {
    "\nfatal seek error, could not reach start offset when started at 0x",
    "\nFailed to reach next structure when search started at offset 0x",
    "\nabort, skip_struct(",
    "\nabort: field validation failed for structure ",
};

// Every other message that reports a failure (the status does not depend on
// them). "has no name, data skipped" is not among them: it describes the
// catalog, and a failure that shows only as that message is hidden.
const char* const FAILURE_TEXTS[] = {
    // table readers
    "\nfailed to get # of records in ",
    "\nfailed to allocate space for ",
    "\npath node allocation error",
    "\nstring allocation error in read_paths()",
    "\nfailed to read Paths data section",
    "\nfailed to read Comp data section",
    "\nallocation error",
    "\nread_comp() failed to scan rec ",
    "\nfatal error failed to read headers in get_job()",
    "\nfatal error, invalid header region in get_job()",
    "\nfailed to read 1st data record in get_job()",
    "\ninvalid 1st record",
    "\ndata region read error, or not terminated by 0x1a in get_job()",
    "\nfatal error failed to read headers in get_sess()",
    "\nfatal error get_sess(), invalid header region",
    "\nfailed to read 1st data record in get_sess()",
    "\ncalloc() error in get_sess()",
    "\nfatal read error in get_sess() failed to ",
    "\ncan not continue, error parsing catalog\n",
    // regions and schemas
    "\nread error no valid 1st 'SERIAL' field found",
    "\nread error in structure header region after ",
    "\nabort structure data size ",
    "\ninvalid structure header region ",
    "\nabort in skip_struct() at offset ",
    "?\nfatal seek error, could not reach start offset\n",
    "\nread error searching for terminators\n",
    "\nfailed to find 0x1A terminator",
    "\nwarning num ",
    "\nmismatch in # of fields ",
    "\nmismatch in total size of data element ",
    " len mismatch ",
    " mis match, should not be ",
    "\nvalidation error: ",
    // restore
    "\nerror setting file: ",
    "\nfailed to create directory",
    "\nWarning directory already exists",
    " error in mk_path_str()",
    "\nabort no disks or dirs data loaded",
    "\nabort either no path data or no file data",
    "\nreached end of comp chain while there is still file data",
    " in inflateInit2",
    " in raw inflate()",
    "\nerror writing output wrote ",
    "\nwarning decompressed block data length mismatch! ",
    "\nwarning decompressed data crc=",
    "\nwarning output file length mismatch after extraction! ",
    " - warning avail = ",
    "\ntry again, invalid response:",
    // dbfscan
    "\nopen failed for ",
    "\nerror seeking to file offset 0x",
    "\ninvalid region, first field not named 'SERIAL'",
    "read error obtaining structure definition, read ",
    "\nBUFSZ < ",
    "\nfailed to seek ",
    "\nwarning ndat from header ",
    "\ndata read error for entry ",
};

bool has_text(const std::string& s, size_t from, const char* text) {
    return s.find(text, from) != std::string::npos;
}

template <size_t N>
bool has_any(const std::string& s, size_t from, const char* const (&texts)[N]) {
    for (const char* t : texts)
        if (has_text(s, from, t)) return true;
    return false;
}

// The failed table reads the output reports.
int table_failures(const std::string& out) {
    int n = 0;
    for (const char* t : TABLE_FAILURE_TEXTS)
        for (size_t at = out.find(t); at != std::string::npos; at = out.find(t, at + 1)) n++;
    for (size_t at = out.find("\nError "); at != std::string::npos;
         at = out.find("\nError ", at + 1)) {
        size_t p = at + 7;
        if (p < out.size() && out[p] == '-') p++;
        size_t digits = p;
        while (p < out.size() && out[p] >= '0' && out[p] <= '9') p++;
        if (p == digits) continue;
        for (const char* name : TABLE_ERROR_NAMES)
            if (out.compare(p, strlen(name), name) == 0) n++;
    }
    return n;
}

// dbfscan's status: the result it prints (-999 when it prints none).
int printed_result(const std::string& out) {
    size_t r = out.rfind("\nparse_region() returned ");
    return r == std::string::npos ? -999 : atoi(out.c_str() + r + 25);
}

// ---- the inputs and the runs ------------------------------------------------------------

struct InputFile {
    std::string name;
    std::string bytes;
};

enum Program { UNBAK, DBFSCAN, BAK };

struct RunPlan {
    std::string name;
    Program program;
    std::vector<std::string> args;
    std::string answers;
    const std::vector<InputFile>* inputs;
    bool catalog_mode;  // -x, -l or -vs#: the region location's failures stop it
};

std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(seed >> 16);
    }
    return s;
}

std::string text(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = i % 40 == 39 ? '\n' : (char)('a' + (seed >> 16) % 26);
    }
    return s;
}

// A small tree: files at the root and two levels down, one read-only, one
// empty, one spanning several groups and disks.
std::vector<imgw::SourceFile> source_tree() {
    imgw::SourceFile a{"Data", "a.txt", "alpha\n"};
    imgw::SourceFile b{"Data\\Sub", "b.bin", noise(2600, 7)};
    imgw::SourceFile c{"", "empty.txt", ""};
    imgw::SourceFile d{"Docs", "note.txt", text(900, 3)};
    d.attrib = 0x124;  // read-only
    d.date = "19991231235959";
    imgw::SourceFile e{"Data", "c.txt", text(1500, 11)};
    return {a, b, c, d, e};
}

// The images of the tree as a set, named <prefix>1.img, ...; a big file
// adds a group larger than the first size of a group buffer.
std::vector<InputFile> set_images(const std::string& prefix, bool compressed, int64_t capacity,
                                  size_t want_disks, int comp_lvl = 4, bool big_file = false) {
    imgw::SetOptions o;
    o.compressed = compressed;
    o.comp_lvl = comp_lvl;
    o.group_size = big_file ? 128 * 1024 : 1024;
    o.disk_capacity = capacity;
    std::vector<imgw::SourceFile> tree = source_tree();
    if (big_file) tree.push_back({"Data", "big.bin", noise(70000, 5)});
    std::vector<std::string> images = imgw::layout_images(imgw::plan_set(tree, o));
    if (images.size() != want_disks) {
        fprintf(stderr, "fault_sweep: the %s set has %zu disks, not %zu\n", prefix.c_str(),
                images.size(), want_disks);
        exit(2);
    }
    std::vector<InputFile> files;
    for (size_t i = 0; i < images.size(); i++)
        files.push_back({prefix + std::to_string(i + 1) + ".img", images[i]});
    return files;
}

std::vector<InputFile> table_file() {
    std::vector<imgw::File> files;
    for (int i = 1; i <= 6; i++) {
        imgw::File f;
        f.serial = i;
        f.size_lo = 100 * i;
        f.name = "file" + std::to_string(i) + ".txt";
        files.push_back(f);
    }
    return {{"files.dbf", imgw::encode_region(imgw::files_region(files))}};
}

// ---- the scratch area -------------------------------------------------------------------

// top/out.txt holds a run's output; top/a/b/run is where it runs.
std::string top_dir, run_dir, out_path;

bool make_scratch() {
    const char* base = getenv("TMPDIR");
    std::string b = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : base && *base ? base : "/tmp";
    std::string tmpl = b + "/unbak-faults-XXXXXX";
    std::vector<char> t(tmpl.begin(), tmpl.end());
    t.push_back('\0');
    if (!mkdtemp(t.data())) return false;
    top_dir = t.data();
    run_dir = top_dir + "/a/b/run";
    out_path = top_dir + "/out.txt";
    return mkdir((top_dir + "/a").c_str(), 0700) == 0 &&
           mkdir((top_dir + "/a/b").c_str(), 0700) == 0 && mkdir(run_dir.c_str(), 0700) == 0;
}

// Removes everything below dir, write and search bits restored first.
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

void remove_scratch() {
    if (top_dir.empty()) return;
    empty_dir(top_dir);
    rmdir(top_dir.c_str());
}

// What lies in dir besides the entries allowed.
std::string strangers(const std::string& dir, const char* allowed1, const char* allowed2 = "") {
    std::string found;
    DIR* d = opendir(dir.c_str());
    if (!d) return " " + dir + " is gone";
    while (dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (!strcmp(n, ".") || !strcmp(n, "..") || !strcmp(n, allowed1) || !strcmp(n, allowed2))
            continue;
        found += " " + dir + "/" + n;
    }
    closedir(d);
    return found;
}

std::string written_outside() {
    return strangers(top_dir, "a", "out.txt") + strangers(top_dir + "/a", "b") +
           strangers(top_dir + "/a/b", "run");
}

// What a run left in its directory: per path (directories end in '/'), the
// contents, and the mode and time.
struct Entry {
    std::string bytes;
    unsigned mode;
    int64_t mtime;
};
using Tree = std::map<std::string, Entry>;

std::string slurp(const std::string& path) {
    std::string s;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, (size_t)n);
    close(fd);
    return s;
}

void scan_tree(const std::string& dir, const std::string& rel, Tree* tree) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        std::string p = dir + "/" + e->d_name;
        std::string r = rel + e->d_name;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) continue;
        Entry entry = {"", (unsigned)(st.st_mode & 07777), (int64_t)st.st_mtime};
        if (S_ISDIR(st.st_mode)) {
            entry.mtime = 0;  // changes with what is made inside
            (*tree)[r + "/"] = entry;
            scan_tree(p, r + "/", tree);
        } else {
            entry.bytes = slurp(p);
            (*tree)[r] = entry;
        }
    }
    closedir(d);
}

// The time of the input files; times from the start of the sweep on are
// those of files made by a run without a time of their own (the catalog
// file), which differ from run to run.
const time_t INPUT_TIME = 1000000000;
time_t sweep_start;

// Whether two runs left the same files. Directories count only with_dirs
// (a run that reported a directory it could not create lacks it), modes and
// times only with_meta (a run that reported a time or mode it could not
// set).
bool same_contents(const Tree& a, const Tree& b, bool with_meta, bool with_dirs = true) {
    auto next = [&](const Tree& t, Tree::const_iterator i) {
        while (!with_dirs && i != t.end() && i->first.back() == '/') ++i;
        return i;
    };
    auto i = next(a, a.begin()), j = next(b, b.begin());
    for (; i != a.end() && j != b.end(); i = next(a, ++i), j = next(b, ++j)) {
        if (i->first != j->first || i->second.bytes != j->second.bytes) return false;
        bool own_time = i->second.mtime < sweep_start && j->second.mtime < sweep_start;
        if (with_meta &&
            (i->second.mode != j->second.mode || (own_time && i->second.mtime != j->second.mtime)))
            return false;
    }
    return i == a.end() && j == b.end();
}

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n - 1;  // the one opendir holds
}

// ---- one run ------------------------------------------------------------------------------

// Names of the kinds, in FaultKind order.
const char* const KIND_NAMES[FAULT_KIND_COUNT] = {
    "open", "read",  "write",     "seek",         "close",
    "stat", "mkdir", "set-times", "set-writable", "alloc",
};
// The ways each kind fails (platform/faults.h), with their names.
struct Way {
    int way;
    const char* name;
};
std::vector<Way> ways_of(int kind) {
    switch (kind) {
    case FAULT_READ:
        return {{FAULT_HALF, "half"}, {FAULT_EMPTY, "nothing"}};
    case FAULT_WRITE:
        return {{FAULT_HALF, "half"}, {FAULT_EMPTY, "-1"}};
    case FAULT_SEEK:
        return {{FAULT_ASTRAY, "astray"}, {FAULT_FAILS, "-1"}};
    default:
        return {{FAULT_FAILS, "fails"}};
    }
}

// The case being run, for a crash or a hang to name.
char current_case[256] = "setting up";

void say_case(const char* what) {
    char line[400];
    int n = snprintf(line, sizeof line, "\nfault_sweep: %s during: %s\n", what, current_case);
    ssize_t w = write(2, line, n > 0 ? (size_t)n : 0);
    (void)w;
}

void on_alarm(int) {
    say_case("a run hung");
    _exit(3);
}

void on_crash(int sig) {
    say_case("a crash");
    signal(sig, SIG_DFL);
    raise(sig);
}

#ifdef SWEEP_LSAN
void on_sanitizer_death() {
    say_case("a sanitizer error");
}
#endif

// Output written before the failure: set by the strike hook.
int64_t output_at_strike = -1;

void note_output(void) {
    fflush(stdout);
    output_at_strike = lseek(1, 0, SEEK_CUR);
}

struct Outcome {
    int status = 0;
    std::string out;
    bool struck = false;
    void* site = nullptr;
    int64_t strike_at = -1;  // output length at the failure
    int32_t calls[FAULT_KIND_COUNT] = {};
    int handles_left = 0;      // OS-layer handles open after the run
    int descriptors_left = 0;  // descriptors more than before it
    std::string outside;       // written outside the run directory
    int64_t blocks_left = 0;   // heap blocks more than before, once released
    bool leaked = false;       // LeakSanitizer found memory lost
    Tree tree;
};

// LeakSanitizer's check after every run (--lsan-each): slow, and the block
// count finds the same leaks. Without it LeakSanitizer checks once, at exit.
bool check_each_run_for_leaks = false;

int saved_stdout = -1, saved_stdin = -1, saved_stderr = -1;

// Standard input: a pipe that holds the answers and then ends.
void give_answers(const std::string& answers) {
    int p[2];
    if (pipe(p) != 0) return;
    ssize_t put = write(p[1], answers.data(), answers.size());
    (void)put;
    close(p[1]);
    dup2(p[0], 0);
    close(p[0]);
    __fpurge(stdin);
    clearerr(stdin);
}

int call_program(Program program, std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int argc = (int)words.size();
    return program == UNBAK  ? unbak_main(argc, argv.data())
           : program == BAK ? bak_main(argc, argv.data())
                            : dbfscan_main(argc, argv.data());
}

// Runs plan with the nth call of kind failing in the given way (nth 0: a
// clean run that only counts).
Outcome run_case(const RunPlan& plan, int kind, int way, int32_t nth) {
    Outcome o;
    empty_dir(run_dir);
    for (const InputFile& f : *plan.inputs)
        if (!imgw::write_bytes(run_dir + "/" + f.name, f.bytes)) {
            fprintf(stderr, "fault_sweep: cannot write %s\n", f.name.c_str());
            exit(2);
        }
    // Inputs of one time, so that two runs' trees compare equal.
    for (const InputFile& f : *plan.inputs) {
        struct timespec t[2] = {{INPUT_TIME, 0}, {INPUT_TIME, 0}};
        utimensat(AT_FDCWD, (run_dir + "/" + f.name).c_str(), t, 0);
    }
    std::vector<std::string> words = {plan.program == UNBAK ? "unbak"
                                      : plan.program == BAK ? "bak"
                                                            : "dbfscan"};
    words.insert(words.end(), plan.args.begin(), plan.args.end());

    fflush(stdout);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    dup2(out, 1);
    // bak's messages, in their order among its output.
    if (plan.program == BAK) dup2(out, 2);
    close(out);
    give_answers(plan.answers);
    int descriptors = open_descriptors();
    int64_t blocks = faults_live_blocks();
    output_at_strike = -1;

    if (chdir(run_dir.c_str()) != 0) {
        fprintf(stderr, "fault_sweep: cannot enter %s\n", run_dir.c_str());
        exit(2);
    }
    alarm(10);
    faults_arm((FaultKind)kind, way, nth);
    o.status = call_program(plan.program, words);
    faults_disarm();
    alarm(0);
    fflush(stdout);
    fflush(stderr);
    dup2(saved_stderr, 2);
    if (chdir(top_dir.c_str()) != 0) exit(2);

    o.struck = faults_struck();
    o.site = faults_strike_site();
    o.strike_at = output_at_strike;
    for (int k = 0; k < FAULT_KIND_COUNT; k++) o.calls[k] = faults_calls((FaultKind)k);
    o.handles_left = handles_open();
    o.descriptors_left = open_descriptors() - descriptors;
    o.out = slurp(out_path);
    // bak's summary says how long the run took: its digits are not
    // compared (they stay as many, so offsets into the output hold).
    for (size_t at = o.out.find(" bytes in "); at != std::string::npos;
         at = o.out.find(" bytes in ", at + 1))
        for (size_t i = at + 10; i < o.out.size() && (isdigit((unsigned char)o.out[i]) || o.out[i] == '.'); i++)
            if (o.out[i] != '.') o.out[i] = '0';
    o.outside = written_outside();
    scan_tree(run_dir, "", &o.tree);

    // A run without arguments releases the catalog the last one kept, so
    // what is still allocated now was lost.
    if (plan.program == UNBAK) call_program(UNBAK, {"unbak"});
    fflush(stdout);
    o.blocks_left = faults_live_blocks() - blocks;
#ifdef SWEEP_LSAN
    if (check_each_run_for_leaks) o.leaked = __lsan_do_recoverable_leak_check() != 0;
#endif
    return o;
}

// ---- judging a run ----------------------------------------------------------------------

// What a run can show. A crash or a hang ends the sweep itself, naming the
// run (current_case).
enum FindingType { LEAK, HANDLE, OUTSIDE, EARLY_DIFF, HIDDEN, STATUS, HARM, FINDING_TYPES };
const char* const FINDING_NAMES[FINDING_TYPES] = {
    "leak", "handle left open", "written outside", "output differs before the failure",
    "failure not reported", "wrong status", "status 0 but files differ"};

// Where the failing call was made: function, file and line, from addr2line
// (one call per address).
std::string site_name(void* site) {
    static std::map<void*, std::string> names;
    if (!site) return "?";
    auto found = names.find(site);
    if (found != names.end()) return found->second;
    std::string name;
    Dl_info info;
    if (dladdr(site, &info)) {
        char cmd[1200];
        // The return address points behind the call.
        // Our code is all in the program itself, whatever directory it was
        // started from.
        snprintf(cmd, sizeof cmd, "addr2line -C -f -i -e /proc/%d/exe 0x%lx 2>/dev/null",
                 (int)getpid(), (unsigned long)((char*)site - (char*)info.dli_fbase - 1));
        if (FILE* p = popen(cmd, "r")) {
            char line[600];
            int n = 0;
            while (fgets(line, sizeof line, p)) {
                line[strcspn(line, "\n")] = '\0';
                const char* l = line;
                if (const char* src = strstr(l, "/work/")) l = src;
                name += (n == 0 ? "" : n % 2 ? " " : " <- ") + std::string(l);
                n++;
            }
            pclose(p);
        }
    }
    if (name.empty()) {
        char b[32];
        snprintf(b, sizeof b, "%p", site);
        name = b;
    }
    return names[site] = name;
}

// A finding whose root lies in code that cannot be changed along with the
// sweep (code being rebuilt elsewhere): reported, not failed. It matches a
// finding of its kind, of one of its types, whose failing call was made in
// the file named.
const unsigned SILENT = 1u << HIDDEN | 1u << STATUS | 1u << HARM;
struct KnownFinding {
    int kind;
    unsigned types;         // bits of FindingType
    const char* site_file;  // found in site_name() of the failing call
    const char* why;
    int seen;
};

// None at present: every finding fails the sweep.
std::vector<KnownFinding> KNOWN_FINDINGS;

struct Finding {
    std::string where;  // run, kind, way, N
    FindingType type;
    std::string detail;
    std::string site;
    const KnownFinding* known;
};

std::vector<Finding> findings;

struct Tally {
    int32_t clean_calls = 0;
    int runs = 0;
    int found = 0;
    int known = 0;
    // How the runs ended: as the clean run (the failure absorbed), with its
    // status but another output, with 1 to 7 table reads failed, or
    // stopped (8; dbfscan: another result than the clean run's).
    int absorbed = 0, went_on = 0, tables = 0, stopped = 0;
};

void add_finding(const std::string& where, int kind, FindingType type, const std::string& detail,
                 const Outcome& o, Tally* tally) {
    std::string site = o.struck ? site_name(o.site) : "";
    const KnownFinding* known = nullptr;
    for (KnownFinding& k : KNOWN_FINDINGS) {
        if (k.kind != kind || !(k.types & 1u << type)) continue;
        if (site.find(k.site_file) == std::string::npos) continue;
        k.seen++;
        known = &k;
        break;
    }
    findings.push_back({where, type, detail, site, known});
    if (known)
        tally->known++;
    else
        tally->found++;
}

// The text around where two outputs part, for a finding's detail.
std::string parting(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) i++;
    size_t from = i > 60 ? i - 60 : 0;
    auto cut = [&](const std::string& s) {
        std::string t = s.substr(from, 140);
        for (char& c : t)
            if (c == '\n') c = '|';
        return t;
    };
    return "clean: \"" + cut(a) + "\" here: \"" + cut(b) + "\"";
}

void judge(const RunPlan& plan, const std::string& where, int kind, const Outcome& clean,
           const Outcome& o, Tally* tally) {
    auto find = [&](FindingType type, const std::string& detail) {
        add_finding(where, kind, type, detail, o, tally);
    };
    if (o.blocks_left != 0 || o.leaked)
        find(LEAK, std::to_string(o.blocks_left) +
                       " heap blocks more than before the run, once its "
                       "catalog was released" +
                       (o.leaked ? "; LeakSanitizer found memory lost" : ""));
    if (o.handles_left != 0 || o.descriptors_left != 0)
        find(HANDLE, std::to_string(o.handles_left) + " OS-layer handles, " +
                         std::to_string(o.descriptors_left) + " descriptors more than before");
    if (!o.outside.empty()) find(OUTSIDE, o.outside);

    size_t at = o.strike_at < 0 ? 0 : (size_t)o.strike_at;
    if (at > o.out.size() || at > clean.out.size() || o.out.compare(0, at, clean.out, 0, at) != 0)
        find(EARLY_DIFF, parting(clean.out, o.out));

    bool same =
        o.status == clean.status && o.out == clean.out && same_contents(o.tree, clean.tree, true);
    bool reported = plan.program == BAK || has_any(o.out, at, FAILURE_TEXTS) ||
                    has_any(o.out, at, STOP_TEXTS) ||
                    has_any(o.out, at, REGION_STOP_TEXTS) ||
                    has_any(o.out, at, TABLE_FAILURE_TEXTS) || table_failures(o.out.substr(at)) > 0;
    if (!same && !reported)
        find(HIDDEN, "status " + std::to_string(o.status) + ", " +
                         (o.out == clean.out ? "output as clean" : parting(clean.out, o.out)));

    if (plan.program == BAK) {
        // Something said of the failure: the output is not the clean run's.
        if (!same && (o.status == 0 || o.status > 2) && o.out == clean.out)
            find(STATUS, "status " + std::to_string(o.status) + " and the clean run's output");
        if (o.status == 0 && !same_contents(o.tree, clean.tree, true))
            find(HARM, "the run directory differs from the clean run's");
        return;
    }
    if (plan.program == DBFSCAN) {
        int printed = printed_result(o.out);
        if (o.status != printed)
            find(STATUS,
                 "status " + std::to_string(o.status) + ", printed " + std::to_string(printed));
        return;
    }
    int tables = table_failures(o.out);
    bool stopped = has_any(o.out, 0, STOP_TEXTS) ||
                   (plan.catalog_mode && has_any(o.out, 0, REGION_STOP_TEXTS));
    bool lists = false;
    for (const std::string& a : plan.args)
        if (a == "-x" || a == "-l") lists = true;
    bool not_as_recorded = lists && has_any(o.out, 0, NOT_AS_RECORDED_TEXTS);
    int want = tables > 0 ? tables : stopped ? 8 : not_as_recorded ? 9 : 0;
    if (o.status != want)
        find(STATUS, "status " + std::to_string(o.status) + ", the output calls for " +
                         std::to_string(want));
    if (o.status == 0 &&
        !same_contents(o.tree, clean.tree, !has_text(o.out, 0, "\nerror setting file: "),
                       !has_text(o.out, 0, "\nfailed to create directory")))
        find(HARM, "the run directory differs from the clean run's");
}

// ---- the sweep ------------------------------------------------------------------------------

struct Options {
    bool verbose = false;
    std::vector<std::string> runs, kinds;
    int32_t every = 0;  // 0: every N
    int32_t stride = 7;
    int32_t show = 0;  // print the output of the runs with this N
};

bool picked(const std::vector<std::string>& list, const std::string& name) {
    if (list.empty()) return true;
    for (const std::string& s : list)
        if (s == name) return true;
    return false;
}

bool clean_run_ok(const RunPlan& plan, const Outcome& clean) {
    int status = plan.program == DBFSCAN ? printed_result(clean.out) : 0;
    bool ok = !clean.struck && clean.status == status && clean.handles_left == 0 &&
              clean.outside.empty() && !clean.leaked && clean.blocks_left == 0 &&
              !has_any(clean.out, 0, STOP_TEXTS) && !has_any(clean.out, 0, FAILURE_TEXTS);
    if (!ok) {
        fprintf(stderr,
                "fault_sweep: the clean run %s is not clean: status %d, %d handles left, %lld "
                "blocks%s%s\n%s\n",
                plan.name.c_str(), clean.status, clean.handles_left, (long long)clean.blocks_left,
                clean.outside.c_str(),
                clean.leaked ? ", leaked" : "", clean.out.c_str());
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-v") {
            opt.verbose = true;
        } else if (a == "--run" && i + 1 < argc) {
            opt.runs.push_back(argv[++i]);
        } else if (a == "--kind" && i + 1 < argc) {
            opt.kinds.push_back(argv[++i]);
        } else if (a == "--lsan-each") {
            check_each_run_for_leaks = true;
        } else if (a == "--show" && i + 1 < argc) {
            opt.show = atoi(argv[++i]);
        } else if (a == "--every" && i + 1 < argc) {
            opt.every = atoi(argv[++i]);
        } else if (a == "--stride" && i + 1 < argc) {
            opt.stride = atoi(argv[++i]) > 0 ? atoi(argv[i]) : 1;
        } else {
            fprintf(stderr,
                    "usage: fault_sweep [-v] [--run NAME]... [--kind KIND]... [--every N] "
                    "[--stride S] [--show N] [--lsan-each]\n");
            return 2;
        }
    }
    sweep_start = time(nullptr);
    setenv("TZ", "UTC", 1);
    tzset();
    // Unbuffered, so no answer read ahead by one run is seen by the next.
    setvbuf(stdin, nullptr, _IONBF, 0);
    signal(SIGALRM, on_alarm);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, on_crash);
#ifdef SWEEP_LSAN
    __sanitizer_set_death_callback(on_sanitizer_death);
#endif
    faults_on_strike(note_output);
    if (!make_scratch()) {
        fprintf(stderr, "fault_sweep: cannot make the scratch directory\n");
        return 2;
    }
    saved_stdout = dup(1);
    saved_stdin = dup(0);
    saved_stderr = dup(2);

    const std::vector<InputFile> compressed = set_images("d", true, 1500, 3);
    const std::vector<InputFile> stored = set_images("s", false, 3000, 2);
    const std::vector<InputFile> stored_groups = set_images("g", true, 0, 1, -1, true);
    const std::vector<InputFile> table = table_file();
    std::vector<RunPlan> plans = {
        {"restore-3disk",
         UNBAK,
         {"d3.img", "-x"},
         "N\nd1.img\nd2.img\nd3.img\n",
         &compressed,
         true},
        {"restore-stored-p",
         UNBAK,
         {"s2.img", "-x", "-pC:\\Data"},
         "N\ns1.img\ns2.img\n",
         &stored,
         true},
        {"list", UNBAK, {"d3.img", "-l", "-v"}, "", &compressed, true},
        {"save-catalog", UNBAK, {"d3.img", "-c"}, "", &compressed, false},
        // Beyond the runs above: the compressed set's last disk alone
        // (choice Y), its files under one path (the others' groups stepped
        // over across disks), the region walk, and a one-disk set of stored
        // groups restored from its second file (one group of 70000 bytes).
        {"restore-last-disk", UNBAK, {"d3.img", "-x"}, "Y\n", &compressed, true},
        {"restore-3disk-p",
         UNBAK,
         {"d3.img", "-x", "-pC:\\Docs"},
         "N\nd1.img\nd2.img\nd3.img\n",
         &compressed,
         true},
        {"walk", UNBAK, {"d3.img", "-f", "-v"}, "", &compressed, false},
        {"restore-groups-s2", UNBAK, {"g1.img", "-x", "-s2"}, "", &stored_groups, true},
    };
    for (int t = 1; t <= 7; t++)
        plans.push_back({"show-" + std::to_string(t),
                         UNBAK,
                         {"d3.img", "-vs" + std::to_string(t)},
                         "",
                         &compressed,
                         true});
    plans.push_back({"dbfscan", DBFSCAN, {"-d", "-ffiles.dbf"}, "", &table, false});
    plans.push_back({"bak-test", BAK, {"test", "d3.img", "-j", "1"}, "", &compressed, false});
    plans.push_back({"bak-salvage", BAK, {"extract", "--salvage", "d1.img", "-C", "out", "-j", "1"},
                     "", &compressed, false});
    plans.push_back({"bak-extract-stored", BAK, {"extract", "s2.img", "-C", "out", "-j", "1"}, "",
                     &stored, false});
    // On threads: which thread's call fails depends on the schedule.
    plans.push_back({"bak-extract-j4", BAK, {"extract", "d1.img", "-C", "out", "-j", "4"}, "",
                     &compressed, false});
#ifdef BAK_CONVERT
    plans.push_back({"bak-convert", BAK,
                     {"convert", "--salvage", "--report", "lost.txt", "d1.img", "out.tar", "-j",
                      "1"},
                     "", &compressed, false});
#endif
    plans.push_back({"bak-tables", BAK, {"tables", "d3.img", "--dbf", "tables"}, "", &compressed,
                     false});

    auto start = std::chrono::steady_clock::now();
    std::map<int, Tally> by_kind;
    std::vector<std::string> lines, shown;
    bool ok = true;
    for (const RunPlan& plan : plans) {
        if (!picked(opt.runs, plan.name)) continue;
        snprintf(current_case, sizeof current_case, "%s clean", plan.name.c_str());
        // Twice: anything the programs keep from one run to the next is
        // there before the clean run is measured.
        run_case(plan, 0, FAULT_NONE, 0);
        const Outcome clean = run_case(plan, 0, FAULT_NONE, 0);
        if (!clean_run_ok(plan, clean)) {
            ok = false;
            continue;
        }
        for (int kind = 0; kind < FAULT_KIND_COUNT; kind++) {
            if (!picked(opt.kinds, KIND_NAMES[kind])) continue;
            Tally tally;
            tally.clean_calls = clean.calls[kind];
            for (const Way& way : ways_of(kind)) {
                for (int32_t n = 1;; n++) {
                    if (opt.every > 0 && n > opt.every && (n - opt.every) % opt.stride != 0)
                        continue;
                    snprintf(current_case, sizeof current_case, "%s: %s %s #%d", plan.name.c_str(),
                             KIND_NAMES[kind], way.name, (int)n);
                    Outcome o = run_case(plan, kind, way.way, n);
                    if (!o.struck && n <= clean.calls[kind]) {
                        // Up to the failure a run is the clean one.
                        add_finding(current_case, kind, HIDDEN,
                                    "the run did not make the call the clean run made", o, &tally);
                        break;
                    }
                    if (!o.struck) {
                        // The end of the sweep: the run must be the clean one.
                        if (o.status != clean.status || o.out != clean.out || o.handles_left != 0 ||
                            o.blocks_left != 0 || !same_contents(o.tree, clean.tree, true))
                            add_finding(current_case, kind, HIDDEN,
                                        "a run without a failure differs from the clean run", o,
                                        &tally);
                        break;
                    }
                    tally.runs++;
                    judge(plan, current_case, kind, clean, o, &tally);
                    if (o.status == clean.status && o.out == clean.out)
                        tally.absorbed++;
                    else if (o.status == clean.status)
                        tally.went_on++;
                    else if (plan.program == DBFSCAN || o.status == 8 ||
                             (plan.program == BAK && o.status == 2))
                        tally.stopped++;
                    else if (plan.program == BAK)
                        tally.went_on++;
                    else
                        tally.tables++;
                    if (n == opt.show)
                        shown.push_back(std::string(current_case) + ", status " +
                                        std::to_string(o.status) + ":\n" + o.out);
                }
            }
            Tally& total = by_kind[kind];
            total.clean_calls += tally.clean_calls;
            total.runs += tally.runs;
            total.found += tally.found;
            total.known += tally.known;
            total.absorbed += tally.absorbed;
            total.went_on += tally.went_on;
            total.tables += tally.tables;
            total.stopped += tally.stopped;
            char line[200];
            snprintf(line, sizeof line, "%-17s %-13s %6d calls %6d runs %5d found %5d known",
                     plan.name.c_str(), KIND_NAMES[kind], (int)tally.clean_calls, tally.runs,
                     tally.found, tally.known);
            lines.push_back(line);
        }
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto opens = by_kind.find(FAULT_OPEN);
    if (opens != by_kind.end() && opens->second.clean_calls == 0) {
        fprintf(stderr,
                "fault_sweep: no call reached the fault switch (built without UNBAK_FAULTS?)\n");
        ok = false;
    }

    fflush(stdout);
    dup2(saved_stdout, 1);
    dup2(saved_stdin, 0);
    remove_scratch();
    snprintf(current_case, sizeof current_case, "the report");

    for (const std::string& s : shown) printf("%s\n", s.c_str());
    if (opt.verbose)
        for (const std::string& l : lines) printf("%s\n", l.c_str());
    int total_runs = 0, total_found = 0, total_known = 0;
    // calls: made by the clean runs; runs: with one of them failing (each
    // way); then how those runs ended (see Tally) and what they showed.
    printf("%-13s %6s %6s %9s %7s %7s %7s %6s %6s\n", "kind", "calls", "runs", "absorbed",
           "went-on", "tables", "stopped", "found", "known");
    for (auto& k : by_kind) {
        const Tally& t = k.second;
        printf("%-13s %6d %6d %9d %7d %7d %7d %6d %6d\n", KIND_NAMES[k.first], (int)t.clean_calls,
               t.runs, t.absorbed, t.went_on, t.tables, t.stopped, t.found, t.known);
        total_runs += k.second.runs;
        total_found += k.second.found;
        total_known += k.second.known;
    }
    printf("%-13s %6s %6d %41d %6d   (%.1f s)\n", "all", "", total_runs, total_found, total_known,
           secs);
    for (const Finding& f : findings) {
        if (f.known && !opt.verbose) continue;
        printf("%s%s: %s: %s\n    at %s\n", f.known ? "known: " : "", f.where.c_str(),
               FINDING_NAMES[f.type], f.detail.c_str(), f.site.c_str());
    }
    for (const KnownFinding& k : KNOWN_FINDINGS)
        if (k.seen) printf("known finding (%d): %s\n", k.seen, k.why);
    return ok && total_found == 0 ? 0 : 1;
}
