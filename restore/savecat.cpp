// Catalog save (-c): writes the catalog image's catalog to <bkup file>.cat.
//
// The file has the layout of a backup image with an empty data area: the
// image's header with cat_offs 0x200 and a note naming the source image
// added to the backup name, then every byte of the image from its catalog
// to its end. The run's work buffer (catalog->io) holds the output name,
// then the note, then each block of the copy.
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "restore/events.h"
#include "restore/restore.h"

enum {
    CAT_COPY_BLOCK = 1024,
    // Room for ".cat" and the terminator behind the copied part of the path.
    CAT_NAME_MAX = WORK_BUF_SIZE - 5,
};

// <image path>.cat: the path up to the first '.' of its last component (or
// all of it), at most CAT_NAME_MAX characters, then ".cat". Taking a dot in
// a directory name would put the catalog outside the image's folder.
static void make_cat_name(const char* image_path, char* out) {
    int32_t name_at = plat_last_component(image_path);
    int32_t n = 0;
    while (n < CAT_NAME_MAX && image_path[n] != '\0' && !(image_path[n] == '.' && n >= name_at)) {
        out[n] = image_path[n];
        n++;
    }
    memcpy(out + n, ".cat", 5);
}

// Writes n bytes; true when all of them went out.
static bool write_all(int out, const void* data, int32_t n) {
    return plat_write(out, data, n) == n;
}

SaveResult save_cat(int image, Catalog* catalog) {
    char* work_buf = catalog->io.work_buf;
    FileHeader* header = catalog->header;
    uint32_t cat_offs = fh_cat_offs(header);
    if (cat_offs == 0) return SAVE_NO_CATALOG;

    // When the catalog file's name reaches the image itself (a saved catalog
    // given as the image, or a link to it), the create below would truncate
    // what we read: refuse it. The file system decides what is the same
    // file, not the spelling of the names.
    make_cat_name(catalog->image_path, work_buf);
    int out = plat_same_file(work_buf, catalog->image_path) ? -1 : plat_create(work_buf);
    if (out < 0) {
        say(catalog->io.rep, EV_CATALOG_FILE_OPEN_FAILED, {ev_text(work_buf)});
        return SAVE_OPEN_FAILED;
    }

    // The note fills what the name leaves of the 460-byte name area: cut to
    // fit, or padded with NULs (which then end the name).
    const int32_t area = (int32_t)HEADER_NAME_AREA;
    int32_t name_len = header->name_len;
    if (name_len > area) name_len = area;
    if (header->name == NULL) name_len = 0;
    int32_t room = area - name_len;
    int note_len = snprintf(work_buf, WORK_BUF_SIZE, " -\n copied from: %s", catalog->image_path);
    if (note_len < 0) note_len = 0;
    if (note_len < room) memset(work_buf + note_len, 0, (size_t)(room - note_len));

    fh_set_cat_offs(header, DATA_START);
    bool header_ok = write_all(out, header->fixed, HEADER_FIXED_SIZE) &&
                     write_all(out, header->name, name_len) && write_all(out, work_buf, room);
    fh_set_cat_offs(header, cat_offs);
    if (!header_ok) {
        say(catalog->io.rep, EV_CATALOG_HEADER_WRITE_FAILED);
        plat_close(out);
        return SAVE_HEADER_WRITE_FAILED;
    }

    // After a disk change the catalog image's handle is gone: reach the
    // image again by its path for the copy.
    bool reopened = false;
    if (image < 0) {
        image = plat_open_read(catalog->image_path);
        reopened = image >= 0;
    }
    // The catalog offset is the signed 32-bit file offset the region walk
    // seeks to: from 2^31 on it is negative and out of reach.
    int64_t cat_start = cat_offs <= (uint32_t)INT32_MAX ? (int64_t)cat_offs : -1;
    // The copy runs to the image's end, measured first: a read that comes
    // short before it is a read error, which would otherwise leave a
    // catalog file cut short without a word.
    int64_t resume = image >= 0 ? plat_seek(image, 0, PLAT_SEEK_CUR) : -1;
    int64_t end = image >= 0 ? plat_seek(image, 0, PLAT_SEEK_END) : -1;
    if (image < 0 || cat_start < 0 || end < 0 ||
        plat_seek(image, cat_start, PLAT_SEEK_SET) != cat_start) {
        say(catalog->io.rep, EV_CATALOG_SEEK_FAILED, {ev_num(cat_offs)});
        if (reopened)
            plat_close(image);
        else if (resume >= 0)
            plat_seek(image, resume, PLAT_SEEK_SET);
        plat_close(out);
        return SAVE_SEEK_FAILED;
    }

    SaveResult result = SAVE_DONE;
    for (int64_t left = end > cat_start ? end - cat_start : 0; left > 0;) {
        int32_t block = left < CAT_COPY_BLOCK ? (int32_t)left : CAT_COPY_BLOCK;
        int32_t got = plat_read(image, work_buf, block);
        if (got <= 0 || !write_all(out, work_buf, got)) {
            result = SAVE_COPY_FAILED;
            break;
        }
        left -= got;
    }
    if (result == SAVE_COPY_FAILED) say(catalog->io.rep, EV_CATALOG_COPY_FAILED);

    if (reopened)
        plat_close(image);
    else if (resume >= 0)
        plat_seek(image, resume, PLAT_SEEK_SET);
    plat_close(out);
    return result;
}
