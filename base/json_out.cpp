// The report's JSON writer: plain loops over a fixed buffer.
#include "json_out.h"

namespace {

constexpr char HEX_LOWER[] = "0123456789abcdef";

// The length of the valid UTF-8 sequence at `p` (at most `left` bytes), or
// 0 when the bytes there are not one: overlong forms, surrogates and code
// points past U+10FFFF are not.
size_t Utf8Sequence(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t length = 0;
    uint32_t min = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        min = 0x80;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        min = 0x800;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        min = 0x10000;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (left < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

} // namespace

void JsonOut::Put(char c) {
    // One byte stays for the caller's line break.
    if (at_ + 1 < cap_) {
        buffer_[at_++] = c;
    } else {
        overflowed_ = true;
    }
}

void JsonOut::Raw(const char* text) {
    for (; *text != '\0'; ++text) {
        Put(*text);
    }
}

void JsonOut::Raw(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        Put(text[i]);
    }
}

void JsonOut::String(const char* text, size_t length) {
    size_t n = 0;
    while (n < length && text[n] != '\0') {
        ++n;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    Put('"');
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            switch (c) {
            case '"':
                Raw("\\\"");
                break;
            case '\\':
                Raw("\\\\");
                break;
            case '\n':
                Raw("\\n");
                break;
            case '\t':
                Raw("\\t");
                break;
            case '\r':
                Raw("\\r");
                break;
            case '\b':
                Raw("\\b");
                break;
            case '\f':
                Raw("\\f");
                break;
            default:
                if (c < 0x20) {
                    Raw("\\u00");
                    Put(HEX_LOWER[c >> 4]);
                    Put(HEX_LOWER[c & 0x0F]);
                } else {
                    Put(static_cast<char>(c));
                }
            }
            ++i;
            continue;
        }
        const size_t sequence = Utf8Sequence(p + i, n - i);
        if (sequence > 0) {
            Raw(text + i, sequence);
            i += sequence;
        } else {
            // The byte as Latin-1 reads it, U+0080..U+00FF.
            Raw("\\u00");
            Put(HEX_LOWER[c >> 4]);
            Put(HEX_LOWER[c & 0x0F]);
            ++i;
        }
    }
    Put('"');
}

void JsonOut::StringOrNull(const char* text, size_t length) {
    if (text == nullptr) {
        Raw("null");
    } else {
        String(text, length);
    }
}

void JsonOut::Unsigned(uint64_t value) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        Put(digits[--n]);
    }
}

void JsonOut::Signed(int64_t value) {
    if (value < 0) {
        Put('-');
        Unsigned(static_cast<uint64_t>(-(value + 1)) + 1);
    } else {
        Unsigned(static_cast<uint64_t>(value));
    }
}

void JsonOut::Seconds(uint64_t micros) {
    const uint64_t ms = (micros + 500) / 1000;
    Unsigned(ms / 1000);
    Put('.');
    Put(static_cast<char>('0' + ms / 100 % 10));
    Put(static_cast<char>('0' + ms / 10 % 10));
    Put(static_cast<char>('0' + ms % 10));
}

void JsonOut::HexString(uint64_t value, int digits) {
    Put('"');
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        Put(HEX_LOWER[(value >> shift) & 0x0F]);
    }
    Put('"');
}

void JsonOut::HexBytes(const uint8_t* bytes, size_t length) {
    Put('"');
    for (size_t i = 0; i < length; ++i) {
        Put(HEX_LOWER[bytes[i] >> 4]);
        Put(HEX_LOWER[bytes[i] & 0x0F]);
    }
    Put('"');
}

void JsonOut::Key(const char* key, bool first) {
    if (!first) {
        Put(',');
    }
    Put('"');
    Raw(key);
    Raw("\":");
}
