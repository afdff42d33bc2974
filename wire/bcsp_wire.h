#pragma once
// The BCSP frame as it is on the line, shared by the link that writes and
// reads it and the trace that decodes it: SLIP-delimited (0xC0) and escaped
// (0xC0 -> DB DC, 0xDB -> DB DD), a 4-byte header with checksum, the
// payload, and a 16-bit CRC sent high byte first.
//
// Header, before escaping:
//   byte 0: bits 0-2 sequence, bits 3-5 acknowledgement (next expected),
//           bit 6 CRC present, bit 7 reliable
//   byte 1: bits 0-3 channel, bits 4-7 payload length bits 0-3
//   byte 2: payload length bits 4-11
//   byte 3: ~(byte0 + byte1 + byte2), modulo 256

#include <cstdint>

inline constexpr uint8_t SLIP_END = 0xC0;
inline constexpr uint8_t SLIP_ESC = 0xDB;
inline constexpr uint8_t SLIP_ESC_END = 0xDC;
inline constexpr uint8_t SLIP_ESC_ESC = 0xDD;

inline constexpr uint8_t HDR_RELIABLE = 0x80;
inline constexpr uint8_t HDR_CRC = 0x40;
inline constexpr uint8_t HDR_ACK_SHIFT = 3;
// Sequence and acknowledgement numbers count modulo 8.
inline constexpr uint8_t HDR_SEQ_MASK = 0x07;
inline constexpr uint8_t HDR_CHANNEL_MASK = 0x0F;

// Link establishment: channel 1, four fixed 4-byte messages, in the order
// of LeMessage (sync, sync-response, conf, conf-response).
inline constexpr uint8_t LE_CHANNEL = 1;
inline constexpr uint8_t LE_MESSAGE_SIZE = 4;
inline constexpr uint8_t LE_MESSAGE_COUNT = 4;
inline constexpr uint8_t LE_MESSAGES[LE_MESSAGE_COUNT][LE_MESSAGE_SIZE] = {
    {0xDA, 0xDC, 0xED, 0xED}, // sync
    {0xAC, 0xAF, 0xEF, 0xEE}, // sync-response
    {0xAD, 0xEF, 0xAC, 0xED}, // conf
    {0xDE, 0xAD, 0xD0, 0xD0}, // conf-response
};
