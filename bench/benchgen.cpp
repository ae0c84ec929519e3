// benchgen: writes the benchmark's backup sets with the image writer.
//
//   benchgen data DIR SCALE [-3] [-s] [-d DISKS]
//       About 512 MiB (times SCALE) of mixed text-like and binary data in
//       4,000 files of 0 bytes to 50 MiB (times SCALE), grouped by 64 KiB:
//         DIR/comp.001 ...     compressed set on as few disks as the 32-bit
//                              data space allows (one at SCALE 1), or on
//                              DISKS disks with -d
//         DIR/comp3.001-.003   with -3: the same compressed set on 3 disks
//         DIR/stored.001       with -s: the same files as a stored set
//         DIR/manifest.txt     what the baselines need: directories, files,
//                              groups (see write_manifest)
//         DIR/info.txt         image names and sizes, largest group
//   benchgen catalog DIR NFILES
//       A compressed one-disk set of NFILES small files in directories of
//       100 files: DIR/list.001, for timing -l.
//
// The catalog comes from the image writer (plan_set for the directory and
// file tables, the region and header encoders for the bytes); the data
// stream is written here group by group, so a set of several GiB never has
// to be held in memory.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "tools/imgwriter.h"

namespace {

const int32_t GROUP = 65536;
const int64_t MIB = 1024 * 1024;
const int32_t NFILES = 4000;
const int64_t MAX_DISK_DATA = 1536 * MIB;  // keeps the data space 32-bit

// ---- deterministic content -------------------------------------------------

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
    uint64_t next() {
        s += 0x9E3779B97F4A7C15ull;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

std::vector<std::string> make_vocabulary() {
    Rng r(7);
    std::vector<std::string> words;
    for (int i = 0; i < 4096; i++) {
        int len = 2 + (int)(r.next() % 9);
        std::string w;
        for (int k = 0; k < len; k++) w += (char)('a' + r.next() % 26);
        words.push_back(w);
    }
    return words;
}

const std::vector<std::string>& vocabulary() {
    static const std::vector<std::string> words = make_vocabulary();
    return words;
}

// Prose-like lines of words, common words far more frequent than rare ones.
void text_bytes(Rng& r, std::string& out, size_t n) {
    const std::vector<std::string>& words = vocabulary();
    size_t line = 0;
    while (out.size() < n) {
        uint64_t v = r.next();
        size_t ndx = (size_t)((((v & 0xFFFF) * ((v >> 16) & 0xFFFF)) >> 20) & 4095);
        const std::string& w = words[ndx];
        out += w;
        line += w.size() + 1;
        if ((v >> 40) % 17 == 0) {
            out += ". ";
            line++;
        } else if (line > 72) {
            out += '\n';
            line = 0;
            continue;
        }
        out += ' ';
    }
    out.resize(n);
}

// Records as a program would dump them: counters, slowly moving values,
// a few flag bytes.
void record_bytes(Rng& r, std::string& out, size_t n) {
    uint32_t counter = (uint32_t)r.next(), value = (uint32_t)r.next();
    while (out.size() < n) {
        uint64_t v = r.next();
        unsigned char rec[16];
        counter++;
        value += (uint32_t)(v & 0xFF) - 120;
        for (int k = 0; k < 4; k++) rec[k] = (unsigned char)(counter >> (8 * k));
        for (int k = 0; k < 4; k++) rec[4 + k] = (unsigned char)(value >> (8 * k));
        rec[8] = (unsigned char)((v >> 8) & 3);
        rec[9] = 0;
        for (int k = 10; k < 16; k++) rec[k] = (unsigned char)((v >> (4 * k)) & 0x0F);
        out.append((const char*)rec, sizeof rec);
    }
    out.resize(n);
}

void random_bytes(Rng& r, std::string& out, size_t n) {
    while (out.size() < n) {
        uint64_t v = r.next();
        out.append((const char*)&v, 8);
    }
    out.resize(n);
}

// 60 % text, 25 % records, 15 % random.
int kind_of(int i) {
    int k = (int)((uint32_t)(i * 2654435761u) >> 24) % 20;
    return k < 12 ? 0 : k < 17 ? 1 : 2;
}

std::string content_of(int i, int64_t size) {
    Rng r(1000 + (uint64_t)i);
    std::string out;
    out.reserve((size_t)size + 16);
    switch (kind_of(i)) {
    case 0: text_bytes(r, out, (size_t)size); break;
    case 1: record_bytes(r, out, (size_t)size); break;
    default: random_bytes(r, out, (size_t)size); break;
    }
    return out;
}

// ---- file list ---------------------------------------------------------------

struct BenchFile {
    std::string dir;   // '\\'-separated below the root, "" for the root
    std::string name;
    int64_t size;
};

// Dirs in creation order (parents first): 12 top directories with 9
// subdirectories each, some with one level more.
std::vector<std::string> bench_dirs() {
    std::vector<std::string> dirs;
    for (int a = 0; a < 12; a++) {
        char top[32];
        snprintf(top, sizeof top, "proj%02d", a);
        dirs.push_back(top);
        for (int b = 0; b < 9; b++) {
            char sub[64];
            snprintf(sub, sizeof sub, "%s\\part%d", top, b);
            dirs.push_back(sub);
            if (b % 3 == 0) dirs.push_back(std::string(sub) + "\\deep");
        }
    }
    return dirs;
}

std::vector<BenchFile> bench_files(int scale) {
    static const int64_t large_mib[] = {50, 40, 32, 24, 20, 16, 12, 10, 8, 8,
                                        6,  6,  5,  4,  4,  3,  3,  2,  2, 2};
    const int nlarge = (int)(sizeof large_mib / sizeof large_mib[0]);
    std::vector<std::string> dirs = bench_dirs();
    Rng r(42);
    std::vector<int64_t> sizes(NFILES, 0);
    int64_t large_total = 0, small_total = 0;
    for (int i = 0; i < NFILES; i++) {
        if (i % 200 == 17 && i / 200 < nlarge) {
            sizes[i] = large_mib[i / 200] * MIB;
            large_total += sizes[i];
        } else if (i % 97 == 5) {
            sizes[i] = 0;
        } else {
            // Log-uniform between 1 byte and 1 MiB.
            double u = (double)(r.next() >> 11) / 9007199254740992.0;
            sizes[i] = (int64_t)exp(u * log(1024.0 * 1024.0));
            small_total += sizes[i];
        }
    }
    // Scale the small files so the whole set is 512 MiB.
    double f = (double)(512 * MIB - large_total) / (double)small_total;
    std::vector<BenchFile> files;
    for (int i = 0; i < NFILES; i++) {
        int64_t s = sizes[i];
        if (!(i % 200 == 17 && i / 200 < nlarge)) s = (int64_t)((double)s * f);
        BenchFile b;
        b.dir = i % 50 == 0 ? std::string() : dirs[(size_t)(i / 13) % dirs.size()];
        char name[64];
        static const char* const ext[3] = {"txt", "dat", "bin"};
        snprintf(name, sizeof name, "file%04d.%s", i, ext[kind_of(i)]);
        b.name = name;
        b.size = s * scale;
        files.push_back(b);
    }
    // Files of one directory together, as a backup walks a tree.
    std::vector<BenchFile> sorted;
    std::vector<std::string> order = dirs;
    order.insert(order.begin(), std::string());
    for (const std::string& d : order)
        for (const BenchFile& b : files)
            if (b.dir == d) sorted.push_back(b);
    return sorted;
}

// ---- compression ---------------------------------------------------------------

std::string deflate_group(const char* data, size_t n) {
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
    std::string out(deflateBound(&zs, (uLong)n) + 16, '\0');
    zs.next_in = (Bytef*)data;
    zs.avail_in = (uInt)n;
    zs.next_out = (Bytef*)&out[0];
    zs.avail_out = (uInt)out.size();
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) abort();
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// Groups of one file's content, compressed on two threads.
std::vector<std::string> deflate_groups(const std::string& content) {
    size_t n = content.empty() ? 1 : (content.size() + GROUP - 1) / GROUP;
    std::vector<std::string> out(n);
    auto work = [&](size_t first) {
        for (size_t g = first; g < n; g += 2) {
            size_t at = g * GROUP;
            size_t len = content.size() - at < (size_t)GROUP ? content.size() - at : (size_t)GROUP;
            out[g] = deflate_group(content.data() + at, len);
        }
    };
    if (n > 1) {
        std::thread t(work, 1);
        work(0);
        t.join();
    } else {
        work(0);
    }
    return out;
}

// ---- images --------------------------------------------------------------------

FILE* open_out(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb+");
    if (!f) {
        perror(path.c_str());
        exit(1);
    }
    setvbuf(f, nullptr, _IOFBF, 1 << 20);
    return f;
}

void put(FILE* f, const std::string& bytes) {
    if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        perror("write");
        exit(1);
    }
}

void finish(FILE* f, const std::string& path) {
    if (fclose(f) != 0) {
        perror(path.c_str());
        exit(1);
    }
}

// Copies n bytes at offset from one file to the end of another.
void copy_range(FILE* from, int64_t offset, int64_t n, FILE* to) {
    static std::vector<char> buf(1 << 20);
    if (fseeko(from, offset, SEEK_SET) != 0) abort();
    while (n > 0) {
        size_t take = n < (int64_t)buf.size() ? (size_t)n : buf.size();
        if (fread(buf.data(), 1, take, from) != take) abort();
        if (fwrite(buf.data(), 1, take, to) != take) abort();
        n -= (int64_t)take;
    }
}

imgw::Header header_for(const imgw::BackupSet& set, int disk, uint32_t cat_offs) {
    imgw::Header h = set.header;
    h.disk_num = (uint16_t)disk;
    h.cat_offs = cat_offs;
    return h;
}

// Disk count and per-disk data sizes: each disk's data as equal as can be.
std::vector<int64_t> split(int64_t total, int disks) {
    std::vector<int64_t> v;
    int64_t per = (total + disks - 1) / disks;
    for (int64_t left = total; left > 0; left -= per) v.push_back(left < per ? left : per);
    if (v.empty()) v.push_back(0);
    return v;
}

// The catalog for a layout: disk count, and each group's first disk.
std::string catalog_for(imgw::BackupSet& set, const std::vector<int64_t>& disks) {
    int32_t n = (int32_t)disks.size();
    for (imgw::Comp& c : set.tables.comp) {
        int64_t end = 0;
        c.ARCDSKSE = n;
        for (int32_t k = 0; k < n; k++) {
            end += disks[k];
            if (c.OFFS_LO < end) {
                c.ARCDSKSE = k + 1;
                break;
            }
        }
    }
    set.tables.job.num_disks = n;
    for (imgw::Session& s : set.tables.sessions) s.disk_num = n;
    return imgw::encode_catalog(imgw::make_regions(set.tables));
}

// Lays out a set whose data stream is the file `stream` (total bytes) as the
// images base.001 ... with the given per-disk data sizes.
std::vector<std::string> write_images(imgw::BackupSet& set, const std::string& stream_path,
                                      const std::vector<int64_t>& disks, const std::string& base) {
    std::string catalog = catalog_for(set, disks);
    FILE* stream = fopen(stream_path.c_str(), "rb");
    if (!stream) {
        perror(stream_path.c_str());
        exit(1);
    }
    std::vector<std::string> names;
    int64_t at = 0;
    for (size_t k = 0; k < disks.size(); k++) {
        char suffix[24];
        snprintf(suffix, sizeof suffix, ".%03zu", k + 1);
        std::string path = base + suffix;
        bool last = k + 1 == disks.size();
        uint32_t cat_offs = last ? (uint32_t)(512 + disks[k]) : 0;
        FILE* f = open_out(path);
        put(f, imgw::encode_header(header_for(set, (int)k + 1, cat_offs)));
        copy_range(stream, at, disks[k], f);
        at += disks[k];
        if (last) put(f, catalog);
        finish(f, path);
        names.push_back(path);
    }
    fclose(stream);
    return names;
}

// The tables of the files, from the image writer; sizes, groups and the
// job's compression are filled in by the caller.
imgw::BackupSet plan_tables(const std::vector<BenchFile>& files,
                            const std::vector<std::string>& dirs, int scale_seed) {
    std::vector<imgw::SourceFile> src;
    for (size_t i = 0; i < files.size(); i++) {
        imgw::SourceFile s;
        s.dir = files[i].dir;
        s.name = files[i].name;
        char date[16];
        snprintf(date, sizeof date, "20%02d%02d%02d%02d%02d%02d", (int)(i % 20) + 1,
                 (int)(i % 12) + 1, (int)(i % 28) + 1, (int)(i % 24), (int)(i % 60),
                 (int)((i + (size_t)scale_seed) % 60));
        s.date = date;
        s.attrib = i % 23 == 3 ? 0x21 : 0x1B6;  // a few read-only files
        src.push_back(s);
    }
    imgw::SetOptions opt;
    opt.compressed = false;
    opt.name = "benchmark set";
    imgw::BackupSet set = imgw::plan_set(src, opt, dirs);
    for (size_t i = 0; i < files.size(); i++) set.tables.files[i].size_lo = files[i].size;
    return set;
}

std::string native(const std::string& dir) {
    std::string out = "C_";
    if (!dir.empty()) out += "/" + dir;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

// manifest.txt: "D path" for every directory in creation order, then per
// file "F size ngroups path" followed by ngroups lines "G compsize orgsize".
void write_manifest(const std::string& path, const std::vector<std::string>& dirs,
                    const std::vector<BenchFile>& files,
                    const std::vector<std::vector<std::pair<int64_t, int64_t>>>& groups) {
    FILE* f = open_out(path);
    fprintf(f, "D C_\n");
    for (const std::string& d : dirs) fprintf(f, "D %s\n", native(d).c_str());
    for (size_t i = 0; i < files.size(); i++) {
        std::string p = native(files[i].dir) + "/" + files[i].name;
        fprintf(f, "F %lld %zu %s\n", (long long)files[i].size, groups[i].size(), p.c_str());
        for (const auto& g : groups[i])
            fprintf(f, "G %lld %lld\n", (long long)g.first, (long long)g.second);
    }
    finish(f, path);
}

int make_data(const std::string& dir, int scale, bool three, bool stored, int disks) {
    std::vector<std::string> dirs = bench_dirs();
    std::vector<BenchFile> files = bench_files(scale);
    imgw::BackupSet comp = plan_tables(files, dirs, scale);
    imgw::BackupSet plain = plan_tables(files, dirs, scale);
    comp.tables.job.compressed = 1;

    std::string comp_stream = dir + "/comp.stream";
    std::string stored_stream = dir + "/stored.stream";
    FILE* cs = open_out(comp_stream);
    FILE* ss = stored ? open_out(stored_stream) : nullptr;
    std::vector<std::vector<std::pair<int64_t, int64_t>>> groups(files.size());
    int64_t comp_total = 0, stored_total = 0, largest = 0;
    for (size_t i = 0; i < files.size(); i++) {
        std::string content = content_of((int)i, files[i].size);
        if (ss) put(ss, content);
        stored_total += (int64_t)content.size();
        std::vector<std::string> packed = deflate_groups(content);
        for (size_t g = 0; g < packed.size(); g++) {
            int64_t org = (int64_t)content.size() - (int64_t)g * GROUP;
            if (org > GROUP) org = GROUP;
            uLong crc = crc32(0L, (const Bytef*)content.data() + g * GROUP, (uInt)org);
            imgw::Comp c;
            c.SERIAL = c.SEQUENCE = (int64_t)comp.tables.comp.size() + 1;
            c.ORGSER = comp.tables.files[i].serial;
            c.ORGSIZE = org;
            c.COMPSIZE = (int64_t)packed[g].size();
            c.CHK_SUM = (int64_t)(int32_t)~(uint32_t)crc;
            c.COMP_LVL = 4;
            c.OFFS_LO = comp_total;
            c.IS_LAST = g + 1 == packed.size() ? 1 : 0;
            comp.tables.comp.push_back(c);
            groups[i].push_back({c.COMPSIZE, c.ORGSIZE});
            if (c.COMPSIZE > largest) largest = c.COMPSIZE;
            put(cs, packed[g]);
            comp_total += c.COMPSIZE;
        }
    }
    finish(cs, comp_stream);
    if (ss) finish(ss, stored_stream);
    comp.tables.disks[0].used_low = (int32_t)comp_total;
    plain.tables.disks[0].used_low = (int32_t)stored_total;

    FILE* info = open_out(dir + "/info.txt");
    int ndisks = (int)((comp_total + MAX_DISK_DATA - 1) / MAX_DISK_DATA);
    if (ndisks < 1) ndisks = 1;
    if (disks > ndisks) ndisks = disks;
    std::vector<std::string> names =
        write_images(comp, comp_stream, split(comp_total, ndisks), dir + "/comp");
    fprintf(info, "comp %d", ndisks);
    for (const std::string& n : names) fprintf(info, " %s", n.c_str());
    fprintf(info, "\n");
    if (three) {
        // The sets share a directory: each has set ids of its own, so a
        // search of the directory for a set's images tells them apart.
        comp.header.set_id2 ^= 3u;
        names = write_images(comp, comp_stream, split(comp_total, 3), dir + "/comp3");
        fprintf(info, "comp3 3");
        for (const std::string& n : names) fprintf(info, " %s", n.c_str());
        fprintf(info, "\n");
    }
    if (stored) {
        if (stored_total >= MAX_DISK_DATA) {
            fprintf(stderr, "benchgen: stored set too large for one disk\n");
            return 1;
        }
        plain.header.set_id2 ^= 5u;
        names = write_images(plain, stored_stream, split(stored_total, 1), dir + "/stored");
        fprintf(info, "stored 1 %s\n", names[0].c_str());
        remove(stored_stream.c_str());
    }
    fprintf(info, "files %zu dirs %zu data %lld compressed %lld groups %zu largest_group %lld\n",
            files.size(), dirs.size() + 1, (long long)stored_total, (long long)comp_total,
            comp.tables.comp.size(), (long long)largest);
    finish(info, dir + "/info.txt");
    remove(comp_stream.c_str());
    write_manifest(dir + "/manifest.txt", dirs, files, groups);
    return 0;
}

// A catalog-heavy set: nfiles files of up to 300 bytes, 100 to a directory.
int make_catalog(const std::string& dir, int nfiles) {
    std::vector<std::string> dirs;
    int ndirs = (nfiles + 99) / 100;
    for (int d = 0; d < ndirs; d++) {
        char name[64];
        if (d % 20 == 0) {
            snprintf(name, sizeof name, "g%04d", d / 20);
            dirs.push_back(name);
        }
        snprintf(name, sizeof name, "g%04d\\d%06d", d / 20, d);
        dirs.push_back(name);
    }
    std::vector<BenchFile> files;
    std::vector<std::string> contents, packed;
    for (int k = 0; k < 64; k++) {
        Rng r(5000 + (uint64_t)k);
        std::string c;
        text_bytes(r, c, (size_t)(k * 5 % 300));
        contents.push_back(c);
        packed.push_back(deflate_group(c.data(), c.size()));
    }
    for (int i = 0; i < nfiles; i++) {
        BenchFile b;
        char name[64];
        snprintf(name, sizeof name, "g%04d\\d%06d", i / 2000, i / 100);
        b.dir = name;
        snprintf(name, sizeof name, "note%07d.txt", i);
        b.name = name;
        b.size = (int64_t)contents[(size_t)i % 64].size();
        files.push_back(b);
    }
    imgw::BackupSet set = plan_tables(files, dirs, 0);
    set.tables.job.compressed = 1;
    std::string stream_path = dir + "/list.stream";
    FILE* s = open_out(stream_path);
    int64_t total = 0;
    for (int i = 0; i < nfiles; i++) {
        const std::string& c = contents[(size_t)i % 64];
        const std::string& p = packed[(size_t)i % 64];
        uLong crc = crc32(0L, (const Bytef*)c.data(), (uInt)c.size());
        imgw::Comp g;
        g.SERIAL = g.SEQUENCE = i + 1;
        g.ORGSER = i + 1;
        g.ORGSIZE = (int64_t)c.size();
        g.COMPSIZE = (int64_t)p.size();
        g.CHK_SUM = (int64_t)(int32_t)~(uint32_t)crc;
        g.OFFS_LO = total;
        g.IS_LAST = 1;
        set.tables.comp.push_back(g);
        put(s, p);
        total += (int64_t)p.size();
    }
    finish(s, stream_path);
    set.tables.disks[0].used_low = (int32_t)total;
    write_images(set, stream_path, split(total, 1), dir + "/list");
    remove(stream_path.c_str());
    return 0;
}

void usage() {
    fprintf(stderr,
            "usage: benchgen data DIR SCALE [-3] [-s] [-d DISKS]\n"
            "       benchgen catalog DIR NFILES\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        usage();
        return 2;
    }
    std::string mode = argv[1], dir = argv[2];
    int n = atoi(argv[3]);
    if (mode == "data" && n >= 1 && n <= 8) {
        bool three = false, stored = false;
        int disks = 0;
        for (int i = 4; i < argc; i++) {
            if (strcmp(argv[i], "-3") == 0) three = true;
            else if (strcmp(argv[i], "-s") == 0) stored = true;
            else if (strcmp(argv[i], "-d") == 0 && i + 1 < argc && atoi(argv[i + 1]) >= 1 &&
                     atoi(argv[i + 1]) <= 64)
                disks = atoi(argv[++i]);
            else {
                usage();
                return 2;
            }
        }
        return make_data(dir, n, three, stored, disks);
    }
    if (mode == "catalog" && n >= 1) return make_catalog(dir, n);
    usage();
    return 2;
}
