#pragma once
// `usb:` port names: the device chosen by its USB identity rather than by
// the name the system gave its port.
//
//   usb:KEY=VALUE[,KEY=VALUE...]   any non-empty set of these keys, each once:
//     vid, pid    4 hex digits, any case, no 0x
//     serial      the adapter's USB serial number, exact
//     location    the physical USB path as the system names it (see UsbPort)
//     interface   the interface of a multi-port chip, decimal (0..255)
//
// Pure text and matching: the same on every system, no I/O.

#include "usb_ports.h"

#include <cstddef>
#include <cstdint>

inline constexpr char USB_NAME_PREFIX[] = "usb:";

// What a well-formed name asks for. `serial` and `location` point into the
// parsed name (not NUL-terminated there: their lengths say where they end),
// so the name must outlive the selector.
struct UsbSelector {
    uint8_t keys; // UsbKey bits given
    uint16_t vid;
    uint16_t pid;
    uint8_t interface;
    const char* serial;
    size_t serial_length;
    const char* location;
    size_t location_length;
};

// The key's name as a usb: name spells it ("vid", "serial", ...).
const char* usb_KeyName(UsbKey key);

// True when `name` starts with "usb:": such a name is never opened as typed.
bool usb_IsUsbName(const char* name);

// Parses a name usb_IsUsbName accepts into *out. Returns nullptr when it is
// well formed, else why not, as a fixed text that echoes nothing of the
// name: "no key after usb:", "a key without =VALUE", "unknown key (expected
// vid, pid, serial, location or interface)", "vid given twice" (any key),
// "empty vid" (any key), "vid is not 4 hex digits" (pid too), "interface is
// not a number from 0 to 255".
const char* usb_ParseName(const char* name, UsbSelector* out);

// True when `port` has every key `selector` gives, with the same value
// (location: either of the port's location names). A port without USB
// identity matches nothing.
bool usb_Matches(const UsbSelector* selector, const UsbPort* port);

// The shortest `usb:` name that selects ports[index] and no other of the
// `count` ports (of equal length, the first of: serial, location, vid,
// pid, interface, then pairs of them), into `out`. False, with `out` empty, when
// no name does: a port without USB identity, or two ports that share it.
bool usb_ShortestName(const UsbPort* ports, size_t count, size_t index, char* out, size_t size);

// "/dev/ttyUSB0 (0403:6001, serial A50285BI, location 1-1.4, interface 0)"
// appended to the NUL-terminated text in `out`; only the keys the port
// knows are named, and a port without any shows its name alone. The
// device's own strings have their control characters as \xNN. Cut to fit
// `size`. Returns `out`.
const char* usb_AppendDescription(const UsbPort* port, char* out, size_t size);

// Sorts `ports` by name, a run of digits compared as a number (ttyUSB2
// before ttyUSB10, COM3 before COM12): the order every listing gives.
void usb_SortPorts(UsbPort* ports, size_t count);
