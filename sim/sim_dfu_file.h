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

// The whole file for `body` (the bytes after the header). A description
// longer than 64 bytes is cut at 64.
std::vector<uint8_t> BuildDfuFile(const std::vector<uint8_t>& body, uint16_t vid, uint16_t pid,
                                  const std::string& description);

// `size` pseudo-random bytes from `seed` (the same seed, the same bytes).
std::vector<uint8_t> RandomBytes(uint64_t size, uint64_t seed);

} // namespace sim
