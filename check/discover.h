// Set discovery for bak: which images make up the set the user names.
//
// `bak COMMAND SET` takes SET as any image of a set, or as the directory
// holding one, and `--image FILE` (repeatable) for images kept elsewhere.
// The other images of the set are found by their headers in the
// directory, so a user never has to name every disk, nor name them in
// order. Looking through a directory that may hold anything, only regular
// files are read (a symbolic link there is not followed: it may lead
// anywhere), and of each only its 512-byte header. Images named on the
// command line (SET, --image) are read through links: the user chose them.
//
// A set is told by its header's two set ids, job number and backup name.
// The image whose header has a catalog offset is the set's last disk; how
// many disks the set has only its catalog says, read later, so what is
// found here is recorded by disk number with gaps left empty.
#ifndef CHECK_DISCOVER_H
#define CHECK_DISCOVER_H

#include <stdint.h>

#include <string>
#include <vector>

enum {
    DISCOVER_OK = 0,
    DISCOVER_NOT_FOUND,     // SET does not exist
    DISCOVER_UNREADABLE,    // SET (file or directory) cannot be read
    DISCOVER_NOT_IMAGE,     // SET is not a backup image (nor a directory)
    DISCOVER_NO_IMAGES,     // no backup image in the directory nor among --image
    DISCOVER_SEVERAL_SETS,  // a directory with several sets: none is chosen
};

// Why a file was left out.
enum {
    LEFT_ANOTHER_SET,       // a backup image of another set
    LEFT_NOT_IMAGE,         // no backup image header (too short, or another signature)
    LEFT_UNREADABLE,        // could not be opened or read
    LEFT_NOT_FOUND,         // an --image that does not exist
    LEFT_DUPLICATE,         // a second image of disk_num (another file, same disk)
    LEFT_SECOND_CATALOG,    // a second image of the set with a catalog
    LEFT_BEYOND_LAST,       // disk_num beyond last_disk, the catalog image's number
    LEFT_DISK_ZERO,         // disk number 0: no disk of a set
    LEFT_DIRECTORY,         // a directory
    LEFT_LINK,              // a symbolic link in the directory, not followed
    LEFT_NOT_REGULAR,       // a device, FIFO, socket...
};

struct SetKey {
    uint32_t set_id1, set_id2;
    uint16_t job_num;
    std::string name;  // the backup name, bytes as in the header
};

bool same_set(const SetKey& a, const SetKey& b);

struct LeftOut {
    std::string path;
    int reason;          // LEFT_*
    uint16_t disk_num;   // LEFT_DUPLICATE, LEFT_BEYOND_LAST: the image's disk
    uint16_t last_disk;  // LEFT_BEYOND_LAST: the catalog image's disk
};

// One set seen among the images.
struct SetSeen {
    SetKey key;
    int32_t images;            // images of it found
    std::string catalog_path;  // its first image with a catalog, "" when none
    uint16_t catalog_disk;
};

struct Discovery {
    int status;             // DISCOVER_*
    // The directory looked through, as the paths found there begin: SET,
    // or SET's own up to its last separator ("" for the current one).
    std::string directory;
    bool listed;            // its listing was read to the end
    SetKey key;             // the chosen set (DISCOVER_OK)
    // disks[k] is the image of disk k, "" when none was found; disks[0] is
    // unused, so disks.size() is highest_disk + 1.
    std::vector<std::string> disks;
    uint16_t highest_disk;       // the highest disk number of an image kept
    uint16_t catalog_disk;       // the catalog image's disk number, 0 when none was found
    std::string catalog_path;    // that image, "" when none
    // Files that are no image, then the images left out of the set; each
    // in the order looked at.
    std::vector<LeftOut> left_out;
    std::vector<SetSeen> sets;      // every set seen, in the order first seen
};

// Finds the images of the set SET names, with the images named by --image
// (each path as given). The images are looked at in this order: SET, the
// --image files as given, then the directory's files by name (byte order);
// of two images of one disk the first is kept. The same file reached twice
// (SET listed in its own directory, or named twice) counts once. The set
// chosen is SET's when SET is an image; else the one set with a catalog
// image among all of them, or when none has one, the one set there is.
// Several of either kind: DISCOVER_SEVERAL_SETS, with `sets` to name them.
Discovery discover_set(const std::string& set, const std::vector<std::string>& images);

// The reason as words for a report: "another set", "a second image of
// disk 2"...
std::string left_out_text(const LeftOut& left);

#endif
