// unbak's disk dialogue on the console (see unbak_dialogue.h).
#include "restore/unbak_dialogue.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

enum { CHOICE_MAX = 10 };

// Reads the rest of an over-long line so it is not taken as the next answer.
static void drop_rest_of_line(void) {
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
    }
}

static void flush_before_reading(void) {
    plat_flush_all();
    fflush(stdout);
}

// Prompts for disk `disk`'s image and reads the name the user types. False
// when none was given: the input ended or the line was empty.
static bool ask_image_name(void* ctx, int32_t disk, char* name, size_t size) {
    (void)ctx;
    printf("\n\nenter file name for disk %d image followed by 'Enter', empty name aborts\n",
           (int)disk);
    flush_before_reading();
    if (size < 2 || !fgets(name, (int)size, stdin)) return false;
    if (name[0] == '\n') return false;
    size_t len = strlen(name);
    if (len > 0 && name[len - 1] != '\n' && len == size - 1) drop_rest_of_line();
    // Trailing newline, carriage return, tabs and other control bytes
    // are not part of the name, but the first character always is: a
    // line of only a CR or a tab is a name (one no file has), not an
    // empty one. Only a line that begins with a NUL is empty here.
    while (len > 1 && (unsigned char)name[len - 1] < 15) name[--len] = '\0';
    return len != 0;
}

int read_reply(void) {
    flush_before_reading();
    int first = EOF;
    int c;
    while ((c = getchar()) != EOF) {
        if (first == EOF) first = c;
        if (c == '\n') break;
    }
    if (first >= 'a' && first <= 'z') first -= 'a' - 'A';
    return first;
}

int get_choice(const char* allowed) {
    char choices[CHOICE_MAX];
    int n = 0;
    for (; n < CHOICE_MAX && allowed[n]; n++) {
        char c = allowed[n];
        choices[n] = c >= 'a' && c <= 'z' ? (char)(c - ('a' - 'A')) : c;
    }
    printf("\nenter char: ");
    for (;;) {
        int c = read_reply();
        bool at_end = c == EOF;
        if (at_end) c = 'A';  // no more answers: abort
        for (int i = 0; i < n; i++)
            if ((unsigned char)choices[i] == c) return i;
        if (at_end) return -1;  // and no A among the choices to give
        printf("\ntry again, invalid response:");
    }
}

static StartChoice ask_start(void* ctx) {
    (void)ctx;
    printf("\nenter one of 4 chars {'Y','N','L','A'} followed by 'Enter' to control operations");
    printf("\n'Y' to just restore the complete files on this last catalog disk");
    printf("\n'N' to start with 1st disk and try to restore all files");
    printf("\n'L' to abort extraction, restoring no files, but changing mode to List for files on this Disk");
    printf("\n'A' to abort and do nothing more");
    switch (get_choice("YNLA")) {
    case 0:
        return START_THIS_DISK;
    case 1:
        return START_FIRST_DISK;
    case 2:
        return START_LIST;
    default:
        return START_ABORT;
    }
}

const Dialogue UNBAK_DIALOGUE = {ask_image_name, ask_start, nullptr};
