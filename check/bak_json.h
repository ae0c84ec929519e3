// JSON for bak's --json outputs, on nlohmann/json: objects keep their
// members in the order written, and nothing here throws.
//
// Names are catalog bytes. A name that is well-formed UTF-8 (after
// --charset, when given) goes out as it is, exactly; one that is not has
// its stray bytes replaced by U+FFFD in "key", and its exact bytes, as hex,
// in "key_hex", so a script loses nothing.
#ifndef CHECK_BAK_JSON_H
#define CHECK_BAK_JSON_H

#include <string>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

// obj[key] = the name, and obj[key + "_hex"] when it is not UTF-8.
void json_name(Json& obj, const std::string& key, const std::string& bytes);
// The text of a value on one line, ending in "\n".
std::string json_line(const Json& value);

struct Bak;
struct BakFile;
struct FileCheck;
// A file's findings: path, serial, size, status, problems, lost ranges.
Json file_json(const Bak* bak, const BakFile* file, const FileCheck* res);
// What every set-wide result begins with: the format version, the backup,
// its disks and where they lie, the images left out, the inconsistencies.
Json set_json(const Bak* bak);
Json disks_json(const Bak* bak);

#endif
