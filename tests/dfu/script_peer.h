#pragma once
// A scripted peer on an in-memory line with a virtual clock, for the cases
// a well-behaved device never produces: replies on other channels, short
// replies, lying length fields, a restart in the middle of a request, a
// packet that arrives together with the link coming up.
//
// The peer brings the link up by itself (it answers sync with
// sync-response and conf with conf-response) and hands every good host
// frame on channel 12 to `on_request`; what goes back is up to the test.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim_frame.h"

using Bytes = std::vector<uint8_t>;

class ScriptPeer {
  public:
    // Installs the line (com_SetOps) and the virtual clock (plat_SetClock),
    // resets the link engine and the transport.
    ScriptPeer();
    ~ScriptPeer();

    // Called with every good host frame on channel 12, in order.
    std::function<void(const sim::Frame&)> on_request;
    // Answer the host's establishment messages (off: a silent line).
    bool answer_link = true;
    // While flood_every_us is set, `flood` arrives that often whenever the
    // host waits for input: a line that never falls quiet.
    Bytes flood;
    uint32_t flood_every_us = 0;
    // While set, `flood` is there again, after its air time at 115200 baud,
    // whenever the host has read everything: a line that never runs dry.
    bool flood_on_read = false;

    // Queues raw bytes for the host, readable at once.
    void SendRaw(const Bytes& bytes);
    // Queues a frame; its ack field is set to acknowledge every host packet
    // seen so far, its seq from the peer's own counter when reliable.
    void Send(sim::Frame frame);
    // An acknowledgement-only frame.
    void SendAck();
    // A reply on `channel`: status, data length field, data.
    static sim::Frame Reply(uint16_t status, uint16_t length_field, const Bytes& data,
                            uint8_t channel = sim::REQUEST_CHANNEL, bool reliable = true);
    // A link-establishment frame (0 sync .. 3 conf-response).
    void SendLink(uint8_t index);
    // Runs `action` once virtual time reaches `at_ms`.
    void At(uint32_t at_ms, std::function<void()> action);

    uint32_t NowMs() const;
    // Every good host frame on channel 12 (retransmissions included), and
    // the virtual time in microseconds when each arrived.
    const std::vector<sim::Frame>& Requests() const { return requests_; }
    const std::vector<uint64_t>& RequestTimesUs() const { return request_times_us_; }
    uint64_t NowUs() const { return now_us_; }
    // Every byte the host has written.
    uint64_t HostBytes() const { return host_bytes_; }
    // Host establishment frames seen, by message index.
    uint32_t HostLinkMessages(uint8_t index) const { return host_link_[index]; }

    // Host side of the line: called from the port operations.
    void HostWrote(const uint8_t* buf, uint32_t len);
    uint32_t HostRead(uint8_t* buf, uint32_t max);
    void HostPurge();
    // The port's wait: true at once when bytes are there for the host,
    // otherwise virtual time moves on by whole milliseconds first.
    bool HostWait(uint32_t max_us);
    void Sleep(uint32_t ms);
    void Advance(uint64_t us);

  private:
    sim::FrameSplitter splitter_;
    Bytes to_host_;
    std::vector<sim::Frame> requests_;
    std::vector<uint64_t> request_times_us_;
    std::vector<std::pair<uint32_t, std::function<void()>>> timed_;
    uint32_t host_link_[4] = {};
    uint64_t now_us_ = 0;
    uint64_t host_bytes_ = 0;
    uint8_t next_host_seq_ = 0; // ack value: the host sequence expected next
    uint8_t peer_seq_ = 0;
};
