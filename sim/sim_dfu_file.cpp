#include "sim_dfu_file.h"

#include <algorithm>
#include <random>

namespace sim {

namespace {

constexpr uint32_t CRC32_POLY = 0xEDB88320;
constexpr uint16_t SUFFIX_BCD_DEVICE_ANY = 0xFFFF;
constexpr uint16_t SUFFIX_BCD_DFU = 0x0100;
// Marks the header as ours; nothing reads it.
constexpr char HEADER_MAGIC[] = "TARNFW";

void PutLe(std::vector<uint8_t>& out, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

} // namespace

uint32_t DfuFileCrc(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) ? CRC32_POLY : 0);
        }
    }
    return crc;
}

std::vector<uint8_t> BuildDfuFile(const std::vector<uint8_t>& body, uint16_t vid, uint16_t pid,
                                  const std::string& description) {
    const size_t suffix_at = DFU_FILE_HEADER_SIZE + body.size();
    std::vector<uint8_t> file(suffix_at + DFU_FILE_SUFFIX_SIZE, 0);
    std::copy(HEADER_MAGIC, HEADER_MAGIC + sizeof HEADER_MAGIC - 1, file.begin());
    PutLe(file, DFU_FILE_SUFFIX_OFFSET_AT, suffix_at, 4);
    const size_t text = std::min(description.size(), DFU_FILE_DESCRIPTION_SIZE);
    std::copy(description.begin(), description.begin() + static_cast<std::ptrdiff_t>(text),
              file.begin() + DFU_FILE_DESCRIPTION_AT);
    std::copy(body.begin(), body.end(), file.begin() + DFU_FILE_HEADER_SIZE);
    PutLe(file, suffix_at + 0, SUFFIX_BCD_DEVICE_ANY, 2);
    PutLe(file, suffix_at + 2, pid, 2);
    PutLe(file, suffix_at + 4, vid, 2);
    PutLe(file, suffix_at + 6, SUFFIX_BCD_DFU, 2);
    file[suffix_at + 8] = 'U';
    file[suffix_at + 9] = 'F';
    file[suffix_at + 10] = 'D';
    file[suffix_at + 11] = DFU_FILE_SUFFIX_SIZE;
    const size_t crc_at = suffix_at + 12;
    PutLe(file, crc_at, DfuFileCrc(file.data(), crc_at), 4);
    return file;
}

std::vector<uint8_t> RandomBytes(uint64_t size, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<uint8_t> out(size);
    for (uint8_t& b : out) {
        b = static_cast<uint8_t>(random() >> 56);
    }
    return out;
}

} // namespace sim
