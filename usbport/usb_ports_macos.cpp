// The listing on macOS (and the other POSIX systems), from the /dev/cu.*
// names alone: the USB identity is IOKit's, which the cross toolchain this
// build uses cannot link. FTDI adapters are named cu.usbserial-<serial>, so
// their serial number is known; every other key is not.
#include "usb_name.h"
#include "usb_ports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>

namespace {

constexpr char DEVICE_DIR[] = "/dev";
constexpr char CALLOUT_PREFIX[] = "cu.";
constexpr char SERIAL_PREFIX[] = "cu.usbserial-";

} // namespace

uint8_t usb_KeysKnown() {
    return USB_KEY_SERIAL;
}

int usb_ListPorts(UsbPort* ports, size_t max, char* error, size_t error_size) {
    DIR* dir = opendir(DEVICE_DIR);
    if (dir == nullptr) {
        std::snprintf(error, error_size, "cannot read %s (%s)", DEVICE_DIR, std::strerror(errno));
        return -1;
    }
    size_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (count == max ||
            std::strncmp(entry->d_name, CALLOUT_PREFIX, sizeof CALLOUT_PREFIX - 1) != 0) {
            continue;
        }
        UsbPort* port = &ports[count];
        *port = UsbPort{};
        if (std::snprintf(port->port, sizeof port->port, "%s/%s", DEVICE_DIR, entry->d_name) >=
            static_cast<int>(sizeof port->port)) {
            continue; // no driver names its ports this long
        }
        const char* serial = entry->d_name + sizeof SERIAL_PREFIX - 1;
        if (std::strncmp(entry->d_name, SERIAL_PREFIX, sizeof SERIAL_PREFIX - 1) == 0 &&
            *serial != '\0' && std::strlen(serial) < sizeof port->serial) {
            std::memcpy(port->serial, serial, std::strlen(serial) + 1);
            port->known = USB_KEY_SERIAL;
        }
        ++count;
    }
    closedir(dir);
    usb_SortPorts(ports, count);
    return static_cast<int>(count);
}
