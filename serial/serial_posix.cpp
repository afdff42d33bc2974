// The serial port on POSIX systems (termios). The same code serves a real
// UART, a USB adapter and the pseudo-terminal the virtual device uses.
#include "serial_backend.h"
#include "serial_posix_low_latency.h"
#include "serial_posix_settings.h"

#include "platform_error.h"
#include "platform_wait.h"
#include "trace.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int64_t WRITE_TIMEOUT_NS = int64_t{COM_WRITE_TIMEOUT_MS} * 1'000'000;

int port_fd = -1;
// The settings the port had before it was opened, put back on every way
// out; the exclusive flag is cleared with them, since it would otherwise
// outlive the process and lock out the next user of the port, and the
// low-latency setting is turned off again when the run turned it on.
termios original_settings{};
bool original_saved = false;
bool low_latency_set = false;
// The last wait reported input: a read that then finds none meets a
// hung-up port.
bool said_readable = false;

// Undoes what an open did to `fd`: original settings, low latency as it
// was, exclusive flag off. Only async-signal-safe calls.
void restore(int fd) {
    if (original_saved) {
        tcsetattr(fd, TCSANOW, &original_settings);
    }
    if (low_latency_set) {
        com_UndoLowLatency(fd);
    }
    ioctl(fd, TIOCNXCL);
}

// Records the failure of the call just made and releases the half-opened
// port, which nothing has changed yet.
bool give_up(int fd, int error) {
    plat_RecordError(error);
    close(fd);
    return false;
}

// What the driver holds after the settings were applied, as read back.
void trace_settings(int fd, bool settings_refused) {
    termios now{};
    if (tcgetattr(fd, &now) != 0) {
        return;
    }
    const bool b115200 = cfgetospeed(&now) == B115200 && cfgetispeed(&now) == B115200;
    const tcflag_t c = now.c_cflag;
    trace_Event(
        "port",
        "settings read back: %s, %s data bits, parity %s, %s stop bit%s, RTS/CTS %s, "
        "XON/XOFF %s, raw %s%s",
        b115200 ? "115200 baud" : "NOT 115200 baud", (c & CSIZE) == CS8 ? "8" : "not 8",
        (c & PARENB) ? ((c & PARODD) ? "odd" : "even") : "none", (c & CSTOPB) ? "2" : "1",
        (c & CSTOPB) ? "s" : "",
#ifdef CRTSCTS
        (c & CRTSCTS) ? "on" : "off",
#else
        "n/a",
#endif
        (now.c_iflag & (IXON | IXOFF)) ? "on" : "off", (now.c_lflag & ICANON) ? "no" : "yes",
        settings_refused ? " (the driver answered EINVAL, as pseudo-terminals do for parity)" : "");
}

// The terminal this process runs in, or the system console, is never the
// device: frames written there would land in a person's session and leave
// it raw. Compared by what the terminal is, not by the name typed, so that
// /dev/tty, a /dev/pts/N or a /dev/ttyN naming it are all refused.
bool is_users_terminal(int fd, const struct stat& info) {
    const pid_t session = tcgetsid(fd);
    if (session != -1 && session == getsid(0)) {
        return true;
    }
    for (const char* path : {"/dev/tty", "/dev/console"}) {
        struct stat other {};
        if (stat(path, &other) == 0 && S_ISCHR(other.st_mode) && other.st_rdev == info.st_rdev) {
            return true;
        }
    }
    return false;
}

// The errors of a device that is gone: a hung-up or unplugged terminal, a
// pseudo-terminal whose other side closed.
bool is_loss(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// A hung-up terminal fails every write with EIO, and a pseudo-terminal
// whose far end closed every read: the system's own word for a loss that a
// wait or a read saw first.
constexpr int HUNG_UP = EIO;

void report_loss(int error) {
    plat_RecordError(error);
    com_ReportLost(std::strerror(error));
}

void posix_close() {
    if (port_fd >= 0) {
        const int fd = port_fd;
        port_fd = -1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        restore(fd);
        close(fd);
        original_saved = false;
        low_latency_set = false;
        said_readable = false;
    }
}

// The reasons a port is refused with (com_ReportRefusal).
constexpr char NO_PERMISSION[] =
    "permission denied (on Linux, is the user in the port's group, usually dialout?)";
constexpr char IN_USE[] = "in use by another program";
constexpr char NO_DEVICE[] = "no such device";
constexpr char NOT_A_PORT[] = "not a serial port";
constexpr char NOT_CONFIGURABLE[] = "cannot be configured";
constexpr char OWN_TERMINAL[] = "the program's own terminal or the system console, not a device";

// A port whose configuration failed half-way: put back and released.
bool forget_port(int error) {
    plat_RecordError(error);
    com_ReportRefusal(NOT_CONFIGURABLE, std::strerror(error));
    posix_close();
    return false;
}

// What the open's own failure tells the user to check.
void report_open_failure(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        com_ReportRefusal(NO_PERMISSION);
        break;
    case EBUSY: // another program set the exclusive flag
        com_ReportRefusal(IN_USE);
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        com_ReportRefusal(NO_DEVICE);
        break;
    case EISDIR:
    case ENOTTY:
        com_ReportRefusal(NOT_A_PORT);
        break;
    default:
        com_ReportRefusal(std::strerror(error));
        break;
    }
}

// give_up with the reason said first.
bool refuse(int fd, int error, const char* reason, const char* detail = nullptr) {
    com_ReportRefusal(reason, detail);
    return give_up(fd, error);
}

// A local socket answers an open with "no such device" although it is
// there; a pseudo-terminal's master side (/dev/ptmx makes a new one) is a
// terminal nobody is at. Neither is a serial port.
bool is_socket(const char* name) {
    struct stat info {};
    return stat(name, &info) == 0 && S_ISSOCK(info.st_mode);
}
bool is_pty_master(int fd) {
    return ptsname(fd) != nullptr;
}

bool posix_open(const char* name) {
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno == ENXIO && is_socket(name) ? ENOTTY : errno;
        plat_RecordError(error);
        report_open_failure(error);
        return false;
    }
    // A regular file or anything else that is not a terminal is refused:
    // the link would otherwise write its frames into it.
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        return refuse(fd, error, std::strerror(error));
    }
    if (!S_ISCHR(info.st_mode) || !isatty(fd) || is_pty_master(fd)) {
        return refuse(fd, ENOTTY, NOT_A_PORT);
    }
    if (is_users_terminal(fd, info)) {
        return refuse(fd, EBUSY, OWN_TERMINAL);
    }
    // Exclusive use: flock stops a second tarnload even when run as root,
    // TIOCEXCL stops other programs that open the device without locking.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return error == EWOULDBLOCK ? refuse(fd, error, IN_USE)
                                    : refuse(fd, error, std::strerror(error));
    }
    termios original{};
    if (tcgetattr(fd, &original) != 0) {
        const int error = errno;
        return refuse(fd, error, NOT_CONFIGURABLE, std::strerror(error));
    }
    // The port is recorded before it is changed, so that a signal arriving
    // from here on finds what to put back.
    posix_close();
    original_settings = original;
    original_saved = true;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    port_fd = fd;

    // Raw settings first: until they apply, the driver's defaults echo what
    // the device sends back to it and hold it as a line of text.
    termios tio = original;
    com_MakeLineSettings(&tio);
    // A pseudo-terminal may answer EINVAL for the parity bits although it
    // applied the rest; a real UART accepts all of it. Success is therefore
    // never judged by reading the parity back.
    const bool settings_refused = tcsetattr(fd, TCSANOW, &tio) != 0;
    if (settings_refused && errno != EINVAL) {
        return forget_port(errno);
    }
    // Echoes the old settings made of what the device sent, not yet gone
    // out, belong to no frame of this run. What came in is kept: discarding
    // it could cut a frame the device is sending in two, and the link reads
    // past a damaged frame anyway.
    tcflush(fd, TCOFLUSH);
    if (ioctl(fd, TIOCEXCL) != 0) {
        return forget_port(errno);
    }
    if (com_LowLatencyIsOff(fd)) {
        low_latency_set = true;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        com_RequestLowLatency(fd);
    }
    if (trace_On()) {
        trace_settings(fd, settings_refused);
    }
    return true;
}

uint32_t posix_read(uint8_t* buf, uint32_t max) {
    const bool expected = said_readable;
    said_readable = false;
    if (port_fd < 0) {
        return 0;
    }
    const ssize_t got = read(port_fd, buf, max);
    if (got > 0) {
        return static_cast<uint32_t>(got);
    }
    // Nothing to read is 0 on a raw terminal too; only after the wait saw
    // input is it the end of file of a hung-up one.
    if (got == 0 && expected) {
        report_loss(HUNG_UP);
    } else if (got < 0 && is_loss(errno)) {
        report_loss(errno);
    } else if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        plat_RecordError(errno);
    }
    return 0;
}

// Returns when every byte is written and drained and their air time has
// passed since the write began: USB adapters report "drained" while their
// own FIFO still sends, and the link's retransmission rest must start after
// the frame has left, as it does on Windows. Bounded by the write time-out.
void posix_write(const uint8_t* buf, uint32_t len) {
    if (port_fd < 0) {
        return;
    }
    const int64_t start = plat_MonotonicNs();
    const int64_t deadline = start + WRITE_TIMEOUT_NS;
    uint32_t done = 0;
    while (done < len) {
        const ssize_t put = write(port_fd, buf + done, len - done);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && is_loss(errno)) {
            report_loss(errno);
            return;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            plat_RecordError(errno);
            return;
        }
        const int64_t left_ns = deadline - plat_MonotonicNs();
        if (left_ns <= 0) {
            plat_RecordError(ETIMEDOUT);
            return;
        }
        pollfd waiting{port_fd, POLLOUT, 0};
        const int left_ms = static_cast<int>((left_ns + 999'999) / 1'000'000);
        if (poll(&waiting, 1, left_ms) < 0 && errno != EINTR) {
            plat_RecordError(errno);
            return;
        }
    }
    if (tcdrain(port_fd) != 0) {
        if (is_loss(errno)) {
            report_loss(errno);
            return;
        }
        plat_RecordError(errno);
    }
    int64_t air_end = start + static_cast<int64_t>(static_cast<uint64_t>(len) * COM_BITS_PER_BYTE *
                                                   1'000'000'000ULL / COM_LINE_BAUD);
    if (air_end > deadline) {
        air_end = deadline;
    }
    if (air_end > plat_MonotonicNs()) {
        plat_SleepUntilNs(air_end);
    }
}

// poll() on the port: it returns at the first byte, so a reply is read the
// moment it has arrived. A hang-up or error (the other side closed, a USB
// adapter unplugged) is the port lost once nothing it sent before is left:
// it would report the descriptor ready on every call while reads find
// nothing.
bool posix_wait(uint32_t max_us) {
    const int64_t deadline = plat_MonotonicNs() + int64_t{max_us} * 1000;
    said_readable = false;
    if (port_fd < 0) {
        plat_SleepUntilNs(deadline);
        return false;
    }
    short revents = 0;
    const int ready = plat_PollUs(port_fd, POLLIN, max_us, &revents);
    if (ready > 0 && (revents & (POLLHUP | POLLERR)) != 0) {
        // What the device sent before it went is read first (a pseudo-
        // terminal keeps it; a hung-up terminal answers no ioctl).
        int queued = 0;
        if ((revents & POLLIN) != 0 && ioctl(port_fd, FIONREAD, &queued) == 0 && queued > 0) {
            said_readable = true;
            return true;
        }
        report_loss(HUNG_UP);
        return false;
    }
    if (ready > 0 && (revents & POLLNVAL) != 0) {
        plat_SleepUntilNs(deadline);
        return false;
    }
    said_readable = ready > 0;
    return said_readable;
}

void posix_purge() {
    said_readable = false;
    if (port_fd >= 0) {
        tcflush(port_fd, TCIOFLUSH);
    }
}

const ComPortOps posix_ops = {posix_open,  posix_read,  posix_write,
                              posix_purge, posix_close, posix_wait};

} // namespace

const ComPortOps* com_PlatformOps() {
    return &posix_ops;
}

void com_PlatformRestore() {
    if (port_fd >= 0) {
        restore(port_fd);
    }
}

// INPCK stays off: a byte with a parity error is delivered as it came and
// the frame CRC rejects it. PARMRK stays off because it would insert marker
// bytes into the frame stream.
void com_MakeLineSettings(termios* tio) {
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB);
#ifdef CRTSCTS
    tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio->c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
    cfsetispeed(tio, B115200);
    cfsetospeed(tio, B115200);
}
