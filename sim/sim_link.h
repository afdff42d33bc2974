#pragma once
// The device's end of the BCSP link: establishment (sync, sync-response,
// conf, conf-response), sequence numbers and acknowledgements of the host's
// reliable packets, and its own replies, reliable ones kept and sent again
// after a rest until the host acknowledges them. One reliable reply is in
// flight at a time; later ones wait in order.

#include "sim_device.h"
#include "sim_frame.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace sim {

enum class TxKind;

inline constexpr uint64_t NEVER = UINT64_MAX;

enum class LinkPhase { Down, Shy, Curious, Up };

class Link {
  public:
    // Receives each frame the link writes, encoded, with its kind.
    using Sink = std::function<void(TxKind, const std::vector<uint8_t>&)>;

    // `config` (timings) and `stats` must outlive the link. It starts Down.
    Link(const DeviceConfig& config, DeviceStats& stats, Sink sink);

    // Starts establishment from scratch at `now_ns`: sequence numbers 0,
    // queued replies dropped, shy, sync written at once.
    void Start(uint64_t now_ns);
    // Off the line: nothing is sent, received frames are ignored, nothing is
    // due.
    void Stop();

    LinkPhase Phase() const { return phase_; }

    // A host packet handed up by OnFrame.
    struct Delivery {
        bool delivered = false;
        bool reliable = false;
        uint8_t channel = 0;
        std::vector<uint8_t> payload;
    };

    // One host frame that passed the frame check. Establishment messages are
    // answered here; a sync while up resets the link (sequence numbers 0,
    // replies dropped) and *host_restart is set. A reliable data frame marks
    // an acknowledgement as owed whatever its sequence number; only the
    // expected one is delivered. The owed acknowledgement is not written
    // here: the caller replies (SendReply) or calls FlushAck.
    Delivery OnFrame(const Frame& frame, uint64_t now_ns, bool* host_restart);

    // A host frame failed the frame check: while up, an acknowledgement with
    // the unchanged expected number is owed.
    void OnFrameError();

    // Queues a reply on channel 12; written at once when no reliable reply
    // is in flight. Its header carries the owed acknowledgement. Dropped
    // unless the link is up.
    void SendReply(std::vector<uint8_t> payload, bool reliable, uint64_t now_ns);

    // Writes one unreliable packet on `channel` at once (it carries the owed
    // acknowledgement). Nothing unless the link is up.
    void SendStray(uint8_t channel, const std::vector<uint8_t>& payload);

    // Writes an acknowledgement-only frame if one is owed.
    void FlushAck();

    // True while a reply is queued or awaits its acknowledgement.
    bool RepliesOutstanding() const { return !queue_.empty(); }

    // Earliest timer (repeat of an establishment message, retransmission),
    // NEVER when none.
    uint64_t NextDue() const;
    // Runs the timers due at `now_ns`.
    void RunTimers(uint64_t now_ns);

  private:
    void SendLink(int message, uint64_t now_ns);
    void WriteReply(uint64_t now_ns);
    void PumpReplies(uint64_t now_ns);

    struct Reply {
        std::vector<uint8_t> payload;
        bool reliable;
    };

    const DeviceConfig& config_;
    DeviceStats& stats_;
    Sink sink_;
    LinkPhase phase_ = LinkPhase::Down;
    uint8_t tx_seq_ = 0;
    uint8_t rx_expected_ = 0;
    bool ack_owed_ = false;
    std::deque<Reply> queue_;
    bool in_flight_ = false; // queue_.front() is a reliable reply awaiting its ack
    uint64_t repeat_due_ = NEVER;
    uint64_t retransmit_due_ = NEVER;
};

} // namespace sim
