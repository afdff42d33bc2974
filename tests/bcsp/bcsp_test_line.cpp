#include "bcsp_test_line.h"

#include <algorithm>
#include <cstdio>
#include <deque>

#include "serial_backend.h"

namespace {

std::deque<uint8_t> to_engine;
Bytes from_engine;

bool line_open(const char*) {
    return true;
}
uint32_t line_read(uint8_t* buf, uint32_t max) {
    uint32_t n = 0;
    while (n < max && !to_engine.empty()) {
        buf[n++] = to_engine.front();
        to_engine.pop_front();
    }
    return n;
}
void line_write(const uint8_t* buf, uint32_t len) {
    from_engine.insert(from_engine.end(), buf, buf + len);
}
void line_purge() {
    to_engine.clear();
}
void line_close() {}
bool line_wait(uint32_t) {
    return !to_engine.empty();
}

const ComPortOps LINE_OPS = {line_open, line_read, line_write, line_purge, line_close, line_wait};

uint16_t reverse16(uint16_t v) {
    uint16_t out = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (v & (1u << bit)) {
            out = static_cast<uint16_t>(out | (0x8000u >> bit));
        }
    }
    return out;
}

Bytes unescape(const Bytes& in) {
    Bytes out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == 0xDB && i + 1 < in.size()) {
            ++i;
            out.push_back(in[i] == 0xDC ? 0xC0 : in[i] == 0xDD ? 0xDB : in[i]);
        } else {
            out.push_back(in[i]);
        }
    }
    return out;
}

} // namespace

const Bytes LE_PAYLOAD[4] = {
    {0xDA, 0xDC, 0xED, 0xED},
    {0xAC, 0xAF, 0xEF, 0xEE},
    {0xAD, 0xEF, 0xAC, 0xED},
    {0xDE, 0xAD, 0xD0, 0xD0},
};

uint8_t header0(bool reliable, uint8_t seq, uint8_t ack) {
    return static_cast<uint8_t>((reliable ? 0x80 : 0) | 0x40 | (ack << 3) | seq);
}

uint16_t reference_crc(const Bytes& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : (crc >> 1);
        }
    }
    return crc;
}

Bytes wire_body(Bytes body, bool crc) {
    if (crc) {
        const uint16_t value = reverse16(reference_crc(body));
        body.push_back(static_cast<uint8_t>(value >> 8));
        body.push_back(static_cast<uint8_t>(value));
    }
    Bytes out = {0xC0};
    for (uint8_t b : body) {
        if (b == 0xC0) {
            out.insert(out.end(), {0xDB, 0xDC});
        } else if (b == 0xDB) {
            out.insert(out.end(), {0xDB, 0xDD});
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0xC0);
    return out;
}

Bytes wire_frame(uint8_t byte0, uint8_t channel, const Bytes& payload) {
    const size_t len = payload.size();
    Bytes body = {byte0, static_cast<uint8_t>(((len << 4) & 0xF0) | channel),
                  static_cast<uint8_t>(len >> 4)};
    body.push_back(static_cast<uint8_t>(~(body[0] + body[1] + body[2])));
    body.insert(body.end(), payload.begin(), payload.end());
    return wire_body(body, (byte0 & 0x40) != 0);
}

Bytes le_frame(uint8_t index) {
    return wire_frame(0x40, 1, LE_PAYLOAD[index]);
}

Bytes SentFrame::payload() const {
    if (raw.size() < 6) {
        return {};
    }
    return Bytes(raw.begin() + 4, raw.end() - 2);
}

uint8_t SentFrame::le_message() const {
    const Bytes fixed = {0x40, 0x41, 0x00, 0x7E};
    if (raw.size() != 10 || !std::equal(fixed.begin(), fixed.end(), raw.begin())) {
        return LE_UNKNOWN;
    }
    for (uint8_t i = 0; i < 4; ++i) {
        if (payload() == LE_PAYLOAD[i]) {
            return i;
        }
    }
    return LE_UNKNOWN;
}

void BcspTest::SetUp() {
    testing::internal::CaptureStdout();
    reset();
}

void BcspTest::reset() {
    to_engine.clear();
    from_engine.clear();
    written.clear();
    com_SetOps(&LINE_OPS);
    bcsp_Init();
    rearm();
}

void BcspTest::TearDown() {
    // Failure reports went into the capture too: show them.
    const std::string text = testing::internal::GetCapturedStdout();
    if (HasFailure()) {
        std::fputs(text.c_str(), stdout);
    }
    com_SetOps(nullptr);
}

void BcspTest::rearm() {
    rx.length = sizeof(rx_storage);
    rx.data = rx_storage;
    bcsp_SetReceiveBuffer(&rx);
}

void BcspTest::inject(const Bytes& bytes) {
    to_engine.insert(to_engine.end(), bytes.begin(), bytes.end());
}

Bytes BcspTest::poll_once(uint8_t* activity, uint8_t* idle) {
    const uint8_t result = bcsp_Poll(activity);
    if (idle != nullptr) {
        *idle = result;
    }
    com_Flush();
    Bytes out;
    out.swap(from_engine);
    written.insert(written.end(), out.begin(), out.end());
    return out;
}

uint8_t BcspTest::run(int count) {
    uint8_t all = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t activity = 0;
        poll_once(&activity);
        all |= activity;
    }
    return all;
}

Bytes BcspTest::next_wire(int limit) {
    Bytes all;
    for (int i = 0; i < limit; ++i) {
        uint8_t activity = 0;
        const Bytes out = poll_once(&activity);
        all.insert(all.end(), out.begin(), out.end());
        if (out.size() >= 2 && out.back() == 0xC0) {
            written.clear();
            return all;
        }
    }
    ADD_FAILURE() << "no frame completed within " << limit << " polls";
    return all;
}

std::vector<SentFrame> BcspTest::written_frames() {
    // A frame is complete once its end delimiter is written; an abandoned
    // start shows up as a short fragment followed by the next start.
    std::vector<SentFrame> frames;
    size_t start = 0;
    while (true) {
        while (start < written.size() && written[start] == 0xC0) {
            ++start;
        }
        size_t end = start;
        while (end < written.size() && written[end] != 0xC0) {
            ++end;
        }
        if (end >= written.size()) {
            break;
        }
        frames.push_back({unescape(Bytes(written.begin() + start, written.begin() + end))});
        start = end;
    }
    // Keep an unfinished tail, with its start delimiter.
    if (start >= written.size()) {
        written.clear();
    } else {
        written.erase(written.begin(), written.begin() + (start > 0 ? start - 1 : 0));
    }
    return frames;
}

SentFrame BcspTest::next_frame(int limit, uint8_t* activity) {
    for (int i = 0; i < limit; ++i) {
        uint8_t act = 0;
        const Bytes out = poll_once(&act);
        if (activity != nullptr) {
            *activity |= act;
        }
        if (out.size() >= 2 && out.back() == 0xC0) {
            std::vector<SentFrame> frames = written_frames();
            if (!frames.empty()) {
                return frames.back();
            }
        }
    }
    ADD_FAILURE() << "no frame completed within " << limit << " polls";
    return {};
}

std::string BcspTest::printed() {
    std::fflush(stdout);
    std::string text = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    return text;
}

void BcspTest::bring_up() {
    inject(le_frame(LE_CONF_RESP));
    const uint8_t activity = run(200);
    ASSERT_TRUE(activity & ACTIVITY_TX_DONE);
    ASSERT_EQ(bcsp_LinkState(), LINK_GARRULOUS);
    // Nothing more is due: a further rest writes nothing.
    written_frames();
    run(100);
    // End where the transmit side may act on the very next poll.
    uint8_t idle = 1;
    for (int i = 0; i <= IDLE_TICKS && idle != 0; ++i) {
        uint8_t activity = 0;
        poll_once(&activity, &idle);
    }
    ASSERT_EQ(idle, 0);
    ASSERT_TRUE(written.empty());
}
