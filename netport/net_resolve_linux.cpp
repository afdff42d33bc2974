// glibc: getaddrinfo_a resolves on the library's own thread, and
// gai_suspend waits for it with a time-out.
#include "net_resolve.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <netdb.h>

namespace {

// The request outlives a lookup that was given up on and not cancelled:
// the library still writes into it until it finishes.
gaicb request{};
gaicb* requests[1] = {&request};
bool started = false;
// getaddrinfo_a keeps pointers to these, not copies.
char name[256];
char port[8];
addrinfo wanted{};

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

} // namespace

int netresolve_Lookup(const char* host, const char* service, const addrinfo* hints,
                      uint32_t timeout_ms, addrinfo** out) {
    *out = nullptr;
    if (started) {
        if (gai_error(&request) == EAI_INPROGRESS) {
            return EAI_AGAIN;
        }
        // A lookup given up on that has finished since: its answer is unused.
        if (request.ar_result != nullptr) {
            freeaddrinfo(request.ar_result);
        }
        started = false;
    }
    if (std::snprintf(name, sizeof name, "%s", host) >= static_cast<int>(sizeof name) ||
        std::snprintf(port, sizeof port, "%s", service) >= static_cast<int>(sizeof port)) {
        return EAI_NONAME;
    }
    wanted = *hints;
    request = gaicb{};
    request.ar_name = name;
    request.ar_service = port;
    request.ar_request = &wanted;
    const int queued = getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr);
    if (queued != 0) {
        return queued;
    }
    started = true;
    const int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        const int error = gai_error(&request);
        if (error != EAI_INPROGRESS) {
            started = false;
            *out = request.ar_result;
            request.ar_result = nullptr;
            return error;
        }
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            const int cancelled = gai_cancel(&request);
            if (cancelled == EAI_ALLDONE) {
                continue; // it finished meanwhile: its answer is used
            }
            // Left running when it cannot be cancelled; the next lookup
            // releases its answer.
            if (cancelled == EAI_CANCELED) {
                started = false;
            }
            return EAI_AGAIN;
        }
        const timespec limit{static_cast<time_t>(left / 1000),
                             static_cast<long>(left % 1000) * 1'000'000L};
        gai_suspend(requests, 1, &limit);
    }
}

void netresolve_Free(addrinfo* list) {
    if (list != nullptr) {
        freeaddrinfo(list);
    }
}
