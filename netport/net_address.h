#pragma once
// Port names that reach a serial line through a network server:
//   rfc2217://HOST:PORT   Telnet with the COM-PORT-OPTION (RFC 2217)
//   socket://HOST:PORT    raw TCP, the server's own line settings apply
// HOST is a name, an IPv4 address or an IPv6 address in brackets. Any other
// name is a local port.

#include <cstdint>

enum class NetKind : uint8_t { RAW, RFC2217 };

// Longest host part kept (a DNS name is at most 253 characters).
inline constexpr uint16_t NET_HOST_SIZE = 256;

struct NetAddress {
    NetKind kind;
    uint16_t port;
    char host[NET_HOST_SIZE]; // NUL-terminated, without the IPv6 brackets
};

// True when `name` starts with one of the two network prefixes, whether or
// not the rest is well formed: such a name is never opened as a local port.
bool net_IsNetworkName(const char* name);

// Splits a network port name. False, with *out unspecified, when the prefix
// is unknown, the host is empty or too long, an IPv6 bracket is unclosed,
// the port is missing, not decimal, 0 or above 65535, or anything follows
// it. Prints nothing.
bool net_ParseAddress(const char* name, NetAddress* out);

// True when `name` is a network name whose host part (up to the port's
// colon, or the IPv6 closing bracket, or the end) has NET_HOST_SIZE
// characters or more: the one reason net_ParseAddress refuses it that is
// not the name's form. Prints nothing.
bool net_HostTooLong(const char* name);
