// Pattern matching for bak's file selection: the rules are in patterns.h.
//
// Both levels use the same greedy match with a return to the last star:
// characters of one part against `*`, `?`, classes and letters, and parts of
// the path against `**` and single parts. Taking the star's shortest
// stretch first and giving it one more unit whenever the rest fails finds a
// match when there is one, in time proportional to the product of the two
// lengths, where trying every split would take exponential time on
// patterns like `*a*a*a*a*b`.
#include "check/patterns.h"

#include <stddef.h>
#include <stdint.h>

#include <string_view>

#include "check/names.h"

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// The parts of a path or pattern, without empty ones.
std::vector<std::string_view> split(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); i++) {
        if (i == text.size() || is_separator(text[i])) {
            if (i > start) parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

uint32_t ascii_lower(uint32_t c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

uint32_t ascii_upper(uint32_t c) {
    return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

// One character at s[*at]: its code point, or for a byte that begins no
// UTF-8 sequence a value above every code point; *at moves behind it.
uint32_t next_char(std::string_view s, size_t* at) {
    const unsigned char* p = (const unsigned char*)s.data() + *at;
    int len = utf8_sequence_length(p, s.size() - *at);
    if (len == 0) {
        *at += 1;
        return 0x110000u + p[0];
    }
    *at += (size_t)len;
    if (len == 1) return p[0];
    static const unsigned char lead_bits[] = {0, 0, 0x1F, 0x0F, 0x07};
    uint32_t c = p[0] & lead_bits[len];
    for (int i = 1; i < len; i++) c = c << 6 | (p[i] & 0x3F);
    return c;
}

// Matches the class at pattern[*at] (just behind its '[') against c; *at
// moves behind its ']'. False, with *at unmoved, when the class has no ']':
// the '[' is then a letter of its own.
bool class_matches(std::string_view pattern, size_t* at, uint32_t c, bool* matched) {
    size_t i = *at;
    bool negate = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negate) i++;
    bool hit = false;
    bool first = true;
    uint32_t lower = ascii_lower(c), upper = ascii_upper(c);
    while (i < pattern.size() && (pattern[i] != ']' || first)) {
        first = false;
        uint32_t lo = next_char(pattern, &i);
        uint32_t hi = lo;
        if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
            i++;
            hi = next_char(pattern, &i);
        }
        // A range of letters is matched in either case: [a-f] takes 'C',
        // [A-F] takes 'c'.
        if ((c >= lo && c <= hi) || (lower >= ascii_lower(lo) && lower <= ascii_lower(hi)) ||
            (upper >= ascii_upper(lo) && upper <= ascii_upper(hi)))
            hit = true;
    }
    if (i >= pattern.size()) return false;
    *at = i + 1;
    *matched = hit != negate;
    return true;
}

// One part of a pattern against one part of a path.
bool part_matches(std::string_view pattern, std::string_view name) {
    size_t pi = 0, ni = 0;
    size_t star_p = std::string_view::npos, star_n = 0;
    while (ni < name.size()) {
        if (pi < pattern.size() && pattern[pi] == '*') {
            while (pi < pattern.size() && pattern[pi] == '*') pi++;
            star_p = pi;
            star_n = ni;
            continue;
        }
        if (pi < pattern.size()) {
            size_t after_n = ni;
            uint32_t c = next_char(name, &after_n);
            size_t after_p = pi + 1;
            bool ok = true;
            if (pattern[pi] == '?') {
                // any one character
            } else if (pattern[pi] != '[' || !class_matches(pattern, &after_p, c, &ok)) {
                after_p = pi;
                ok = ascii_lower(next_char(pattern, &after_p)) == ascii_lower(c);
            }
            if (ok) {
                pi = after_p;
                ni = after_n;
                continue;
            }
        }
        if (star_p == std::string_view::npos) return false;
        // The star takes one more character.
        next_char(name, &star_n);
        ni = star_n;
        pi = star_p;
    }
    while (pi < pattern.size() && pattern[pi] == '*') pi++;
    return pi == pattern.size();
}

// The parts of a pattern against the first n parts of a path.
bool parts_match(const std::vector<std::string>& pattern, const std::vector<std::string_view>& path,
                 size_t n) {
    size_t pi = 0, ni = 0;
    size_t star_p = SIZE_MAX, star_n = 0;
    while (ni < n) {
        if (pi < pattern.size() && pattern[pi] == "**") {
            star_p = ++pi;
            star_n = ni;
            continue;
        }
        if (pi < pattern.size() && part_matches(pattern[pi], path[ni])) {
            pi++;
            ni++;
            continue;
        }
        if (star_p == SIZE_MAX) return false;
        ni = ++star_n;
        pi = star_p;
    }
    while (pi < pattern.size() && pattern[pi] == "**") pi++;
    return pi == pattern.size();
}

bool names_drive(std::string_view part) {
    return !part.empty() && part.back() == ':';
}

}  // namespace

Pattern make_pattern(const std::string& text) {
    Pattern p;
    p.text = text;
    std::vector<std::string_view> parts = split(text);
    p.drive = !text.empty() && !is_separator(text[0]) && !parts.empty() && names_drive(parts[0]);
    p.below_only = !text.empty() && is_separator(text.back());
    p.matched = false;
    // A separator before the last part anchors the pattern at a root.
    bool anchored = p.drive || (!text.empty() && is_separator(text[0])) || parts.size() > 1;
    if (!anchored && !parts.empty()) p.parts.push_back("**");
    for (std::string_view part : parts) p.parts.emplace_back(part);
    return p;
}

bool pattern_matches(const Pattern& pattern, const std::string& path) {
    std::vector<std::string_view> parts = split(path);
    // A pattern without a drive starts at the root of the path's drive.
    if (!pattern.drive && !parts.empty() && names_drive(parts[0])) parts.erase(parts.begin());
    if (pattern.parts.empty()) return !pattern.below_only || !parts.empty();
    bool globstar = false;
    for (const std::string& part : pattern.parts) globstar = globstar || part == "**";
    // The path itself, or a directory it lies in: its first n parts.
    size_t last = pattern.below_only ? parts.size() - (parts.empty() ? 0 : 1) : parts.size();
    if (!globstar) {
        // Each part of the pattern takes exactly one of the path.
        size_t n = pattern.parts.size();
        return n <= last && parts_match(pattern.parts, parts, n);
    }
    for (size_t n = 1; n <= last; n++)
        if (parts_match(pattern.parts, parts, n)) return true;
    return false;
}

void add_include(PatternSet* set, const std::string& text) {
    set->include.push_back(make_pattern(text));
}

void add_exclude(PatternSet* set, const std::string& text) {
    set->exclude.push_back(make_pattern(text));
}

bool select_path(PatternSet* set, const std::string& path) {
    bool chosen = set->include.empty();
    for (Pattern& p : set->include) {
        if (pattern_matches(p, path)) {
            p.matched = true;
            chosen = true;
        }
    }
    if (!chosen) return false;
    for (Pattern& p : set->exclude) {
        if (pattern_matches(p, path)) {
            p.matched = true;
            return false;
        }
    }
    return true;
}

std::vector<std::string> unmatched_patterns(const PatternSet& set) {
    std::vector<std::string> texts;
    for (const Pattern& p : set.include)
        if (!p.matched) texts.push_back(p.text);
    return texts;
}
