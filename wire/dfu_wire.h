#pragma once
// The DFU requests as they are on the line, shared by the requests that
// send them and the trace that decodes them: channel 12, a USB setup packet
// whose bRequest is a USB DFU 1.1 class request or one of the device's
// three vendor requests (7, 8 and 9).

#include <cstdint>

inline constexpr uint8_t DFU_CHANNEL = 12;

// bmRequestType values: host to device or back, class or vendor, interface.
inline constexpr uint8_t REQ_CLASS_OUT = 0x21;
inline constexpr uint8_t REQ_CLASS_IN = 0xA1;
inline constexpr uint8_t REQ_VENDOR_OUT = 0x41;
inline constexpr uint8_t REQ_VENDOR_IN = 0xC1;

// bRequest values.
inline constexpr uint8_t DFU_DETACH = 0;
inline constexpr uint8_t DFU_DNLOAD = 1;
inline constexpr uint8_t DFU_UPLOAD = 2;
inline constexpr uint8_t DFU_GETSTATUS = 3;
inline constexpr uint8_t DFU_CLRSTATUS = 4;
inline constexpr uint8_t DFU_GETSTATE = 5;
inline constexpr uint8_t DFU_ABORT = 6;
inline constexpr uint8_t VENDOR_RESET = 7;
inline constexpr uint8_t VENDOR_GET_DEVICE_DESCRIPTOR = 8;
inline constexpr uint8_t VENDOR_GET_FUNCTIONAL_DESCRIPTOR = 9;

// The states a status reply names, by number, as DFU 1.1 names them.
inline constexpr const char* DFU_STATE_NAMES[] = {
    "appIDLE",        "appDETACH",        "dfuIDLE",     "dfuDNLOAD-SYNC",         "dfuDNBUSY",
    "dfuDNLOAD-IDLE", "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE",
    "dfuERROR"};
inline constexpr uint8_t DFU_STATE_COUNT = sizeof DFU_STATE_NAMES / sizeof *DFU_STATE_NAMES;
