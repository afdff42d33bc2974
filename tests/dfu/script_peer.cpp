#include "script_peer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "bcsp_link.h"
#include "dfu_transport.h"
#include "platform_clock.h"
#include "serial_backend.h"
#include "sim_device.h"

namespace {

ScriptPeer* active = nullptr;

// Far beyond any scenario here: a host past these is stuck in a loop.
constexpr uint64_t RUNAWAY_BYTES = 16u << 20;
constexpr uint32_t RUNAWAY_MS = 10u * 60u * 1000u;

const uint8_t LINK_MESSAGES[4][4] = {
    {0xDA, 0xDC, 0xED, 0xED}, // sync
    {0xAC, 0xAF, 0xEF, 0xEE}, // sync-response
    {0xAD, 0xEF, 0xAC, 0xED}, // conf
    {0xDE, 0xAD, 0xD0, 0xD0}, // conf-response
};

bool LineOpen(const char*) {
    return true;
}
uint32_t LineRead(uint8_t* buf, uint32_t max) {
    return active->HostRead(buf, max);
}
void LineWrite(const uint8_t* buf, uint32_t len) {
    active->HostWrote(buf, len);
}
void LinePurge() {
    active->HostPurge();
}
void LineClose() {}
bool LineWait(uint32_t max_us) {
    return active->HostWait(max_us);
}
const ComPortOps LINE_OPS = {LineOpen, LineRead, LineWrite, LinePurge, LineClose, LineWait};

void ClockSleep(uint32_t ms) {
    active->Sleep(ms);
}
uint32_t ClockTick() {
    return active->NowMs();
}
uint64_t ClockUs() {
    return active->NowUs();
}
const ClockOps CLOCK_OPS = {ClockSleep, ClockTick, ClockUs};

} // namespace

ScriptPeer::ScriptPeer() {
    active = this;
    com_SetOps(&LINE_OPS);
    plat_SetClock(&CLOCK_OPS);
    bcsp_Init();
    dfu_TransportInit();
}

ScriptPeer::~ScriptPeer() {
    bcsp_Init();
    com_SetOps(nullptr);
    plat_SetClock(nullptr);
    active = nullptr;
}

void ScriptPeer::SendRaw(const Bytes& bytes) {
    to_host_.insert(to_host_.end(), bytes.begin(), bytes.end());
}

void ScriptPeer::Send(sim::Frame frame) {
    frame.ack = next_host_seq_;
    if (frame.reliable) {
        frame.seq = peer_seq_;
        peer_seq_ = static_cast<uint8_t>((peer_seq_ + 1) & 7);
    }
    SendRaw(sim::EncodeFrame(frame));
}

void ScriptPeer::SendAck() {
    sim::Frame ack;
    ack.channel = 0;
    Send(ack);
}

sim::Frame ScriptPeer::Reply(uint16_t status, uint16_t length_field, const Bytes& data,
                             uint8_t channel, bool reliable) {
    sim::Frame f;
    f.reliable = reliable;
    f.channel = channel;
    f.payload = {static_cast<uint8_t>(status & 0xFF), static_cast<uint8_t>(status >> 8),
                 static_cast<uint8_t>(length_field & 0xFF),
                 static_cast<uint8_t>(length_field >> 8)};
    f.payload.insert(f.payload.end(), data.begin(), data.end());
    return f;
}

void ScriptPeer::SendLink(uint8_t index) {
    if (index == 0) {
        // A restart: both sequence counters start again.
        next_host_seq_ = 0;
        peer_seq_ = 0;
    }
    SendRaw(sim::EncodeLinkFrame(LINK_MESSAGES[index]));
}

void ScriptPeer::At(uint32_t at_ms, std::function<void()> action) {
    timed_.emplace_back(at_ms, std::move(action));
}

uint32_t ScriptPeer::NowMs() const {
    return static_cast<uint32_t>(now_us_ / 1000);
}

void ScriptPeer::HostWrote(const uint8_t* buf, uint32_t len) {
    host_bytes_ += len;
    if (host_bytes_ > RUNAWAY_BYTES) {
        // A host that never stops writing would hang the test instead of failing it.
        throw std::runtime_error("the host wrote more than any test needs");
    }
    for (uint32_t i = 0; i < len; ++i) {
        if (!splitter_.Feed(buf[i])) {
            continue;
        }
        sim::Frame frame;
        if (sim::CheckFrame(splitter_.Body(), &frame) != sim::FrameCheck::Ok) {
            continue;
        }
        if (frame.channel == sim::LINK_CHANNEL && frame.payload.size() == 4) {
            for (uint8_t m = 0; m < 4; ++m) {
                if (std::memcmp(frame.payload.data(), LINK_MESSAGES[m], 4) != 0) {
                    continue;
                }
                ++host_link_[m];
                if (m == 0) {
                    next_host_seq_ = 0;
                    peer_seq_ = 0;
                }
                if (answer_link && (m == 0 || m == 2)) {
                    SendRaw(sim::EncodeLinkFrame(LINK_MESSAGES[m + 1]));
                }
            }
            continue;
        }
        if (frame.channel != sim::REQUEST_CHANNEL) {
            continue;
        }
        requests_.push_back(frame);
        request_times_us_.push_back(now_us_);
        if (frame.reliable && frame.seq == next_host_seq_) {
            next_host_seq_ = static_cast<uint8_t>((next_host_seq_ + 1) & 7);
            if (on_request) {
                on_request(frame);
            }
        }
    }
}

uint32_t ScriptPeer::HostRead(uint8_t* buf, uint32_t max) {
    if (to_host_.empty() && flood_on_read) {
        Advance(flood.size() * sim::PACED_BYTE_NS / 1000);
        SendRaw(flood);
    }
    const uint32_t n = std::min<uint32_t>(max, static_cast<uint32_t>(to_host_.size()));
    std::copy(to_host_.begin(), to_host_.begin() + n, buf);
    to_host_.erase(to_host_.begin(), to_host_.begin() + n);
    return n;
}

void ScriptPeer::HostPurge() {
    to_host_.clear();
}

bool ScriptPeer::HostWait(uint32_t max_us) {
    if (!to_host_.empty()) {
        return true;
    }
    if (flood_every_us != 0) {
        Advance(std::min(max_us, flood_every_us));
        SendRaw(flood);
        return true;
    }
    Advance(max_us);
    return !to_host_.empty();
}

void ScriptPeer::Sleep(uint32_t ms) {
    Advance(uint64_t{ms} * 1000);
}

void ScriptPeer::Advance(uint64_t us) {
    now_us_ += us;
    if (now_us_ > uint64_t{RUNAWAY_MS} * 1000) {
        throw std::runtime_error("the host waited longer than any test needs");
    }
    for (size_t i = 0; i < timed_.size();) {
        if (uint64_t{timed_[i].first} * 1000 <= now_us_) {
            auto action = std::move(timed_[i].second);
            timed_.erase(timed_.begin() + static_cast<std::ptrdiff_t>(i));
            action();
        } else {
            ++i;
        }
    }
}
