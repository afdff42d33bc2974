#pragma once
// The `usb:` port names (usbport/usb_name.h) resolved to the one local port
// they select, among the ports the system lists (usbport/usb_ports.h).
// com_Open does it before opening; the port is then a local port in every
// respect.

#include <cstddef>

// Writes the device name of the one present port that `name` selects into
// `device` (`size` at least USB_PORT_NAME_SIZE: a longer one is cut) and
// returns true; the trace says which device it is. Otherwise
// returns false after one line that echoes `name` with its control
// characters as \xNN, and opens nothing:
//   Serial port: malformed USB port name NAME (REASON)       (usb_ParseName's)
//   Serial port: cannot list the serial ports (REASON)
//   Serial port: KEY= cannot be resolved on this system      (macOS: all but serial=)
//   Serial port: no USB serial port matches NAME (present: PORT (IDENTITY), ...)
//   Serial port: no USB serial port matches NAME (none present)
//   Serial port: NAME matches N USB serial ports, none opened: PORT (IDENTITY), ...
bool com_ResolveUsbName(const char* name, char* device, size_t size);
