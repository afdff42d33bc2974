// Control characters of outside text as \xNN.
#include "text_escape.h"

#include <cstdint>
#include <cstring>

namespace {

bool is_continuation(unsigned char c) {
    return c >= 0x80 && c <= 0xBF;
}

// The length of the well-formed UTF-8 sequence at `text` (2 to 4) within
// `room` bytes, or 0 when none starts there. The NUL that ends the text is
// never a continuation.
size_t utf8_length(const unsigned char* text, size_t room) {
    const unsigned char lead = text[0];
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    }
    if (length > room) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (!is_continuation(text[i])) {
            return 0;
        }
    }
    return length;
}

// What the character at `text` is: `length` bytes, each escaped or none.
// C0 controls and DEL; the C1 controls both as the single bytes 0x80-0x9F
// a terminal in an 8-bit mode obeys and as their UTF-8 forms U+0080-U+009F
// (C2 80 to C2 9F) a UTF-8 terminal obeys. A byte 0x80-0x9F inside another
// UTF-8 character (the 9B of "ě") is part of that character and kept.
struct Piece {
    size_t length;
    bool escaped;
};

Piece next_piece(const char* text, size_t room) {
    const auto* u = reinterpret_cast<const unsigned char*>(text);
    const unsigned char c = u[0];
    if (c < 0x20 || c == 0x7F) {
        return {1, true};
    }
    if (c < 0x80) {
        return {1, false};
    }
    const size_t length = utf8_length(u, room);
    if (length == 0) {
        return {1, c <= 0x9F};
    }
    return {length, c == 0xC2 && u[1] <= 0x9F};
}

} // namespace

const char* text_EscapeControls(const char* text, size_t length, char* out, size_t cap) {
    static const char HEX[] = "0123456789ABCDEF";
    size_t at = 0;
    size_t i = 0;
    while (i < length && text[i] != '\0') {
        const Piece piece = next_piece(text + i, length - i);
        const size_t need = piece.escaped ? piece.length * TEXT_ESCAPED_CHAR_SIZE : piece.length;
        if (at + need + 1 > cap) {
            break;
        }
        for (size_t k = 0; k < piece.length; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if (piece.escaped) {
                out[at++] = '\\';
                out[at++] = 'x';
                out[at++] = HEX[c >> 4];
                out[at++] = HEX[c & 0x0F];
            } else {
                out[at++] = text[i + k];
            }
        }
        i += piece.length;
    }
    out[at] = '\0';
    return out;
}

size_t text_EscapedLength(const char* text) {
    size_t total = 0;
    for (size_t i = 0; text[i] != '\0';) {
        const Piece piece = next_piece(text + i, SIZE_MAX);
        total += piece.escaped ? piece.length * TEXT_ESCAPED_CHAR_SIZE : piece.length;
        i += piece.length;
    }
    return total;
}

const char* text_ShownName(const char* name, char* out, size_t cap) {
    for (const char* p = name; *p != '\0';) {
        const Piece piece = next_piece(p, SIZE_MAX);
        if (piece.escaped) {
            return text_EscapeControls(name, static_cast<size_t>(-1), out, cap);
        }
        p += piece.length;
    }
    return name;
}

const char* text_ShownCut(const char* name, char* out, size_t cap) {
    if (text_EscapedLength(name) < cap) {
        return text_ShownName(name, out, cap);
    }
    constexpr char CUT[] = "...";
    text_EscapeControls(name, static_cast<size_t>(-1), out, cap - (sizeof CUT - 1));
    std::strcat(out, CUT);
    return out;
}
