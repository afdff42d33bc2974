#pragma once
// The serial ports present on this machine, with the USB identity of those
// on a USB adapter. One implementation per system, chosen by CMake:
// usb_ports_linux.cpp (sysfs), usb_ports_win32.cpp (SetupAPI),
// usb_ports_macos.cpp (the /dev/cu.* names). Both the `usb:` port names and
// tarnload-ports list the ports through it, so the two never disagree.
//
// Listing opens no port: it reads what the system already knows, so it
// never disturbs a run that holds one.

#include <cstddef>
#include <cstdint>

// A device name (/dev/ttyUSB0, COM12, /dev/cu.usbserial-A50285BI) with its NUL.
inline constexpr size_t USB_PORT_NAME_SIZE = 64;
// A USB string (serial, manufacturer, product) or location, with its NUL; a
// longer one is cut (serial numbers are short, a location path a few hops).
inline constexpr size_t USB_TEXT_SIZE = 128;
// Most ports listed; a fixture rarely has more than a few dozen adapters.
inline constexpr size_t USB_PORTS_MAX = 64;

// The keys of a `usb:` name, as bits: which ones a port's identity carries
// and which ones a name gives.
enum UsbKey : uint8_t {
    USB_KEY_VID = 1 << 0,
    USB_KEY_PID = 1 << 1,
    USB_KEY_SERIAL = 1 << 2,
    USB_KEY_LOCATION = 1 << 3,
    USB_KEY_INTERFACE = 1 << 4,
};

// One serial port. Texts are NUL-terminated, empty when unknown.
struct UsbPort {
    char port[USB_PORT_NAME_SIZE]; // the name tarnload opens it by
    // The keys this port's identity has; 0 for a port not on USB (a
    // built-in UART), which no `usb:` name selects.
    uint8_t known;
    uint16_t vid;
    uint16_t pid;
    uint8_t interface; // the interface of a multi-port chip
    char serial[USB_TEXT_SIZE];
    // The physical path: Linux the USB device's sysfs name (1-1.4), Windows
    // its location path (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)).
    char location[USB_TEXT_SIZE];
    // Another name the location answers to (Windows: Port_#0002.Hub_#0001).
    char location_alt[USB_TEXT_SIZE];
    char manufacturer[USB_TEXT_SIZE];
    char product[USB_TEXT_SIZE];
};

// Fills `ports` with at most `max` ports present, in a stable order (by
// name, numbers in names compared as numbers), and returns how many.
// Returns -1 when the system's list cannot be read at all, with the reason
// in `error` (NUL-terminated, cut to `error_size`); an adapter whose
// details cannot be read is listed with what could be. Prints nothing.
int usb_ListPorts(UsbPort* ports, size_t max, char* error, size_t error_size);

// The keys this system's listing can tell at all (every key on Linux and
// Windows; only serial= on macOS, from the cu.usbserial-<serial> names).
uint8_t usb_KeysKnown();
