// Linux: ASYNC_LOW_LATENCY through TIOCGSERIAL/TIOCSSERIAL. Pseudo-terminals
// and some USB drivers refuse the request; the port works without it. On
// ftdi_sio the flag also sets the adapter's latency timer to 1 ms, and
// clearing it puts back the timer the driver had.
#include "serial_posix_low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

// Sets or clears the flag, leaving every other field as the driver reported it.
void set_low_latency(int fd, bool on) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return;
    }
    if (on) {
        info.flags |= ASYNC_LOW_LATENCY;
    } else {
        info.flags &= ~ASYNC_LOW_LATENCY;
    }
    ioctl(fd, TIOCSSERIAL, &info);
}

} // namespace

bool com_LowLatencyIsOff(int fd) {
    serial_struct info{};
    return ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0;
}

void com_RequestLowLatency(int fd) {
    set_low_latency(fd, true);
}

void com_UndoLowLatency(int fd) {
    set_low_latency(fd, false);
}
