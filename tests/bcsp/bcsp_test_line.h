#pragma once
// An in-memory serial line behind the serial module, a reference frame
// encoder written independently of the engine, and a fixture that drives
// the engine one poll at a time.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bcsp_link.h"

using Bytes = std::vector<uint8_t>;

// Acknowledgement-only frames as the engine must write them.
inline const Bytes ACK_EXPECTING_0 = {0xC0, 0x40, 0x00, 0x00, 0xBF, 0x57, 0x1A, 0xC0};
inline const Bytes ACK_EXPECTING_1 = {0xC0, 0x48, 0x00, 0x00, 0xB7, 0x5E, 0x8C, 0xC0};

// Establishment payloads, by LeMessage index.
extern const Bytes LE_PAYLOAD[4];

// Header byte 0 of a frame with CRC.
uint8_t header0(bool reliable, uint8_t seq, uint8_t ack);

// The wire bytes of one frame, delimiters included: header from byte 0 and
// channel (checksum computed), payload, CRC when byte 0 has bit 6 set.
Bytes wire_frame(uint8_t byte0, uint8_t channel, const Bytes& payload);

// The wire bytes of already formed header (+payload) bytes: CRC appended
// when `crc`, escaped, delimited. The header is taken as given.
Bytes wire_body(Bytes body, bool crc);

// A frame carrying establishment message `index` with the fixed header.
Bytes le_frame(uint8_t index);

// CRC-16/MCRF4XX computed bit by bit.
uint16_t reference_crc(const Bytes& bytes);

// A frame sent by the engine, unescaped: header, payload and CRC bytes.
struct SentFrame {
    Bytes raw;
    uint8_t channel() const { return raw.size() > 1 ? raw[1] & 0x0F : 0xFF; }
    Bytes payload() const;
    // LeMessage index, or LE_UNKNOWN when not an establishment frame.
    uint8_t le_message() const;
};

class BcspTest : public ::testing::Test {
  public:
    void SetUp() override;
    // Line emptied, engine initialised, receive record registered.
    void reset();
    void TearDown() override;

    // Peer bytes onto the line, read by the engine when it next polls.
    void inject(const Bytes& bytes);
    // One poll; the engine's output of this poll is flushed and returned.
    Bytes poll_once(uint8_t* activity, uint8_t* idle = nullptr);
    // `count` polls; returns the OR of their activity.
    uint8_t run(int count);
    // Polls until the engine completes a frame (at most `limit` polls) and
    // returns it; OR-s the activity seen into *activity when given.
    SentFrame next_frame(int limit = 400, uint8_t* activity = nullptr);
    // Polls until a frame is complete and returns the exact bytes written
    // from its start delimiter to its end delimiter.
    Bytes next_wire(int limit = 400);
    // Frames written so far that have not been taken by next_frame.
    std::vector<SentFrame> written_frames();
    // Everything the engine printed since the last call.
    std::string printed();
    // Garrulous, tx seq 0, expected 0, nothing due, line emptied; the
    // next poll may start a frame.
    void bring_up();
    // Re-registers the receive record with full capacity.
    void rearm();

    uint8_t rx_storage[234] = {};
    BcspPacket rx = {};
    Bytes written; // engine output not yet parsed into frames
};
