// Network port names, taken apart without allocating.
#include "net_address.h"

#include <cstring>

namespace {

constexpr char RFC2217_PREFIX[] = "rfc2217://";
constexpr char RAW_PREFIX[] = "socket://";
constexpr uint32_t PORT_MAX = 65535;

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Copies [begin, end) into the host field; false when empty or too long.
bool take_host(const char* begin, const char* end, NetAddress* out) {
    const size_t length = static_cast<size_t>(end - begin);
    if (length == 0 || length >= NET_HOST_SIZE) {
        return false;
    }
    std::memcpy(out->host, begin, length);
    out->host[length] = '\0';
    return true;
}

} // namespace

bool net_IsNetworkName(const char* name) {
    return name != nullptr && (starts_with(name, RFC2217_PREFIX) || starts_with(name, RAW_PREFIX));
}

bool net_ParseAddress(const char* name, NetAddress* out) {
    if (name == nullptr) {
        return false;
    }
    const char* rest;
    if (starts_with(name, RFC2217_PREFIX)) {
        out->kind = NetKind::RFC2217;
        rest = name + std::strlen(RFC2217_PREFIX);
    } else if (starts_with(name, RAW_PREFIX)) {
        out->kind = NetKind::RAW;
        rest = name + std::strlen(RAW_PREFIX);
    } else {
        return false;
    }

    const char* colon;
    if (*rest == '[') {
        const char* close = std::strchr(rest, ']');
        if (close == nullptr || close[1] != ':' || !take_host(rest + 1, close, out)) {
            return false;
        }
        colon = close + 1;
    } else {
        colon = std::strrchr(rest, ':');
        // A bare IPv6 address would be ambiguous with its port: brackets are required.
        if (colon == nullptr || std::memchr(rest, ':', static_cast<size_t>(colon - rest)) ||
            !take_host(rest, colon, out)) {
            return false;
        }
    }

    const char* digits = colon + 1;
    uint32_t port = 0;
    size_t count = 0;
    for (; digits[count] >= '0' && digits[count] <= '9'; ++count) {
        port = port * 10 + static_cast<uint32_t>(digits[count] - '0');
        if (port > PORT_MAX) {
            return false;
        }
    }
    if (count == 0 || digits[count] != '\0' || port == 0) {
        return false;
    }
    out->port = static_cast<uint16_t>(port);
    return true;
}

bool net_HostTooLong(const char* name) {
    if (!net_IsNetworkName(name)) {
        return false;
    }
    const char* rest =
        name + std::strlen(starts_with(name, RFC2217_PREFIX) ? RFC2217_PREFIX : RAW_PREFIX);
    const bool bracketed = *rest == '[';
    const char* begin = bracketed ? rest + 1 : rest;
    const char* end = bracketed ? std::strchr(begin, ']') : std::strrchr(begin, ':');
    if (end == nullptr) {
        end = begin + std::strlen(begin);
    }
    return static_cast<size_t>(end - begin) >= NET_HOST_SIZE;
}
