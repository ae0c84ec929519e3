// Child-process runs of the programs and scratch-directory files for the
// end-to-end tests: the parts that do not depend on the OS. The OS parts are
// in harness_posix.cpp and harness_win32.cpp.
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <direct.h>
#else
#include <unistd.h>
#endif

InDir::InDir(const std::string& dir) {
    EXPECT_NE(getcwd(saved, sizeof saved), nullptr);
    EXPECT_EQ(chdir(dir.c_str()), 0);
}

InDir::~InDir() { EXPECT_EQ(chdir(saved), 0); }

RunResult run_unbak(const std::string& cwd, const std::vector<std::string>& args,
                    const std::string& stdin_data) {
    return run_program(UNBAK_EXE, args, stdin_data, cwd);
}

RunResult run_dbfscan(const std::string& cwd, const std::vector<std::string>& args) {
    return run_program(DBFSCAN_EXE, args, "", cwd);
}

void TempDir::write(const std::string& rel, const std::string& bytes) const { write_file(file(rel), bytes); }
std::string TempDir::read(const std::string& rel) const { return read_file(file(rel)); }
