#include "sim_frame.h"

#include "bcsp_crc.h"

#include <cstdio>
#include <string>

namespace sim {

namespace {

// Header bits of byte 0.
constexpr uint8_t HEADER_RELIABLE = 0x80;
constexpr uint8_t HEADER_CRC = 0x40;
// Header byte sum of an intact header.
constexpr uint8_t HEADER_SUM_OK = 0xFF;
// The largest body the splitter keeps: header, largest payload and CRC.
constexpr size_t MAX_BODY = FRAME_HEADER_SIZE + FRAME_MAX_PAYLOAD + FRAME_CRC_SIZE;
// Its line bytes: every byte escaped, and the two delimiters. A stream
// without delimiters keeps no more than this for the log.
constexpr size_t MAX_RAW = 2 * MAX_BODY + 2;
// Establishment frames: unreliable, CRC, sequence 0, ack 0, channel 1,
// 4 bytes.
constexpr uint8_t LINK_HEADER[FRAME_HEADER_SIZE] = {0x40, 0x41, 0x00, 0x7E};

void PutEscaped(std::vector<uint8_t>& out, uint8_t byte) {
    if (byte == FRAME_END) {
        out.push_back(FRAME_ESC);
        out.push_back(FRAME_ESC_END);
    } else if (byte == FRAME_ESC) {
        out.push_back(FRAME_ESC);
        out.push_back(FRAME_ESC_ESC);
    } else {
        out.push_back(byte);
    }
}

std::vector<uint8_t> EncodeRaw(const uint8_t header[FRAME_HEADER_SIZE], const uint8_t* payload,
                               size_t length, bool has_crc) {
    std::vector<uint8_t> out;
    out.reserve(2 * (FRAME_HEADER_SIZE + length + FRAME_CRC_SIZE) + 2);
    out.push_back(FRAME_END);
    uint16_t crc = BCSP_CRC_INIT;
    for (size_t i = 0; i < FRAME_HEADER_SIZE; ++i) {
        crc = bcsp_Crc16Update(header[i], crc);
        PutEscaped(out, header[i]);
    }
    for (size_t i = 0; i < length; ++i) {
        crc = bcsp_Crc16Update(payload[i], crc);
        PutEscaped(out, payload[i]);
    }
    if (has_crc) {
        const uint16_t wire = bcsp_BitReverse16(crc);
        PutEscaped(out, static_cast<uint8_t>(wire >> 8));
        PutEscaped(out, static_cast<uint8_t>(wire & 0xFF));
    }
    out.push_back(FRAME_END);
    return out;
}

} // namespace

void BuildHeader(const Frame& frame, size_t length, uint8_t header[FRAME_HEADER_SIZE]) {
    header[0] = static_cast<uint8_t>((frame.reliable ? HEADER_RELIABLE : 0) |
                                     (frame.has_crc ? HEADER_CRC : 0) | ((frame.ack & 7) << 3) |
                                     (frame.seq & 7));
    header[1] = static_cast<uint8_t>(((length << 4) & 0xF0) | (frame.channel & 0x0F));
    header[2] = static_cast<uint8_t>((length >> 4) & 0xFF);
    header[3] = bcsp_HeaderChecksum(header);
}

std::vector<uint8_t> EncodeFrame(const Frame& frame) {
    uint8_t header[FRAME_HEADER_SIZE];
    BuildHeader(frame, frame.payload.size(), header);
    return EncodeRaw(header, frame.payload.data(), frame.payload.size(), frame.has_crc);
}

std::vector<uint8_t> EncodeLinkFrame(const uint8_t message[4]) {
    return EncodeRaw(LINK_HEADER, message, 4, true);
}

FrameCheck CheckFrame(const std::vector<uint8_t>& body, Frame* out) {
    const uint8_t* h = body.data();
    if (static_cast<uint8_t>(h[0] + h[1] + h[2] + h[3]) != HEADER_SUM_OK) {
        return FrameCheck::HeaderChecksum;
    }
    out->reliable = (h[0] & HEADER_RELIABLE) != 0;
    out->has_crc = (h[0] & HEADER_CRC) != 0;
    out->ack = (h[0] >> 3) & 7;
    out->seq = h[0] & 7;
    out->channel = h[1] & 0x0F;
    const size_t length = static_cast<size_t>((h[1] >> 4) | (h[2] << 4));
    const size_t stored = body.size() - FRAME_HEADER_SIZE;
    const size_t expected = length + (out->has_crc ? FRAME_CRC_SIZE : 0);
    if (stored != expected) {
        return FrameCheck::Length;
    }
    if (out->has_crc) {
        uint16_t crc = BCSP_CRC_INIT;
        for (size_t i = 0; i < FRAME_HEADER_SIZE + length; ++i) {
            crc = bcsp_Crc16Update(body[i], crc);
        }
        const uint16_t wire = bcsp_BitReverse16(crc);
        const size_t at = FRAME_HEADER_SIZE + length;
        if (body[at] != (wire >> 8) || body[at + 1] != (wire & 0xFF)) {
            return FrameCheck::Crc;
        }
    }
    out->payload.assign(body.begin() + FRAME_HEADER_SIZE,
                        body.begin() + static_cast<std::ptrdiff_t>(FRAME_HEADER_SIZE + length));
    return FrameCheck::Ok;
}

bool FrameSplitter::Feed(uint8_t byte) {
    if (raw_.size() < MAX_RAW) {
        raw_.push_back(byte);
    }
    at_delimiter_ = false;
    if (escaped_) {
        escaped_ = false;
        if (byte == FRAME_ESC_END) {
            byte = FRAME_END;
        } else if (byte == FRAME_ESC_ESC) {
            byte = FRAME_ESC;
        }
    } else if (byte == FRAME_END) {
        at_delimiter_ = true;
        const bool complete = body_.size() >= FRAME_HEADER_SIZE;
        if (complete) {
            done_body_.swap(body_);
            done_raw_.swap(raw_);
            if (done_raw_.front() != FRAME_END) {
                done_raw_.insert(done_raw_.begin(), FRAME_END);
            }
        }
        body_.clear();
        raw_.clear();
        // This delimiter also opens the next frame.
        raw_.push_back(FRAME_END);
        return complete;
    } else if (byte == FRAME_ESC) {
        escaped_ = true;
        return false;
    }
    if (body_.size() < MAX_BODY) {
        body_.push_back(byte);
    }
    return false;
}

void FrameSplitter::Reset() {
    body_.clear();
    raw_.clear();
    escaped_ = false;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    char item[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, i ? " %02X" : "%02X", bytes[i]);
        out += item;
    }
    return out;
}

} // namespace sim
