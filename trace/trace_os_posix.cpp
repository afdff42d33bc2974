// The trace's file, clock and platform name on POSIX systems.
#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

intptr_t trace_OsOpen(const char* path, char* error, uint32_t error_cap) {
    if (std::strcmp(path, "-") == 0) {
        return STDERR_FILENO;
    }
    // O_APPEND: each line lands whole at the end even when several runs
    // share one file. Not inherited by anything the run starts.
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::snprintf(error, error_cap, "%s", std::strerror(errno));
        return -1;
    }
    return fd;
}

void trace_OsWrite(intptr_t handle, const char* text, uint32_t length) {
    const int fd = static_cast<int>(handle);
    while (length > 0) {
        const ssize_t put = write(fd, text, length);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            // A full disk loses trace lines, never the flash.
            return;
        }
        text += put;
        length -= static_cast<uint32_t>(put);
    }
}

uint64_t trace_OsMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void trace_OsPlatform(char* out, uint32_t cap) {
    utsname name{};
    if (uname(&name) == 0) {
        std::snprintf(out, cap, "%s %s %s", name.sysname, name.release, name.machine);
    } else {
        std::snprintf(out, cap, "POSIX");
    }
}

void trace_OsComplain(const char* text, uint32_t length) {
    trace_OsWrite(STDERR_FILENO, text, length);
}
