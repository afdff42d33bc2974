// Link establishment: four fixed messages on channel 1 until each end has
// seen the other's configuration.
#include "bcsp_establish.h"

#include "bcsp_frame.h"
#include "serial_port.h"

namespace {

// Unreliable, CRC, seq 0, ack 0, channel 1, length 4. Sent as stored: the
// peer expects exactly these bytes, whatever our sequence numbers are.
constexpr uint8_t LE_HEADER[4] = {0x40, 0x41, 0x00, 0x7E};
static_assert(static_cast<uint8_t>(LE_HEADER[0] + LE_HEADER[1] + LE_HEADER[2] + LE_HEADER[3]) ==
                  0xFF,
              "the stored header must pass the peer's header check");
// The encoder's copy (its header argument is writable).
uint8_t le_header[4] = {LE_HEADER[0], LE_HEADER[1], LE_HEADER[2], LE_HEADER[3]};

// Which message follows, by pending reply (row) and link state (column).
constexpr uint8_t NEXT_MESSAGE[3][3] = {
    {LE_SYNC, LE_CONF, LE_NONE},
    {LE_SYNC_RESP, LE_SYNC_RESP, LE_NONE},
    {LE_NONE, LE_CONF_RESP, LE_CONF_RESP},
};

LinkState link_state = LINK_SHY;
uint8_t next_message = LE_SYNC;
LeReply pending_reply = LE_REPLY_NONE;

void start_message(uint8_t index) {
    com_PutByte(SLIP_END);
    bcsp_StartFrame(le_header, false, LE_MESSAGES[index], LE_MESSAGE_SIZE);
}

} // namespace

bool le_StartDueMessage() {
    if (next_message == LE_NONE) {
        return false;
    }
    start_message(next_message);
    next_message = NEXT_MESSAGE[pending_reply][link_state];
    pending_reply = LE_REPLY_NONE;
    return true;
}

bool le_StartPendingReply() {
    if (pending_reply != LE_REPLY_CONF_RESP) {
        return false;
    }
    start_message(LE_CONF_RESP);
    pending_reply = LE_REPLY_NONE;
    return true;
}

bool le_ReplyPending() {
    return pending_reply != LE_REPLY_NONE;
}

LeEvent le_Receive(const uint8_t* payload, uint16_t length) {
    // A short frame would be compared partly with bytes of an earlier one.
    const uint8_t message =
        length >= LE_MESSAGE_SIZE ? bcsp_IdentifyLeMessage(payload) : LE_UNKNOWN;
    switch (message) {
    case LE_SYNC:
        if (link_state == LINK_GARRULOUS) {
            return LE_EVENT_PEER_RESTARTED;
        }
        pending_reply = LE_REPLY_SYNC_RESP;
        break;
    case LE_SYNC_RESP:
        if (link_state == LINK_SHY) {
            link_state = LINK_CURIOUS;
        }
        break;
    case LE_CONF:
        if (link_state != LINK_SHY) {
            pending_reply = LE_REPLY_CONF_RESP;
        }
        break;
    case LE_CONF_RESP:
        if (link_state != LINK_GARRULOUS) {
            link_state = LINK_GARRULOUS;
            return LE_EVENT_LINK_UP;
        }
        break;
    default:
        break;
    }
    return LE_EVENT_NONE;
}

void le_Reset() {
    link_state = LINK_SHY;
    next_message = LE_SYNC;
    pending_reply = LE_REPLY_NONE;
}

uint8_t bcsp_IdentifyLeMessage(const uint8_t* payload) {
    for (uint8_t i = 0; i < LE_MESSAGE_COUNT; ++i) {
        bool same = true;
        for (uint8_t j = 0; j < LE_MESSAGE_SIZE; ++j) {
            same = same && payload[j] == LE_MESSAGES[i][j];
        }
        if (same) {
            return i;
        }
    }
    return LE_UNKNOWN;
}

LinkState bcsp_LinkState() {
    return link_state;
}
