// Windows device instance IDs read for a port's USB identity.
#include "usb_instance_id.h"

#include <cstdint>
#include <cstring>

namespace {

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool starts_with(const char* text, const char* head) {
    for (; *head != '\0'; ++text, ++head) {
        if (upper(*text) != *head) {
            return false;
        }
    }
    return true;
}

int hex_digit(char c) {
    c = upper(c);
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The `digits` hex digits after `tag` within the ID's second part [from,
// to), where `tag` follows the part's start or one of its separators.
bool tagged_hex(const char* from, const char* to, const char* tag, int digits, unsigned* out) {
    const size_t tag_length = std::strlen(tag);
    for (const char* p = from; p + tag_length + digits <= to; ++p) {
        if ((p != from && p[-1] != '&' && p[-1] != '+') || !starts_with(p, tag)) {
            continue;
        }
        unsigned value = 0;
        for (int i = 0; i < digits; ++i) {
            const int d = hex_digit(p[tag_length + i]);
            if (d < 0) {
                return false;
            }
            value = value * 16 + static_cast<unsigned>(d);
        }
        *out = value;
        return true;
    }
    return false;
}

void copy_text(char* out, const char* from, size_t length) {
    if (length > USB_TEXT_SIZE - 1) {
        length = USB_TEXT_SIZE - 1;
    }
    std::memcpy(out, from, length);
    out[length] = '\0';
}

// FTDI's bus driver names its ports A, B, C... for interfaces 0, 1, 2...
constexpr char FIRST_PORT_LETTER = 'A';
constexpr char LAST_PORT_LETTER = 'H';

} // namespace

int usb_IdentityFromInstanceIds(const char* const* ids, size_t count, UsbPort* port) {
    for (size_t n = 0; n < count; ++n) {
        const char* id = ids[n];
        const bool usb = starts_with(id, "USB\\");
        const bool ftdibus = starts_with(id, "FTDIBUS\\");
        if (!usb && !ftdibus) {
            continue;
        }
        const char* part = std::strchr(id, '\\') + 1;
        const char* part_end = part + std::strcspn(part, "\\");
        unsigned vid = 0;
        unsigned pid = 0;
        if (tagged_hex(part, part_end, "VID_", 4, &vid) &&
            tagged_hex(part, part_end, "PID_", 4, &pid) && (port->known & USB_KEY_VID) == 0) {
            port->vid = static_cast<uint16_t>(vid);
            port->pid = static_cast<uint16_t>(pid);
            port->known |= USB_KEY_VID | USB_KEY_PID;
        }
        if (ftdibus) {
            // VID_0403+PID_6010+<serial><letter>: the last '+' field.
            const char* field = part_end;
            while (field > part && field[-1] != '+') {
                --field;
            }
            const size_t length = static_cast<size_t>(part_end - field);
            const char letter = length > 1 ? field[length - 1] : '\0';
            if (field > part && letter >= FIRST_PORT_LETTER && letter <= LAST_PORT_LETTER) {
                if ((port->known & USB_KEY_INTERFACE) == 0) {
                    port->interface = static_cast<uint8_t>(letter - FIRST_PORT_LETTER);
                    port->known |= USB_KEY_INTERFACE;
                }
                if ((port->known & USB_KEY_SERIAL) == 0) {
                    copy_text(port->serial, field, length - 1);
                    port->known |= USB_KEY_SERIAL;
                }
            }
            continue;
        }
        unsigned interface = 0;
        if (tagged_hex(part, part_end, "MI_", 2, &interface)) {
            if ((port->known & USB_KEY_INTERFACE) == 0) {
                port->interface = static_cast<uint8_t>(interface);
                port->known |= USB_KEY_INTERFACE;
            }
            continue;
        }
        // The USB device itself: a serial number of its own (which wins over
        // the one FTDI's port name carries), or one Windows made up from
        // where it is plugged in.
        const char* instance = *part_end == '\\' ? part_end + 1 : part_end;
        if (*instance != '\0' && std::strchr(instance, '&') == nullptr) {
            copy_text(port->serial, instance, std::strlen(instance));
            port->known |= USB_KEY_SERIAL;
        }
        return static_cast<int>(n);
    }
    return -1;
}
