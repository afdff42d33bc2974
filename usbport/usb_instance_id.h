#pragma once
// The USB identity in Windows device instance IDs. A serial port's device
// node and its parents carry it in two forms:
//   USB\VID_0403&PID_6001\A50285BI                 a USB device; the last part
//                                                  is its serial number, or
//                                                  one Windows made up (it
//                                                  holds '&') when it has none
//   USB\VID_0403&PID_6010&MI_01\6&2C3B4A5&0&0001   one interface (MI_xx, hex)
//                                                  of a composite device
//   FTDIBUS\VID_0403+PID_6010+FT1234B\0000         a port of FTDI's own bus
//                                                  driver: the serial with
//                                                  the port's letter (A for
//                                                  interface 0) appended
// Pure text, built everywhere so that its tests run on the build machine;
// used by the Windows listing.

#include "usb_ports.h"

#include <cstddef>

// Fills the vid, pid, serial and interface of `port`, with their `known`
// bits, from `ids`: the instance IDs of the port's device node first, then
// of its parents in turn. Each is read up to and including the first USB
// device (a USB\ ID without MI_): an interface number comes from the first
// ID that names one, the serial from the USB device when it has one of its
// own, else from an FTDIBUS port's name.
// Returns the index in `ids` of that USB device, whose location is the
// adapter's, or -1 when none of them is one (vid and pid are then filled
// only if some ID names them).
int usb_IdentityFromInstanceIds(const char* const* ids, size_t count, UsbPort* port);
