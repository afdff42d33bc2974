// The seven requests: a setup packet (plus the block data for DNLOAD) sent
// as one reliable packet, then, where the request has one, its reply.
#include "dfu_requests.h"
#include "report.h"

#include "console.h"
#include "dfu_transport.h"
#include "le_bytes.h"

DeviceDescriptor device_descriptor;
DfuFunctionalDescriptor functional_descriptor;

namespace {

// Every request but the reset waits this long per send attempt.
constexpr uint16_t SEND_TIMEOUT_TICKS = 5000;
// The device may reset before it acknowledges request 7: wait only briefly.
constexpr uint16_t RESET_SEND_TIMEOUT_TICKS = 300;

constexpr uint16_t HEADER_SIZE = sizeof(ControlHeader);

ControlHeader MakeHeader(uint8_t type, uint8_t request, uint16_t value, uint16_t length) {
    ControlHeader ch{};
    ch.bmRequestType = type;
    ch.bRequest = request;
    le_Write16(ch.wValue, value);
    le_Write16(ch.wIndex, 0);
    le_Write16(ch.wLength, length);
    return ch;
}

bool SendHeader(const ControlHeader& ch, uint16_t timeout_ticks,
                PeerResetMeans peer_reset = PeerResetMeans::RequestLost) {
    return dfu_SendPacket(reinterpret_cast<const uint8_t*>(&ch), HEADER_SIZE, timeout_ticks,
                          peer_reset);
}

// Sends an IN request and reads exactly `size` data bytes of its reply.
bool ReadRecord(uint8_t request, uint8_t type, uint8_t* out, uint16_t size) {
    const ControlHeader ch = MakeHeader(type, request, 0, size);
    if (!SendHeader(ch, SEND_TIMEOUT_TICKS)) {
        return false;
    }
    uint16_t rx_data_size = size;
    return dfu_ReceivePacket(out, &rx_data_size) == 0 && rx_data_size == size;
}

} // namespace

uint16_t dfu_Vid(const DeviceDescriptor& d) {
    return le_Read16(&d.bytes[6]);
}
uint16_t dfu_Pid(const DeviceDescriptor& d) {
    return le_Read16(&d.bytes[8]);
}
uint16_t dfu_Attributes(const DfuFunctionalDescriptor& d) {
    return le_Read16(d.attributes);
}
uint16_t dfu_DetachTimeout(const DfuFunctionalDescriptor& d) {
    return le_Read16(d.detach_timeout);
}
uint16_t dfu_TransferSize(const DfuFunctionalDescriptor& d) {
    return le_Read16(d.transfer_size);
}

uint32_t dfu_PollTimeout(const DfuStatus& s) {
    return (static_cast<uint32_t>(s.poll_timeout[0]) << 16) |
           (static_cast<uint32_t>(s.poll_timeout[1]) << 8) | s.poll_timeout[2];
}

bool dfu_Detach(uint16_t timeout_ms) {
    return SendHeader(MakeHeader(REQ_CLASS_OUT, DFU_DETACH, timeout_ms, 0), SEND_TIMEOUT_TICKS);
}

bool dfu_Download(uint16_t block, const uint8_t* data, uint16_t length) {
    if (length > MAX_BLOCK_DATA) {
        con_Print("dfu_Download data size > max mtu\n");
        return false;
    }
    uint8_t tx_data[HEADER_SIZE + MAX_BLOCK_DATA];
    const ControlHeader ch = MakeHeader(REQ_CLASS_OUT, DFU_DNLOAD, block, length);
    const uint8_t* header_bytes = reinterpret_cast<const uint8_t*>(&ch);
    for (uint16_t i = 0; i < HEADER_SIZE; ++i) {
        tx_data[i] = header_bytes[i];
    }
    for (uint16_t i = 0; i < length; ++i) {
        tx_data[HEADER_SIZE + i] = data[i];
    }
    if (!dfu_SendPacket(tx_data, static_cast<uint16_t>(HEADER_SIZE + length), SEND_TIMEOUT_TICKS)) {
        con_Print("dfu_Download send packet failed\n");
        return false;
    }
    if (dfu_ReceivePacket(nullptr, nullptr) != 0) {
        con_Print("dfu_Download receive packet failed\n");
        return false;
    }
    return true;
}

bool dfu_GetStatus(DfuStatus* out) {
    const ControlHeader ch = MakeHeader(REQ_CLASS_IN, DFU_GETSTATUS, 0, sizeof(DfuStatus));
    if (!SendHeader(ch, SEND_TIMEOUT_TICKS)) {
        con_Print("Get status send packet failed\n");
        return false;
    }
    uint16_t rx_data_size = sizeof(DfuStatus);
    if (dfu_ReceivePacket(reinterpret_cast<uint8_t*>(out), &rx_data_size) != 0 ||
        rx_data_size != sizeof(DfuStatus)) {
        // The caller's line completes this one.
        con_Print("Get status receive packet failed");
        return false;
    }
    report_NoteDfuState(out->state, out->status);
    return true;
}

bool dfu_ClearStatus() {
    if (!SendHeader(MakeHeader(REQ_CLASS_OUT, DFU_CLRSTATUS, 0, 0), SEND_TIMEOUT_TICKS)) {
        return false;
    }
    return dfu_ReceivePacket(nullptr, nullptr) == 0;
}

bool dfu_ResetDevice() {
    // A device that resets at once may never acknowledge; that is success.
    // Its restart is the answer: sending the request again on the new link
    // would only reset it once more.
    SendHeader(MakeHeader(REQ_VENDOR_OUT, VENDOR_RESET, 0, 0), RESET_SEND_TIMEOUT_TICKS,
               PeerResetMeans::RequestDone);
    return true;
}

bool dfu_GetDeviceDescriptor(DeviceDescriptor* out) {
    return ReadRecord(VENDOR_GET_DEVICE_DESCRIPTOR, REQ_VENDOR_IN, out->bytes, sizeof(out->bytes));
}

bool dfu_GetFunctionalDescriptor(DfuFunctionalDescriptor* out) {
    return ReadRecord(VENDOR_GET_FUNCTIONAL_DESCRIPTOR, REQ_VENDOR_IN,
                      reinterpret_cast<uint8_t*>(out), sizeof(DfuFunctionalDescriptor));
}
