// A serial line reached through a network server: raw TCP, or Telnet with
// the COM-PORT-OPTION. The buffering above (serial_port.cpp) is the same as
// for a local port.
#include "net_port.h"

#include "console.h"
#include "net_address.h"
#include "net_session.h"
#include "net_socket.h"
#include "net_timing.h"
#include "rfc2217_client.h"
#include "text_escape.h"
#include "trace.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t WRITE_TIMEOUT_US = int64_t{COM_WRITE_TIMEOUT_MS} * 1000;
// Room for a reason line's text: as much as a lost port's reason prints.
constexpr size_t REASON_SIZE = COM_LOST_REASON_SIZE;

NetAddress address;
NetTiming timing;
bool connected = false;
bool lost = false;

// A write with 0xFF bytes is doubled into here (at most twice the transmit buffer).
uint8_t escaped[2 * COM_TX_BUFFER_SIZE];

bool telnet() {
    return address.kind == NetKind::RFC2217;
}

void lose() {
    if (lost) {
        return;
    }
    char reason[REASON_SIZE];
    netsession_EndingReason(reason, sizeof reason);
    lost = true;
    netsock_Close();
    if (trace_On()) {
        trace_Event("net", "connection lost: %s", reason);
    }
    com_ReportLost(reason);
}

bool net_open(const char* name) {
    if (!net_ParseAddress(name, &address)) {
        if (net_HostTooLong(name)) {
            con_Print("Network port: host name too long (at most %u characters)\n",
                      static_cast<unsigned>(NET_HOST_SIZE - 1));
        } else {
            con_Print("Network port: expected rfc2217://HOST:PORT or socket://HOST:PORT\n");
        }
        return false;
    }
    netsession_Start(telnet());
    nettiming_Reset(&timing);
    connected = false;
    lost = false;

    const int64_t start = nettiming_NowUs();
    switch (netsock_Connect(address.host, address.port, NET_CONNECT_TIMEOUT_MS)) {
    case NetConnectFailure::NONE:
        break;
    case NetConnectFailure::HOST: {
        char shown[TEXT_SHOWN_NAME_SIZE];
        con_Print("Network port: unknown host \"%s\" (%s)\n",
                  text_ShownName(address.host, shown, sizeof shown), netsock_FailureText());
        return false;
    }
    case NetConnectFailure::NO_LOOKUP: {
        char shown[TEXT_SHOWN_NAME_SIZE];
        con_Print("Network port: cannot look up \"%s\": no thread or descriptor to spare (%s)\n",
                  text_ShownName(address.host, shown, sizeof shown), netsock_FailureText());
        return false;
    }
    case NetConnectFailure::REFUSED:
        con_Print("Network port: connection refused\n");
        return false;
    case NetConnectFailure::TIMEOUT:
        con_Print("Network port: no connection within %u s\n",
                  static_cast<unsigned>(NET_CONNECT_TIMEOUT_MS / 1000));
        return false;
    case NetConnectFailure::OTHER:
        con_Print("Network port: cannot connect (%s)\n", netsock_FailureText());
        return false;
    }
    nettiming_Sample(&timing, nettiming_NowUs() - start);
    if (trace_On()) {
        trace_Event("net", "connected to %s port %u (%s) in %lld us", address.host, address.port,
                    telnet() ? "Telnet, RFC 2217" : "raw TCP",
                    static_cast<long long>(nettiming_NowUs() - start));
    }
    if (telnet() && !netsession_Negotiate(&timing)) {
        netsock_Close();
        return false;
    }
    connected = true;
    if (trace_On()) {
        trace_Event("net", "answer allowance %u ms", nettiming_AllowanceMs(&timing));
    }
    return true;
}

uint32_t net_read(uint8_t* buf, uint32_t max) {
    if (!connected || lost) {
        return 0;
    }
    const int32_t n = netsession_Read(buf, max);
    if (n < 0) {
        lose();
        return 0;
    }
    if (n > 0) {
        nettiming_Arrived(&timing, nettiming_NowUs());
    }
    return static_cast<uint32_t>(n);
}

// Returns when the bytes have left the far line as modelled (net_timing.h).
void net_write(const uint8_t* buf, uint32_t len) {
    if (!connected || lost || len == 0) {
        return;
    }
    const int64_t start = nettiming_NowUs();
    const uint8_t* out = buf;
    uint32_t out_len = len;
    // Only a write that holds a 0xFF is copied, to double it.
    if (telnet() && len <= COM_TX_BUFFER_SIZE && std::memchr(buf, TELNET_IAC, len) != nullptr) {
        out_len = telnet_Escape(buf, len, escaped);
        out = escaped;
    }
    if (!netsock_Send(out, out_len, COM_WRITE_TIMEOUT_MS)) {
        lose();
        return;
    }
    int64_t end = nettiming_Write(&timing, nettiming_NowUs(), len);
    if (end > start + WRITE_TIMEOUT_US) {
        end = start + WRITE_TIMEOUT_US;
    }
    nettiming_SleepUntilUs(end);
}

// What a purge leaves (net_session.h); a server that does not answer it is
// a lost port.
void net_purge() {
    if (!connected || lost) {
        return;
    }
    switch (netsession_Purge(&timing)) {
    case NetPurge::DONE:
        break;
    case NetPurge::CLOSED:
        lose();
        break;
    case NetPurge::TIMEOUT: {
        lost = true;
        netsock_Close();
        char reason[REASON_SIZE];
        std::snprintf(reason, sizeof reason, "no answer to PURGE-DATA within %u s",
                      static_cast<unsigned>(NET_CONNECT_TIMEOUT_MS / 1000));
        com_ReportLost(reason);
        break;
    }
    }
}

void net_close() {
    netsock_Close();
    connected = false;
}

// Bytes kept after an awaited answer count as input; a connection that is
// gone has none and the wait is slept out, so no caller's loop spins.
bool net_wait(uint32_t max_us) {
    if (netsession_HasPending()) {
        return true;
    }
    if (!connected || lost) {
        nettiming_SleepUntilUs(nettiming_NowUs() + max_us);
        return false;
    }
    return netsock_WaitReadable(max_us);
}

const ComPortOps net_ops = {net_open, net_read, net_write, net_purge, net_close, net_wait};

void net_round_trip_sample(uint64_t us) {
    if (connected) {
        nettiming_Sample(&timing, static_cast<int64_t>(us));
        if (trace_On()) {
            trace_Event("net", "answer after %llu us, answer allowance %u ms",
                        static_cast<unsigned long long>(us), nettiming_AllowanceMs(&timing));
        }
    }
}

uint32_t net_answer_allowance_ms() {
    return connected ? nettiming_AllowanceMs(&timing) : 0;
}

const ComBackend net_backend = {net_IsNetworkName, &net_ops, net_round_trip_sample,
                                net_answer_allowance_ms};

} // namespace

const ComBackend* net_PortBackend() {
    return &net_backend;
}
