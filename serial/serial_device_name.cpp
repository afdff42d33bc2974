// Device path for a port name as typed; pure text, the same on every system.
#include "serial_device_name.h"

#include <cstring>

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

} // namespace

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
