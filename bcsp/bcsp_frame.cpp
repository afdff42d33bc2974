// The byte-level machines of the link: an encoder that writes one byte of a
// frame per step and an assembler that takes one received byte per step.
#include "bcsp_frame.h"

#include "console.h"
#include "serial_port.h"

namespace {

// Header bytes that precede the payload.
constexpr uint8_t HEADER_SIZE = 4;
constexpr uint8_t CRC_SIZE = 2;

// --- encoder ---
const uint8_t* cursor = nullptr;
uint16_t remaining = 0; // bytes of the current chunk still to write; 0 = idle
const uint8_t* next_chunk = nullptr;
uint16_t next_length = 0;
uint16_t crc_accumulator = BCSP_CRC_INIT;
bool crc_pending = false;
uint8_t pending_escape = 0; // second half of an escape pair, 0 when none
// The CRC is written from here, so it must outlive the step that starts it.
uint8_t crc_bytes[CRC_SIZE];

// --- assembler ---
// -4..-1 while header bytes are collected, then payload bytes stored.
int32_t rx_count = -HEADER_SIZE;
uint8_t rx_header[HEADER_SIZE];
bool rx_escape = false;
// The frame just closed by a delimiter.
uint16_t frame_count = 0;

void put_escaped(uint8_t b) {
    if (b == SLIP_END) {
        com_PutByte(SLIP_ESC);
        pending_escape = SLIP_ESC_END;
    } else if (b == SLIP_ESC) {
        com_PutByte(SLIP_ESC);
        pending_escape = SLIP_ESC_ESC;
    } else {
        com_PutByte(b);
    }
}

} // namespace

void bcsp_StartFrame(uint8_t header[4], bool compute_checksum, const uint8_t* payload,
                     uint16_t length) {
    if (compute_checksum) {
        header[3] = bcsp_HeaderChecksum(header);
    }
    cursor = header;
    remaining = HEADER_SIZE;
    const bool has_payload = payload != nullptr && length != 0;
    next_chunk = has_payload ? payload : nullptr;
    next_length = has_payload ? length : 0;
    crc_accumulator = BCSP_CRC_INIT;
    crc_pending = true;
    pending_escape = 0;
}

bool bcsp_EncoderBusy() {
    return remaining != 0;
}

bool bcsp_EncodeStep() {
    if (pending_escape != 0) {
        com_PutByte(pending_escape);
        pending_escape = 0;
    } else {
        const uint8_t b = *cursor++;
        crc_accumulator = bcsp_Crc16Update(b, crc_accumulator);
        put_escaped(b);
    }
    if (pending_escape != 0) {
        return false;
    }
    if (--remaining != 0) {
        return false;
    }
    if (next_chunk != nullptr) {
        cursor = next_chunk;
        remaining = next_length;
        next_chunk = nullptr;
        next_length = 0;
        return false;
    }
    if (crc_pending) {
        crc_pending = false;
        const uint16_t crc = bcsp_BitReverse16(crc_accumulator);
        crc_bytes[0] = static_cast<uint8_t>(crc >> 8);
        crc_bytes[1] = static_cast<uint8_t>(crc & 0xFF);
        cursor = crc_bytes;
        remaining = CRC_SIZE;
        return false;
    }
    cursor = nullptr;
    com_PutByte(SLIP_END);
    return true;
}

void bcsp_AbandonFrame() {
    cursor = nullptr;
    remaining = 0;
    next_chunk = nullptr;
    next_length = 0;
    pending_escape = 0;
}

void bcsp_RestartAssembly() {
    rx_count = -HEADER_SIZE;
}

bool bcsp_AssembleStep(uint8_t b, uint8_t* storage, uint16_t capacity) {
    if (rx_escape) {
        rx_escape = false;
        if (b == SLIP_ESC_END) {
            b = SLIP_END;
        } else if (b == SLIP_ESC_ESC) {
            b = SLIP_ESC;
        }
        // Any other byte is kept as it is; the length or CRC check decides.
    } else if (b == SLIP_END) {
        const bool complete = rx_count >= 0;
        if (complete) {
            frame_count = static_cast<uint16_t>(rx_count);
        }
        rx_count = -HEADER_SIZE;
        return complete;
    } else if (b == SLIP_ESC) {
        rx_escape = true;
        return false;
    }
    if (rx_count < 0) {
        rx_header[rx_count + HEADER_SIZE] = b;
        ++rx_count;
    } else if (rx_count < capacity) {
        storage[rx_count] = b;
        ++rx_count;
    }
    return false;
}

const uint8_t* bcsp_FrameHeader() {
    return rx_header;
}

uint16_t bcsp_FrameCount() {
    return frame_count;
}

bool bcsp_CheckHeader() {
    const uint8_t sum =
        static_cast<uint8_t>(rx_header[0] + rx_header[1] + rx_header[2] + rx_header[3]);
    if (sum == 0xFF) {
        return true;
    }
    con_Print("\n######################## Header Checksum Error %02X %02X %02X %02X\n",
              rx_header[0], rx_header[1], rx_header[2], rx_header[3]);
    return false;
}

bool bcsp_CheckBody(const uint8_t* storage, bool crc_present, uint16_t payload_length) {
    if (!crc_present) {
        if (payload_length != frame_count) {
            con_Print("\n######################## Slip Length Error (No CRC) %d,%d\n",
                      static_cast<int>(payload_length), static_cast<int>(frame_count));
            return false;
        }
        return true;
    }
    if (payload_length + CRC_SIZE != frame_count) {
        con_Print("\n######################## Slip Length Error (With CRC) %d,%d\n",
                  static_cast<int>(payload_length), static_cast<int>(frame_count) - CRC_SIZE);
        return false;
    }
    uint16_t crc = BCSP_CRC_INIT;
    for (uint8_t b : rx_header) {
        crc = bcsp_Crc16Update(b, crc);
    }
    for (uint16_t i = 0; i < payload_length; ++i) {
        crc = bcsp_Crc16Update(storage[i], crc);
    }
    crc = bcsp_BitReverse16(crc);
    if (storage[payload_length] != (crc >> 8) || storage[payload_length + 1] != (crc & 0xFF)) {
        con_Print("\n######################## CRC Error\n");
        return false;
    }
    frame_count = payload_length;
    return true;
}

void bcsp_FrameInit() {
    bcsp_AbandonFrame();
    crc_accumulator = BCSP_CRC_INIT;
    crc_pending = false;
    rx_count = -HEADER_SIZE;
    rx_escape = false;
    frame_count = 0;
}
