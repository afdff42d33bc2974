#pragma once
// The one TCP connection of a network port, per platform (net_socket_posix.cpp,
// net_socket_win32.cpp, chosen by CMake). Its own deadlines are in the
// system's real time, since they bound the system's calls. Non-blocking after the connect; Nagle's
// delay is off.

#include <cstdint>

enum class NetConnectFailure : uint8_t {
    NONE,
    HOST, // the name did not resolve (in time)
    // a name needed a lookup and no thread or descriptor was left to run it
    // on; the system's text for the cause in netsock_FailureText
    NO_LOOKUP,
    REFUSED, // every address refused
    TIMEOUT, // no address answered within the time-out
    OTHER,   // any other failure; see netsock_FailureText
};

// Connects to `host`:`port` within `timeout_ms`: the name lookup may take
// all of it (a lookup that runs out is HOST, with the system's text for a
// temporary failure), each resolved address is tried with what is left.
// Returns NONE when connected, else why not; the system's text for the
// failure is kept for netsock_FailureText. A connection already open is
// closed first.
NetConnectFailure netsock_Connect(const char* host, uint16_t port, uint32_t timeout_ms);

// The system's text for the last failure of this layer (never null, "" when none).
const char* netsock_FailureText();

// Receives what has arrived, at most `max` bytes, without waiting. Returns
// the count, 0 when nothing is there, -1 when the connection has ended (the
// server closed it, or it failed: netsock_FailureText says which).
int32_t netsock_Receive(uint8_t* buf, uint32_t max);

// Sends all `len` bytes, waiting for room up to `timeout_ms`. False when the
// connection failed or the time ran out (netsock_FailureText says which).
bool netsock_Send(const uint8_t* buf, uint32_t len, uint32_t timeout_ms);

// Waits until something can be received (or the connection has ended), at
// most `timeout_us` (it may return sooner). True when something is there.
bool netsock_WaitReadable(uint32_t timeout_us);

// Closes the connection; nothing when none is open.
void netsock_Close();
