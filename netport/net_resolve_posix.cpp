// Any POSIX system: getaddrinfo on a detached helper thread that owns the
// lookup's state in static storage (the tool's own code allocates nothing),
// while the caller waits on a pipe the thread writes one byte to when done.
// A pipe rather than a condition variable, because a monotonic deadline for
// pthread_cond_timedwait is not available everywhere (macOS lacks
// pthread_condattr_setclock).
#include "net_resolve.h"
#include "platform_wait.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

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
int wake[2] = {-1, -1}; // read end, write end

void* resolve(void*) {
    answer_code = getaddrinfo(name, port, &wanted, &answer);
    uint8_t expected = RUNNING;
    if (state.compare_exchange_strong(expected, DONE)) {
        const char done = 1;
        while (write(wake[1], &done, 1) < 0 && errno == EINTR) {
        }
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

bool make_pipe() {
    if (wake[0] >= 0) {
        return true;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    for (const int fd : fds) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    wake[0] = fds[0];
    wake[1] = fds[1];
    return true;
}

void drain_pipe() {
    char sink[8];
    while (read(wake[0], sink, sizeof sink) > 0) {
    }
}

} // namespace

int netresolve_Lookup(const char* host, const char* service, const addrinfo* hints,
                      uint32_t timeout_ms, addrinfo** out) {
    *out = nullptr;
    if (state.load() != IDLE) {
        return EAI_AGAIN; // an earlier lookup given up on still runs
    }
    if (std::snprintf(name, sizeof name, "%s", host) >= static_cast<int>(sizeof name) ||
        std::snprintf(port, sizeof port, "%s", service) >= static_cast<int>(sizeof port)) {
        return EAI_NONAME;
    }
    if (!make_pipe()) {
        return EAI_SYSTEM;
    }
    drain_pipe();
    wanted = *hints;
    answer = nullptr;
    answer_code = 0;
    state.store(RUNNING);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t helper;
    const int created = pthread_create(&helper, &attributes, resolve, nullptr);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        // No thread to spare: the lookup runs here, unbounded, as it would
        // without a helper.
        state.store(IDLE);
        return getaddrinfo(host, service, hints, out);
    }

    const int64_t deadline_ns = plat_MonotonicNs() + int64_t{timeout_ms} * 1'000'000;
    while (state.load() == RUNNING) {
        const int64_t left_ns = deadline_ns - plat_MonotonicNs();
        if (left_ns <= 0) {
            break;
        }
        short revents = 0;
        plat_PollUs(wake[0], POLLIN, static_cast<uint32_t>((left_ns + 999) / 1000), &revents);
    }
    uint8_t expected = RUNNING;
    if (state.compare_exchange_strong(expected, ABANDONED)) {
        return EAI_AGAIN;
    }
    // DONE: the helper has handed over and touches nothing any more.
    drain_pipe();
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
