// The stream of a network port's connection: Telnet commands and the
// RFC 2217 negotiation taken out of the data, the server's farewell held.
#include "net_session.h"

#include "console.h"
#include "net_port.h"
#include "net_socket.h"
#include "rfc2217_client.h"
#include "trace.h"

#include <cstdio>
#include <cstring>

namespace {

// One read while negotiating, as one com_GetByte read.
constexpr uint32_t CHUNK = COM_RX_READ_MAX;
// Room for a reason line's text: as much as a lost port's reason prints.
constexpr size_t REASON_SIZE = COM_LOST_REASON_SIZE;

Rfc2217Client client;
bool telnet = false;

char held[NET_HELD_TEXT_MAX + 1];
uint16_t held_length = 0;
bool holding = false;

// What came after the answer a wait ended on, still to be read as usual.
uint8_t pending[CHUNK];
uint32_t pending_length = 0;

bool is_text(uint8_t b) {
    return (b >= 0x20 && b < 0x7F) || b == '\r' || b == '\n' || b == '\t';
}

// Keeps plain text from the start of the connection apart (see net_port.h).
uint32_t hold_text(uint8_t* buf, uint32_t n) {
    if (!holding) {
        return n;
    }
    uint32_t i = 0;
    while (i < n && is_text(buf[i]) && held_length < NET_HELD_TEXT_MAX) {
        held[held_length++] = static_cast<char>(buf[i++]);
    }
    if (i == n) {
        return 0;
    }
    holding = false;
    std::memmove(buf, buf + i, n - i);
    return n - i;
}

// A server whose Telnet stream never leaves a subnegotiation: without this
// the run would only see a device that stopped answering.
constexpr char MALFORMED[] =
    "the server sent a malformed Telnet stream (a subnegotiation that does not end)";

bool malformed() {
    return telnet && telnet_EndlessSubnegotiation(&client.decoder);
}

// Why the connection ended, with the server's farewell text if it sent one.
void ending_reason(char* out, size_t size) {
    if (malformed()) {
        std::snprintf(out, size, "%s", MALFORMED);
        return;
    }
    const char* failure = netsock_FailureText();
    const char* what = failure[0] != '\0' ? failure : "the server closed the connection";
    // The farewell on one line, without its line breaks.
    char text[NET_HELD_TEXT_MAX + 1];
    uint16_t n = 0;
    for (uint16_t i = 0; i < held_length; ++i) {
        const char c = held[i];
        const bool space = c == '\r' || c == '\n' || c == '\t';
        if (space && (n == 0 || text[n - 1] == ' ')) {
            continue;
        }
        text[n++] = space ? ' ' : c;
    }
    while (n > 0 && text[n - 1] == ' ') {
        --n;
    }
    text[n] = '\0';
    if (n == 0) {
        std::snprintf(out, size, "%s", what);
    } else {
        std::snprintf(out, size, "%s: \"%s\"", what, text);
    }
}

bool send_replies() {
    if (client.reply_length == 0) {
        return true;
    }
    const bool sent = netsock_Send(client.reply, client.reply_length, COM_WRITE_TIMEOUT_MS);
    client.reply_length = 0;
    return sent;
}

// Result of reading the server's stream until a condition holds.
enum class Wait : uint8_t { DONE, CLOSED, TIMEOUT, MALFORMED };

// Reads and digests the server's stream until `done` holds, the connection
// ends, or NET_CONNECT_TIMEOUT_MS pass. Data bytes that come meanwhile are
// held as text or dropped: they arrived before the line was ready.
Wait wait_until(bool (*done)()) {
    const int64_t deadline = nettiming_NowUs() + int64_t{NET_CONNECT_TIMEOUT_MS} * 1000;
    uint8_t chunk[CHUNK];
    while (!done()) {
        const int64_t left_us = deadline - nettiming_NowUs();
        if (left_us <= 0) {
            return Wait::TIMEOUT;
        }
        int32_t got;
        if (pending_length > 0) {
            got = static_cast<int32_t>(pending_length);
            std::memcpy(chunk, pending, pending_length);
            pending_length = 0;
        } else {
            netsock_WaitReadable(static_cast<uint32_t>(left_us));
            got = netsock_Receive(chunk, CHUNK);
        }
        if (got < 0) {
            return Wait::CLOSED;
        }
        // A byte at a time, so that what follows the awaited answer is kept.
        for (int32_t i = 0; i < got; ++i) {
            if (done()) {
                pending_length = static_cast<uint32_t>(got - i);
                std::memcpy(pending, chunk + i, pending_length);
                break;
            }
            hold_text(chunk + i, rfc2217_Receive(&client, chunk + i, 1));
        }
        if (!send_replies()) {
            return Wait::CLOSED;
        }
        if (malformed()) {
            return Wait::MALFORMED;
        }
    }
    return Wait::DONE;
}

bool com_port_decided() {
    return client.com_port_agreed || client.com_port_refused;
}

bool settings_answered() {
    constexpr uint16_t SETTINGS = (1u << RFC2217_SET_BAUDRATE) | (1u << RFC2217_SET_DATASIZE) |
                                  (1u << RFC2217_SET_PARITY) | (1u << RFC2217_SET_STOPSIZE) |
                                  (1u << RFC2217_SET_CONTROL);
    return (client.awaited & SETTINGS) == 0 || client.wrong_code != 0 || client.com_port_refused;
}

bool purge_answered() {
    return !rfc2217_Awaiting(&client, RFC2217_PURGE_DATA);
}

const char* request_name(uint8_t code) {
    switch (code) {
    case RFC2217_SET_BAUDRATE:
        return "SET-BAUDRATE";
    case RFC2217_SET_DATASIZE:
        return "SET-DATASIZE";
    case RFC2217_SET_PARITY:
        return "SET-PARITY";
    case RFC2217_SET_STOPSIZE:
        return "SET-STOPSIZE";
    default:
        return "SET-CONTROL";
    }
}

// Reads what the server sent before it closed, for its farewell text.
void read_farewell() {
    uint8_t chunk[CHUNK];
    int32_t got = static_cast<int32_t>(pending_length);
    std::memcpy(chunk, pending, pending_length);
    pending_length = 0;
    do {
        const uint32_t data = rfc2217_Receive(&client, chunk, static_cast<uint32_t>(got));
        hold_text(chunk, data);
        client.reply_length = 0;
    } while ((got = netsock_Receive(chunk, CHUNK)) > 0);
}

// Prints the reason line for a wait that did not end well; false.
bool wait_failed(Wait w) {
    if (w == Wait::CLOSED) {
        read_farewell();
    }
    if (w == Wait::TIMEOUT) {
        con_Print("Network port: no answer from the server within %u s\n",
                  static_cast<unsigned>(NET_CONNECT_TIMEOUT_MS / 1000));
    } else {
        char reason[REASON_SIZE];
        ending_reason(reason, sizeof reason);
        con_Print("Network port: %s\n", reason);
    }
    return false;
}

// The server's DONT COM-PORT-OPTION, to the options or to the settings.
bool refused() {
    con_Print("Network port: the server refused COM-PORT-OPTION\n");
    return false;
}

} // namespace

bool netsession_Negotiate(NetTiming* timing) {
    uint8_t out[RFC2217_SETTINGS_REQUESTS_MAX];
    rfc2217_OptionRequests(out);
    if (trace_On()) {
        trace_Event("net", "sent WILL/DO BINARY, WILL/DO SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION");
    }
    if (!netsock_Send(out, RFC2217_OPTION_REQUESTS_SIZE, COM_WRITE_TIMEOUT_MS)) {
        return wait_failed(Wait::CLOSED);
    }
    Wait w = wait_until(com_port_decided);
    if (trace_On() && w == Wait::DONE) {
        trace_Event("net", "COM-PORT-OPTION %s", client.com_port_agreed ? "agreed" : "refused");
    }
    if (w != Wait::DONE) {
        return wait_failed(w);
    }
    if (client.com_port_refused) {
        return refused();
    }
    const uint8_t n = rfc2217_SettingsRequests(&client, out);
    const int64_t sent = nettiming_NowUs();
    if (trace_On()) {
        trace_Event("net", "sent SET-BAUDRATE 115200, SET-DATASIZE 8, SET-PARITY even, "
                           "SET-STOPSIZE 1, SET-CONTROL no flow control");
    }
    if (!netsock_Send(out, n, COM_WRITE_TIMEOUT_MS)) {
        return wait_failed(Wait::CLOSED);
    }
    w = wait_until(settings_answered);
    if (w != Wait::DONE) {
        return wait_failed(w);
    }
    if (client.com_port_refused) {
        return refused();
    }
    if (client.wrong_code != 0) {
        con_Print("Network port: the server did not confirm 115200 8E1 (%s answered %lu)\n",
                  request_name(client.wrong_code), static_cast<unsigned long>(client.wrong_value));
        return false;
    }
    nettiming_Sample(timing, nettiming_NowUs() - sent);
    if (trace_On()) {
        trace_Event("net", "server confirmed 115200 8E1 in %lld us",
                    static_cast<long long>(nettiming_NowUs() - sent));
    }
    return true;
}

void netsession_Start(bool speaks_telnet) {
    telnet = speaks_telnet;
    rfc2217_Start(&client);
    pending_length = 0;
    held_length = 0;
    holding = true;
}

void netsession_EndingReason(char* out, size_t size) {
    ending_reason(out, size);
}

int32_t netsession_Read(uint8_t* buf, uint32_t max) {
    int32_t got;
    if (pending_length > 0) {
        got = static_cast<int32_t>(pending_length < max ? pending_length : max);
        std::memcpy(buf, pending, static_cast<size_t>(got));
        pending_length -= static_cast<uint32_t>(got);
        std::memmove(pending, pending + got, pending_length);
    } else {
        got = netsock_Receive(buf, max);
    }
    if (got < 0) {
        return -1;
    }
    uint32_t n = static_cast<uint32_t>(got);
    if (telnet && n > 0) {
        n = rfc2217_Receive(&client, buf, n);
        if (!send_replies() || malformed()) {
            return -1;
        }
    }
    return static_cast<int32_t>(hold_text(buf, n));
}

bool netsession_HasPending() {
    return pending_length > 0;
}

NetPurge netsession_Purge(NetTiming* timing) {
    if (telnet) {
        uint8_t out[TELNET_COM_PORT_REQUEST_MAX];
        const uint8_t n = rfc2217_PurgeRequest(&client, out);
        const int64_t sent = nettiming_NowUs();
        if (!netsock_Send(out, n, COM_WRITE_TIMEOUT_MS)) {
            return NetPurge::CLOSED;
        }
        const Wait w = wait_until(purge_answered);
        if (w == Wait::CLOSED || w == Wait::MALFORMED) {
            return NetPurge::CLOSED;
        }
        if (w == Wait::TIMEOUT) {
            return NetPurge::TIMEOUT;
        }
        nettiming_Sample(timing, nettiming_NowUs() - sent);
        if (trace_On()) {
            trace_Event("net", "PURGE-DATA answered in %lld us, answer allowance %u ms",
                        static_cast<long long>(nettiming_NowUs() - sent),
                        nettiming_AllowanceMs(timing));
        }
        return NetPurge::DONE;
    }
    uint8_t chunk[CHUNK];
    int32_t got;
    while ((got = netsock_Receive(chunk, CHUNK)) > 0) {
        hold_text(chunk, static_cast<uint32_t>(got));
    }
    return got < 0 ? NetPurge::CLOSED : NetPurge::DONE;
}
