// The link engine: transmit scheduling, sequence numbers, acknowledgements,
// retransmission, frame acceptance and delivery, all driven by bcsp_Poll.
#include "bcsp_link.h"

#include "bcsp_establish.h"
#include "bcsp_frame.h"
#include "report.h"
#include "serial_port.h"

namespace {

uint8_t tx_seq = 0;      // sequence number of the pending packet
uint8_t expected_rx = 0; // sequence number expected next from the peer (our acknowledgement)
BcspPacket* send_record = nullptr;
BcspPacket* receive_record = nullptr;
bool ack_pending = false;
uint8_t idle_countdown = 0;
// Only the end of the send record's own frame releases an unreliable record:
// an establishment or acknowledgement frame ending must not drop it unsent.
bool data_frame_in_progress = false;
// The frame in progress is acknowledgement-only.
bool ack_frame_in_progress = false;
// The frame in progress is acknowledgement-only and has written nothing but
// its start delimiter: a data frame registered now takes that delimiter
// over and carries the acknowledgement itself.
bool ack_frame_bare = false;
// The start delimiter of the next frame is already on its way.
bool delimiter_written = false;
// A newly registered record that has not gone out yet: no rest holds it back.
bool send_waiting = false;
// The data frame in progress is its record's first copy.
bool first_copy_in_progress = false;

// Outgoing headers are read by the encoder until their frame ends.
uint8_t data_header[4];
uint8_t ack_header[4];

void start_data_frame() {
    if (!delimiter_written) {
        com_PutByte(SLIP_END);
    }
    delimiter_written = false;
    first_copy_in_progress = send_waiting;
    if (!first_copy_in_progress) {
        report_NoteResent();
    }
    send_waiting = false;
    data_header[0] = static_cast<uint8_t>((send_record->reliable ? HDR_RELIABLE : 0) | HDR_CRC |
                                          (expected_rx << HDR_ACK_SHIFT) | tx_seq);
    data_header[1] = static_cast<uint8_t>(((send_record->length << 4) & 0xF0) |
                                          (send_record->channel & HDR_CHANNEL_MASK));
    data_header[2] = static_cast<uint8_t>((send_record->length >> 4) & 0xFF);
    bcsp_StartFrame(data_header, true, send_record->data, send_record->length);
    data_frame_in_progress = true;
    ack_pending = false;
}

void start_ack_frame() {
    if (!delimiter_written) {
        com_PutByte(SLIP_END);
    }
    delimiter_written = false;
    ack_frame_in_progress = true;
    ack_header[0] = static_cast<uint8_t>(HDR_CRC | (expected_rx << HDR_ACK_SHIFT));
    ack_header[1] = 0;
    ack_header[2] = 0;
    bcsp_StartFrame(ack_header, true, nullptr, 0);
    ack_pending = false;
    ack_frame_bare = true;
}

// The engine's own steps, below with the calls that use them.
uint8_t bcsp_ProcessFrame();
bool bcsp_TxDoneUnreliable();

void abandon_frame() {
    bcsp_AbandonFrame();
    data_frame_in_progress = false;
    ack_frame_in_progress = false;
    ack_frame_bare = false;
    delimiter_written = false;
}

} // namespace

void bcsp_Send(BcspPacket* record) {
    if (record != send_record) {
        // A new request: it goes out at the next poll. Registering the same
        // unacknowledged record again leaves the retransmission rest alone.
        send_waiting = true;
        idle_countdown = 0;
    }
    send_record = record;
    // An acknowledgement-only frame in progress goes out whole; one that has
    // written only its delimiter gives that delimiter to the data frame,
    // whose header carries the acknowledgement instead.
    if (ack_frame_bare) {
        abandon_frame();
        delimiter_written = true;
        ack_pending = true;
    } else if (!ack_frame_in_progress) {
        abandon_frame();
    }
}

void bcsp_Withdraw(const BcspPacket* record) {
    if (record != nullptr && record == send_record) {
        send_record = nullptr;
        // The frame may be reading the record's bytes.
        if (data_frame_in_progress) {
            abandon_frame();
        }
    }
}

void bcsp_SetReceiveBuffer(BcspPacket* record) {
    receive_record = record;
    bcsp_RestartAssembly();
}

namespace {

// If the pending send record exists and is unreliable, releases it and
// returns true; otherwise false.
bool bcsp_TxDoneUnreliable() {
    if (send_record != nullptr && !send_record->reliable) {
        send_record = nullptr;
        return true;
    }
    return false;
}

} // namespace

uint8_t bcsp_Poll(uint8_t* activity) {
    return bcsp_PollElapsed(activity, 1);
}

uint8_t bcsp_PollElapsed(uint8_t* activity, uint16_t ticks) {
    *activity = 0;
    uint8_t went_idle = 0;
    if (idle_countdown == 0) {
        if (bcsp_EncoderBusy()) {
            ack_frame_bare = false;
            if (bcsp_EncodeStep()) {
                const bool data_frame = data_frame_in_progress;
                if (data_frame && bcsp_TxDoneUnreliable()) {
                    *activity |= ACTIVITY_TX_DONE;
                }
                if (data_frame && send_record != nullptr && send_record->reliable) {
                    com_ExpectAnswer(first_copy_in_progress);
                }
                data_frame_in_progress = false;
                ack_frame_in_progress = false;
                // The rest paces copies of a frame; a new record waiting
                // behind an acknowledgement-only frame goes next.
                const bool new_record_next = !data_frame && send_waiting &&
                                             send_record != nullptr &&
                                             bcsp_LinkState() == LINK_GARRULOUS;
                went_idle = new_record_next ? 0 : IDLE_TICKS;
            }
        } else {
            data_frame_in_progress = false;
            ack_frame_in_progress = false;
            if (le_StartDueMessage()) {
                // Establishment frames write their own delimiter.
                delimiter_written = false;
                // The frame just started goes out before any input is looked at.
                return 0;
            }
            if (le_StartPendingReply()) {
                // conf-response outside the message sequence
                delimiter_written = false;
            } else if (send_record != nullptr) {
                start_data_frame();
            } else if (ack_pending) {
                start_ack_frame();
            } else {
                went_idle = IDLE_TICKS;
            }
        }
    }
    // Input one poll reads at most: the receive record's longest frame with
    // every byte escaped, and its delimiters. A frame the record can hold is
    // still read in one poll, yet a line that delivers faster than its frames
    // are checked (and their errors printed) hands the waiting loop back its
    // clock.
    const uint32_t input_max =
        receive_record != nullptr ? 2u * (4u + receive_record->length) + 2u : 0u;
    uint8_t b = 0;
    for (uint32_t n = 0; n < input_max && receive_record != nullptr && com_GetByte(&b); ++n) {
        if (bcsp_AssembleStep(b, receive_record->data, receive_record->length)) {
            const uint8_t result = bcsp_ProcessFrame();
            *activity |= result;
            if (result & ACTIVITY_RX_RELIABLE) {
                idle_countdown = 0;
            }
        }
    }
    if (idle_countdown > 0) {
        idle_countdown = static_cast<uint8_t>(ticks < idle_countdown ? idle_countdown - ticks : 0);
    } else {
        idle_countdown = went_idle;
    }
    return idle_countdown;
}

namespace {

// The frame check and dispatch for the frame just assembled. Prints the
// frame-error messages. Returns ACTIVITY_* bits. The fixed acknowledgement
// field of an establishment frame (channel 1) never acknowledges a packet.
uint8_t bcsp_ProcessFrame() {
    BcspPacket* rx = receive_record;
    if (rx == nullptr) {
        return 0;
    }
    if (!bcsp_CheckHeader()) {
        report_NoteFrameError();
        ack_pending = true;
        return 0;
    }
    const uint8_t* header = bcsp_FrameHeader();
    rx->reliable = (header[0] & HDR_RELIABLE) ? 1 : 0;
    rx->channel = header[1] & HDR_CHANNEL_MASK;
    const bool crc_present = (header[0] & HDR_CRC) != 0;
    const uint8_t rx_ack = (header[0] >> HDR_ACK_SHIFT) & HDR_SEQ_MASK;
    const uint8_t rx_seq = header[0] & HDR_SEQ_MASK;
    const uint16_t payload_length = static_cast<uint16_t>((header[1] >> 4) | (header[2] << 4));
    if (!bcsp_CheckBody(rx->data, crc_present, payload_length)) {
        report_NoteFrameError();
        ack_pending = true;
        return 0;
    }
    const uint16_t count = bcsp_FrameCount();

    if (rx->channel == LE_CHANNEL) {
        // The establishment header's acknowledgement field is a constant 0,
        // not an acknowledgement: a restarted peer's sync must not release
        // a packet it never saw.
        const bool was_up = bcsp_LinkState() == LINK_GARRULOUS;
        const LeEvent event = le_Receive(rx->data, count);
        if (event == LE_EVENT_PEER_RESTARTED) {
            bcsp_ResetLink();
            return ACTIVITY_PEER_RESET;
        }
        if (event == LE_EVENT_LINK_UP) {
            // The establishment frame in progress is no longer due.
            bcsp_AbandonFrame();
        }
        // While the link comes up every establishment frame cuts the rest
        // short, so that the handshake moves on at once. Once it is up only
        // one that wants an answer does: a late copy of the peer's handshake
        // (on a slow line it crosses ours) must not bring the next copy of
        // an unacknowledged frame forward while its answer is on its way.
        if (!was_up || bcsp_LinkState() != LINK_GARRULOUS || le_ReplyPending()) {
            idle_countdown = 0;
        }
        return event == LE_EVENT_LINK_UP ? ACTIVITY_TX_DONE : 0;
    }

    uint8_t result = 0;
    if (rx_ack != tx_seq && send_record != nullptr && send_record->reliable) {
        com_AnswerArrived();
        send_record = nullptr;
        if (data_frame_in_progress) {
            // Its bytes are no longer ours to read.
            abandon_frame();
        }
        tx_seq = (tx_seq + 1) & HDR_SEQ_MASK;
        idle_countdown = 0;
        if (bcsp_LinkState() == LINK_GARRULOUS) {
            result |= ACTIVITY_TX_DONE;
        }
    }

    if (count != 0 && bcsp_LinkState() == LINK_GARRULOUS) {
        if (rx->reliable) {
            ack_pending = true;
            if (rx_seq == expected_rx) {
                expected_rx = (expected_rx + 1) & HDR_SEQ_MASK;
                rx->length = payload_length;
                receive_record = nullptr;
                result |= ACTIVITY_RX_PACKET | ACTIVITY_RX_RELIABLE;
            }
        } else {
            rx->length = payload_length;
            receive_record = nullptr;
            result |= ACTIVITY_RX_PACKET;
        }
    }
    return result;
}

} // namespace

void bcsp_ResetLink() {
    tx_seq = 0;
    expected_rx = 0;
    abandon_frame();
    bcsp_RestartAssembly();
    idle_countdown = 0;
    le_Reset();
}

void bcsp_Init() {
    bcsp_FrameInit();
    tx_seq = 0;
    expected_rx = 0;
    send_record = nullptr;
    receive_record = nullptr;
    ack_pending = false;
    idle_countdown = 0;
    data_frame_in_progress = false;
    ack_frame_in_progress = false;
    ack_frame_bare = false;
    delimiter_written = false;
    send_waiting = false;
    le_Reset();
}
