#include "fuzz_wire.h"

namespace {

constexpr uint8_t END = 0xC0;
constexpr uint8_t ESC = 0xDB;
constexpr uint8_t ESC_END = 0xDC;
constexpr uint8_t ESC_ESC = 0xDD;

constexpr uint8_t LE_PAYLOADS[4][4] = {
    {0xDA, 0xDC, 0xED, 0xED},
    {0xAC, 0xAF, 0xEF, 0xEE},
    {0xAD, 0xEF, 0xAC, 0xED},
    {0xDE, 0xAD, 0xD0, 0xD0},
};

void put(std::vector<uint8_t>& out, uint8_t b) {
    if (b == END) {
        out.push_back(ESC);
        out.push_back(ESC_END);
    } else if (b == ESC) {
        out.push_back(ESC);
        out.push_back(ESC_ESC);
    } else {
        out.push_back(b);
    }
}

} // namespace

uint16_t wire_Crc(const uint8_t* p, size_t n) {
    // CRC-16/MCRF4XX, bit by bit, reflected: init FFFF, poly 0x8408, no xorout.
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    uint16_t reversed = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (crc & (1u << bit)) {
            reversed = static_cast<uint16_t>(reversed | (1u << (15 - bit)));
        }
    }
    return reversed;
}

void wire_AppendFrame(std::vector<uint8_t>& out, const WireHeader& h, const uint8_t* payload,
                      uint16_t length, bool bad_checksum) {
    std::vector<uint8_t> body;
    // Room for the whole frame up front; also keeps GCC 12's -Wstringop-overflow
    // from misjudging the insert below at -O2.
    body.reserve(4u + length + 2u);
    body.push_back(static_cast<uint8_t>((h.reliable ? 0x80 : 0) | (h.crc ? 0x40 : 0) |
                                        (h.ack & 7) << 3 | (h.seq & 7)));
    body.push_back(static_cast<uint8_t>((length & 0x0F) << 4 | (h.channel & 0x0F)));
    body.push_back(static_cast<uint8_t>(length >> 4));
    uint8_t checksum = static_cast<uint8_t>(~(body[0] + body[1] + body[2]));
    if (bad_checksum) {
        checksum = static_cast<uint8_t>(checksum + 1);
    }
    body.push_back(checksum);
    body.insert(body.end(), payload, payload + length);
    if (h.crc) {
        const uint16_t crc = wire_Crc(body.data(), body.size());
        body.push_back(static_cast<uint8_t>(crc >> 8));
        body.push_back(static_cast<uint8_t>(crc & 0xFF));
    }
    out.push_back(END);
    for (uint8_t b : body) {
        put(out, b);
    }
    out.push_back(END);
}

void wire_AppendLeFrame(std::vector<uint8_t>& out, uint8_t index) {
    // Unreliable, seq 0, ack 0, channel 1: the fixed header 40 41 00 7E.
    wire_AppendFrame(out, WireHeader{0, 0, false, true, 1}, LE_PAYLOADS[index & 3], 4);
}

int wire_LeIndex(const uint8_t* payload, size_t length) {
    if (length != 4) {
        return -1;
    }
    for (int i = 0; i < 4; ++i) {
        bool same = true;
        for (int j = 0; j < 4; ++j) {
            same = same && payload[j] == LE_PAYLOADS[i][j];
        }
        if (same) {
            return i;
        }
    }
    return -1;
}

bool WireDecoder::feed(uint8_t b) {
    if (escape_) {
        escape_ = false;
        if (b == ESC_END) {
            raw_.push_back(END);
        } else if (b == ESC_ESC) {
            raw_.push_back(ESC);
        } else if (b == END) {
            // An abandoned frame can end between the two halves of a pair;
            // the delimiter that follows still starts the next frame.
            raw_.clear();
            return false;
        } else {
            bad_escape_ = true;
            raw_.push_back(b);
        }
        return false;
    }
    if (b == ESC) {
        escape_ = true;
        return false;
    }
    if (b != END) {
        raw_.push_back(b);
        return false;
    }
    if (raw_.size() < 4) {
        raw_.clear();
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        frame_.header[i] = raw_[i];
    }
    const uint8_t* h = frame_.header;
    const bool header_ok = static_cast<uint8_t>(h[0] + h[1] + h[2] + h[3]) == 0xFF;
    const size_t length = static_cast<size_t>(h[1] >> 4 | h[2] << 4);
    const bool crc = (h[0] & 0x40) != 0;
    const size_t body = raw_.size() - 4;
    bool ok = header_ok && body == length + (crc ? 2 : 0);
    if (ok && crc) {
        const uint16_t want = wire_Crc(raw_.data(), 4 + length);
        ok = raw_[4 + length] == (want >> 8) && raw_[5 + length] == (want & 0xFF);
    }
    frame_.valid = ok;
    frame_.payload.assign(raw_.begin() + 4, raw_.begin() + 4 + (ok ? length : body));
    raw_.clear();
    return true;
}
