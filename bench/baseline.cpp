// baseline: the two limits the restore is measured against. Both read the
// data stream of a set's images in order and write the set's files below the
// current directory, as a restore does, with nothing else to do:
//
//   baseline zlib MANIFEST IMAGE...   inflates every group whole from memory
//                                     into a 64 KiB window, one write per
//                                     window (the limit for compressed sets)
//   baseline copy MANIFEST IMAGE...   copies every file in 128 KiB pieces
//                                     (the limit for stored sets)
//
// MANIFEST is benchgen's manifest.txt; the images are given in disk order.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <zlib.h>

namespace {

const size_t WINDOW = 64 * 1024;
const size_t PIECE = 128 * 1024;

void fail(const char* what, const std::string& arg) {
    fprintf(stderr, "baseline: %s %s: %s\n", what, arg.c_str(), strerror(errno));
    exit(1);
}

// The data stream: each image's bytes from 0x200 to its catalog (last disk)
// or its end.
struct Stream {
    std::vector<std::string> images;
    size_t next = 0;
    int fd = -1;
    int64_t left = 0;

    void open_next() {
        if (fd >= 0) close(fd);
        if (next >= images.size()) {
            errno = 0;
            fail("data stream ends in", images.back());
        }
        const std::string& path = images[next++];
        fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) fail("cannot open", path);
        unsigned char head[512];
        if (read(fd, head, sizeof head) != (ssize_t)sizeof head)
            fail("cannot read header of", path);
        uint32_t cat_offs = (uint32_t)head[28] | (uint32_t)head[29] << 8 |
                            (uint32_t)head[30] << 16 | (uint32_t)head[31] << 24;
        struct stat st;
        if (fstat(fd, &st) != 0) fail("cannot stat", path);
        left = (cat_offs != 0 ? (int64_t)cat_offs : (int64_t)st.st_size) - 512;
    }

    // Reads exactly n bytes, crossing to the next image where one ends.
    void read_exact(char* buf, size_t n) {
        while (n > 0) {
            if (fd < 0 || left == 0) open_next();
            size_t take = (int64_t)n < left ? n : (size_t)left;
            ssize_t got = read(fd, buf, take);
            if (got <= 0) fail("short read in", images[next - 1]);
            buf += got;
            n -= (size_t)got;
            left -= got;
        }
    }
};

void write_all(int fd, const char* buf, size_t n, const std::string& path) {
    while (n > 0) {
        ssize_t put = write(fd, buf, n);
        if (put <= 0) fail("cannot write", path);
        buf += put;
        n -= (size_t)put;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (strcmp(argv[1], "zlib") != 0 && strcmp(argv[1], "copy") != 0)) {
        fprintf(stderr, "usage: baseline zlib|copy MANIFEST IMAGE...\n");
        return 2;
    }
    bool inflating = strcmp(argv[1], "zlib") == 0;
    FILE* manifest = fopen(argv[2], "r");
    if (!manifest) fail("cannot open", argv[2]);
    Stream stream;
    for (int i = 3; i < argc; i++) stream.images.push_back(argv[i]);

    std::vector<char> in(PIECE), out(WINDOW);
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -15) != Z_OK) return 1;

    char line[1024];
    int fd = -1;
    std::string path;
    while (fgets(line, sizeof line, manifest)) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == 'D') {
            if (mkdir(line + 2, 0777) != 0 && errno != EEXIST) fail("cannot create", line + 2);
        } else if (line[0] == 'F') {
            long long size = 0;
            int consumed = 0;
            size_t ngroups = 0;
            if (sscanf(line + 2, "%lld %zu %n", &size, &ngroups, &consumed) < 2) return 1;
            if (fd >= 0) close(fd);
            path = line + 2 + consumed;
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0) fail("cannot create", path);
            if (!inflating) {
                for (long long left = size; left > 0;) {
                    size_t take = left < (long long)PIECE ? (size_t)left : PIECE;
                    stream.read_exact(in.data(), take);
                    write_all(fd, in.data(), take, path);
                    left -= (long long)take;
                }
            }
        } else if (line[0] == 'G' && inflating) {
            long long comp = 0, org = 0;
            if (sscanf(line + 2, "%lld %lld", &comp, &org) != 2) return 1;
            if ((size_t)comp > in.size()) in.resize((size_t)comp);
            stream.read_exact(in.data(), (size_t)comp);
            inflateReset(&zs);
            zs.next_in = (Bytef*)in.data();
            zs.avail_in = (uInt)comp;
            int ret = Z_OK;
            while (ret == Z_OK) {
                zs.next_out = (Bytef*)out.data();
                zs.avail_out = (uInt)WINDOW;
                ret = inflate(&zs, Z_NO_FLUSH);
                if (ret != Z_OK && ret != Z_STREAM_END) {
                    fprintf(stderr, "baseline: inflate error %d in %s\n", ret, path.c_str());
                    return 1;
                }
                write_all(fd, out.data(), WINDOW - zs.avail_out, path);
            }
        }
    }
    if (fd >= 0) close(fd);
    inflateEnd(&zs);
    fclose(manifest);
    return 0;
}
