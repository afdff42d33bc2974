#pragma once
// DFU requests and replies over the BCSP link, on channel 12. Owns every
// waiting loop that drives the link engine; all communication time-outs
// are counted here in ticks.
//
// A tick is one millisecond of the program's clock (plat_NowUs). Each
// waiting loop gives up once its count of ticks has passed in real time
// from the moment it began, whether its passes found the engine busy or
// idle: a line that never falls quiet (a device printing logs, a noisy
// adapter) or one that trickles a byte now and then ends the wait on time
// all the same. Two things may move that moment once, never again: a write
// begun within the bound finishes (the write lasts until its frame has left
// the line), and on a port whose answers need longer to come back than a
// local line's, a network port, that write's answer allowance
// (com_AnswerAllowanceMs) passes too. So a wait of N ticks ends after at
// most N ms + one write + one allowance.
//
// A wait whose bound has passed takes a last look before giving up: it
// reads and handles the input already there (a process that was stopped
// and resumed finds the device's frames waiting), and gives up when that
// did not end it. On a line whose input never runs dry the last look is a
// few passes.
//
// The rest between copies of an unacknowledged frame counts its ticks from
// the moment a flush has put the frame on the line, plus the answer
// allowance on a network port: a copy goes out only once the answer to the
// one before can no longer be on its way. A pass whose poll finds the
// engine idle flushes its output and then waits through com_Wait until
// input arrives or the current tick is over, whichever comes first: a reply
// is read the moment it arrives, not at the end of a sleep. The ticks that
// have passed are handed to the engine (bcsp_PollElapsed), so its rest lasts
// at least its number of milliseconds however much input arrives, garbage
// or acknowledgements alike. A busy pass does its work at once, without
// waiting. While a delivered reply waits for dfu_ReceivePacket no input is
// read, and a pass sleeps to the end of its tick instead of waiting on the
// port. Sleeps the device asks for (poll time-outs, busy) are its callers'
// and lie outside every bound here.

#include <cstdint>

#include "dfu_wire.h"

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

// Every wait below ends at once, false or failed and without its time-out
// or retry lines, when the serial port is lost (com_PortLost): the port
// layer has printed the reason.

// Resets the link, purges the port, registers the receive record and waits
// at most 5000 ticks (see above) for the link to come up. True when it is up. Prints
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
