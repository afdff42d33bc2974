// The network port's TCP connection on POSIX systems.
#include "net_socket.h"

#include "net_resolve.h"
#include "platform_clock.h"
#include "platform_wait.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int sock = -1;
char failure_text[128] = "";

void note(const char* text) {
    std::snprintf(failure_text, sizeof failure_text, "%s", text);
}

int64_t now_ms() {
    return static_cast<int64_t>(plat_SystemClock()->now_us() / 1000);
}

// Waits for `events` on the socket until `deadline_ms`; the poll result.
int wait_for(short events, int64_t deadline_ms) {
    for (;;) {
        const int64_t left = deadline_ms - now_ms();
        pollfd p{sock, events, 0};
        const int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r >= 0 || errno != EINTR) {
            return r;
        }
    }
}

// One address: 0 when connected, else the errno of the failure.
int connect_one(const addrinfo* a, int64_t deadline_ms) {
    sock = plat_SocketCloexec(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (sock < 0) {
        return errno;
    }
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    int error = 0;
    if (connect(sock, a->ai_addr, a->ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            const int r = wait_for(POLLOUT, deadline_ms);
            socklen_t size = sizeof error;
            if (r == 0) {
                error = ETIMEDOUT;
            } else if (r < 0 || getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        close(sock);
        sock = -1;
        return error;
    }
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return 0;
}

} // namespace

NetConnectFailure netsock_Connect(const char* host, uint16_t port, uint32_t timeout_ms) {
    netsock_Close();
    failure_text[0] = '\0';
    const int64_t deadline = now_ms() + timeout_ms;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* list = nullptr;
    // The lookup counts against the same time-out as the connection.
    const int resolved = netresolve_Lookup(host, service, &hints, timeout_ms, &list);
    if (resolved == NETRESOLVE_NO_HELPER) {
        note(std::strerror(errno));
        return NetConnectFailure::NO_LOOKUP;
    }
    if (resolved != 0) {
        note(resolved == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(resolved));
        return NetConnectFailure::HOST;
    }
    int error = 0;
    bool refused_only = true;
    for (const addrinfo* a = list; a != nullptr && now_ms() < deadline; a = a->ai_next) {
        error = connect_one(a, deadline);
        if (error == 0) {
            break;
        }
        refused_only = refused_only && error == ECONNREFUSED;
    }
    netresolve_Free(list);
    if (error == 0 && sock >= 0) {
        return NetConnectFailure::NONE;
    }
    if (error == 0) {
        error = ETIMEDOUT; // the time ran out before any address was tried
    }
    note(std::strerror(error));
    if (error == ETIMEDOUT) {
        return NetConnectFailure::TIMEOUT;
    }
    return refused_only ? NetConnectFailure::REFUSED : NetConnectFailure::OTHER;
}

const char* netsock_FailureText() {
    return failure_text;
}

int32_t netsock_Receive(uint8_t* buf, uint32_t max) {
    if (sock < 0) {
        return -1;
    }
    for (;;) {
        const ssize_t got = recv(sock, buf, max, 0);
        if (got > 0) {
            return static_cast<int32_t>(got);
        }
        // A reset is the server closing without reading what it was sent.
        if (got == 0 || errno == ECONNRESET) {
            note("");
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        note(std::strerror(errno));
        return -1;
    }
}

bool netsock_Send(const uint8_t* buf, uint32_t len, uint32_t timeout_ms) {
    if (sock < 0) {
        return false;
    }
    const int64_t deadline = now_ms() + timeout_ms;
    uint32_t done = 0;
    while (done < len) {
        // MSG_NOSIGNAL: a closed connection is a failed send, not a SIGPIPE.
        const ssize_t put = send(sock, buf + done, len - done, MSG_NOSIGNAL);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            note(""); // the server has closed the connection
            return false;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            note(std::strerror(errno));
            return false;
        }
        if (wait_for(POLLOUT, deadline) <= 0) {
            note(std::strerror(ETIMEDOUT));
            return false;
        }
    }
    return true;
}

bool netsock_WaitReadable(uint32_t timeout_us) {
    if (sock < 0) {
        return false;
    }
    short revents = 0;
    // An interrupted wait returns early, which the contract allows.
    return plat_PollUs(sock, POLLIN, timeout_us, &revents) > 0;
}

void netsock_Close() {
    if (sock >= 0) {
        close(sock);
        sock = -1;
    }
}
