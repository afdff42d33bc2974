// Linux: ASYNC_LOW_LATENCY through TIOCGSERIAL/TIOCSSERIAL. Pseudo-terminals
// and some USB drivers refuse the request; the port works without it.
#include "serial_posix_low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

void com_RequestLowLatency(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return;
    }
    info.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
}
