#pragma once
// DFU requests and replies over the BCSP link, on channel 12. Owns every
// waiting loop that drives the link engine; all communication time-outs
// are counted here in idle ticks (one idle poll: flush, sleep 1 ms).

#include <cstdint>

inline constexpr uint8_t DFU_CHANNEL = 12;
// Reply payload (4-byte DfuResponse header + data) plus the 2 CRC bytes the
// assembler stores.
inline constexpr uint16_t RX_BUFFER_CAPACITY = 234;
inline constexpr uint16_t LINK_TIMEOUT_TICKS = 5000;
inline constexpr uint16_t REPLY_TIMEOUT_TICKS = 5000;
inline constexpr uint8_t SEND_ATTEMPTS = 4;
// dfu_ReceivePacket's transport-failure result.
inline constexpr uint16_t DFU_TRANSPORT_FAILED = 2;

// Layout of every reply payload (little-endian fields).
struct DfuResponse {
    uint8_t status[2]; // 0 = success, else the device's error code
    uint8_t length[2]; // number of data bytes that follow
    uint8_t data[RX_BUFFER_CAPACITY - 4];
};
static_assert(sizeof(DfuResponse) == RX_BUFFER_CAPACITY);

// Resets the link, purges the port, registers the receive record and waits
// at most 5000 ticks for the link to come up. True when it is up. Prints
// nothing.
bool dfu_EstablishLink();

// What a restart of the device while a request is unacknowledged means.
enum class PeerResetMeans : uint8_t {
    // The request was lost: it is sent again once the link is back up.
    RequestLost,
    // The restart is what the request asked for (the reset request): the
    // send ends at once with true.
    RequestDone,
};

// Sends one request reliably on channel 12: up to 4 attempts of
// `timeout_ticks` ticks each. True once the device acknowledged it (or,
// with PeerResetMeans::RequestDone, once it restarted). False after 4
// timed-out attempts. Prints "dfu_SendPacket timed out, retry %d\n"
// (standard output flushed) after each failed attempt and
// "dfu_SendPacket detected a peer reset\n" on a peer reset. Never returns
// with its record still registered in the engine.
bool dfu_SendPacket(const uint8_t* data, uint16_t length, uint16_t timeout_ticks,
                    PeerResetMeans peer_reset = PeerResetMeans::RequestLost);

// Waits at most 5000 ticks for one reply. Returns 0 on success, 2 on a
// transport failure (time-out, partial packet, peer reset; each with its
// message), or the device's non-zero status ("dfu_ReceivePacket \n").
// With `buffer` given and status 0, copies min(*rx_data_size, reply data
// length) data bytes and stores that count in *rx_data_size.
uint16_t dfu_ReceivePacket(uint8_t* buffer, uint16_t* rx_data_size);

// Peer resets seen by the waits so far (wrapping at 2^16). A device that
// restarted has lost what it was given, whatever state it reports next: the
// download compares this count before and after its status requests.
uint16_t dfu_PeerResets();

// Puts the transport back to its initial state (tests).
void dfu_TransportInit();
