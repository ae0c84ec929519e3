// The patterns that choose which files of a set bak lists, tests, extracts
// or prints: `bak COMMAND SET [PATTERN...]` and `--exclude PATTERN`.
//
// A pattern is matched against a file's path as listed (C:\Data\x.txt):
//   - '/' and '\' both separate, in the pattern and in the path; repeated
//     separators count as one;
//   - letter case is ignored (ASCII letters; other characters match as
//     they are);
//   - `*` matches any run of characters within one part, `?` one
//     character, `[...]` one of the characters listed, with ranges (a-z)
//     and `!` or `^` first for the opposite; a `]` right behind the `[` (or
//     the `!`) is one of the characters, and a `[` without its `]` is
//     itself. Nothing matches a separator, and a class cannot hold one. A
//     character is one UTF-8 sequence, or one byte where there is none.
//     There is no escape character (`\` separates): `[*]` matches a `*`;
//   - a part that is `**` matches any number of parts, none included
//     (`C:\**\*.txt`, `**/Letters`); `**` within a part is `*`;
//   - a pattern that names a directory chooses everything below it:
//     `C:\Data` and `C:/Data/` choose C:\Data\x.txt. A pattern ending in a
//     separator chooses only what lies below it, not a file of that name.
// Where a pattern starts, as a user of a shell or of .gitignore would
// expect:
//   - one that begins with a drive (its first part ends in ':', so `C:`,
//     `c:\data`, `?:\Data`) is matched from the path's drive on;
//   - one with a separator at its start or between its parts, but no
//     drive, is matched from the root of any drive: `Data\Letters` and
//     `\Data\Letters` both choose C:\Data\Letters and D:\Data\Letters;
//   - a single part without a drive (`*.txt`, `letter1.txt`, `Reports\`)
//     matches that part at any depth: it is `**\` and the part.
#ifndef CHECK_PATTERNS_H
#define CHECK_PATTERNS_H

#include <string>
#include <vector>

struct Pattern {
    std::string text;                // as given, for messages
    std::vector<std::string> parts;  // between separators; "**" for any parts
    bool drive;                      // matched from the path's drive on
    bool below_only;                 // ended in a separator
    bool matched;                    // has chosen (or, excluding, left out) a path
};

// The pattern of a text, by the rules above.
Pattern make_pattern(const std::string& text);
// True when the pattern chooses the path: it matches the path, or one of
// the directories the path lies in. Does not mark the pattern.
bool pattern_matches(const Pattern& pattern, const std::string& path);

// The patterns of a command: PATTERN... and every --exclude.
struct PatternSet {
    std::vector<Pattern> include;
    std::vector<Pattern> exclude;
};

void add_include(PatternSet* set, const std::string& text);
void add_exclude(PatternSet* set, const std::string& text);

// True when the path is chosen: no include patterns were given or one of
// them matches, and no exclude pattern matches. Every pattern that matches
// is marked, include patterns whether or not an exclude pattern then leaves
// the path out: the pattern named something in the set.
bool select_path(PatternSet* set, const std::string& path);

// The include patterns that have matched no path, as given, in the order
// given: what the caller names as not found in the set.
std::vector<std::string> unmatched_patterns(const PatternSet& set);

#endif
