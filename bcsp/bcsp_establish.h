#pragma once
// Link establishment inside the bcsp module: which establishment frame goes
// out next and how a received one moves the link state. Used only by the
// engine (bcsp_link.cpp); callers outside see bcsp_link.h.

#include <cstdint>

#include "bcsp_link.h"

// Starts the due establishment message, if any (writes the start delimiter,
// picks the message after it, clears the pending reply). True if it did.
bool le_StartDueMessage();

// Starts a pending conf-response outside the message sequence. True if it did.
bool le_StartPendingReply();

// True while a received establishment message still waits for its answer.
bool le_ReplyPending();

// Reacts to a good channel-1 frame of `length` payload bytes. `gathered`
// holds the activity bits gathered for this frame so far; returns the bits
// to report: exactly ACTIVITY_PEER_RESET when the peer restarted (the link
// has then been reset), `gathered` | ACTIVITY_TX_DONE when the link came up.
uint8_t le_Receive(const uint8_t* payload, uint16_t length, uint8_t gathered);

// Shy, sync due next, no pending reply.
void le_Reset();
