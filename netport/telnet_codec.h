#pragma once
// The Telnet byte stream (RFC 854/855): a decoder that takes one received
// byte at a time and says what it was, and the encoders for what a client
// sends. Bounded and allocation-free: a subnegotiation longer than
// TELNET_SB_MAX is cut (and marked so), however long the server makes it.

#include <cstdint>

inline constexpr uint8_t TELNET_IAC = 255;
inline constexpr uint8_t TELNET_DONT = 254;
inline constexpr uint8_t TELNET_DO = 253;
inline constexpr uint8_t TELNET_WONT = 252;
inline constexpr uint8_t TELNET_WILL = 251;
inline constexpr uint8_t TELNET_SB = 250;
inline constexpr uint8_t TELNET_SE = 240;

inline constexpr uint8_t TELNET_OPT_BINARY = 0;
inline constexpr uint8_t TELNET_OPT_SGA = 3;
inline constexpr uint8_t TELNET_OPT_COM_PORT = 44;

// Subnegotiation bytes kept after the option byte: a COM-PORT-OPTION code
// and a 4-byte value need 5; the rest of a longer one (a signature text,
// or a hostile server's endless one) is dropped.
inline constexpr uint8_t TELNET_SB_MAX = 16;

enum class TelnetEventKind : uint8_t {
    NONE,   // the byte belongs to a command still being read, or was a lone command
    DATA,   // `byte` is a data byte (a doubled 0xFF gives one 0xFF)
    OPTION, // `verb` (WILL/WONT/DO/DONT) for `option`
    SUBNEG, // IAC SB `option` ... IAC SE: `length` bytes at `data`
};

struct TelnetEvent {
    TelnetEventKind kind;
    uint8_t byte;
    uint8_t verb;
    uint8_t option;
    uint8_t length;
    bool truncated;      // SUBNEG: it was longer than TELNET_SB_MAX
    const uint8_t* data; // SUBNEG: valid until the next telnet_Feed
};

// A subnegotiation this long is no answer of any server that follows the
// protocol (a COM-PORT-OPTION one, signature text included, is far
// shorter): the stream is malformed, and everything after its start would
// be swallowed as part of it.
inline constexpr uint32_t TELNET_SB_ENDLESS = 4096;

struct TelnetDecoder {
    uint8_t state;
    uint8_t verb;
    uint8_t option;
    uint8_t length;
    bool truncated;
    uint32_t sb_bytes; // bytes of the current subnegotiation, kept or not
    uint8_t sb[TELNET_SB_MAX];
};

// True while the decoder is inside a subnegotiation that has run past
// TELNET_SB_ENDLESS bytes.
bool telnet_EndlessSubnegotiation(const TelnetDecoder* decoder);

// Starts a decoder at the beginning of a stream.
void telnet_Reset(TelnetDecoder* decoder);

// Takes the next received byte. Never fails: commands other than option
// requests and subnegotiations (NOP, GA, BRK, ...) are swallowed, an IAC
// followed by anything but IAC or SE inside a subnegotiation ends it (the
// bytes kept so far are reported, marked truncated) and is read as a command.
TelnetEvent telnet_Feed(TelnetDecoder* decoder, uint8_t byte);

// Copies `len` data bytes to `out` with every 0xFF doubled; `out` must hold
// 2 * len bytes. Returns the count written.
uint32_t telnet_Escape(const uint8_t* data, uint32_t len, uint8_t* out);

// Longest COM-PORT-OPTION request telnet_ComPortRequest builds: IAC SB 44,
// the code, a 4-byte value with every byte doubled, IAC SE.
inline constexpr uint8_t TELNET_COM_PORT_REQUEST_MAX = 3 + 1 + 2 * 4 + 2;

// Writes IAC SB COM-PORT-OPTION `code` `value` IAC SE to `out` (at least
// TELNET_COM_PORT_REQUEST_MAX bytes), the value big-endian in `value_size`
// bytes (1 or 4). Returns the count written.
uint8_t telnet_ComPortRequest(uint8_t code, uint32_t value, uint8_t value_size, uint8_t* out);
