// Device path for a port name as typed; pure text, the same on every system.
#include "serial_device_name.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr char DEVICE_PREFIX[] = "\\\\.\\";

bool is_bare_com_name(const char* name) {
    const char head[] = "COM";
    for (size_t i = 0; i < 3; ++i) {
        const char c = name[i];
        const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        if (upper != head[i]) {
            return false;
        }
    }
    const char* digits = name + 3;
    if (*digits == '\0') {
        return false;
    }
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when [begin, end) is `word`, any case.
bool same_word(const char* begin, const char* end, const char* word) {
    const size_t length = std::strlen(word);
    if (static_cast<size_t>(end - begin) != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (upper(begin[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool com_IsReservedDeviceName(const char* name) {
    // The last component of a path: "C:\work\NUL" is still NUL.
    const char* base = name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            base = p + 1;
        }
    }
    // The device is named up to an extension or a colon ("NUL.txt", "CON:").
    const char* end = base;
    while (*end != '\0' && *end != '.' && *end != ':') {
        ++end;
    }
    // Trailing spaces are dropped by the system too.
    while (end > base && end[-1] == ' ') {
        --end;
    }
    for (const char* word : {"CON", "CONIN$", "CONOUT$", "NUL", "AUX", "PRN"}) {
        if (same_word(base, end, word)) {
            return true;
        }
    }
    return end - base == 4 && same_word(base, base + 3, "LPT") && base[3] >= '0' && base[3] <= '9';
}

bool com_DevicePath(const char* name, char* out, size_t out_size) {
    const bool prefixed = is_bare_com_name(name);
    const size_t prefix_length = prefixed ? sizeof DEVICE_PREFIX - 1 : 0;
    const size_t name_length = std::strlen(name);
    if (prefix_length + name_length + 1 > out_size) {
        return false;
    }
    std::memcpy(out, DEVICE_PREFIX, prefix_length);
    std::memcpy(out + prefix_length, name, name_length + 1);
    return true;
}
