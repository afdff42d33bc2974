#pragma once
// The one BCSP link of the program: a state machine driven entirely by its
// callers' polling (bcsp_Poll). Callers register one packet to send and one
// record to receive into; the engine never allocates, queues or copies
// payloads: it reads the send record's bytes in place and assembles
// received bytes straight into the receive record's storage.

#include <cstdint>

#include "bcsp_establish.h"

// The hand-over record between a caller and the link. Owned by the caller.
struct BcspPacket {
    uint8_t channel;  // 0..15
    uint8_t reliable; // 0 or 1
    uint16_t length;  // send: payload length; receive: capacity, then delivered length
    uint8_t* data;    // send: payload; receive: storage (room for payload + 2 CRC bytes)
};

// What one bcsp_Poll reports.
inline constexpr uint8_t ACTIVITY_TX_DONE = 0x01;     // send record finished, or link came up
inline constexpr uint8_t ACTIVITY_RX_PACKET = 0x02;   // a packet was delivered; record unregistered
inline constexpr uint8_t ACTIVITY_PEER_RESET = 0x04;  // the peer restarted; the link was reset
inline constexpr uint8_t ACTIVITY_RX_RELIABLE = 0x08; // the delivered packet was reliable

// Ticks the transmit side rests after each frame and after each poll with
// nothing to send; the rest paces the copies of an unacknowledged frame.
// bcsp_Poll counts each call as one tick; bcsp_PollElapsed is told how many
// ticks have passed (the waiting loops count them from the clock).
inline constexpr uint8_t IDLE_TICKS = 25;

// Makes `record` the pending send record and abandons any data or
// establishment frame in progress. A record other than the one pending is
// new: it cuts a running rest short and goes out at the next poll, also
// after an acknowledgement-only frame in progress, which is finished first
// (or, when only its start delimiter is written, replaced by the data
// frame, whose header carries the acknowledgement). Registering the pending
// record again restarts its frame and leaves the rest as it is, so its
// copies keep their pace. record->length must be 1..4095. The record and its data must
// stay valid until the engine releases it (reliable: acknowledged;
// unreliable: written once), another record is registered, or the caller
// withdraws it with bcsp_Withdraw. A copy being written when the record is
// released is abandoned: the engine never reads a released record.
void bcsp_Send(BcspPacket* record);

// Withdraws `record` if it is the pending send record (a frame of it in
// progress is abandoned); does nothing otherwise. After this the engine
// never reads the record again.
void bcsp_Withdraw(const BcspPacket* record);

// Makes `record` the receive record and restarts frame assembly (a partly
// received frame is dropped). record->length must be set to the capacity
// of record->data, which must include 2 bytes for a CRC.
void bcsp_SetReceiveBuffer(BcspPacket* record);

// One step of the engine: at most one encoded byte out (two when it ends a
// frame), then input until a packet is delivered, input runs dry, or as
// many bytes as the receive record's longest frame can take on the line
// (every byte escaped) have been read.
// Fills *activity with ACTIVITY_* bits. Returns the idle countdown
// (0..IDLE_TICKS): 0 = call again at once; non-zero = nothing to send now
// (the caller flushes the port and waits for input or the next tick).
// The call counts as one tick of the countdown.
uint8_t bcsp_Poll(uint8_t* activity);

// bcsp_Poll for callers that wait on the clock: `ticks` is the number of
// whole ticks that have passed since the previous poll (0 when input woke
// the caller early). A running rest ends once that many ticks add up to
// IDLE_TICKS, however often the engine is polled in between.
uint8_t bcsp_PollElapsed(uint8_t* activity, uint16_t ticks);

// Returns the link to its starting point: sequence numbers 0, frame in
// progress abandoned, assembly restarted, shy, sync due next. Clears a
// pending establishment reply too. Keeps the send and receive records.
void bcsp_ResetLink();

// Puts the whole module back to its initial state, records unregistered
// (tests, and anything that runs the engine more than once per process).
void bcsp_Init();
