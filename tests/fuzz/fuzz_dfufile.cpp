// Arbitrary bytes as a firmware file. Beyond not crashing, the reader must
// accept exactly the files whose header and suffix are both there, whose
// suffix lies past the header and carries the signature and a matching
// CRC in one of its accepted forms, report
// the suffix's VID/PID, and serve exactly the file's bytes from offset 0 up
// to the suffix offset, in whatever chunk sizes the download asks for.
#include "fuzz_quiet.h"

#include "dfu_file.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// Suffix offset field in the header, VID/PID in the suffix.
constexpr size_t SUFFIX_OFFSET_AT = 10;
constexpr size_t PID_AT = 2;
constexpr size_t VID_AT = 4;
// One past the largest block the download ever asks for (MAX_BLOCK_DATA).
constexpr uint16_t CHUNK_LIMIT = 231;

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The suffix CRC register, bit by bit: independent of the reader's table.
uint32_t crc_register(const uint8_t* data, size_t length, uint32_t crc = 0xFFFFFFFF) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
        }
    }
    return crc;
}

bool sealed(const uint8_t* data, size_t suffix_at) {
    const uint8_t* suffix = data + suffix_at;
    if (suffix[8] != 'U' || suffix[9] != 'F' || suffix[10] != 'D') {
        return false;
    }
    const uint32_t image = crc_register(data, suffix_at);
    const uint32_t whole = crc_register(suffix, 12, image);
    const uint32_t stored = le32(suffix + 12);
    return stored == image || stored == ~image || stored == whole || stored == ~whole;
}

const std::string& scratch_path() {
    static const std::string path = [] {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/tarn_fuzz_dfufile_" + std::to_string(getpid());
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_Quiet();
    const std::string& path = scratch_path();
    FILE* out = std::fopen(path.c_str(), "wb");
    fuzz_Check(out != nullptr, "cannot write the scratch file");
    if (size > 0) {
        fuzz_Check(std::fwrite(data, size, 1, out) == 1, "cannot write the scratch file");
    }
    std::fclose(out);

    const bool has_header = size >= DFUFILE_HEADER_SIZE;
    const uint64_t suffix_at = has_header ? le32(data + SUFFIX_OFFSET_AT) : 0;
    const bool valid = has_header && suffix_at >= DFUFILE_HEADER_SIZE &&
                       suffix_at + DFUFILE_SUFFIX_SIZE <= size && sealed(data, suffix_at);

    uint16_t vid_pid[2] = {0, 0};
    const bool opened = dfufile_Open(path.c_str(), vid_pid);
    fuzz_Check(opened == valid, "accepted a file without header or suffix, or the reverse");
    if (opened) {
        fuzz_Check(vid_pid[0] == le16(data + suffix_at + VID_AT), "wrong VID");
        fuzz_Check(vid_pid[1] == le16(data + suffix_at + PID_AT), "wrong PID");
        fuzz_Check(dfufile_ImageSize() == suffix_at, "wrong image size");

        // Chunk sizes vary with the content, like a transfer size would.
        uint8_t chunk[CHUNK_LIMIT];
        uint64_t served = 0;
        for (size_t round = 0;; ++round) {
            const uint16_t maximum =
                static_cast<uint16_t>(1 + data[round % size] % (CHUNK_LIMIT - 1));
            const uint16_t n = dfufile_Read(chunk, maximum);
            fuzz_Check(n <= maximum, "read more than asked");
            if (n == 0) {
                break;
            }
            fuzz_Check(served + n <= suffix_at, "served past the suffix offset");
            fuzz_Check(std::memcmp(chunk, data + served, n) == 0,
                       "served bytes differ from the file");
            served += n;
        }
        fuzz_Check(served == suffix_at, "image ended early");
        fuzz_Check(!dfufile_ReadFailed(), "read reported a failure on a sound file");
    }
    dfufile_Close();
    return 0;
}
