// The Linux listing, from sysfs: each /sys/class/tty entry with a device
// behind it, and for a USB adapter the USB device above that device (the
// directory with idVendor) and the interface just below it.
#include "usb_name.h"
#include "usb_ports.h"
#include "usb_ports_sysfs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

char sysfs_root[PATH_MAX] = "";

// A tty's device is at most a few directories below its USB device:
// ttyUSB0 -> 1-1:1.0 (the interface) -> 1-1 (the device).
constexpr int USB_DEVICE_HOPS_MAX = 4;

// The 8250 driver registers placeholder ports (ttyS1..ttyS31) whether or not
// a UART is behind them; they hang off this one platform device, real
// UARTs off their own bus devices.
constexpr char PLACEHOLDER_UART_DEVICE[] = "serial8250";

// The attribute `name` of the sysfs directory `dir`, its line break cut,
// into `out`. False when it cannot be read (or is empty).
bool read_attribute(const char* dir, const char* name, char* out, size_t size) {
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/%s", dir, name) >= static_cast<int>(sizeof path)) {
        return false;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t got = read(fd, out, size - 1);
    close(fd);
    if (got <= 0) {
        return false;
    }
    size_t length = static_cast<size_t>(got);
    while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == '\r')) {
        --length;
    }
    out[length] = '\0';
    return length > 0;
}

bool read_hex(const char* dir, const char* name, unsigned* out) {
    char text[16];
    if (!read_attribute(dir, name, text, sizeof text)) {
        return false;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || *end != '\0' || value > 0xFFFF) {
        return false;
    }
    *out = static_cast<unsigned>(value);
    return true;
}

bool has_attribute(const char* dir, const char* name) {
    char path[PATH_MAX];
    return std::snprintf(path, sizeof path, "%s/%s", dir, name) < static_cast<int>(sizeof path) &&
           access(path, F_OK) == 0;
}

// `text` into `out`, cut to fit.
void copy_text(char* out, size_t size, const char* text) {
    size_t length = std::strlen(text);
    if (length > size - 1) {
        length = size - 1;
    }
    std::memcpy(out, text, length);
    out[length] = '\0';
}

const char* last_part(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Fills the USB identity of the port whose device directory is `device`,
// when a USB device is above it.
void read_usb_identity(const char* device, UsbPort* port) {
    char dir[PATH_MAX];
    char below[PATH_MAX] = "";
    copy_text(dir, sizeof dir, device);
    for (int hop = 0; !has_attribute(dir, "idVendor"); ++hop) {
        char* slash = std::strrchr(dir, '/');
        if (hop == USB_DEVICE_HOPS_MAX || slash == nullptr || slash == dir) {
            return;
        }
        std::memcpy(below, dir, sizeof below);
        *slash = '\0';
    }
    unsigned vid = 0;
    unsigned pid = 0;
    if (!read_hex(dir, "idVendor", &vid) || !read_hex(dir, "idProduct", &pid)) {
        return;
    }
    port->vid = static_cast<uint16_t>(vid);
    port->pid = static_cast<uint16_t>(pid);
    port->known = USB_KEY_VID | USB_KEY_PID | USB_KEY_LOCATION;
    copy_text(port->location, sizeof port->location, last_part(dir));
    if (read_attribute(dir, "serial", port->serial, sizeof port->serial)) {
        port->known |= USB_KEY_SERIAL;
    }
    read_attribute(dir, "manufacturer", port->manufacturer, sizeof port->manufacturer);
    read_attribute(dir, "product", port->product, sizeof port->product);
    unsigned interface = 0;
    if (below[0] != '\0' && read_hex(below, "bInterfaceNumber", &interface) && interface <= 0xFF) {
        port->interface = static_cast<uint8_t>(interface);
        port->known |= USB_KEY_INTERFACE;
    }
}

} // namespace

void usb_SetSysfsRoot(const char* root) {
    copy_text(sysfs_root, sizeof sysfs_root, root != nullptr ? root : "");
}

uint8_t usb_KeysKnown() {
    return USB_KEY_VID | USB_KEY_PID | USB_KEY_SERIAL | USB_KEY_LOCATION | USB_KEY_INTERFACE;
}

int usb_ListPorts(UsbPort* ports, size_t max, char* error, size_t error_size) {
    char class_dir[PATH_MAX];
    const int length = std::snprintf(class_dir, sizeof class_dir, "%s/sys/class/tty", sysfs_root);
    DIR* dir = length < static_cast<int>(sizeof class_dir) ? opendir(class_dir) : nullptr;
    if (dir == nullptr) {
        std::snprintf(error, error_size, "cannot read %s (%s)", class_dir, std::strerror(errno));
        return -1;
    }
    size_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || count == max) {
            continue;
        }
        char link[PATH_MAX];
        char device[PATH_MAX];
        // Virtual terminals, pseudo-terminals' masters and the like have no
        // device behind them.
        const int fits = std::snprintf(link, sizeof link, "%s/%s/device", class_dir, entry->d_name);
        if (fits >= static_cast<int>(sizeof link) || realpath(link, device) == nullptr ||
            std::strcmp(last_part(device), PLACEHOLDER_UART_DEVICE) == 0) {
            continue;
        }
        UsbPort* port = &ports[count];
        *port = UsbPort{};
        if (std::snprintf(port->port, sizeof port->port, "/dev/%s", entry->d_name) >=
            static_cast<int>(sizeof port->port)) {
            continue; // no tty driver names its ports this long
        }
        read_usb_identity(device, port);
        ++count;
    }
    closedir(dir);
    usb_SortPorts(ports, count);
    return static_cast<int>(count);
}
