// Requests out and replies back on channel 12, and every waiting loop that
// drives the link engine. A loop pass that finds the engine idle flushes
// what the engine queued and waits for input or the end of the tick.
#include "dfu_transport.h"

#include "bcsp_link.h"
#include "console.h"
#include "le_bytes.h"
#include "platform_clock.h"
#include "serial_port.h"
#include "trace.h"

#include <algorithm>

namespace {

// Offset of the data in a reply: 2 bytes status, 2 bytes data length.
constexpr uint16_t REPLY_HEADER_SIZE = 4;
// A tick: one millisecond of the clock.
constexpr uint64_t TICK_US = 1000;
// Tick counters are 16 bits wide and stop at their top.
constexpr uint16_t TICKS_MAX = 0xFFFF;

DfuResponse rx_reply;
BcspPacket rx_packet;
// A channel-12 packet delivered while a send still waited for its
// acknowledgement; the record stays unregistered until the reply wait takes it.
bool response_pending = false;
uint16_t peer_resets = 0;

// Counted at every poll, before any other bit can end the wait.
void CountPeerReset(uint8_t activity) {
    if (activity & ACTIVITY_PEER_RESET) {
        ++peer_resets;
        if (trace_On()) {
            trace_Event("link", "peer reset: sync received while up, link reset");
        }
    }
}

void Rearm() {
    rx_packet.length = RX_BUFFER_CAPACITY;
    bcsp_SetReceiveBuffer(&rx_packet);
}

uint16_t AddTicks(uint16_t count, uint64_t more) {
    return static_cast<uint16_t>(more < uint64_t{TICKS_MAX} - count ? count + more : TICKS_MAX);
}

// The clock of one waiting loop (see dfu_transport.h): the rest's ticks for
// the engine, and the loop's bound in real time.
class LoopClock {
  public:
    explicit LoopClock(uint16_t bound_ticks)
        : start_us_(plat_NowUs()), base_us_(start_us_),
          end_us_(start_us_ + uint64_t{bound_ticks} * TICK_US) {}

    // One poll of the engine, told the ticks passed since the last one.
    uint8_t Poll(uint8_t* activity) {
        const uint8_t idle = bcsp_PollElapsed(activity, elapsed_);
        elapsed_ = 0;
        return idle;
    }

    // The end of every loop pass: an idle engine gets its output flushed,
    // then the pass waits for input or the end of the tick, never beyond the
    // bound. False once the bound has passed and the last look is over:
    // nothing the loop could still handle is waiting.
    bool Step(uint8_t idle) {
        if (idle != 0) {
            Rest();
        }
        if (plat_NowUs() < GiveUpUs()) {
            return true;
        }
        // The last look: whatever arrived while the bound ran out (or while
        // the process was stopped) is read and handled before giving up. A
        // line that never falls quiet gets a fixed number of passes.
        return ++last_look_passes_ <= LAST_LOOK_PASSES && !response_pending && com_Wait(0);
    }

    // Milliseconds since the loop began.
    uint32_t ElapsedMs() const {
        return static_cast<uint32_t>((plat_NowUs() - start_us_) / TICK_US);
    }

  private:
    uint64_t GiveUpUs() const { return end_us_ > grace_end_us_ ? end_us_ : grace_end_us_; }

    void Rest() {
        const uint64_t write_start = plat_NowUs();
        if (com_Flush()) {
            // The rest counts from when the frame has left, and on a port
            // whose answers take longer to come back (a network port) from
            // when they can have come back.
            const uint64_t written = plat_NowUs();
            const uint64_t answerable = written + uint64_t{com_AnswerAllowanceMs()} * TICK_US;
            base_us_ = answerable;
            // A write begun within the bound may finish, and its answer may
            // still arrive: that moves the give-up time once, by one write
            // and one allowance, however many writes follow.
            if (write_start < end_us_ && answerable > grace_end_us_) {
                grace_end_us_ = answerable;
            }
        }
        uint64_t after = plat_NowUs();
        // No wait reaches beyond the bound; the last look waits for nothing.
        const uint64_t tick_end = std::min(base_us_ + TICK_US, GiveUpUs());
        if (after < tick_end) {
            if (response_pending) {
                // Nothing would be read: no receive record is registered.
                plat_Sleep(1);
            } else {
                com_Wait(static_cast<uint32_t>(tick_end - after));
            }
            after = plat_NowUs();
        }
        if (after < base_us_) {
            return;
        }
        const uint64_t whole = (after - base_us_) / TICK_US;
        base_us_ += whole * TICK_US;
        elapsed_ = AddTicks(elapsed_, whole);
    }

    // Passes of the last look on a line whose input never runs dry.
    static constexpr uint16_t LAST_LOOK_PASSES = 4;

    const uint64_t start_us_;
    uint64_t base_us_;
    const uint64_t end_us_;
    uint64_t grace_end_us_ = 0;
    uint16_t elapsed_ = 0;
    uint16_t last_look_passes_ = 0;
};

} // namespace

uint16_t dfu_PeerResets() {
    return peer_resets;
}

void dfu_TransportInit() {
    rx_packet = BcspPacket{};
    response_pending = false;
    peer_resets = 0;
}

bool dfu_EstablishLink() {
    if (trace_On()) {
        trace_Event("link", "reset; establishing, at most %u ticks", LINK_TIMEOUT_TICKS);
    }
    bcsp_ResetLink();
    com_Purge();
    rx_packet.data = reinterpret_cast<uint8_t*>(&rx_reply);
    Rearm();
    response_pending = false;

    // A lost port cannot come up again: the wait ends at once.
    LoopClock clock(LINK_TIMEOUT_TICKS);
    for (bool waiting = true; waiting && !com_PortLost();) {
        uint8_t activity = 0;
        const uint8_t idle = clock.Poll(&activity);
        CountPeerReset(activity);
        if (activity & ACTIVITY_TX_DONE) {
            // A packet delivered in the very poll that brought the link up is
            // stale; without re-arming no input would ever be read again.
            if (activity & ACTIVITY_RX_PACKET) {
                Rearm();
            }
            if (trace_On()) {
                trace_Event("link", "up after %u ticks", clock.ElapsedMs());
            }
            return true;
        }
        if (activity & ACTIVITY_RX_PACKET) {
            Rearm();
        }
        if (activity & ACTIVITY_PEER_RESET) {
            return false;
        }
        waiting = clock.Step(idle);
    }
    if (trace_On()) {
        trace_Event("link", "establishment timed out after %u ticks", LINK_TIMEOUT_TICKS);
    }
    return false;
}

bool dfu_SendPacket(const uint8_t* data, uint16_t length, uint16_t timeout_ticks,
                    PeerResetMeans peer_reset) {
    // The engine only reads the payload; the record type is shared with
    // receiving, hence the non-const pointer.
    BcspPacket send_packet{DFU_CHANNEL, 1, length, const_cast<uint8_t*>(data)};

    // After a peer reset the next ACTIVITY_TX_DONE is the link coming up
    // again, not our acknowledgement: the request is still unanswered. The
    // link may come back only in a later attempt.
    // The same holds when the link is down already (the peer restarted
    // during an earlier reply wait): its coming up is no acknowledgement.
    bool awaiting_link_up = bcsp_LinkState() != LINK_GARRULOUS;
    for (uint8_t attempt = 0; attempt < SEND_ATTEMPTS; ++attempt) {
        bcsp_Send(&send_packet);
        LoopClock clock(timeout_ticks);
        for (bool waiting = true; waiting && !com_PortLost();) {
            uint8_t activity = 0;
            const uint8_t idle = clock.Poll(&activity);
            CountPeerReset(activity);
            if (activity & ACTIVITY_RX_PACKET) {
                // Nothing that arrives before the request has gone out again
                // on a new link can be its reply.
                if (rx_packet.channel != DFU_CHANNEL || awaiting_link_up) {
                    Rearm();
                } else {
                    response_pending = true;
                }
            }
            if (activity & ACTIVITY_TX_DONE) {
                if (!awaiting_link_up) {
                    return true;
                }
                // Send the request again from its first byte on the new link.
                if (trace_On()) {
                    trace_Event("link", "up again; the request goes out anew");
                }
                awaiting_link_up = false;
                bcsp_Send(&send_packet);
            }
            if (activity & ACTIVITY_PEER_RESET) {
                con_Print("dfu_SendPacket detected a peer reset\n");
                if (peer_reset == PeerResetMeans::RequestDone) {
                    bcsp_Withdraw(&send_packet);
                    return true;
                }
                // A reply held from before the restart would keep the
                // receive record away and the link could never come back.
                if (response_pending) {
                    response_pending = false;
                    Rearm();
                }
                awaiting_link_up = true;
            }
            waiting = clock.Step(idle);
        }
        // No retries for a port that is gone: the loss has been reported.
        if (com_PortLost()) {
            break;
        }
        if (trace_On()) {
            trace_Event("dfu", "send attempt %u of %u: no acknowledgement in %u ticks",
                        attempt + 1u, SEND_ATTEMPTS, timeout_ticks);
        }
        con_Print("dfu_SendPacket timed out, retry %d\n", attempt);
        con_Flush();
    }
    // The record lives on this stack frame; the engine must never see it again.
    bcsp_Withdraw(&send_packet);
    return false;
}

uint16_t dfu_ReceivePacket(uint8_t* buffer, uint16_t* rx_data_size) {
    LoopClock clock(REPLY_TIMEOUT_TICKS);
    for (bool waiting = true; waiting && !com_PortLost();) {
        uint8_t activity = 0;
        const uint8_t idle = clock.Poll(&activity);
        CountPeerReset(activity);
        if ((activity & ACTIVITY_RX_PACKET) || response_pending) {
            response_pending = false;
            if (rx_packet.channel != DFU_CHANNEL) {
                Rearm();
            } else if (rx_packet.length < REPLY_HEADER_SIZE) {
                Rearm();
                con_Print("dfu_ReceivePacket received a partial packet\n");
                return DFU_TRANSPORT_FAILED;
            } else {
                const uint16_t status = le_Read16(rx_reply.status);
                if (buffer != nullptr && rx_data_size != nullptr && status == 0) {
                    // Only bytes that actually arrived count, whatever the
                    // length field claims: the rest of the buffer is stale.
                    const uint16_t received = static_cast<uint16_t>(
                        (rx_packet.length < RX_BUFFER_CAPACITY ? rx_packet.length
                                                               : RX_BUFFER_CAPACITY) -
                        REPLY_HEADER_SIZE);
                    uint16_t available = le_Read16(rx_reply.length);
                    if (available > received) {
                        available = received;
                    }
                    if (available < *rx_data_size) {
                        *rx_data_size = available;
                    }
                    for (uint16_t i = 0; i < *rx_data_size; ++i) {
                        buffer[i] = rx_reply.data[i];
                    }
                }
                Rearm();
                if (status != 0) {
                    con_Print("dfu_ReceivePacket \n");
                }
                return status;
            }
        }
        if (activity & ACTIVITY_PEER_RESET) {
            con_Print("dfu_ReceivePacket detected peer reset\n");
            return DFU_TRANSPORT_FAILED;
        }
        waiting = clock.Step(idle);
    }
    if (!com_PortLost()) {
        if (trace_On()) {
            trace_Event("dfu", "no reply in %u ticks", REPLY_TIMEOUT_TICKS);
        }
        con_Print("dfu_ReceivePacket timed out\n");
    }
    return DFU_TRANSPORT_FAILED;
}
