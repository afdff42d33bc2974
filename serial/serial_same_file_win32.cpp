// An output file compared with the port by name: a COM port has no file
// identity to compare, and its names are few (COM3, \\.\COM3, com3).
#include "serial_same_file.h"

#include "serial_device_name.h"

namespace {

// Longest name compared; a longer one is no COM port name.
constexpr size_t NAME_CAPACITY = 260;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool com_IsPortFile(const char* port, const char* path, intptr_t) {
    char port_path[NAME_CAPACITY];
    char file_path[NAME_CAPACITY];
    if (!com_DevicePath(port, port_path, sizeof port_path) ||
        !com_DevicePath(path, file_path, sizeof file_path)) {
        return false;
    }
    size_t i = 0;
    for (; port_path[i] != '\0' && file_path[i] != '\0'; ++i) {
        if (lower(port_path[i]) != lower(file_path[i])) {
            return false;
        }
    }
    return port_path[i] == file_path[i];
}
