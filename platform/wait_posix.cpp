// Any POSIX.1-2008 system (the BSDs and macOS included): pselect for a
// microsecond wait, since poll counts whole milliseconds; relative
// nanosleeps against the monotonic clock; FD_CLOEXEC set after socket().
#include "platform_wait.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

int64_t plat_MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

void plat_SleepUntilNs(int64_t deadline_ns) {
    // The rest is measured again after each interruption, so that a signal
    // does not lengthen the sleep.
    for (int64_t left = deadline_ns - plat_MonotonicNs(); left > 0;
         left = deadline_ns - plat_MonotonicNs()) {
        const timespec rest{static_cast<time_t>(left / 1'000'000'000LL),
                            static_cast<long>(left % 1'000'000'000LL)};
        if (nanosleep(&rest, nullptr) == 0) {
            return;
        }
        if (errno != EINTR) {
            return;
        }
    }
}

int plat_PollUs(int fd, short events, uint32_t max_us, short* revents) {
    *revents = 0;
    if (fd < 0 || fd >= FD_SETSIZE) {
        // Beyond what an fd_set holds: poll, with the time rounded up to
        // whole milliseconds so that it never returns before it was asked to.
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, static_cast<int>((max_us + 999u) / 1000u));
        *revents = ready > 0 ? p.revents : 0;
        return ready;
    }
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    if ((events & POLLIN) != 0) {
        FD_SET(fd, &readable);
    }
    if ((events & POLLOUT) != 0) {
        FD_SET(fd, &writable);
    }
    const timespec limit{static_cast<time_t>(max_us / 1'000'000u),
                         static_cast<long>(max_us % 1'000'000u) * 1000L};
    const int ready = pselect(fd + 1, &readable, &writable, nullptr, &limit, nullptr);
    if (ready <= 0) {
        return ready;
    }
    // select reports a hung-up or failed descriptor as ready; a poll that
    // does not wait tells which it is, as ppoll would have. macOS's poll
    // serves no devices (a terminal gets POLLNVAL): select's answer stands.
    pollfd p{fd, events, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & POLLNVAL) == 0) {
        *revents = p.revents;
    } else {
        *revents = static_cast<short>((FD_ISSET(fd, &readable) ? POLLIN : 0) |
                                      (FD_ISSET(fd, &writable) ? POLLOUT : 0));
    }
    return 1;
}

int plat_SocketCloexec(int family, int type, int protocol) {
    const int fd = socket(family, type, protocol);
    if (fd >= 0 && fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
