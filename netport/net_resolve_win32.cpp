// Windows: getaddrinfo on a helper thread that owns the lookup's state in
// static storage (the tool's own code allocates nothing), while the caller
// waits on an event for at most the time left.
#include "net_resolve.h"

// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

enum State : uint8_t { IDLE, RUNNING, ABANDONED, DONE };

// One lookup at a time: the helper owns everything here while RUNNING or
// ABANDONED, the caller otherwise.
std::atomic<uint8_t> state{IDLE};
char name[256];
char port[8];
addrinfo wanted{};
addrinfo* answer = nullptr;
int answer_code = 0;
HANDLE done_event = nullptr; // auto-reset, set by the helper when it hands over

DWORD WINAPI resolve(LPVOID) {
    answer_code = getaddrinfo(name, port, &wanted, &answer);
    uint8_t expected = RUNNING;
    if (state.compare_exchange_strong(expected, DONE)) {
        SetEvent(done_event);
        return 0;
    }
    // The caller gave up on this lookup: nobody will take its answer.
    if (answer_code == 0) {
        freeaddrinfo(answer);
    }
    answer = nullptr;
    state.store(IDLE);
    return 0;
}

} // namespace

int netresolve_Lookup(const char* host, const char* service, const addrinfo* hints,
                      uint32_t timeout_ms, addrinfo** out) {
    *out = nullptr;
    // An address needs no lookup, so neither a helper nor a wait.
    addrinfo numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    const int literal = getaddrinfo(host, service, &numeric, out);
    if (literal != EAI_NONAME) {
        return literal;
    }
    *out = nullptr;
    if (state.load() != IDLE) {
        return EAI_AGAIN; // an earlier lookup given up on still runs
    }
    if (std::snprintf(name, sizeof name, "%s", host) >= static_cast<int>(sizeof name) ||
        std::snprintf(port, sizeof port, "%s", service) >= static_cast<int>(sizeof port)) {
        return EAI_NONAME;
    }
    if (done_event == nullptr) {
        done_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    HANDLE helper = nullptr;
    if (done_event != nullptr) {
        ResetEvent(done_event);
        wanted = *hints;
        answer = nullptr;
        answer_code = 0;
        state.store(RUNNING);
        helper = CreateThread(nullptr, 0, resolve, nullptr, 0, nullptr);
    }
    if (helper == nullptr) {
        state.store(IDLE);
        return NETRESOLVE_NO_HELPER;
    }
    CloseHandle(helper); // the thread runs on by itself
    WaitForSingleObject(done_event, timeout_ms);
    uint8_t expected = RUNNING;
    if (state.compare_exchange_strong(expected, ABANDONED)) {
        return EAI_AGAIN;
    }
    // DONE: the helper has handed over and touches nothing any more.
    *out = answer;
    answer = nullptr;
    const int code = answer_code;
    state.store(IDLE);
    return code;
}

void netresolve_Free(addrinfo* list) {
    if (list != nullptr) {
        freeaddrinfo(list);
    }
}
