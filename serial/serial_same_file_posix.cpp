// An output file compared with the port by what they are, not their names:
// /dev/ttyUSB0, a link to it under /dev/serial and a second device node for
// the same device are one port.
#include "serial_same_file.h"

#include <sys/stat.h>

bool com_IsPortFile(const char* port, const char* path, intptr_t handle) {
    struct stat port_info {};
    struct stat file_info {};
    if (stat(port, &port_info) != 0) {
        return false;
    }
    const int got =
        handle >= 0 ? fstat(static_cast<int>(handle), &file_info) : stat(path, &file_info);
    if (got != 0) {
        return false;
    }
    if (port_info.st_dev == file_info.st_dev && port_info.st_ino == file_info.st_ino) {
        return true;
    }
    return S_ISCHR(port_info.st_mode) && S_ISCHR(file_info.st_mode) &&
           port_info.st_rdev == file_info.st_rdev;
}
