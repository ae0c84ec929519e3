// bak cat: one file's bytes to standard output, checked as they go: each
// group goes out only once it has inflated with its checksum, so a damaged
// file's output stops before its first bad byte, and the run ends with a
// message and status 1.
#include <string.h>

#include "check/bak.h"
#include "platform/console.h"

namespace {

// A path with either separator as '\' and letters in lower case.
std::string key_of(const std::string& path, bool fold) {
    std::string k = path;
    for (char& c : k) {
        if (c == '/') c = '\\';
        if (fold && c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    }
    return k;
}

}  // namespace

int cmd_cat(Bak* bak, const std::string& path) {
    // The file of exactly that path; letter case ignored when that makes
    // one and only one.
    const BakFile* found = nullptr;
    int32_t folded_matches = 0;
    std::string exact = key_of(path, false), folded = key_of(path, true);
    for (const BakFile& f : bak->set.files) {
        if (key_of(f.shown, false) == exact) {
            found = &f;
            break;
        }
        if (key_of(f.shown, true) == folded) {
            if (folded_matches++ == 0) found = &f;
        }
    }
    if (!found || (folded_matches > 1 && key_of(found->shown, false) != exact)) {
        if (folded_matches > 1)
            say_error(bak, "%s: %d files of the set have that name but for letter case; give one "
                           "as listed",
                      shown_text(path).c_str(), (int)folded_matches);
        else
            say_error(bak, "%s: no such file in the set", shown_text(path).c_str());
        return BAK_EXIT_NOT_ALL;
    }
    plat_stdout_binary();
    DataOut out = {-1, true, true, false, false, nullptr, nullptr, nullptr};
    FileCheck res;
    walk_start(bak, {found});
    check_file(bak, found, &out, &res);
    walk_stop(bak);
    if (bak->stdout_failed) return BAK_EXIT_UNUSABLE;
    if (res.status == FILE_DAMAGED || res.status == FILE_MISSING) {
        say_error(bak, "%s: %s%s", shown_text(found->shown).c_str(), status_word(res.status),
                  problems_line(bak, &res, found->rec->size_lo).c_str());
        return BAK_EXIT_NOT_ALL;
    }
    // The bytes are good; a catalog that says otherwise of them, or of the
    // set, is said all the same.
    bool consistent = bak->set.inconsistencies.empty();
    for (const std::string& t : bak->set.inconsistencies) say_error(bak, "inconsistent: %s", t.c_str());
    for (const Problem& p : res.problems) {
        if (p.kind != PROB_SIZE_ONLY) continue;
        say_error(bak, "inconsistent: %s: %s", shown_text(found->shown).c_str(),
                  problem_text(bak, &res, &p).c_str());
        consistent = false;
    }
    return consistent ? BAK_EXIT_OK : BAK_EXIT_NOT_ALL;
}
