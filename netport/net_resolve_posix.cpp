// getaddrinfo on a detached helper thread that owns the lookup's state in
// static storage (the tool's own code allocates nothing), while the caller
// looks at the lookup's state every millisecond until the deadline. No
// pipe or condition variable: the wait costs no descriptor (a run under a
// tight descriptor limit keeps them for the lookup, the socket and the
// file), and a monotonic deadline for pthread_cond_timedwait is not
// available everywhere (macOS lacks pthread_condattr_setclock).
#include "net_resolve.h"
#include "platform_wait.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>

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
// Ample for getaddrinfo and the name service modules it loads.
constexpr size_t HELPER_STACK_SIZE = 512 * 1024;
// How often the caller looks whether the helper has finished.
constexpr int64_t LOOK_EVERY_NS = 1'000'000;

void* resolve(void*) {
    answer_code = getaddrinfo(name, port, &wanted, &answer);
    uint8_t expected = RUNNING;
    if (state.compare_exchange_strong(expected, DONE)) {
        return nullptr;
    }
    // The caller gave up on this lookup: nobody will take its answer.
    if (answer_code == 0) {
        freeaddrinfo(answer);
    }
    answer = nullptr;
    state.store(IDLE);
    return nullptr;
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
    wanted = *hints;
    answer = nullptr;
    answer_code = 0;
    state.store(RUNNING);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Its own stack size, not the process's stack limit (a run under a
    // small `ulimit -s` would give the lookup too little).
    pthread_attr_setstacksize(&attributes, HELPER_STACK_SIZE);
    // Signals go to the main thread, whose handler has its own stack for a
    // crash; the helper starts with every signal blocked.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t helper;
    const int created = pthread_create(&helper, &attributes, resolve, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        state.store(IDLE);
        errno = created;
        return NETRESOLVE_NO_HELPER;
    }

    const int64_t deadline_ns = plat_MonotonicNs() + int64_t{timeout_ms} * 1'000'000;
    for (int64_t now = plat_MonotonicNs(); state.load() == RUNNING && now < deadline_ns;
         now = plat_MonotonicNs()) {
        plat_SleepUntilNs(std::min(now + LOOK_EVERY_NS, deadline_ns));
    }
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
