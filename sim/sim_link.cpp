#include "sim_link.h"

#include "sim_faults.h"

#include <cstring>

namespace sim {

namespace {

constexpr int MSG_SYNC = 0;
constexpr int MSG_SYNC_RESP = 1;
constexpr int MSG_CONF = 2;
constexpr int MSG_CONF_RESP = 3;
constexpr int MSG_UNKNOWN = -1;
constexpr uint8_t LINK_MESSAGES[4][4] = {
    {0xDA, 0xDC, 0xED, 0xED}, // sync
    {0xAC, 0xAF, 0xEF, 0xEE}, // sync-response
    {0xAD, 0xEF, 0xAC, 0xED}, // conf
    {0xDE, 0xAD, 0xD0, 0xD0}, // conf-response
};
constexpr uint64_t NS_PER_MS = 1000000;

// A zero interval would make the timer due forever at the same instant.
uint64_t Interval(uint32_t ms) {
    return (ms == 0 ? 1 : ms) * NS_PER_MS;
}

int Identify(const std::vector<uint8_t>& payload) {
    if (payload.size() != 4) {
        return MSG_UNKNOWN;
    }
    for (int i = 0; i < 4; ++i) {
        if (std::memcmp(payload.data(), LINK_MESSAGES[i], 4) == 0) {
            return i;
        }
    }
    return MSG_UNKNOWN;
}

} // namespace

Link::Link(const DeviceConfig& config, DeviceStats& stats, Sink sink)
    : config_(config), stats_(stats), sink_(std::move(sink)) {}

void Link::Start(uint64_t now_ns) {
    phase_ = LinkPhase::Shy;
    tx_seq_ = 0;
    rx_expected_ = 0;
    ack_owed_ = false;
    queue_.clear();
    in_flight_ = false;
    retransmit_due_ = NEVER;
    SendLink(MSG_SYNC, now_ns);
}

void Link::Stop() {
    phase_ = LinkPhase::Down;
    ack_owed_ = false;
    queue_.clear();
    in_flight_ = false;
    repeat_due_ = NEVER;
    retransmit_due_ = NEVER;
}

void Link::SendLink(int message, uint64_t now_ns) {
    sink_(TxKind::Link, EncodeLinkFrame(LINK_MESSAGES[message]));
    // Only the repeated messages set the repeat timer; the answers are sent
    // once per message received.
    if (message == MSG_SYNC || message == MSG_CONF) {
        repeat_due_ = now_ns + Interval(config_.link_repeat_ms);
    }
}

Link::Delivery Link::OnFrame(const Frame& frame, uint64_t now_ns, bool* host_restart) {
    Delivery out;
    *host_restart = false;
    if (phase_ == LinkPhase::Down) {
        return out;
    }
    if (frame.channel == LINK_CHANNEL) {
        switch (Identify(frame.payload)) {
        case MSG_SYNC:
            if (phase_ == LinkPhase::Up) {
                ++stats_.host_restarts;
                *host_restart = true;
                Start(now_ns);
            }
            SendLink(MSG_SYNC_RESP, now_ns);
            break;
        case MSG_SYNC_RESP:
            if (phase_ == LinkPhase::Shy) {
                phase_ = LinkPhase::Curious;
                SendLink(MSG_CONF, now_ns);
            }
            break;
        case MSG_CONF:
            if (phase_ != LinkPhase::Shy) {
                SendLink(MSG_CONF_RESP, now_ns);
            }
            break;
        case MSG_CONF_RESP:
            if (phase_ != LinkPhase::Up) {
                phase_ = LinkPhase::Up;
                repeat_due_ = NEVER;
                ++stats_.link_ups;
            }
            break;
        default:
            break;
        }
        return out;
    }
    // Data frames mean nothing before the link is up (the host will send
    // them again).
    if (phase_ != LinkPhase::Up) {
        return out;
    }
    if (in_flight_ && frame.ack == ((tx_seq_ + 1) & 7)) {
        tx_seq_ = (tx_seq_ + 1) & 7;
        queue_.pop_front();
        in_flight_ = false;
        retransmit_due_ = NEVER;
        PumpReplies(now_ns);
    }
    if (frame.payload.empty()) {
        return out;
    }
    if (frame.reliable) {
        ack_owed_ = true;
        if (frame.seq != rx_expected_) {
            if (frame.seq == ((rx_expected_ + 7) & 7)) {
                ++stats_.host_retransmissions;
            } else {
                ++stats_.out_of_sequence;
            }
            return out;
        }
        rx_expected_ = (rx_expected_ + 1) & 7;
    }
    out.delivered = true;
    out.reliable = frame.reliable;
    out.channel = frame.channel;
    out.payload = frame.payload;
    return out;
}

void Link::OnFrameError() {
    if (phase_ == LinkPhase::Up) {
        ack_owed_ = true;
    }
}

void Link::SendReply(std::vector<uint8_t> payload, bool reliable, uint64_t now_ns) {
    if (phase_ != LinkPhase::Up) {
        return;
    }
    queue_.push_back({std::move(payload), reliable});
    ++stats_.replies;
    PumpReplies(now_ns);
}

void Link::PumpReplies(uint64_t now_ns) {
    while (!in_flight_ && !queue_.empty()) {
        WriteReply(now_ns);
        if (queue_.front().reliable) {
            in_flight_ = true;
            retransmit_due_ = now_ns + Interval(config_.retransmit_ms);
        } else {
            queue_.pop_front();
        }
    }
}

void Link::WriteReply(uint64_t /*now_ns*/) {
    const Reply& reply = queue_.front();
    Frame frame;
    frame.reliable = reply.reliable;
    frame.seq = tx_seq_;
    frame.ack = rx_expected_;
    frame.channel = REQUEST_CHANNEL;
    frame.payload = reply.payload;
    ack_owed_ = false;
    sink_(TxKind::Reply, EncodeFrame(frame));
}

void Link::SendStray(uint8_t channel, const std::vector<uint8_t>& payload) {
    if (phase_ != LinkPhase::Up) {
        return;
    }
    Frame frame;
    frame.seq = tx_seq_;
    frame.ack = rx_expected_;
    frame.channel = channel;
    frame.payload = payload;
    ack_owed_ = false;
    sink_(TxKind::Link, EncodeFrame(frame));
}

void Link::FlushAck() {
    if (!ack_owed_ || phase_ != LinkPhase::Up) {
        ack_owed_ = false;
        return;
    }
    ack_owed_ = false;
    Frame frame;
    frame.ack = rx_expected_;
    ++stats_.acks_sent;
    sink_(TxKind::Ack, EncodeFrame(frame));
}

uint64_t Link::NextDue() const {
    return repeat_due_ < retransmit_due_ ? repeat_due_ : retransmit_due_;
}

void Link::RunTimers(uint64_t now_ns) {
    if (repeat_due_ <= now_ns) {
        if (phase_ == LinkPhase::Shy) {
            SendLink(MSG_SYNC, now_ns);
        } else if (phase_ == LinkPhase::Curious) {
            SendLink(MSG_CONF, now_ns);
        } else {
            repeat_due_ = NEVER;
        }
    }
    if (retransmit_due_ <= now_ns) {
        if (in_flight_) {
            ++stats_.reply_retransmissions;
            WriteReply(now_ns);
            retransmit_due_ = now_ns + Interval(config_.retransmit_ms);
        } else {
            retransmit_due_ = NEVER;
        }
    }
}

} // namespace sim
