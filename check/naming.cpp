// The output names of a set's files: see naming.h.
#include "check/naming.h"

#include "catalog/dir_path.h"
#include "check/names.h"

namespace {

std::string folded(const std::string& s, bool fold) {
    std::string out = s;
    if (!fold) return out;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return out;
}

// What can be kept of a name that cannot be one: separators and colons
// become '_'.
std::string kept_of(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (c == '/' || c == '\\' || c == ':') c = '_';
    return out;
}

}  // namespace

std::string numbered_name(const std::string& path, int32_t n) {
    size_t name_at = path.find_last_of('/');
    name_at = name_at == std::string::npos ? 0 : name_at + 1;
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= name_at) dot = path.size();
    return path.substr(0, dot) + "~" + std::to_string(n) + path.substr(dot);
}

std::string output_dir_name(const std::string& dir, PlatCharset* cs) {
    return output_path(decode_charset(cs, dir));
}

OutputName output_name(NameTable* table, const std::string& dir, const char* name,
                       int32_t serial, PlatCharset* cs) {
    OutputName out;
    out.copy = 0;
    std::string decoded = decode_charset(cs, name ? name : "");
    out.unplaced = dir.empty() || !name || !safe_component(name);
    if (out.unplaced) {
        out.path = std::string(UNPLACED_DIR "/") + std::to_string(serial);
        if (!decoded.empty()) out.path += "_" + kept_of(decoded);
    } else {
        out.path = output_dir_name(dir, cs) + output_path(decoded);
    }
    std::string base = out.path;
    for (int32_t n = 2; !table->taken.insert(folded(out.path, table->fold_case)).second; n++) {
        out.copy = n;
        out.path = numbered_name(base, n);
    }
    return out;
}
