// The report's clock, file identity and signal names on POSIX systems.
#include "report.h"

#include <csignal>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void Digits(char* out, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// One file or device: the same inode, or the same character device under
// another node (a port has more than one where a system makes aliases).
bool Same(const struct stat& a, const struct stat& b) {
    if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
        return true;
    }
    return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
}

} // namespace

void report_OsUtcNow(char out[32]) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    // 2026-12-09T09:52:48.123Z
    Digits(out, static_cast<unsigned>(utc.tm_year + 1900), 4);
    out[4] = '-';
    Digits(out + 5, static_cast<unsigned>(utc.tm_mon + 1), 2);
    out[7] = '-';
    Digits(out + 8, static_cast<unsigned>(utc.tm_mday), 2);
    out[10] = 'T';
    Digits(out + 11, static_cast<unsigned>(utc.tm_hour), 2);
    out[13] = ':';
    Digits(out + 14, static_cast<unsigned>(utc.tm_min), 2);
    out[16] = ':';
    Digits(out + 17, static_cast<unsigned>(utc.tm_sec), 2);
    out[19] = '.';
    Digits(out + 20, static_cast<unsigned>(now.tv_nsec / 1000000), 3);
    out[23] = 'Z';
    out[24] = '\0';
}

bool report_OsSameFile(intptr_t handle, const char* path, const char* port) {
    struct stat report_file {};
    struct stat port_file {};
    const int got =
        handle >= 0 ? fstat(static_cast<int>(handle), &report_file) : stat(path, &report_file);
    return got == 0 && stat(port, &port_file) == 0 && Same(report_file, port_file);
}

void report_OsHostName(char* out, uint32_t cap) {
    if (gethostname(out, cap) != 0) {
        out[0] = '\0';
    }
    out[cap - 1] = '\0';
}

void report_OsClose(intptr_t handle) {
    close(static_cast<int>(handle));
}

bool report_OsIsStandardError(intptr_t handle) {
    return handle == STDERR_FILENO;
}

const char* report_OsSignalName(int signal_number) {
    switch (signal_number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGALRM:
        return "SIGALRM";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGUSR2:
        return "SIGUSR2";
    case SIGPIPE:
        return "SIGPIPE";
    default:
        return nullptr;
    }
}
