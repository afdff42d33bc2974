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

namespace {

// The 16-byte suffix at `at`, its CRC over every byte before the CRC field.
void WriteSuffix(std::vector<uint8_t>& file, size_t at, uint16_t vid, uint16_t pid,
                 const DfuFileFlaws& flaws) {
    PutLe(file, at + 0, SUFFIX_BCD_DEVICE_ANY, 2);
    PutLe(file, at + 2, pid, 2);
    PutLe(file, at + 4, vid, 2);
    PutLe(file, at + 6, SUFFIX_BCD_DFU, 2);
    const uint8_t signature[3] = {'U', 'F', 'D'};
    for (size_t i = 0; i < sizeof signature; ++i) {
        file[at + 8 + i] = flaws.no_signature ? 0 : signature[i];
    }
    file[at + 11] = DFU_FILE_SUFFIX_SIZE;
    const size_t crc_at = at + 12;
    uint32_t crc = DfuFileCrc(file.data(), crc_at);
    if (flaws.bad_crc) {
        crc ^= 1; // not the inverted form either: that one is accepted
    }
    PutLe(file, crc_at, crc, 4);
}

} // namespace

std::vector<uint8_t> BuildDfuFile(const std::vector<uint8_t>& body, uint16_t vid, uint16_t pid,
                                  const std::string& description, const DfuFileFlaws& flaws) {
    const size_t suffix_at = DFU_FILE_HEADER_SIZE + body.size();
    std::vector<uint8_t> file(suffix_at + DFU_FILE_SUFFIX_SIZE, 0);
    std::copy(HEADER_MAGIC, HEADER_MAGIC + sizeof HEADER_MAGIC - 1, file.begin());
    PutLe(file, DFU_FILE_SUFFIX_OFFSET_AT, suffix_at, 4);
    const size_t text = std::min(description.size(), DFU_FILE_DESCRIPTION_SIZE);
    std::copy(description.begin(), description.begin() + static_cast<std::ptrdiff_t>(text),
              file.begin() + DFU_FILE_DESCRIPTION_AT);
    std::copy(body.begin(), body.end(), file.begin() + DFU_FILE_HEADER_SIZE);
    if (flaws.suffix_offset >= DFU_FILE_MIN_FLAWED_OFFSET &&
        flaws.suffix_offset < DFU_FILE_HEADER_SIZE) {
        PutLe(file, DFU_FILE_SUFFIX_OFFSET_AT, flaws.suffix_offset, 4);
        WriteSuffix(file, suffix_at, vid, pid, DfuFileFlaws{});
        WriteSuffix(file, flaws.suffix_offset, vid, pid, flaws);
        return file;
    }
    WriteSuffix(file, suffix_at, vid, pid, flaws);
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
