// In-process runs of unbak and dbfscan over one input, in every mode the
// fuzz targets exercise. The fuzz targets and the replay test share them,
// so a kept input is replayed exactly as it was fuzzed.
//
// Runs happen in a scratch directory three levels below a private top
// directory: the input is written there, the program runs there with its
// standard output sent to /dev/null and its standard input answering the
// disk dialogue, and everything it wrote is removed afterwards. After each
// run the three directories above it are checked for anything the run may
// have put there.
#ifndef FUZZ_REPLAY_H
#define FUZZ_REPLAY_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Creates the scratch area below base. False when it cannot be made.
bool replay_init(const std::string& base);
// Removes the scratch area and everything in it.
void replay_done();
// The base directory the fuzz targets use: $UNBAK_FUZZ_SCRATCH, else
// /dev/shm when it exists, else $TMPDIR or /tmp.
std::string replay_default_base();

// Runs unbak over data, taken as one backup image: -x answering N, the
// image's own name twice and an empty name; -x answering N and the names of
// three copies of the image numbered as disks 1, 2 and 3 of its set; -x -v
// -pC:\D answering Y; -l -v -vv -s2; one -vs# chosen by the input's size;
// -f -v; -c. Gives back "" or a description of what was written outside
// the scratch directory or of an exit status outside 0 to 8. With a transcript only the three -x runs are made,
// and each one's output, exit status and the files it left are appended to
// it (for comparing runs). fast_inflate false runs unbak_main_exact.
std::string replay_unbak(const uint8_t* data, size_t size, std::string* transcript = nullptr,
                         bool fast_inflate = true);

// One in-process run of unbak in dir, with the arguments after the program
// name and a standard input that holds answers and then ends: what it
// printed and its exit status (-1 when it could not be run there).
// fast_inflate false runs unbak_main_exact.
struct InProcessRun {
    std::string out;
    int status;
};
InProcessRun run_unbak_in(const std::string& dir, const std::vector<std::string>& args,
                          const std::string& answers, bool fast_inflate = true);
// Removes everything below dir (write bits restored first); keeps dir.
void remove_below(const std::string& dir);

// Runs dbfscan over data, taken as one table file, with and without -d.
std::string replay_dbfscan(const uint8_t* data, size_t size);

#endif
