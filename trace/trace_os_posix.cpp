// The trace's file, clock and platform name on POSIX systems.
#include "trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// Waits until `fd` can take bytes or `deadline` (ms) has passed: true when
// it can (or the wait was interrupted: the caller tries again).
bool wait_for_room(int fd, bool forever, int64_t deadline) {
    const int64_t left = deadline - monotonic_ms();
    if (!forever && left <= 0) {
        return false;
    }
    pollfd room{fd, POLLOUT, 0};
    const int ready = poll(&room, 1, forever ? -1 : static_cast<int>(left));
    return ready > 0 || (ready < 0 && errno == EINTR);
}

// The error of the last failed write, when the file will take nothing more.
int write_ended = 0;

// Room for the folder part of a trace path; a longer path cannot be
// opened anyway (PATH_MAX).
constexpr size_t FOLDER_PATH_MAX = 4096;
char folder[FOLDER_PATH_MAX];

constexpr char PLANTED_LINK[] =
    "a symbolic link owned by another user in a shared folder (sticky, writable by all)";

// The rule careful programs follow for a link in a folder everyone may
// write to (/tmp): another user's link there may be a trap set for this
// one (a root run appending to a file of the attacker's choosing), so it
// is followed only when it belongs to this user or to the folder's owner.
// True when `path` (a link, as `link` says) may be followed.
bool may_follow(const char* path, const struct stat& link) {
    if (link.st_uid == geteuid()) {
        return true;
    }
    const char* slash = std::strrchr(path, '/');
    const size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
    if (length + 2 > sizeof folder) {
        return false;
    }
    if (slash == nullptr) {
        std::strcpy(folder, ".");
    } else if (length == 0) {
        std::strcpy(folder, "/");
    } else {
        std::memcpy(folder, path, length);
        folder[length] = '\0';
    }
    struct stat info {};
    if (stat(folder, &info) != 0) {
        return false;
    }
    const bool shared = (info.st_mode & S_ISVTX) != 0 && (info.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == info.st_uid;
}

} // namespace

// A pipe or FIFO takes a write of up to PIPE_BUF bytes whole or not at all
// (4096 on Linux, so every line; 512 on macOS and the BSDs, where a longer
// line may land in parts, which trace_OsWrite finishes).

const char* trace_OsEnvironment(const char* name) {
    return std::getenv(name);
}

intptr_t trace_OsOpen(const char* path, char* error, uint32_t error_cap) {
    if (std::strcmp(path, "-") == 0) {
        // Shared with whoever started the run: its blocking mode stays as
        // it is, and the writes look before they write instead.
        return STDERR_FILENO;
    }
    // O_APPEND: each line lands whole at the end even when several runs
    // share one file. O_NONBLOCK: neither a FIFO nobody reads nor a reader
    // that stops may hold up the flash. Not inherited by anything the run
    // starts, and never the run's controlling terminal.
    // A path that is no link when looked at must not become one before the
    // open (O_NOFOLLOW); a link is followed only by the rule above, and one
    // that passes it cannot be swapped by another user.
    struct stat link {};
    const bool is_link = lstat(path, &link) == 0 && S_ISLNK(link.st_mode);
    if (is_link && !may_follow(path, link)) {
        std::snprintf(error, error_cap, "%s", PLANTED_LINK);
        return -1;
    }
    const int fd = open(path,
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                            (is_link ? 0 : O_NOFOLLOW),
                        0644);
    if (fd < 0) {
        const int cause = errno;
        struct stat info {};
        if (cause == ELOOP && !is_link) {
            std::snprintf(error, error_cap, "%s", "it became a symbolic link while it was opened");
        } else if (cause == ENXIO && stat(path, &info) == 0 && S_ISFIFO(info.st_mode)) {
            std::snprintf(error, error_cap, "a FIFO with no reader");
        } else {
            std::snprintf(error, error_cap, "%s", std::strerror(cause));
        }
        return -1;
    }
    return fd;
}

bool trace_OsWrite(intptr_t handle, const char* text, uint32_t length, uint32_t wait_ms) {
    const int fd = static_cast<int>(handle);
    const bool forever = wait_ms == TRACE_WAIT_FOREVER;
    // Standard error keeps the blocking mode it came with, so it is asked
    // first; a file opened O_NONBLOCK answers for itself (and a pipe's poll
    // may say "full" while the write would still fit the line).
    const bool blocking_mode = fd == STDERR_FILENO && !forever;
    int64_t deadline = monotonic_ms() + (forever ? 0 : wait_ms);
    bool begun = false;
    while (length > 0) {
        if (blocking_mode) {
            pollfd room{fd, POLLOUT, 0};
            const int64_t left = deadline - monotonic_ms();
            const int ready = poll(&room, 1, static_cast<int>(left > 0 ? left : 0));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return false;
            }
        }
        const ssize_t put = write(fd, text, length);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_for_room(fd, forever, deadline)) {
                return false;
            }
            continue;
        }
        if (put <= 0) {
            // A full disk or a reader gone loses trace lines, never the flash;
            // a file at the size limit takes none ever again.
            if (put < 0 && errno == EFBIG) {
                write_ended = EFBIG;
            }
            return false;
        }
        // A line begun is finished if the file takes the rest soon, so
        // that the next line does not land in the middle of it.
        if (!begun && !forever) {
            deadline = std::max(deadline, monotonic_ms() + TRACE_REST_WAIT_MS);
        }
        begun = true;
        text += put;
        length -= static_cast<uint32_t>(put);
    }
    return true;
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
    trace_OsWrite(STDERR_FILENO, text, length, TRACE_END_WAIT_MS);
}

bool trace_OsWriteEnded(char* error, uint32_t error_cap) {
    if (write_ended == 0) {
        return false;
    }
    std::snprintf(error, error_cap, "%s", std::strerror(write_ended));
    return true;
}

void trace_OsClose(intptr_t handle) {
    if (handle >= 0 && handle != STDERR_FILENO) {
        close(static_cast<int>(handle));
    }
}
