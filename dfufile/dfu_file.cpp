// The firmware file of the run: header and suffix read once, then the image
// (offset 0 up to the suffix) served in chunks to the download.
#include "dfu_file.h"
#include "file_seek.h"

#include "console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Header fields.
constexpr uint32_t SUFFIX_OFFSET_AT = 10;
constexpr uint32_t DESCRIPTION_AT = 16;
constexpr uint32_t DESCRIPTION_SIZE = 64;
// Suffix fields.
constexpr uint32_t PID_AT = 2;
constexpr uint32_t VID_AT = 4;

static_assert(DESCRIPTION_AT + DESCRIPTION_SIZE <= DFUFILE_HEADER_SIZE);

FILE* file = nullptr;
bool close_registered = false;
uint8_t header[DFUFILE_HEADER_SIZE];
uint8_t suffix[DFUFILE_SUFFIX_SIZE];
uint32_t image_size = 0; // the suffix offset
uint32_t served = 0;
bool read_failed = false;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

bool dfufile_Open(const char* path, uint16_t* vid_pid) {
    dfufile_Close();
    image_size = 0;
    served = 0;
    read_failed = false;

    file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    // Once per process: the handler closes whichever file is open at exit.
    if (!close_registered) {
        close_registered = std::atexit(dfufile_Close) == 0;
    }
    if (std::fread(header, sizeof header, 1, file) != 1) {
        return false;
    }
    const uint32_t suffix_offset = le32(header + SUFFIX_OFFSET_AT);
    // A failed seek must not let the read take 16 bytes from the wrong place.
    if (!dfufile_SeekTo(file, suffix_offset) || std::fread(suffix, sizeof suffix, 1, file) != 1) {
        return false;
    }
    const uint16_t vid = le16(suffix + VID_AT);
    const uint16_t pid = le16(suffix + PID_AT);
    if (vid_pid != nullptr) {
        vid_pid[0] = vid;
        vid_pid[1] = pid;
    }
    std::rewind(file);
    image_size = suffix_offset;
    served = 0;

    char file_desc[DESCRIPTION_SIZE + 1];
    std::memcpy(file_desc, header + DESCRIPTION_AT, DESCRIPTION_SIZE);
    file_desc[DESCRIPTION_SIZE] = '\0';
    con_Print("DFU file: %s\n", file_desc);
    con_Print("DFU file VID: 0x%04X, PID: 0x%04X\n", vid, pid);
    return true;
}

uint16_t dfufile_Read(uint8_t* buffer, uint16_t maximum) {
    if (file == nullptr || read_failed) {
        return 0;
    }
    const uint32_t remaining = image_size - served;
    const uint16_t wanted = remaining < maximum ? static_cast<uint16_t>(remaining) : maximum;
    if (wanted == 0) {
        return 0;
    }
    // The image's extent is known, so a short read is a fault (I/O error,
    // or the file shrank), not the end: the device must never be told the
    // image ended while part of it was never sent.
    const size_t got = std::fread(buffer, 1, wanted, file);
    if (got != wanted) {
        read_failed = true;
        con_Print("Firmware file read error\n");
        return 0;
    }
    served += wanted;
    return wanted;
}

bool dfufile_ReadFailed() {
    return read_failed;
}

uint32_t dfufile_ImageSize() {
    return image_size;
}

void dfufile_Close() {
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
}
