#pragma once
// BCSP frames on the serial line: SLIP-delimited (0xC0) and escaped
// (0xC0 -> DB DC, 0xDB -> DB DD), a 4-byte header with checksum, the
// payload, and a 16-bit CRC sent high byte first.
//
// Header, before escaping:
//   byte 0: bits 0-2 sequence, bits 3-5 acknowledgement (next expected),
//           bit 6 CRC present, bit 7 reliable
//   byte 1: bits 0-3 channel, bits 4-7 payload length bits 0-3
//   byte 2: payload length bits 4-11
//   byte 3: ~(byte0 + byte1 + byte2), modulo 256
//
// The encoder and assembler state belong to the one link instance
// (bcsp_link); the functions here that touch it are used by the engine.

#include <cstdint>

inline constexpr uint8_t SLIP_END = 0xC0;
inline constexpr uint8_t SLIP_ESC = 0xDB;
inline constexpr uint8_t SLIP_ESC_END = 0xDC;
inline constexpr uint8_t SLIP_ESC_ESC = 0xDD;
inline constexpr uint16_t BCSP_CRC_INIT = 0xFFFF;

// One byte into the CRC register (reflected CCITT 0x8408, a nibble at a
// time, low nibble first). Start from BCSP_CRC_INIT; no final XOR.
uint16_t bcsp_Crc16Update(uint8_t byte, uint16_t crc);

// Bit 0 becomes bit 15 and so on. The CRC goes on the wire bit-reversed.
uint16_t bcsp_BitReverse16(uint16_t value);

// The header checksum: the complement of the sum of the first three bytes.
uint8_t bcsp_HeaderChecksum(const uint8_t header[3]);
