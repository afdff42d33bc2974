#pragma once
// A minimal host side for driving sim::Device byte by byte in tests: its own
// frame encoder and decoder (built on the shared CRC helpers only), so that a
// fault in the device's codec cannot hide behind the same code on both ends.

#include "bcsp_crc.h"
#include "sim_device.h"

#include <cstdint>
#include <vector>

namespace simtest {

struct HostFrame {
    bool good = false; // header checksum, length and CRC all right
    bool reliable = false;
    bool crc = false;
    uint8_t seq = 0;
    uint8_t ack = 0;
    uint8_t channel = 0;
    std::vector<uint8_t> payload;
};

inline const std::vector<uint8_t> SYNC = {0xDA, 0xDC, 0xED, 0xED};
inline const std::vector<uint8_t> SYNC_RESP = {0xAC, 0xAF, 0xEF, 0xEE};
inline const std::vector<uint8_t> CONF = {0xAD, 0xEF, 0xAC, 0xED};
inline const std::vector<uint8_t> CONF_RESP = {0xDE, 0xAD, 0xD0, 0xD0};

inline void Escape(std::vector<uint8_t>& out, uint8_t b) {
    if (b == 0xC0) {
        out.insert(out.end(), {0xDB, 0xDC});
    } else if (b == 0xDB) {
        out.insert(out.end(), {0xDB, 0xDD});
    } else {
        out.push_back(b);
    }
}

inline std::vector<uint8_t> Encode(bool reliable, uint8_t seq, uint8_t ack, uint8_t channel,
                                   const std::vector<uint8_t>& payload, bool crc = true) {
    uint8_t h[4];
    h[0] = static_cast<uint8_t>((reliable ? 0x80 : 0) | (crc ? 0x40 : 0) | (ack << 3) | seq);
    h[1] = static_cast<uint8_t>(((payload.size() & 0x0F) << 4) | channel);
    h[2] = static_cast<uint8_t>(payload.size() >> 4);
    h[3] = static_cast<uint8_t>(~(h[0] + h[1] + h[2]));
    std::vector<uint8_t> out = {0xC0};
    uint16_t c = 0xFFFF;
    for (uint8_t b : h) {
        c = bcsp_Crc16Update(b, c);
        Escape(out, b);
    }
    for (uint8_t b : payload) {
        c = bcsp_Crc16Update(b, c);
        Escape(out, b);
    }
    if (crc) {
        const uint16_t w = bcsp_BitReverse16(c);
        Escape(out, static_cast<uint8_t>(w >> 8));
        Escape(out, static_cast<uint8_t>(w));
    }
    out.push_back(0xC0);
    return out;
}

// Every frame (at least a header long) in a byte stream, checked.
inline std::vector<HostFrame> Decode(const std::vector<uint8_t>& bytes) {
    std::vector<HostFrame> frames;
    std::vector<uint8_t> body;
    bool esc = false;
    for (uint8_t b : bytes) {
        if (esc) {
            esc = false;
            body.push_back(b == 0xDC ? 0xC0 : b == 0xDD ? 0xDB : b);
            continue;
        }
        if (b == 0xDB) {
            esc = true;
            continue;
        }
        if (b != 0xC0) {
            body.push_back(b);
            continue;
        }
        if (body.size() >= 4) {
            HostFrame f;
            const uint8_t* h = body.data();
            f.reliable = h[0] & 0x80;
            f.crc = h[0] & 0x40;
            f.ack = (h[0] >> 3) & 7;
            f.seq = h[0] & 7;
            f.channel = h[1] & 0x0F;
            const size_t len = (h[1] >> 4) | (h[2] << 4);
            bool ok = static_cast<uint8_t>(h[0] + h[1] + h[2] + h[3]) == 0xFF &&
                      body.size() == 4 + len + (f.crc ? 2 : 0);
            if (ok && f.crc) {
                uint16_t c = 0xFFFF;
                for (size_t i = 0; i < 4 + len; ++i) {
                    c = bcsp_Crc16Update(body[i], c);
                }
                const uint16_t w = bcsp_BitReverse16(c);
                ok = body[4 + len] == (w >> 8) && body[5 + len] == (w & 0xFF);
            }
            f.good = ok;
            if (ok) {
                f.payload.assign(body.begin() + 4, body.begin() + 4 + static_cast<long>(len));
            }
            frames.push_back(f);
        }
        body.clear();
    }
    return frames;
}

inline std::vector<uint8_t> SetupPacket(uint8_t type, uint8_t request, uint16_t value,
                                        uint16_t length) {
    return {type, request, static_cast<uint8_t>(value),  static_cast<uint8_t>(value >> 8),
            0,    0,       static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
}

// The host's end: sequence numbers, link bring-up, requests and replies.
class Host {
  public:
    explicit Host(sim::Device& device) : dev_(device) {}

    // Everything the device has put on the line by now, decoded.
    std::vector<HostFrame> Take() {
        std::vector<uint8_t> bytes;
        uint8_t buf[512];
        for (size_t n; (n = dev_.Transmit(buf, sizeof buf)) != 0;) {
            bytes.insert(bytes.end(), buf, buf + n);
        }
        raw_.insert(raw_.end(), bytes.begin(), bytes.end());
        return Decode(bytes);
    }

    void Send(const std::vector<uint8_t>& bytes) { dev_.Receive(bytes.data(), bytes.size()); }
    void SendLink(const std::vector<uint8_t>& message) { Send(Encode(false, 0, 0, 1, message)); }

    void Advance(uint64_t ms) { dev_.AdvanceTo(dev_.Now() + ms * 1000); }

    // Brings the link up from the host side; true when the device answered
    // conf with conf-response.
    bool BringUp() {
        SendLink(SYNC);
        SendLink(SYNC_RESP);
        SendLink(CONF);
        bool conf_resp = false;
        for (const HostFrame& f : Take()) {
            conf_resp |= f.good && f.channel == 1 && f.payload == CONF_RESP;
        }
        SendLink(CONF_RESP);
        Take();
        tx_seq_ = 0;
        rx_expected_ = 0;
        return conf_resp && dev_.LinkUp();
    }

    // Sends one reliable request on channel 12 with the next sequence number.
    void Request(const std::vector<uint8_t>& payload) {
        last_request_ = Encode(true, tx_seq_, rx_expected_, 12, payload);
        tx_seq_ = (tx_seq_ + 1) & 7;
        Send(last_request_);
    }
    void Resend() { Send(last_request_); }

    // The channel-12 frames from the device by now (reliable ones in sequence
    // are acknowledged at once; the ack-only frame is sent back).
    std::vector<HostFrame> Replies() {
        std::vector<HostFrame> out;
        for (const HostFrame& f : Take()) {
            last_ack_ = f.ack;
            if (!f.good || f.channel != 12) {
                continue;
            }
            if (f.reliable) {
                if (f.seq != rx_expected_) {
                    continue;
                }
                rx_expected_ = (rx_expected_ + 1) & 7;
                Send(Encode(false, 0, rx_expected_, 0, {}));
            }
            out.push_back(f);
        }
        return out;
    }

    // One request and its single reply payload (empty when none came).
    std::vector<uint8_t> Call(const std::vector<uint8_t>& payload) {
        Request(payload);
        const std::vector<HostFrame> r = Replies();
        return r.size() == 1 ? r[0].payload : std::vector<uint8_t>{};
    }

    // GETSTATUS: {status, poll_ms, state}; state 0xFF when no proper reply.
    struct Status {
        uint8_t status;
        uint32_t poll_ms;
        uint8_t state;
    };
    Status GetStatus() {
        const std::vector<uint8_t> r = Call(SetupPacket(0xA1, 3, 0, 6));
        if (r.size() != 10 || r[0] != 0 || r[1] != 0 || r[2] != 6) {
            return {0xFF, 0, 0xFF};
        }
        return {r[4], static_cast<uint32_t>(r[5] << 16 | r[6] << 8 | r[7]), r[8]};
    }
    // DNLOAD: the reply status (0xFFFF when no reply came).
    uint16_t Download(uint16_t block, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> p = SetupPacket(0x21, 1, block, static_cast<uint16_t>(data.size()));
        p.insert(p.end(), data.begin(), data.end());
        const std::vector<uint8_t> r = Call(p);
        return r.size() >= 4 ? static_cast<uint16_t>(r[0] | r[1] << 8) : 0xFFFF;
    }

    uint8_t LastAck() const { return last_ack_; }
    uint8_t TxSeq() const { return tx_seq_; }
    uint8_t RxExpected() const { return rx_expected_; }
    const std::vector<uint8_t>& Raw() const { return raw_; }

  private:
    sim::Device& dev_;
    uint8_t tx_seq_ = 0;
    uint8_t rx_expected_ = 0;
    uint8_t last_ack_ = 0;
    std::vector<uint8_t> last_request_;
    std::vector<uint8_t> raw_;
};

} // namespace simtest
