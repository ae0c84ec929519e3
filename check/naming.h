// The names the files of a set are written under, in one place: bak
// extract writes them, and bak mount and bak convert are to show and write
// the same ones.
//
// A file listed as C:\Data\x.txt is written as C_/Data/x.txt: the drive
// C: becomes the directory C_ and every ':' a '_', as unbak makes them
// (check/names.h, output_path); --charset changes only the bytes of the
// names. A file whose directory path cannot be built (an index out of
// range, an unsafe directory name, a chain too deep) or whose own name
// cannot be a file name (empty, "." or "..", holding '/' or '\') goes under
// _unplaced/ at the top, named by its catalog number and what can be kept
// of its name, so its data is not lost and nothing leaves the tree. A name
// given to an earlier file of the set makes the later one name~2, name~3
// (before the extension), as the output tree numbers them; where the
// system takes names that differ only in letter case for one (Windows),
// they are compared without case.
//
// Names depend only on the catalog (and the system), never on what is
// selected or on disk: every run gives a file the same name, which is what
// lets an interrupted extract resume.
#ifndef CHECK_NAMING_H
#define CHECK_NAMING_H

#include <stdint.h>

#include <string>
#include <unordered_set>

#include "platform/charset.h"

#define UNPLACED_DIR "_unplaced"

struct OutputName {
    std::string path;  // relative, '/'-separated
    int32_t copy;      // N of name~N, 0 for the name itself
    bool unplaced;     // under UNPLACED_DIR
};

// The names given so far (letters folded to lower case when fold_case).
struct NameTable {
    bool fold_case;
    std::unordered_set<std::string> taken;
};

// The name of a file whose directory part as listed is dir (C:\Data\; ""
// when it cannot be built), whose name is name (null when the record has
// none) and whose catalog number is serial; the name is then taken. Call it
// for the files in catalog order.
OutputName output_name(NameTable* table, const std::string& dir, const char* name,
                       int32_t serial, PlatCharset* cs);

// The directory a catalog directory path as listed is written as.
std::string output_dir_name(const std::string& dir, PlatCharset* cs);

// path with ~n before the extension of its last component (a leading dot
// is no extension's): a/b.txt, 2 gives a/b~2.txt.
std::string numbered_name(const std::string& path, int32_t n);

#endif
