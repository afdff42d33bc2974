// The link engine fed arbitrary input through the serial seam: the receive
// assembler, the frame check, sequence and acknowledgement handling and
// link establishment, with a registered receive record, while the engine
// also sends packets of its own so that the encoder runs.
//
// Input, first byte: bit 0 set = the rest is a raw byte stream; clear = the
// rest is a script of records (below) that builds well-formed frames, so the
// fuzzer gets past the CRC and explores the link state machine.
// Bits 1-2 choose how many bytes one read of the line returns.
//
// Script records, by first byte % 4:
//   0 frame: ctl, channel/flags, length, payload. ctl bit 7 reliable, bits
//     3-5 ack, 0-2 seq; flags (high nibble of the second byte): bit 4 no
//     CRC, bit 5 establishment message (payload index = length % 4), bit 6
//     spoilt header checksum.
//   1 polls: count.
//   2 host action: send reliable / send unreliable / withdraw / reset link /
//     new receive record (capacity from the next byte).
//   3 raw bytes: length, bytes.
//
// Send and receive records live on the heap and are freed as soon as the
// engine must no longer touch them, so a stale pointer in the engine is a
// use-after-free that AddressSanitizer reports; receive storage has exactly
// its capacity, so a write past it is an overflow.
//
// Checks beyond the sanitizers: a delivery fits its record, never comes
// from channel 1 or before the link is up, and (for scripts without raw
// bytes) is exactly the payload of a well-formed frame that was put on the
// line after the previous delivery, in sequence when reliable. What the
// engine writes never contains a malformed escape, and every intact frame
// it writes carries an establishment message, nothing, or the payload
// registered for sending.
#include "fuzz_quiet.h"
#include "fuzz_wire.h"

#include "bcsp_link.h"
#include "serial_backend.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t READ_CHUNKS[4] = {1, 3, 17, 254};
// Polls after the script so that the engine drains the line and finishes its frames.
constexpr int DRAIN_POLLS = 400;
constexpr uint16_t DEFAULT_CAPACITY = 234;

struct Line {
    std::vector<uint8_t> in;
    size_t read_at = 0;
    uint32_t chunk = 1;
    WireDecoder out;
} line;

bool line_open(const char*) {
    return true;
}
uint32_t line_read(uint8_t* buf, uint32_t max) {
    const size_t left = line.in.size() - line.read_at;
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>({left, max, line.chunk}));
    if (n > 0) {
        std::memcpy(buf, line.in.data() + line.read_at, n);
    }
    line.read_at += n;
    return n;
}
void line_write(const uint8_t* buf, uint32_t len);
void line_purge() {}
void line_close() {}
bool line_wait(uint32_t) {
    return line.read_at < line.in.size();
}
const ComPortOps line_ops = {line_open, line_read, line_write, line_purge, line_close, line_wait};

struct SentFrame {
    uint8_t channel;
    bool reliable;
    uint8_t seq;
    std::vector<uint8_t> payload;
};

struct Run {
    BcspPacket* rx = nullptr;
    uint16_t rx_capacity = 0;
    BcspPacket* tx = nullptr;
    std::vector<std::vector<uint8_t>> tx_payloads; // every payload ever registered
    std::vector<SentFrame> frames;                 // well-formed frames put on the line
    size_t next_frame = 0;                         // first frame a delivery may be
    bool raw_used = false;
    uint8_t expected = 0; // next reliable sequence number the engine should deliver
    uint8_t tx_counter = 0;
} run;

void line_write(const uint8_t* buf, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) {
        if (!line.out.feed(buf[i])) {
            continue;
        }
        const WireFrame& f = line.out.frame();
        if (!f.valid || f.payload.empty()) {
            continue;
        }
        const bool known =
            wire_LeIndex(f.payload.data(), f.payload.size()) >= 0 ||
            std::any_of(run.tx_payloads.begin(), run.tx_payloads.end(),
                        [&](const std::vector<uint8_t>& p) { return p == f.payload; });
        fuzz_Check(known, "the engine wrote an intact frame with a payload nobody sent");
    }
    fuzz_Check(!line.out.bad_escape(), "the engine wrote a malformed escape sequence");
}

void free_rx() {
    if (run.rx != nullptr) {
        delete[] run.rx->data;
        delete run.rx;
        run.rx = nullptr;
    }
}

void free_tx() {
    if (run.tx != nullptr) {
        delete[] run.tx->data;
        delete run.tx;
        run.tx = nullptr;
    }
}

void register_rx(uint16_t capacity) {
    BcspPacket* record = new BcspPacket{0, 0, capacity, new uint8_t[capacity]};
    bcsp_SetReceiveBuffer(record);
    free_rx(); // replaced: the engine must never write into it again
    run.rx = record;
    run.rx_capacity = capacity;
}

void send_packet(bool reliable) {
    // Payloads full of bytes that need escaping, distinct per packet.
    const uint16_t length = static_cast<uint16_t>(1 + run.tx_counter % 40);
    std::vector<uint8_t> payload(length);
    for (uint16_t i = 0; i < length; ++i) {
        static constexpr uint8_t PATTERN[4] = {0xC0, 0xDB, 0x00, 0xDC};
        payload[i] = i == 0 ? run.tx_counter : PATTERN[i % 4];
    }
    ++run.tx_counter;
    uint8_t* data = new uint8_t[length];
    std::memcpy(data, payload.data(), length);
    run.tx_payloads.push_back(payload);
    BcspPacket* record = new BcspPacket{12, static_cast<uint8_t>(reliable), length, data};
    bcsp_Send(record);
    free_tx();
    run.tx = record;
}

void check_delivery() {
    const BcspPacket* rx = run.rx;
    fuzz_Check(rx->channel != 1, "an establishment frame was delivered");
    fuzz_Check(rx->channel <= 15, "channel out of range");
    fuzz_Check(bcsp_LinkState() == LINK_GARRULOUS, "delivery while the link is not up");
    if (run.raw_used) {
        return;
    }
    // Out-of-sequence reliable frames are skipped by the engine, so the
    // delivery is the first later frame with the same content that is
    // unreliable or carries the expected sequence number.
    for (size_t i = run.next_frame; i < run.frames.size(); ++i) {
        const SentFrame& f = run.frames[i];
        if (f.channel == rx->channel && f.reliable == (rx->reliable != 0) &&
            (!f.reliable || f.seq == run.expected) && f.payload.size() == rx->length &&
            std::equal(f.payload.begin(), f.payload.end(), rx->data)) {
            if (f.reliable) {
                run.expected = (run.expected + 1) & 7;
            }
            run.next_frame = i + 1;
            return;
        }
    }
    fuzz_Check(false, "delivered a packet that is no well-formed, in-sequence frame from the line");
}

void poll_once() {
    uint8_t activity = 0;
    bcsp_Poll(&activity);
    if (activity & ACTIVITY_PEER_RESET) {
        run.expected = 0;
    }
    if (activity & ACTIVITY_RX_PACKET) {
        fuzz_Check(run.rx != nullptr, "delivery without a receive record");
        fuzz_Check(run.rx->length <= run.rx_capacity, "delivered more than the record holds");
        check_delivery();
        // Re-arm the same storage, as the transport does.
        run.rx->length = run.rx_capacity;
        bcsp_SetReceiveBuffer(run.rx);
    }
    if (activity & ACTIVITY_RX_RELIABLE) {
        fuzz_Check((activity & ACTIVITY_RX_PACKET) != 0, "reliable flag without a delivery");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_Quiet();
    if (size < 2) {
        return 0;
    }
    line = Line{};
    run = Run{};
    line.chunk = READ_CHUNKS[(data[0] >> 1) & 3];
    com_SetOps(&line_ops);
    bcsp_Init();
    register_rx(DEFAULT_CAPACITY);
    send_packet(true);

    if (data[0] & 1) {
        run.raw_used = true;
        line.in.assign(data + 1, data + size);
    } else {
        size_t i = 1;
        auto take = [&](size_t n) {
            const uint8_t* p = data + i;
            i = std::min(size, i + n);
            return p;
        };
        while (i < size) {
            const uint8_t kind = *take(1);
            if (i >= size) {
                break;
            }
            switch (kind % 4) {
            case 0: {
                if (size - i < 3) {
                    i = size;
                    break;
                }
                const uint8_t ctl = data[i];
                const uint8_t chan_flags = data[i + 1];
                const uint8_t length_byte = data[i + 2];
                i += 3;
                if (chan_flags & 0x20) {
                    wire_AppendLeFrame(line.in, length_byte % 4);
                    break;
                }
                const uint16_t length =
                    static_cast<uint16_t>(std::min<size_t>(length_byte, size - i));
                const uint8_t* payload = take(length);
                WireHeader h{static_cast<uint8_t>(ctl & 7), static_cast<uint8_t>(ctl >> 3 & 7),
                             (ctl & 0x80) != 0, (chan_flags & 0x10) == 0,
                             static_cast<uint8_t>(chan_flags & 0x0F)};
                const bool bad_checksum = (chan_flags & 0x40) != 0;
                wire_AppendFrame(line.in, h, payload, length, bad_checksum);
                if (!bad_checksum) {
                    run.frames.push_back(
                        SentFrame{h.channel, h.reliable, h.seq,
                                  std::vector<uint8_t>(payload, payload + length)});
                }
                break;
            }
            case 1: {
                const uint8_t polls = *take(1);
                for (int p = 0; p < polls; ++p) {
                    poll_once();
                }
                break;
            }
            case 2: {
                const uint8_t action = *take(1);
                switch (action % 5) {
                case 0:
                    send_packet(true);
                    break;
                case 1:
                    send_packet(false);
                    break;
                case 2:
                    bcsp_Withdraw(run.tx);
                    free_tx();
                    break;
                case 3:
                    bcsp_ResetLink();
                    run.expected = 0;
                    break;
                default:
                    register_rx(static_cast<uint16_t>(2 + action));
                    break;
                }
                break;
            }
            default: {
                run.raw_used = true;
                const uint8_t length = *take(1);
                const uint8_t* bytes = take(length);
                line.in.insert(line.in.end(), bytes, data + i);
                break;
            }
            }
        }
    }
    for (int p = 0; p < DRAIN_POLLS || line.read_at < line.in.size(); ++p) {
        poll_once();
    }
    com_Flush();
    bcsp_Init();
    free_rx();
    free_tx();
    return 0;
}
