// The network port's TCP connection on Windows (Winsock).
#include "net_socket.h"

#include "net_resolve.h"
#include "platform_clock.h"

// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdio>

namespace {

SOCKET sock = INVALID_SOCKET;
bool started = false;
char failure_text[128] = "";

// The system's text for a Winsock error, on one line.
void note_error(int code) {
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, failure_text, sizeof failure_text, nullptr);
    if (n == 0) {
        std::snprintf(failure_text, sizeof failure_text, "Winsock error %d", code);
        return;
    }
    size_t end = n < sizeof failure_text ? n : sizeof failure_text - 1;
    while (end > 0 && (failure_text[end - 1] == '\r' || failure_text[end - 1] == '\n' ||
                       failure_text[end - 1] == ' ' || failure_text[end - 1] == '.')) {
        --end;
    }
    failure_text[end] = '\0';
}

int64_t now_ms() {
    return static_cast<int64_t>(plat_SystemClock()->now_us() / 1000);
}

// Waits until the socket is readable (`write` false) or writable, or failed,
// until `deadline_ms`: the select result.
int wait_for(bool write, int64_t deadline_ms) {
    const int64_t left = deadline_ms - now_ms();
    timeval limit{};
    if (left > 0) {
        limit.tv_sec = static_cast<long>(left / 1000);
        limit.tv_usec = static_cast<long>(left % 1000) * 1000;
    }
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(sock, &ready);
    FD_SET(sock, &failed);
    return select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &limit);
}

// One address: 0 when connected, else the Winsock error of the failure.
int connect_one(const addrinfo* a, int64_t deadline_ms) {
    sock = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (sock == INVALID_SOCKET) {
        return WSAGetLastError();
    }
    u_long non_blocking = 1;
    ioctlsocket(sock, FIONBIO, &non_blocking);
    int error = 0;
    if (connect(sock, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            const int r = wait_for(true, deadline_ms);
            int size = sizeof error;
            if (r == 0) {
                error = WSAETIMEDOUT;
            } else if (r < 0 || getsockopt(sock, SOL_SOCKET, SO_ERROR,
                                           reinterpret_cast<char*>(&error), &size) != 0) {
                error = WSAGetLastError();
            }
        }
    }
    if (error != 0) {
        closesocket(sock);
        sock = INVALID_SOCKET;
        return error;
    }
    const BOOL on = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return 0;
}

} // namespace

NetConnectFailure netsock_Connect(const char* host, uint16_t port, uint32_t timeout_ms) {
    netsock_Close();
    failure_text[0] = '\0';
    if (!started) {
        WSADATA data;
        const int error = WSAStartup(MAKEWORD(2, 2), &data);
        if (error != 0) {
            note_error(error);
            return NetConnectFailure::OTHER;
        }
        started = true;
    }
    const int64_t deadline = now_ms() + timeout_ms;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* list = nullptr;
    // The lookup counts against the same time-out as the connection.
    const int resolved = netresolve_Lookup(host, service, &hints, timeout_ms, &list);
    if (resolved == NETRESOLVE_NO_HELPER) {
        note_error(static_cast<int>(GetLastError()));
        return NetConnectFailure::NO_LOOKUP;
    }
    if (resolved != 0) {
        note_error(resolved);
        return NetConnectFailure::HOST;
    }
    int error = 0;
    bool refused_only = true;
    for (const addrinfo* a = list; a != nullptr && now_ms() < deadline; a = a->ai_next) {
        error = connect_one(a, deadline);
        if (error == 0) {
            break;
        }
        refused_only = refused_only && error == WSAECONNREFUSED;
    }
    netresolve_Free(list);
    if (error == 0 && sock != INVALID_SOCKET) {
        return NetConnectFailure::NONE;
    }
    if (error == 0) {
        error = WSAETIMEDOUT;
    }
    note_error(error);
    if (error == WSAETIMEDOUT) {
        return NetConnectFailure::TIMEOUT;
    }
    return refused_only ? NetConnectFailure::REFUSED : NetConnectFailure::OTHER;
}

const char* netsock_FailureText() {
    return failure_text;
}

int32_t netsock_Receive(uint8_t* buf, uint32_t max) {
    if (sock == INVALID_SOCKET) {
        return -1;
    }
    const int got = recv(sock, reinterpret_cast<char*>(buf), static_cast<int>(max), 0);
    if (got > 0) {
        return got;
    }
    if (got == 0) {
        failure_text[0] = '\0';
        return -1;
    }
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        return 0;
    }
    // A reset is the server closing without reading what it was sent.
    if (error == WSAECONNRESET) {
        failure_text[0] = '\0';
    } else {
        note_error(error);
    }
    return -1;
}

bool netsock_Send(const uint8_t* buf, uint32_t len, uint32_t timeout_ms) {
    if (sock == INVALID_SOCKET) {
        return false;
    }
    const int64_t deadline = now_ms() + timeout_ms;
    uint32_t done = 0;
    while (done < len) {
        const int put =
            send(sock, reinterpret_cast<const char*>(buf + done), static_cast<int>(len - done), 0);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        const int error = WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAECONNABORTED) {
            failure_text[0] = '\0'; // the server has closed the connection
            return false;
        }
        if (error != WSAEWOULDBLOCK) {
            note_error(error);
            return false;
        }
        if (wait_for(true, deadline) <= 0) {
            note_error(WSAETIMEDOUT);
            return false;
        }
    }
    return true;
}

bool netsock_WaitReadable(uint32_t timeout_us) {
    if (sock == INVALID_SOCKET) {
        return false;
    }
    timeval limit{static_cast<long>(timeout_us / 1'000'000),
                  static_cast<long>(timeout_us % 1'000'000)};
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(sock, &ready);
    return select(0, &ready, nullptr, nullptr, &limit) > 0;
}

void netsock_Close() {
    if (sock != INVALID_SOCKET) {
        closesocket(sock);
        sock = INVALID_SOCKET;
    }
}
