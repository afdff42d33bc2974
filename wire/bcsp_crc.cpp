#include "bcsp_crc.h"

namespace {
// Reflected CCITT polynomial 0x8408 applied to one nibble.
constexpr uint16_t CRC_TABLE[16] = {0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387,
                                    0x8408, 0x9489, 0xA50A, 0xB58B, 0xC60C, 0xD68D, 0xE70E, 0xF78F};
} // namespace

uint16_t bcsp_Crc16Update(uint8_t byte, uint16_t crc) {
    crc = static_cast<uint16_t>((crc >> 4) ^ CRC_TABLE[(crc ^ byte) & 0x0F]);
    crc = static_cast<uint16_t>((crc >> 4) ^ CRC_TABLE[(crc ^ (byte >> 4)) & 0x0F]);
    return crc;
}

uint16_t bcsp_BitReverse16(uint16_t value) {
    uint16_t out = 0;
    for (int i = 0; i < 16; ++i) {
        out = static_cast<uint16_t>((out << 1) | (value & 1));
        value = static_cast<uint16_t>(value >> 1);
    }
    return out;
}

uint8_t bcsp_HeaderChecksum(const uint8_t header[3]) {
    return static_cast<uint8_t>(~(header[0] + header[1] + header[2]));
}
