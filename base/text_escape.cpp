// Control characters of outside text as \xNN.
#include "text_escape.h"

namespace {

bool is_control(unsigned char c) {
    return (c != 0 && c < 0x20) || c == 0x7F;
}

} // namespace

const char* text_EscapeControls(const char* text, size_t length, char* out, size_t cap) {
    static const char HEX[] = "0123456789ABCDEF";
    size_t at = 0;
    for (size_t i = 0; i < length && text[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t need = is_control(c) ? TEXT_ESCAPED_CHAR_SIZE : 1;
        if (at + need + 1 > cap) {
            break;
        }
        if (need == 1) {
            out[at++] = text[i];
        } else {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = HEX[c >> 4];
            out[at++] = HEX[c & 0x0F];
        }
    }
    out[at] = '\0';
    return out;
}

const char* text_ShownName(const char* name, char* out, size_t cap) {
    for (const char* p = name; *p != '\0'; ++p) {
        if (is_control(static_cast<unsigned char>(*p))) {
            return text_EscapeControls(name, static_cast<size_t>(-1), out, cap);
        }
    }
    return name;
}
