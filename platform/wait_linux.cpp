// Linux: each primitive is one system call.
#include "platform_wait.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

int64_t plat_MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

void plat_SleepUntilNs(int64_t deadline_ns) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline_ns / 1'000'000'000LL);
    until.tv_nsec = static_cast<long>(deadline_ns % 1'000'000'000LL);
    // An absolute deadline, so a signal that interrupts the sleep does not
    // lengthen it when the sleep resumes.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int plat_PollUs(int fd, short events, uint32_t max_us, short* revents) {
    pollfd p{fd, events, 0};
    const timespec limit{static_cast<time_t>(max_us / 1'000'000u),
                         static_cast<long>(max_us % 1'000'000u) * 1000L};
    const int ready = ppoll(&p, 1, &limit, nullptr);
    *revents = ready > 0 ? p.revents : 0;
    return ready;
}

int plat_SocketCloexec(int family, int type, int protocol) {
    return socket(family, type | SOCK_CLOEXEC, protocol);
}
