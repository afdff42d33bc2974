#pragma once
// The BCSP frame's checks: the 16-bit CRC over the payload and the header
// checksum. Pure functions, shared by the link and the trace's decoder.

#include <cstdint>

inline constexpr uint16_t BCSP_CRC_INIT = 0xFFFF;

// One byte into the CRC register (reflected CCITT 0x8408, a nibble at a
// time, low nibble first). Start from BCSP_CRC_INIT; no final XOR.
uint16_t bcsp_Crc16Update(uint8_t byte, uint16_t crc);

// Bit 0 becomes bit 15 and so on. The CRC goes on the wire bit-reversed.
uint16_t bcsp_BitReverse16(uint16_t value);

// The header checksum: the complement of the sum of the first three bytes.
uint8_t bcsp_HeaderChecksum(const uint8_t header[3]);
