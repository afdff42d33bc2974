#include "sim_device.h"

#include "sim_dfu.h"
#include "sim_faults.h"
#include "sim_frame.h"
#include "sim_link.h"
#include "trace_wire.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace sim {

namespace {

constexpr uint64_t NS_PER_US = 1000;
constexpr uint64_t NS_PER_MS = 1000000;
// What is left of a reply cut short: less than its 4-byte header.
constexpr size_t PARTIAL_REPLY_SIZE = 2;
// Host frames remembered to tell a damaged frame from an intact one; a
// fault delays the altered copy by one frame at most.
constexpr size_t RECENT_CLEAN_BODIES = 4;
// The payload of a stray packet; its content means nothing.
const std::vector<uint8_t> STRAY_PAYLOAD = {0x5A, 0x5A, 0x5A, 0x5A};

// Identities of a healthy device: a vendor ID of its own, the DFU firmware
// one product number above the application.
constexpr uint16_t DEFAULT_VID = 0x7A52;
constexpr uint16_t DEFAULT_APP_PID = 0x0100;
constexpr uint16_t DEFAULT_DFU_PID = 0x0101;
constexpr uint16_t DEFAULT_APP_ATTRIBUTES =
    ATTR_CAN_DOWNLOAD | ATTR_MANIFEST_TOLERANT | ATTR_WILL_DETACH;
constexpr uint16_t DEFAULT_DFU_ATTRIBUTES = DEFAULT_APP_ATTRIBUTES;
constexpr uint16_t DEFAULT_DETACH_TIMEOUT_MS = 1000;
constexpr uint16_t DEFAULT_TRANSFER_SIZE = MAX_BLOCK_DATA;

Identity MakeIdentity(uint16_t vid, uint16_t pid) {
    // Length, type, USB 1.10, vendor-specific class and subclass, VID, PID,
    // release 1.00.
    Identity id{{12, 1, 0x10, 0x01, 0xFF, 0x00, 0, 0, 0, 0, 0x00, 0x01},
                DEFAULT_APP_ATTRIBUTES,
                DEFAULT_DETACH_TIMEOUT_MS,
                DEFAULT_TRANSFER_SIZE};
    id.SetIds(vid, pid);
    return id;
}

} // namespace

void Identity::SetIds(uint16_t vid, uint16_t pid) {
    device_descriptor[6] = static_cast<uint8_t>(vid & 0xFF);
    device_descriptor[7] = static_cast<uint8_t>(vid >> 8);
    device_descriptor[8] = static_cast<uint8_t>(pid & 0xFF);
    device_descriptor[9] = static_cast<uint8_t>(pid >> 8);
}

uint16_t Identity::Vid() const {
    return static_cast<uint16_t>(device_descriptor[6] | (device_descriptor[7] << 8));
}

uint16_t Identity::Pid() const {
    return static_cast<uint16_t>(device_descriptor[8] | (device_descriptor[9] << 8));
}

DeviceConfig::DeviceConfig()
    : app(MakeIdentity(DEFAULT_VID, DEFAULT_APP_PID)),
      dfu(MakeIdentity(DEFAULT_VID, DEFAULT_DFU_PID)) {
    dfu.attributes = DEFAULT_DFU_ATTRIBUTES;
}

struct Device::Impl {
    Impl(const DeviceConfig& c, uint64_t now_us)
        : config(c), now_ns(now_us * NS_PER_US), faults(config.faults),
          link(config, stats,
               [this](TxKind kind, const std::vector<uint8_t>& bytes) { Write(kind, bytes); }),
          dfu(config) {
        dfu.PowerUp(config.start_state);
        link.Start(now_ns);
    }

    struct PendingReply {
        uint64_t due_ns;
        std::vector<uint8_t> payload;
        DfuOutcome::Restart restart_after; // None: no restart
    };

    DeviceConfig config;
    DeviceStats stats;
    uint64_t now_ns;
    FaultInjector faults;
    Link link;
    DfuFunction dfu;
    FrameSplitter splitter;
    // The host's bytes as they were written, before any fault, split the
    // same way: a frame that passes after a fault is damaged only when the
    // host never sent that body (a dropped delimiter between two frames, or
    // a fault in a neighbouring frame, leaves it intact).
    FrameSplitter clean_splitter;
    std::deque<std::vector<uint8_t>> recent_clean_bodies;
    std::vector<RequestRecord> requests;
    std::function<void(const std::string&)> log;

    bool running = true;
    uint64_t boot_ns = NEVER;
    bool boot_into_app = false;
    std::deque<PendingReply> pending;
    // Paced line: each byte with the time it has completely arrived.
    std::deque<std::pair<uint64_t, uint8_t>> rx_line;
    uint64_t rx_free_ns = 0;
    std::deque<std::pair<uint64_t, uint8_t>> tx_line;
    uint64_t tx_free_ns = 0;
    // An injected fault touched the frame being received.
    bool rx_tainted = false;

    // The trace: one splitter per direction, sharing what the host asked.
    Device::TraceSink trace;
    bool trace_bytes = false;
    std::unique_ptr<WireSplitter> trace_rx;
    std::unique_ptr<WireSplitter> trace_tx;
    WireContext trace_context{};

    void Log(const std::string& line) {
        if (log) {
            log(line);
        }
        TraceEvent("sim", line);
    }

    void TraceEvent(const char* source, const std::string& text) {
        if (trace) {
            trace(now_ns / NS_PER_US, source, text);
        }
    }

    std::string DescribeFrame(WireSplitter* s, WireContext* context, WireDirection dir) {
        char text[2048];
        wire_Describe(s, context, dir, trace_bytes, text, sizeof text);
        return text;
    }

    // The frames of `out` as they go on the line; `frame` is what the link
    // meant to send.
    void TraceWrite(const std::vector<uint8_t>& frame, const std::vector<uint8_t>& out,
                    bool altered) {
        if (!trace) {
            return;
        }
        if (out.empty()) {
            // Described on a scratch splitter: the line never carried it.
            WireSplitter scratch{};
            WireContext context = trace_context;
            for (uint8_t b : frame) {
                if (wire_Feed(&scratch, b)) {
                    TraceEvent("D>H", "DROPPED by injected fault: " +
                                          DescribeFrame(&scratch, &context, WIRE_TO_HOST));
                }
            }
            return;
        }
        const bool twice = out.size() == 2 * frame.size() &&
                           std::equal(frame.begin(), frame.end(), out.begin()) &&
                           std::equal(frame.begin(), frame.end(), out.begin() + frame.size());
        for (uint8_t b : out) {
            if (wire_Feed(trace_tx.get(), b)) {
                std::string text = DescribeFrame(trace_tx.get(), &trace_context, WIRE_TO_HOST);
                if (altered) {
                    text += twice ? " [injected fault: sent twice]" : " [injected fault: damaged]";
                }
                TraceEvent("D>H", text);
            }
        }
    }

    uint64_t ByteTime(uint64_t& line_free) {
        line_free = std::max(line_free, now_ns) + PACED_BYTE_NS;
        return line_free;
    }

    void Write(TxKind kind, const std::vector<uint8_t>& frame) {
        if (config.mute) {
            return;
        }
        bool altered = false;
        const std::vector<uint8_t> out =
            faults.OnTxFrame(frame, kind, &altered, &stats.injected_tx);
        TraceWrite(frame, out, altered);
        if (altered && DamagedFramePasses(out, frame)) {
            ++stats.damaged_tx_passed;
            Log("damaged device frame would pass the frame check: sent " + HexBytes(out) + " for " +
                HexBytes(frame));
        }
        for (uint8_t b : out) {
            tx_line.emplace_back(config.paced ? ByteTime(tx_free_ns) : now_ns, b);
        }
        stats.bytes_to_host += out.size();
    }

    void LineByte(uint8_t b) {
        if (!running) {
            return;
        }
        if (clean_splitter.Feed(b)) {
            recent_clean_bodies.push_back(clean_splitter.Body());
            if (recent_clean_bodies.size() > RECENT_CLEAN_BODIES) {
                recent_clean_bodies.pop_front();
            }
        }
        bool altered = false;
        if (!faults.OnRxByte(&b, &altered)) {
            if (trace) {
                TraceEvent("sim", "injected fault: a byte from the host dropped");
            }
            ++stats.injected_rx;
            rx_tainted = true;
            return;
        }
        if (altered) {
            ++stats.injected_rx;
            rx_tainted = true;
        }
        if (trace && wire_Feed(trace_rx.get(), b)) {
            std::string text = DescribeFrame(trace_rx.get(), &trace_context, WIRE_TO_DEVICE);
            if (rx_tainted || altered) {
                text += " [injected fault on receive]";
            }
            TraceEvent("H>D", text);
        }
        if (splitter.Feed(b)) {
            HandleFrame(splitter.Body(), splitter.Raw(), rx_tainted);
        }
        if (splitter.AtDelimiter() && running) {
            // A delimiter made by a fault cut a frame in two: its second
            // half is damaged too.
            rx_tainted = altered;
        }
    }

    void HandleFrame(const std::vector<uint8_t>& body, const std::vector<uint8_t>& raw,
                     bool tainted) {
        ++stats.host_frames;
        Frame frame;
        if (CheckFrame(body, &frame) != FrameCheck::Ok) {
            ++stats.frame_errors;
            link.OnFrameError();
            link.FlushAck();
            return;
        }
        if (tainted && std::find(recent_clean_bodies.begin(), recent_clean_bodies.end(), body) ==
                           recent_clean_bodies.end()) {
            ++stats.damaged_rx_passed;
            Log("damaged host frame passed the frame check: frame " +
                std::to_string(stats.host_frames) + ", bytes " + HexBytes(raw));
        }
        const bool twice = faults.DuplicateRxFrame();
        if (twice) {
            ++stats.injected_rx;
        }
        Dispatch(frame);
        if (twice && running) {
            // The copy is ours, not the host's: not a host retransmission.
            const uint64_t retransmissions = stats.host_retransmissions;
            Dispatch(frame);
            stats.host_retransmissions = retransmissions;
        }
    }

    void Dispatch(const Frame& frame) {
        bool host_restart = false;
        Link::Delivery delivery = link.OnFrame(frame, now_ns, &host_restart);
        if (host_restart) {
            pending.clear();
            Log("host restarted the link");
        }
        if (!delivery.delivered || delivery.channel != REQUEST_CHANNEL) {
            link.FlushAck();
            return;
        }
        HandleRequest(delivery.payload);
    }

    void HandleRequest(const std::vector<uint8_t>& payload) {
        RequestRecord record{now_ns / NS_PER_US, 0, 0, 0, 0, 0};
        DfuOutcome outcome = dfu.Handle(payload, &record);
        requests.push_back(record);
        ++stats.requests;
        const DfuOutcome::Restart same =
            dfu.InDfuMode() ? DfuOutcome::Restart::IntoDfu : DfuOutcome::Restart::IntoApp;
        if (stats.requests == config.restart_unacknowledged) {
            Restart(same);
            return;
        }
        if (stats.requests == config.restart_before_reply) {
            link.FlushAck();
            Restart(same);
            return;
        }
        if (config.partial_replies && outcome.reply) {
            outcome.payload.resize(PARTIAL_REPLY_SIZE);
        }
        if (config.restart_after_request != 0 && stats.requests == config.restart_after_request &&
            outcome.restart == DfuOutcome::Restart::None) {
            outcome.restart = same;
            outcome.restart_after_reply = true;
        }
        stats.updates = dfu.Updates();
        if (outcome.reply) {
            const DfuOutcome::Restart after =
                outcome.restart_after_reply ? outcome.restart : DfuOutcome::Restart::None;
            if (config.reply_delay_ms == 0 && pending.empty()) {
                SendReply(outcome.payload);
                if (after != DfuOutcome::Restart::None) {
                    Restart(after);
                }
            } else {
                link.FlushAck();
                pending.push_back(
                    {now_ns + config.reply_delay_ms * NS_PER_MS, outcome.payload, after});
            }
            return;
        }
        if (outcome.restart == DfuOutcome::Restart::None) {
            link.FlushAck();
            return;
        }
        if (outcome.ack_before_restart) {
            link.FlushAck();
        }
        Restart(outcome.restart);
    }

    void SendReply(const std::vector<uint8_t>& payload) {
        if (config.stray_channel != 0) {
            link.SendStray(config.stray_channel, STRAY_PAYLOAD);
        }
        link.SendReply(payload, config.reliable_replies, now_ns);
    }

    void Restart(DfuOutcome::Restart into) {
        ++stats.restarts;
        link.Stop();
        splitter.Reset();
        clean_splitter.Reset();
        pending.clear();
        running = false;
        rx_tainted = false;
        boot_into_app = into == DfuOutcome::Restart::IntoApp;
        boot_ns = now_ns + config.restart_ms * NS_PER_MS;
        Log(into == DfuOutcome::Restart::IntoApp ? "restarting: application"
                                                 : "restarting: DFU firmware");
    }

    void Boot() {
        TraceEvent("sim", boot_into_app ? "booted: application" : "booted: DFU firmware");
        if (trace) {
            wire_Reset(trace_rx.get());
        }
        boot_ns = NEVER;
        running = true;
        dfu.Boot(boot_into_app);
        splitter.Reset();
        clean_splitter.Reset();
        link.Start(now_ns);
    }

    void SendDueReplies() {
        while (!pending.empty() && pending.front().due_ns <= now_ns) {
            PendingReply reply = std::move(pending.front());
            pending.pop_front();
            SendReply(reply.payload);
            if (reply.restart_after != DfuOutcome::Restart::None) {
                Restart(reply.restart_after);
                return;
            }
        }
    }

    uint64_t NextInternal() const {
        uint64_t next = std::min(link.NextDue(), boot_ns);
        if (!pending.empty()) {
            next = std::min(next, pending.front().due_ns);
        }
        if (!rx_line.empty()) {
            next = std::min(next, rx_line.front().first);
        }
        return next;
    }

    void RunDue() {
        while (!rx_line.empty() && rx_line.front().first <= now_ns) {
            const uint8_t b = rx_line.front().second;
            rx_line.pop_front();
            LineByte(b);
        }
        if (boot_ns <= now_ns) {
            Boot();
        }
        link.RunTimers(now_ns);
        SendDueReplies();
    }

    void AdvanceTo(uint64_t target_ns) {
        for (;;) {
            const uint64_t next = NextInternal();
            if (next > target_ns) {
                break;
            }
            now_ns = std::max(now_ns, next);
            RunDue();
        }
        now_ns = std::max(now_ns, target_ns);
    }
};

Device::Device(const DeviceConfig& config, uint64_t now_us)
    : impl_(std::make_unique<Impl>(config, now_us)) {}

Device::~Device() = default;

void Device::Receive(const uint8_t* data, size_t length) {
    Impl& d = *impl_;
    d.stats.bytes_from_host += length;
    for (size_t i = 0; i < length; ++i) {
        if (d.config.paced) {
            d.rx_line.emplace_back(d.ByteTime(d.rx_free_ns), data[i]);
        } else {
            d.LineByte(data[i]);
        }
    }
}

size_t Device::Transmit(uint8_t* out, size_t max) {
    Impl& d = *impl_;
    size_t n = 0;
    while (n < max && !d.tx_line.empty() && d.tx_line.front().first <= d.now_ns) {
        out[n++] = d.tx_line.front().second;
        d.tx_line.pop_front();
    }
    return n;
}

bool Device::OutputDue() const {
    return !impl_->tx_line.empty() && impl_->tx_line.front().first <= impl_->now_ns;
}

void Device::AdvanceTo(uint64_t now_us) {
    // Beyond this the nanosecond clock would overflow; nothing is due there.
    now_us = std::min(now_us, (NEVER - 1) / NS_PER_US);
    if (now_us * NS_PER_US > impl_->now_ns) {
        impl_->AdvanceTo(now_us * NS_PER_US);
    }
}

uint64_t Device::Now() const {
    return impl_->now_ns / NS_PER_US;
}

uint64_t Device::NextEventTime() const {
    uint64_t next = impl_->NextInternal();
    if (!impl_->tx_line.empty()) {
        next = std::min(next, impl_->tx_line.front().first);
    }
    if (next == NEVER) {
        return NEVER;
    }
    return (next + NS_PER_US - 1) / NS_PER_US;
}

DeviceConfig& Device::Config() {
    return impl_->config;
}

uint8_t Device::State() const {
    return impl_->dfu.State();
}

bool Device::InDfuMode() const {
    return impl_->dfu.InDfuMode();
}

bool Device::LinkUp() const {
    return impl_->link.Phase() == LinkPhase::Up;
}

bool Device::Running() const {
    return impl_->running;
}

const std::vector<uint8_t>& Device::Image() const {
    return impl_->dfu.Image();
}

bool Device::ImageComplete() const {
    return impl_->dfu.ImageComplete();
}

bool Device::ManifestationDone() const {
    return impl_->dfu.ManifestationDone();
}

uint32_t Device::CompletedUpdates() const {
    return impl_->dfu.Updates();
}

bool Device::RepliesDue() const {
    return !impl_->pending.empty() || impl_->link.RepliesOutstanding();
}

const DeviceStats& Device::Stats() const {
    return impl_->stats;
}

const std::vector<RequestRecord>& Device::Requests() const {
    return impl_->requests;
}

void Device::SetTrace(TraceSink sink, bool with_bytes) {
    Impl& d = *impl_;
    d.trace = std::move(sink);
    d.trace_bytes = with_bytes;
    d.trace_rx = std::make_unique<WireSplitter>();
    d.trace_tx = std::make_unique<WireSplitter>();
    wire_Reset(d.trace_rx.get());
    wire_Reset(d.trace_tx.get());
    d.trace_context = WireContext{};
}

void Device::SetLog(std::function<void(const std::string&)> log) {
    impl_->log = std::move(log);
}

} // namespace sim
