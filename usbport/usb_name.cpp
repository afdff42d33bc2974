// `usb:` names: parsing, matching and the shortest name that selects a port.
#include "usb_name.h"

#include "text_escape.h"

#include <cstdio>
#include <cstring>

namespace {

struct KeyName {
    UsbKey key;
    const char* name;
    // The texts naming this key in the parser's reasons, fixed so that a
    // reason never echoes the name it refuses.
    const char* twice;
    const char* empty;
};

// Also the order of preference among names of equal length in
// usb_ShortestName: what a person would rather read first.
constexpr KeyName KEYS[] = {
    {USB_KEY_SERIAL, "serial", "serial given twice", "empty serial"},
    {USB_KEY_LOCATION, "location", "location given twice", "empty location"},
    {USB_KEY_VID, "vid", "vid given twice", "empty vid"},
    {USB_KEY_PID, "pid", "pid given twice", "empty pid"},
    {USB_KEY_INTERFACE, "interface", "interface given twice", "empty interface"},
};
constexpr size_t KEY_COUNT = sizeof KEYS / sizeof KEYS[0];

constexpr size_t PREFIX_LENGTH = sizeof USB_NAME_PREFIX - 1;
// A vid or pid is exactly this many hex digits.
constexpr size_t ID_DIGITS = 4;
constexpr unsigned INTERFACE_MAX = 255;

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parse_id(const char* value, size_t length, uint16_t* out) {
    if (length != ID_DIGITS) {
        return false;
    }
    unsigned id = 0;
    for (size_t i = 0; i < length; ++i) {
        const int digit = hex_value(value[i]);
        if (digit < 0) {
            return false;
        }
        id = id * 16 + static_cast<unsigned>(digit);
    }
    *out = static_cast<uint16_t>(id);
    return true;
}

bool parse_interface(const char* value, size_t length, uint8_t* out) {
    unsigned number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (value[i] < '0' || value[i] > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(value[i] - '0');
        if (number > INTERFACE_MAX) {
            return false;
        }
    }
    *out = static_cast<uint8_t>(number);
    return true;
}

bool same_text(const char* given, size_t length, const char* text) {
    return text[0] != '\0' && std::strlen(text) == length && std::memcmp(given, text, length) == 0;
}

// Appends printf-style text to the NUL-terminated `out`, cut to fit.
void append(char* out, size_t size, const char* format, const char* a, const char* b = "") {
    const size_t used = std::strlen(out);
    if (used + 1 < size) {
        std::snprintf(out + used, size - used, format, a, b);
    }
}

} // namespace

const char* usb_KeyName(UsbKey key) {
    for (const KeyName& k : KEYS) {
        if (k.key == key) {
            return k.name;
        }
    }
    return "";
}

bool usb_IsUsbName(const char* name) {
    return std::strncmp(name, USB_NAME_PREFIX, PREFIX_LENGTH) == 0;
}

const char* usb_ParseName(const char* name, UsbSelector* out) {
    UsbSelector s{};
    const char* p = name + PREFIX_LENGTH;
    if (*p == '\0') {
        return "no key after usb:";
    }
    while (true) {
        const char* end = p + std::strcspn(p, ",");
        const char* equals = static_cast<const char*>(std::memchr(p, '=', end - p));
        if (equals == nullptr) {
            return "a key without =VALUE";
        }
        const KeyName* key = nullptr;
        for (const KeyName& k : KEYS) {
            if (static_cast<size_t>(equals - p) == std::strlen(k.name) &&
                std::memcmp(p, k.name, equals - p) == 0) {
                key = &k;
            }
        }
        if (key == nullptr) {
            return "unknown key (expected vid, pid, serial, location or interface)";
        }
        if ((s.keys & key->key) != 0) {
            return key->twice;
        }
        const char* value = equals + 1;
        const size_t length = static_cast<size_t>(end - value);
        if (length == 0) {
            return key->empty;
        }
        switch (key->key) {
        case USB_KEY_VID:
            if (!parse_id(value, length, &s.vid)) {
                return "vid is not 4 hex digits";
            }
            break;
        case USB_KEY_PID:
            if (!parse_id(value, length, &s.pid)) {
                return "pid is not 4 hex digits";
            }
            break;
        case USB_KEY_INTERFACE:
            if (!parse_interface(value, length, &s.interface)) {
                return "interface is not a number from 0 to 255";
            }
            break;
        case USB_KEY_SERIAL:
            s.serial = value;
            s.serial_length = length;
            break;
        case USB_KEY_LOCATION:
            s.location = value;
            s.location_length = length;
            break;
        }
        s.keys |= key->key;
        if (*end == '\0') {
            break;
        }
        p = end + 1;
    }
    *out = s;
    return nullptr;
}

bool usb_Matches(const UsbSelector* s, const UsbPort* port) {
    if ((port->known & s->keys) != s->keys || s->keys == 0) {
        return false;
    }
    if ((s->keys & USB_KEY_VID) != 0 && s->vid != port->vid) {
        return false;
    }
    if ((s->keys & USB_KEY_PID) != 0 && s->pid != port->pid) {
        return false;
    }
    if ((s->keys & USB_KEY_INTERFACE) != 0 && s->interface != port->interface) {
        return false;
    }
    if ((s->keys & USB_KEY_SERIAL) != 0 && !same_text(s->serial, s->serial_length, port->serial)) {
        return false;
    }
    if ((s->keys & USB_KEY_LOCATION) != 0 &&
        !same_text(s->location, s->location_length, port->location) &&
        !same_text(s->location, s->location_length, port->location_alt)) {
        return false;
    }
    return true;
}

bool usb_ShortestName(const UsbPort* ports, size_t count, size_t index, char* out, size_t size) {
    out[0] = '\0';
    const UsbPort* port = &ports[index];
    size_t best_length = 0;
    // Every set of keys, as the bits of a number whose lowest bit is KEYS'
    // first; the shortest text wins, the first tried of equal ones.
    for (unsigned set = 1; set < (1u << KEY_COUNT); ++set) {
        UsbSelector s{};
        char text[sizeof USB_NAME_PREFIX + KEY_COUNT * (USB_TEXT_SIZE + 16)] = "";
        std::strcpy(text, USB_NAME_PREFIX);
        bool usable = true;
        for (size_t k = 0; k < KEY_COUNT && usable; ++k) {
            if ((set & (1u << k)) == 0) {
                continue;
            }
            const UsbKey key = KEYS[k].key;
            usable = (port->known & key) != 0;
            char value[USB_TEXT_SIZE];
            switch (key) {
            case USB_KEY_VID:
                std::snprintf(value, sizeof value, "%04x", port->vid);
                s.vid = port->vid;
                break;
            case USB_KEY_PID:
                std::snprintf(value, sizeof value, "%04x", port->pid);
                s.pid = port->pid;
                break;
            case USB_KEY_INTERFACE:
                std::snprintf(value, sizeof value, "%u", port->interface);
                s.interface = port->interface;
                break;
            case USB_KEY_SERIAL:
                std::snprintf(value, sizeof value, "%s", port->serial);
                s.serial = port->serial;
                s.serial_length = std::strlen(port->serial);
                break;
            case USB_KEY_LOCATION:
                std::snprintf(value, sizeof value, "%s", port->location);
                s.location = port->location;
                s.location_length = std::strlen(port->location);
                break;
            }
            // A value the parser would split or that holds a control
            // character cannot be typed back as a name.
            usable = usable && value[0] != '\0' && std::strpbrk(value, ",") == nullptr;
            for (const char* c = value; usable && *c != '\0'; ++c) {
                usable = static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7F;
            }
            append(text, sizeof text, text[PREFIX_LENGTH] == '\0' ? "%s=%s" : ",%s=%s",
                   KEYS[k].name, value);
            s.keys |= key;
        }
        const size_t length = std::strlen(text);
        if (!usable || (best_length != 0 && length >= best_length) || length + 1 > size) {
            continue;
        }
        size_t matches = 0;
        for (size_t i = 0; i < count; ++i) {
            matches += usb_Matches(&s, &ports[i]) ? 1 : 0;
        }
        if (matches == 1) {
            std::memcpy(out, text, length + 1);
            best_length = length;
        }
    }
    return best_length != 0;
}

const char* usb_AppendDescription(const UsbPort* port, char* out, size_t size) {
    char shown[TEXT_SHOWN_NAME_SIZE];
    append(out, size, "%s", text_ShownName(port->port, shown, sizeof shown));
    if (port->known == 0) {
        return out;
    }
    const char* separator = " (";
    if ((port->known & (USB_KEY_VID | USB_KEY_PID)) == (USB_KEY_VID | USB_KEY_PID)) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", port->vid, port->pid);
        append(out, size, "%s%s", separator, ids);
        separator = ", ";
    }
    if ((port->known & USB_KEY_SERIAL) != 0) {
        append(out, size, "%sserial %s", separator,
               text_ShownName(port->serial, shown, sizeof shown));
        separator = ", ";
    }
    if ((port->known & USB_KEY_LOCATION) != 0) {
        append(out, size, "%slocation %s", separator,
               text_ShownName(port->location, shown, sizeof shown));
        separator = ", ";
    }
    if ((port->known & USB_KEY_INTERFACE) != 0) {
        char number[8];
        std::snprintf(number, sizeof number, "%u", port->interface);
        append(out, size, "%sinterface %s", separator, number);
    }
    append(out, size, "%s", ")");
    return out;
}

namespace {

// Negative, zero or positive as `a` sorts before, with or after `b`.
int natural_compare(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        const bool digits = *a >= '0' && *a <= '9' && *b >= '0' && *b <= '9';
        if (!digits) {
            if (*a != *b) {
                return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
            }
            ++a;
            ++b;
            continue;
        }
        while (*a == '0') {
            ++a;
        }
        while (*b == '0') {
            ++b;
        }
        const size_t la = std::strspn(a, "0123456789");
        const size_t lb = std::strspn(b, "0123456789");
        if (la != lb) {
            return la < lb ? -1 : 1;
        }
        const int order = std::strncmp(a, b, la);
        if (order != 0) {
            return order;
        }
        a += la;
        b += lb;
    }
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

} // namespace

void usb_SortPorts(UsbPort* ports, size_t count) {
    for (size_t i = 1; i < count; ++i) {
        for (size_t j = i; j > 0 && natural_compare(ports[j - 1].port, ports[j].port) > 0; --j) {
            const UsbPort held = ports[j];
            ports[j] = ports[j - 1];
            ports[j - 1] = held;
        }
    }
}
