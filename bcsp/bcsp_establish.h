#pragma once
// Link establishment inside the bcsp module: which establishment frame goes
// out next and how a received one moves the link state. It reports what a
// received message meant; the engine (bcsp_link.cpp) acts on it. Callers
// outside see it through bcsp_link.h, for the link state and the messages.

#include <cstdint>

#include "bcsp_wire.h"

// The establishment messages, by their index in LE_MESSAGES.
enum LeMessage : uint8_t {
    LE_SYNC = 0,
    LE_SYNC_RESP = 1,
    LE_CONF = 2,
    LE_CONF_RESP = 3,
    LE_NONE = 4
};
// bcsp_IdentifyLeMessage's answer for a payload that is none of the four.
inline constexpr uint8_t LE_UNKNOWN = 5;
enum LinkState : uint8_t { LINK_SHY = 0, LINK_CURIOUS = 1, LINK_GARRULOUS = 2 };
enum LeReply : uint8_t { LE_REPLY_NONE = 0, LE_REPLY_SYNC_RESP = 1, LE_REPLY_CONF_RESP = 2 };
// What a received establishment message meant for the link.
enum LeEvent : uint8_t { LE_EVENT_NONE = 0, LE_EVENT_LINK_UP = 1, LE_EVENT_PEER_RESTARTED = 2 };

// Starts the due establishment message, if any (writes the start delimiter,
// picks the message after it, clears the pending reply). True if it did.
bool le_StartDueMessage();

// Starts a pending conf-response outside the message sequence. True if it did.
bool le_StartPendingReply();

// True while a received establishment message still waits for its answer.
bool le_ReplyPending();

// Reacts to a good channel-1 frame of `length` payload bytes: notes the
// reply it asks for and moves the link state. LE_EVENT_LINK_UP when the
// link has just come up; LE_EVENT_PEER_RESTARTED when a sync arrived on an
// established link (the state is left as it was: the engine resets the
// link); LE_EVENT_NONE otherwise.
LeEvent le_Receive(const uint8_t* payload, uint16_t length);

// Shy, sync due next, no pending reply.
void le_Reset();

// Index (LE_SYNC..LE_CONF_RESP) of the establishment message that the first
// 4 bytes of `payload` match, or LE_UNKNOWN.
uint8_t bcsp_IdentifyLeMessage(const uint8_t* payload);

// Current link state (for callers and tests).
LinkState bcsp_LinkState();
