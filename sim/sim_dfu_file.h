#pragma once
// Sample firmware files for the demo and the tests: a 100-byte header (the
// suffix offset u32 LE at 10, a 64-byte NUL-padded description at 16), the
// body, then a 16-byte suffix in the USB DFU 1.1 layout: bcdDevice 0xFFFF,
// idProduct, idVendor, bcdDFU 0x0100, "UFD", length 16, dwCRC. The image a
// device receives is the file's bytes before the suffix, header included.

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr size_t DFU_FILE_HEADER_SIZE = 100;
inline constexpr size_t DFU_FILE_SUFFIX_SIZE = 16;
inline constexpr size_t DFU_FILE_SUFFIX_OFFSET_AT = 10;
inline constexpr size_t DFU_FILE_DESCRIPTION_AT = 16;
inline constexpr size_t DFU_FILE_DESCRIPTION_SIZE = 64;

// The DFU suffix CRC: CRC-32 (reflected 0xEDB88320, register starting at
// 0xFFFFFFFF) without the final inversion, as the USB DFU 1.1 sample code
// computes it.
uint32_t DfuFileCrc(const uint8_t* data, size_t length);

// Damage a file may carry, so that tests can show it is refused. Each kind
// alone: everything else about the file stays consistent.
struct DfuFileFlaws {
    bool bad_crc = false;      // the stored CRC matches no accepted form
    bool no_signature = false; // the suffix lacks "UFD" (its CRC still matches)
    // Non-zero: the header names this offset, inside the header, and a
    // complete suffix (signature, matching CRC) is written there as well.
    uint32_t suffix_offset = 0;
};
// The smallest flawed suffix offset: below it the suffix would overwrite the
// header's offset field at 10..13.
inline constexpr uint32_t DFU_FILE_MIN_FLAWED_OFFSET = 14;

// The whole file for `body` (the bytes after the header). A description
// longer than 64 bytes is cut at 64.
std::vector<uint8_t> BuildDfuFile(const std::vector<uint8_t>& body, uint16_t vid, uint16_t pid,
                                  const std::string& description, const DfuFileFlaws& flaws = {});

// `size` pseudo-random bytes from `seed` (the same seed, the same bytes).
std::vector<uint8_t> RandomBytes(uint64_t size, uint64_t seed);

} // namespace sim
