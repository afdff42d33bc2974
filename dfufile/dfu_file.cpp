// The firmware file of the run: header and suffix read once, then the image
// (offset 0 up to the suffix) served in chunks to the download.
#include "dfu_file.h"
#include "file_open.h"
#include "file_seek.h"

#include "console.h"
#include "le_bytes.h"
#include "report.h"
#include "sha256.h"
#include "text_escape.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Header fields.
constexpr uint32_t SUFFIX_OFFSET_AT = 10;
constexpr uint32_t DESCRIPTION_AT = 16;
constexpr uint32_t DESCRIPTION_SIZE = REPORT_DESCRIPTION_SIZE;
// Suffix fields.
constexpr uint32_t PID_AT = 2;
constexpr uint32_t VID_AT = 4;
constexpr uint32_t SIGNATURE_AT = 8;
constexpr uint8_t SIGNATURE[3] = {'U', 'F', 'D'};
constexpr uint32_t CRC_AT = 12;
// The image starts with this header, so a suffix any nearer the start
// leaves no room for it: such a file is damaged, whatever its CRC says.
constexpr uint32_t MIN_SUFFIX_OFFSET = DFUFILE_HEADER_SIZE;
// Bytes read at a time while the CRC of the whole file is taken at open.
constexpr uint32_t SCAN_CHUNK = 4096;
// Room for the longest reason line: a system's error text and little else.
constexpr size_t REASON_SIZE = 160;

// The CRC-32 register of the file suffix convention: reflected polynomial
// 0xEDB88320, started at 0xFFFFFFFF.
constexpr uint32_t CRC_POLY = 0xEDB88320;
constexpr uint32_t CRC_INIT = 0xFFFFFFFF;

struct CrcTable {
    uint32_t entry[256];
};

constexpr CrcTable MakeCrcTable() {
    CrcTable t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c >> 1) ^ ((c & 1) ? CRC_POLY : 0);
        }
        t.entry[i] = c;
    }
    return t;
}
constexpr CrcTable CRC_TABLE = MakeCrcTable();

uint32_t CrcUpdate(uint32_t crc, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        crc = CRC_TABLE.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

static_assert(DESCRIPTION_AT + DESCRIPTION_SIZE <= DFUFILE_HEADER_SIZE);

FILE* file = nullptr;
bool close_registered = false;
uint8_t header[DFUFILE_HEADER_SIZE];
uint8_t suffix[DFUFILE_SUFFIX_SIZE];
uint32_t image_size = 0; // the suffix offset
uint32_t served = 0;
bool read_failed = false;
// The CRC register over the image as checked at open, and over the bytes
// served since: they must agree once the last byte has been served.
uint32_t image_crc = 0;
uint32_t served_crc = CRC_INIT;
// The whole file's hash, taken only for the report.
bool hashing = false;
Sha256 file_hash;
ReportFile facts;

// Feeds `length` bytes from the stream's current position into *crc.
// False when the file ends or fails before that.
bool CrcOfFileBytes(uint32_t length, uint32_t* crc) {
    uint8_t chunk[SCAN_CHUNK];
    while (length > 0) {
        const uint32_t want = length < SCAN_CHUNK ? length : SCAN_CHUNK;
        if (std::fread(chunk, 1, want, file) != want) {
            return false;
        }
        *crc = CrcUpdate(*crc, chunk, want);
        if (hashing) {
            sha256_Add(&file_hash, chunk, want);
        }
        length -= want;
    }
    return true;
}

// From the end of the image (the stream's position) to the end of the file:
// the rest of the whole file's hash and size, then the report's note. No
// note when the file cannot be read to its end.
void TakeFacts(uint32_t suffix_offset) {
    uint8_t chunk[SCAN_CHUNK];
    uint64_t size = suffix_offset;
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file);
        sha256_Add(&file_hash, chunk, got);
        size += got;
        if (got < sizeof chunk) {
            break;
        }
    }
    if (std::ferror(file) || !sha256_End(&file_hash, facts.sha256)) {
        return;
    }
    facts.size = size;
    facts.image_size = suffix_offset;
    facts.stored_crc = le_Read32(suffix + CRC_AT);
    facts.vid = le_Read16(suffix + VID_AT);
    facts.pid = le_Read16(suffix + PID_AT);
    std::memcpy(facts.description, header + DESCRIPTION_AT, DESCRIPTION_SIZE);
    facts.description[DESCRIPTION_SIZE] = '\0';
    report_NoteFile(facts);
}

// Says why the file is refused, on a line before the caller's summary.
bool Refuse(const char* format, ...) TARN_PRINTF_LIKE(1, 2);
bool Refuse(const char* format, ...) {
    char reason[REASON_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    con_Print("Firmware file: %s\n", reason);
    return false;
}

// A read of the file's own bytes that came back short: the file ended
// before, or the system failed to read it.
bool RefuseShortRead(const char* ended) {
    if (std::ferror(file)) {
        return Refuse("cannot be read (%s)", std::strerror(errno));
    }
    return Refuse("%s", ended);
}

// The suffix must carry the signature and a CRC-32 that matches the file.
// Producers differ in what they take the CRC over and whether they invert
// it at the end; an honest file of any of these kinds passes, a damaged one
// (or one that never was a firmware file) does not. Leaves image_crc set.
// Prints the reason of a refusal.
bool FileIsIntact(uint32_t suffix_offset) {
    if (suffix_offset < MIN_SUFFIX_OFFSET) {
        return Refuse("suffix offset %lu lies inside the header",
                      static_cast<unsigned long>(suffix_offset));
    }
    if (std::memcmp(suffix + SIGNATURE_AT, SIGNATURE, sizeof SIGNATURE) != 0) {
        return Refuse("no DFU suffix signature");
    }
    std::rewind(file);
    if (hashing) {
        sha256_Begin(&file_hash);
    }
    uint32_t crc = CRC_INIT;
    if (!CrcOfFileBytes(suffix_offset, &crc)) {
        if (hashing) {
            uint8_t unused[SHA256_DIGEST_SIZE];
            sha256_End(&file_hash, unused);
        }
        return RefuseShortRead("shorter than its suffix offset");
    }
    image_crc = crc;
    if (hashing) {
        TakeFacts(suffix_offset);
    }
    const uint32_t whole_crc = CrcUpdate(crc, suffix, CRC_AT);
    const uint32_t stored = le_Read32(suffix + CRC_AT);
    if (stored == whole_crc || stored == ~whole_crc || stored == image_crc ||
        stored == ~image_crc) {
        return true;
    }
    // The usual convention's value: over every byte before the field, not
    // inverted.
    return Refuse("CRC mismatch (file 0x%08lX, computed 0x%08lX)",
                  static_cast<unsigned long>(stored), static_cast<unsigned long>(whole_crc));
}

} // namespace

bool dfufile_Open(const char* path, uint16_t* vid_pid) {
    dfufile_Close();
    image_size = 0;
    served = 0;
    read_failed = false;
    served_crc = CRC_INIT;
    hashing = report_On();

    const char* refusal = nullptr;
    file = dfufile_OpenFile(path, &refusal);
    if (refusal != nullptr) {
        return Refuse("%s", refusal);
    }
    if (file == nullptr) {
        return Refuse("cannot be opened (%s)", std::strerror(errno));
    }
    // Once per process: the handler closes whichever file is open at exit.
    if (!close_registered) {
        close_registered = std::atexit(dfufile_Close) == 0;
    }
    if (std::fread(header, sizeof header, 1, file) != 1) {
        return RefuseShortRead("shorter than the 100-byte header");
    }
    const uint32_t suffix_offset = le_Read32(header + SUFFIX_OFFSET_AT);
    // A failed seek must not let the read take 16 bytes from the wrong place.
    if (!dfufile_SeekTo(file, suffix_offset) || std::fread(suffix, sizeof suffix, 1, file) != 1) {
        char ended[REASON_SIZE];
        std::snprintf(ended, sizeof ended, "ends before its 16-byte suffix (suffix offset %lu)",
                      static_cast<unsigned long>(suffix_offset));
        return RefuseShortRead(ended);
    }
    if (!FileIsIntact(suffix_offset)) {
        return false;
    }
    const uint16_t vid = le_Read16(suffix + VID_AT);
    const uint16_t pid = le_Read16(suffix + PID_AT);
    if (vid_pid != nullptr) {
        vid_pid[0] = vid;
        vid_pid[1] = pid;
    }
    std::rewind(file);
    image_size = suffix_offset;
    served = 0;

    // Text from the file must not move the cursor, change colours or start a
    // line that looks like one of ours.
    char file_desc[DESCRIPTION_SIZE * TEXT_ESCAPED_CHAR_SIZE + 1];
    text_EscapeControls(reinterpret_cast<const char*>(header + DESCRIPTION_AT), DESCRIPTION_SIZE,
                        file_desc, sizeof file_desc);
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
    served_crc = CrcUpdate(served_crc, buffer, wanted);
    // The last chunk is held back when the image is not the one checked at
    // open (the file was rewritten meanwhile): the device gets either the
    // checked image or an incomplete one that is never declared complete.
    if (served == image_size && served_crc != image_crc) {
        read_failed = true;
        con_Print("Firmware file changed during download\n");
        return 0;
    }
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
