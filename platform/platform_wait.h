#pragma once
// The few descriptor and time primitives of the POSIX ports whose best form
// is not shared by every POSIX system: wait_linux.cpp uses ppoll, an
// absolute clock_nanosleep and SOCK_CLOEXEC; wait_posix.cpp builds the same
// promises from what POSIX.1-2008 and the BSDs share (pselect, nanosleep,
// fcntl). CMake picks one. Both keep microsecond precision: the port's wait
// decides how soon a reply is read. POSIX builds only.

#include <cstdint>

// CLOCK_MONOTONIC in nanoseconds.
int64_t plat_MonotonicNs();

// Sleeps until plat_MonotonicNs() reaches `deadline_ns`; returns at once
// when it has passed. A signal neither shortens nor lengthens the sleep.
void plat_SleepUntilNs(int64_t deadline_ns);

// Waits until `fd` is ready for `events` (POLLIN and/or POLLOUT) or `max_us`
// microseconds have passed. Returns as poll(2) does for one descriptor: 1
// with *revents set (POLLHUP, POLLERR or POLLNVAL included when the
// descriptor has hung up or failed), 0 when the time ran out, -1 with errno
// on failure (EINTR when a signal cut the wait short). Prints nothing.
int plat_PollUs(int fd, short events, uint32_t max_us, short* revents);

// socket(2) whose descriptor is closed on exec; -1 with errno on failure.
int plat_SocketCloexec(int family, int type, int protocol);
