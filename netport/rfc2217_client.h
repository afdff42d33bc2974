#pragma once
// The client side of RFC 2217 over the Telnet stream, without any I/O: it
// builds the requests a client sends, reads what the server sends, keeps
// the data bytes and answers option requests. The network port does the
// sending, the waiting and the time-outs.
//
// Options: the client offers and asks for BINARY and SUPPRESS-GO-AHEAD, and
// offers COM-PORT-OPTION. Any other option the server asks about is
// declined once (DONT for WILL, WONT for DO); repeated requests get no more
// answers, so a server that never stops asking cannot make the client talk
// without end. WONT/DONT are never answered.

#include "serial_port.h"
#include "telnet_codec.h"

#include <cstdint>

inline constexpr uint8_t RFC2217_SET_BAUDRATE = 1;
inline constexpr uint8_t RFC2217_SET_DATASIZE = 2;
inline constexpr uint8_t RFC2217_SET_PARITY = 3;
inline constexpr uint8_t RFC2217_SET_STOPSIZE = 4;
inline constexpr uint8_t RFC2217_SET_CONTROL = 5;
inline constexpr uint8_t RFC2217_PURGE_DATA = 12;
// A server's answer carries the request's code plus this.
inline constexpr uint8_t RFC2217_ANSWER_OFFSET = 100;

// The line: 115200 baud, 8 data bits, even parity (3), 1 stop bit, no flow
// control (SET-CONTROL 1); a purge of both directions is PURGE-DATA 3.
inline constexpr uint32_t RFC2217_BAUD = COM_LINE_BAUD;
inline constexpr uint8_t RFC2217_DATASIZE_8 = 8;
inline constexpr uint8_t RFC2217_PARITY_EVEN = 3;
inline constexpr uint8_t RFC2217_STOPSIZE_1 = 1;
inline constexpr uint8_t RFC2217_CONTROL_NO_FLOW = 1;
inline constexpr uint8_t RFC2217_PURGE_BOTH = 3;

// Size of the option requests rfc2217_OptionRequests writes.
inline constexpr uint8_t RFC2217_OPTION_REQUESTS_SIZE = 15;
// Room rfc2217_SettingsRequests needs: five requests.
inline constexpr uint8_t RFC2217_SETTINGS_REQUESTS_MAX = 5 * TELNET_COM_PORT_REQUEST_MAX;
// Option answers one rfc2217_Receive can produce: three bytes for every
// three bytes received, from a read of at most 256 bytes.
inline constexpr uint16_t RFC2217_REPLY_MAX = 258;

struct Rfc2217Client {
    TelnetDecoder decoder;
    uint8_t declined_will[32]; // bit per option: its WILL got our DONT
    uint8_t declined_do[32];   // bit per option: its DO got our WONT
    uint16_t awaited;          // bit per request code whose answer is due
    bool com_port_agreed;      // the server sent DO COM-PORT-OPTION
    bool com_port_refused;     // the server sent DONT COM-PORT-OPTION
    uint8_t wrong_code;        // first answer that did not confirm its request (0: none)
    uint32_t wrong_value;      // the value that answer carried
    uint8_t reply[RFC2217_REPLY_MAX];
    uint16_t reply_length; // option answers still to send
};

// Starts a client at the beginning of a connection.
void rfc2217_Start(Rfc2217Client* client);

// Writes IAC WILL BINARY, IAC DO BINARY, IAC WILL SGA, IAC DO SGA,
// IAC WILL COM-PORT-OPTION to `out` (RFC2217_OPTION_REQUESTS_SIZE bytes).
void rfc2217_OptionRequests(uint8_t* out);

// Writes SET-BAUDRATE 115200, SET-DATASIZE 8, SET-PARITY 3, SET-STOPSIZE 1
// and SET-CONTROL 1 to `out` (RFC2217_SETTINGS_REQUESTS_MAX bytes) and
// marks their answers due. Returns the count written.
uint8_t rfc2217_SettingsRequests(Rfc2217Client* client, uint8_t* out);

// Writes PURGE-DATA 3 to `out` (TELNET_COM_PORT_REQUEST_MAX bytes) and
// marks its answer due. Returns the count written.
uint8_t rfc2217_PurgeRequest(Rfc2217Client* client, uint8_t* out);

// Reads `len` bytes (at most 256) received from the server. The data bytes
// among them, 0xFF un-doubled, are moved to the front of `buf` and counted
// in the result; everything else is Telnet and never data. Answers match
// their requests by code, in any order; an answer whose value differs from
// the request's is kept in wrong_code/wrong_value (the first only). Option
// answers to send are appended to `reply`.
uint32_t rfc2217_Receive(Rfc2217Client* client, uint8_t* buf, uint32_t len);

// True while the answer to request `code` is due.
inline bool rfc2217_Awaiting(const Rfc2217Client* client, uint8_t code) {
    return (client->awaited & (1u << code)) != 0;
}
