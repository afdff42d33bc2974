#pragma once
// What the server sends on a network port's connection, and what is said
// with it: the RFC 2217 negotiation of the line and its purge handshake,
// the Telnet commands taken out of the data, and plain text the server
// sends before any data held back as its possible farewell (see
// net_port.h). One session, over the one connection of net_socket.h.

#include "net_timing.h"

#include <cstddef>
#include <cstdint>

// Starts the session of a new connection; `telnet` when the server speaks
// RFC 2217, else raw TCP. Nothing is held or kept from before.
void netsession_Start(bool telnet);

// RFC 2217: the options, then the line settings once COM-PORT-OPTION is
// agreed; each answer round is a round-trip sample for `timing`. False when
// the line is not agreed, after one "Network port: ..." line: the server
// refused COM-PORT-OPTION, did not confirm 115200 8E1, did not answer within
// NET_CONNECT_TIMEOUT_MS, or closed the connection (with its farewell).
bool netsession_Negotiate(NetTiming* timing);

// Line data that has arrived, at most `max` bytes, without waiting: Telnet
// commands taken out (and answered), farewell text held back. Returns the
// count, or -1 when the connection has ended, an answer could not be sent or
// the stream is malformed (a subnegotiation that does not end).
int32_t netsession_Read(uint8_t* buf, uint32_t max);

// True when bytes that came after an awaited answer still wait to be read.
bool netsession_HasPending();

enum class NetPurge : uint8_t { DONE, CLOSED, TIMEOUT };
// Telnet: PURGE-DATA both ways, everything before its answer discarded; the
// answer is a round-trip sample for `timing`. Raw: what has arrived is
// discarded; what is still on its way cannot be. TIMEOUT when the answer
// did not come within NET_CONNECT_TIMEOUT_MS; CLOSED when the connection
// ended. Prints nothing.
NetPurge netsession_Purge(NetTiming* timing);

// Why the connection ended (a malformed stream, the socket's failure, or the
// server closing it), with the server's farewell text if it sent one, into
// `out`.
void netsession_EndingReason(char* out, size_t size);
