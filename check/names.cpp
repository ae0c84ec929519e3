// Names as bak shows and writes them: see names.h.
#include "check/names.h"

#include <stdint.h>

int utf8_sequence_length(const unsigned char* p, size_t left) {
    if (left == 0) return 0;
    unsigned char b = p[0];
    if (b < 0x80) return 1;
    // The lead byte sets the length and the range of the second byte; the
    // narrow ranges rule out overlong forms (E0, F0), surrogates (ED) and
    // code points beyond U+10FFFF (F4).
    int len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (left < (size_t)len || p[1] < lo || p[1] > hi) return 0;
    for (int i = 2; i < len; i++)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return len;
}

static void append_escaped(std::string* out, unsigned char b) {
    static const char hex[] = "0123456789abcdef";
    char e[4] = {'\\', 'x', hex[b >> 4], hex[b & 15]};
    out->append(e, 4);
}

std::string escape_for_output(const std::string& text) {
    const unsigned char* p = (const unsigned char*)text.data();
    size_t n = text.size();
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        int len = utf8_sequence_length(p + i, n - i);
        // C1 controls are U+0080-U+009F: C2 80 to C2 9F.
        bool control = len == 1 ? p[i] < 0x20 || p[i] == 0x7F : len == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0;
        if (len == 0) {
            append_escaped(&out, p[i]);
            i++;
        } else if (control) {
            for (int k = 0; k < len; k++) append_escaped(&out, p[i + k]);
            i += (size_t)len;
        } else {
            out.append(text, i, (size_t)len);
            i += (size_t)len;
        }
    }
    return out;
}

std::string decode_charset(PlatCharset* cs, const std::string& raw) {
    if (!cs || raw.empty()) return raw;
    // Catalog names are at most a few hundred bytes; a text too long for an
    // int32_t count is left as it is (and escaped when shown).
    if (raw.size() > (size_t)INT32_MAX / 4) return raw;
    std::string out(raw.size() * 4, '\0');
    int32_t n = plat_charset_decode(cs, raw.data(), (int32_t)raw.size(), &out[0], (int32_t)out.size());
    // Four bytes a byte always do; should a decoder take more, the bytes
    // stay as they are.
    if (n < 0) return raw;
    out.resize((size_t)n);
    return out;
}

std::string output_path(const std::string& listed) {
    std::string out = listed;
    for (char& c : out) {
        if (c == ':') c = '_';
        else if (c == '\\') c = '/';
    }
    return out;
}
