// A `usb:` name resolved at com_Open: exactly one present port must match,
// since opening a guess could flash the wrong device.
#include "serial_usb_name.h"

#include "console.h"
#include "text_escape.h"
#include "trace.h"
#include "usb_name.h"
#include "usb_ports.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

UsbPort ports[USB_PORTS_MAX];

// The ports named in one line; a longer list (dozens of adapters) is cut.
constexpr size_t LIST_SIZE = 4096;
char list[LIST_SIZE];

constexpr size_t ERROR_TEXT_SIZE = 256;

// The ports in `ports[0..count)` that `selector` matches (all with USB
// identity when it is null), described one after the other into `list`.
size_t describe(const UsbSelector* selector, size_t count) {
    list[0] = '\0';
    size_t described = 0;
    for (size_t i = 0; i < count; ++i) {
        const bool wanted =
            selector != nullptr ? usb_Matches(selector, &ports[i]) : ports[i].known != 0;
        if (!wanted) {
            continue;
        }
        const size_t used = std::strlen(list);
        if (described++ > 0 && used + 2 < sizeof list) {
            std::memcpy(list + used, ", ", 3);
        }
        usb_AppendDescription(&ports[i], list, sizeof list);
    }
    return described;
}

} // namespace

bool com_ResolveUsbName(const char* name, char* device, size_t size) {
    char shown[TEXT_SHOWN_NAME_SIZE];
    const char* shown_name = text_ShownName(name, shown, sizeof shown);
    UsbSelector selector{};
    if (const char* reason = usb_ParseName(name, &selector)) {
        con_Print("Serial port: malformed USB port name %s (%s)\n", shown_name, reason);
        return false;
    }
    const uint8_t unknown = selector.keys & ~usb_KeysKnown();
    for (uint8_t bit = 1; unknown != 0 && bit != 0; bit = static_cast<uint8_t>(bit << 1)) {
        if ((unknown & bit) != 0) {
            con_Print("Serial port: %s= cannot be resolved on this system\n",
                      usb_KeyName(static_cast<UsbKey>(bit)));
            return false;
        }
    }
    char error[ERROR_TEXT_SIZE] = "";
    const int listed = usb_ListPorts(ports, USB_PORTS_MAX, error, sizeof error);
    if (listed < 0) {
        con_Print("Serial port: cannot list the serial ports (%s)\n", error);
        return false;
    }
    const size_t count = static_cast<size_t>(listed);
    const size_t matches = describe(&selector, count);
    if (matches == 0) {
        if (describe(nullptr, count) == 0) {
            con_Print("Serial port: no USB serial port matches %s (none present)\n", shown_name);
        } else {
            con_Print("Serial port: no USB serial port matches %s (present: %s)\n", shown_name,
                      list);
        }
        return false;
    }
    if (matches > 1) {
        con_Print("Serial port: %s matches %u USB serial ports, none opened: %s\n", shown_name,
                  static_cast<unsigned>(matches), list);
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (usb_Matches(&selector, &ports[i])) {
            std::snprintf(device, size, "%s", ports[i].port);
        }
    }
    if (trace_On()) {
        trace_Event("port", "%s resolved to %s", shown_name, list);
    }
    return true;
}
