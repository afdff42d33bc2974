#pragma once
// The seven requests (USB DFU 1.1 class requests and three vendor
// requests), each a USB setup packet optionally followed by data, carried
// in one reliable packet on channel 12, and the records their replies fill.

#include <cstdint>

#include "dfu_wire.h"

// USB setup packet; multi-byte fields little-endian on the wire.
struct ControlHeader {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint8_t wValue[2];
    uint8_t wIndex[2];
    uint8_t wLength[2];
};
static_assert(sizeof(ControlHeader) == 8);

// The 6 data bytes of a GETSTATUS reply.
struct DfuStatus {
    uint8_t status;          // 0 = OK
    uint8_t poll_timeout[3]; // ms; poll_timeout[0] most significant (dfu_PollTimeout)
    uint8_t state;           // USB DFU 1.1 state number
    uint8_t string_index;
};
static_assert(sizeof(DfuStatus) == 6);

struct DeviceDescriptor {
    uint8_t bytes[12]; // VID at 6-7, PID at 8-9, little-endian
};
static_assert(sizeof(DeviceDescriptor) == 12);

struct DfuFunctionalDescriptor {
    uint8_t attributes[2];
    uint8_t detach_timeout[2]; // ms
    uint8_t transfer_size[2];  // bytes
};
static_assert(sizeof(DfuFunctionalDescriptor) == 6);

inline constexpr uint16_t MAX_BLOCK_DATA = 230;

// States the program acts on.
inline constexpr uint8_t DFU_STATE_APP_IDLE = 0;
inline constexpr uint8_t DFU_STATE_IDLE = 2;
inline constexpr uint8_t DFU_STATE_DNBUSY = 4;
inline constexpr uint8_t DFU_STATE_DNLOAD_IDLE = 5;
inline constexpr uint8_t DFU_STATE_MANIFEST = 7;
inline constexpr uint8_t DFU_STATE_MANIFEST_WAIT_RESET = 8;
inline constexpr uint8_t DFU_STATE_ERROR = 10;

// Functional-descriptor attribute bits.
inline constexpr uint16_t DFU_ATTR_CAN_DOWNLOAD = 0x0001;
inline constexpr uint16_t DFU_ATTR_CAN_UPLOAD = 0x0002;
inline constexpr uint16_t DFU_ATTR_MANIFEST_TOLERANT = 0x0004;
inline constexpr uint16_t DFU_ATTR_WILL_DETACH = 0x0008;

// Module-level descriptors, written by connect/enter-idle, read by the download.
extern DeviceDescriptor device_descriptor;
extern DfuFunctionalDescriptor functional_descriptor;

// Little-endian field readers.
uint16_t dfu_Vid(const DeviceDescriptor& d);
uint16_t dfu_Pid(const DeviceDescriptor& d);
uint16_t dfu_Attributes(const DfuFunctionalDescriptor& d);
uint16_t dfu_DetachTimeout(const DfuFunctionalDescriptor& d);
uint16_t dfu_TransferSize(const DfuFunctionalDescriptor& d);
// The poll time-out, byte 1 of the status reply most significant:
// b1 * 65536 + b2 * 256 + b3.
uint32_t dfu_PollTimeout(const DfuStatus& s);

// Each request below is one reliable packet on channel 12: the 8-byte
// setup packet (wIndex 0), plus the block data for DNLOAD. Apart from the
// lines named here, failures are reported by the transport's own lines.

// DETACH (0x21, 0) with wValue = timeout_ms; no reply awaited. True once
// acknowledged.
bool dfu_Detach(uint16_t timeout_ms);

// DNLOAD (0x21, 1) of block number `block` with `length` data bytes
// (length 0, data may be null: the end-of-image block). True when
// acknowledged and the reply's status is 0. Prints "dfu_Download data size
// > max mtu\n" (nothing sent) when length > 230, "dfu_Download send packet
// failed\n" or "dfu_Download receive packet failed\n" on failure.
bool dfu_Download(uint16_t block, const uint8_t* data, uint16_t length);

// GETSTATUS (0xA1, 3, wLength 6). True with *out filled when the reply has
// status 0 and at least 6 data bytes. Prints "Get status send packet
// failed\n", or "Get status receive packet failed" (no newline: the
// caller's line completes it).
bool dfu_GetStatus(DfuStatus* out);

// CLRSTATUS (0x21, 4). True when acknowledged and the reply's status is 0.
bool dfu_ClearStatus();

// Vendor reset request 7 (0x41): 4 attempts of 300 ticks; a restart of the
// device ends it at once. Always true: a device that resets before it
// acknowledges has done what was asked.
bool dfu_ResetDevice();

// Vendor requests 8 and 9 (0xC1, wLength 12 and 6). True with *out filled
// when the reply has status 0 and at least that many data bytes; *out may
// be partly written on failure. Print nothing of their own.
bool dfu_GetDeviceDescriptor(DeviceDescriptor* out);
bool dfu_GetFunctionalDescriptor(DfuFunctionalDescriptor* out);
