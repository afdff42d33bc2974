#pragma once
// The network port backend (rfc2217:// and socket:// names), behind the same
// ComPortOps as a local port. Registered with com_AddBackend, it is chosen
// by the name at com_Open.
//
// Every failure to open prints one line, "Network port: <reason>", before
// com_Open returns false (the caller then adds its own). A connection that
// ends or fails later is a lost port, reported once with the reason.
//
// Data from the server that is plain text before the first byte of any other
// kind (up to NET_HELD_TEXT_MAX bytes) is held back: when the connection
// then ends, it is the server's farewell ("Port already in use") and is
// shown in the reason; otherwise it is dropped, since the link has no use
// for anything before its first frame delimiter.

#include "serial_backend.h"

#include <cstdint>

inline constexpr uint16_t NET_HELD_TEXT_MAX = 80;
// How long a connection and each wait for the server's answers may take.
inline constexpr uint32_t NET_CONNECT_TIMEOUT_MS = 5000;

// The network backend for com_AddBackend. It claims every name
// net_IsNetworkName accepts; it takes the link's round trips as samples and
// gives as the answer allowance how long after a write an answer can still
// be on its way over the connection (net_timing.h), 0 before a connection.
// Never null.
const ComBackend* net_PortBackend();
