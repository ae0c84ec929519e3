// Formats an event's values into unbak's texts (see event_text.h).
#include "restore/event_text.h"

#include <string.h>

enum { PIECE_MAX = 48 };

void put_event_text(FILE* out, const char* fmt, const Event* ev) {
    int next = 0;
    const char* p = fmt;
    while (*p) {
        const char* pct = strchr(p, '%');
        if (pct == nullptr) {
            fputs(p, out);
            return;
        }
        fwrite(p, 1, (size_t)(pct - p), out);
        if (pct[1] == '%') {
            fputc('%', out);
            p = pct + 2;
            continue;
        }
        // Flags, width and precision are kept, a '*' taking the next value
        // as printf's does; the length is ours to set.
        const char* q = pct + 1;
        while (*q && strchr("-+ #0123456789.*", *q)) q++;
        const char* length_at = q;
        bool is_long = false;
        while (*q == 'l' || *q == 'h') {
            if (*q == 'l') is_long = true;
            q++;
        }
        char conv = *q;
        if (conv == '\0') return;
        char piece[PIECE_MAX];
        size_t keep = 0;
        for (const char* c = pct; c < length_at && keep < PIECE_MAX - 2; c++) {
            if (*c != '*') {
                piece[keep++] = *c;
                continue;
            }
            const EventArg* star = next < ev->argc ? &ev->args[next] : nullptr;
            next++;
            int v = star && !star->text ? (int)(int32_t)(uint32_t)star->num : 0;
            // A negative precision is none; a negative width is the '-' flag.
            if (v < 0 && keep > 0 && piece[keep - 1] == '.') {
                keep--;
                continue;
            }
            char digits[16];
            int n = snprintf(digits, sizeof digits, "%d", v);
            for (int k = 0; k < n && keep < PIECE_MAX - 2; k++) piece[keep++] = digits[k];
        }
        const EventArg* arg = next < ev->argc ? &ev->args[next] : nullptr;
        next++;
        if (conv == 's') {
            piece[keep] = 's';
            piece[keep + 1] = '\0';
            fprintf(out, piece, arg && arg->text ? arg->text : "");
        } else if (conv == 'c') {
            piece[keep] = 'c';
            piece[keep + 1] = '\0';
            fprintf(out, piece, arg ? (int)arg->num : 0);
        } else {
            int64_t v = arg && !arg->text ? arg->num : 0;
            piece[keep] = conv;
            piece[keep + 1] = '\0';
            bool is_signed = conv == 'd' || conv == 'i';
            if (is_long) {
                // A 32-bit long.
                if (is_signed)
                    fprintf(out, piece, (int)(int32_t)(uint32_t)v);
                else
                    fprintf(out, piece, (unsigned)(uint32_t)v);
            } else if (is_signed) {
                fprintf(out, piece, (int)(int32_t)(uint32_t)v);
            } else {
                fprintf(out, piece, (unsigned)(uint32_t)v);
            }
        }
        p = q + 1;
    }
}
