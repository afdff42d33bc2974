// macOS: the serial driver's receive latency (the IOSSDATALAT ioctl), in
// microseconds, 0 asking for the driver's default. The setting cannot be
// read back, so a port is taken to have the default and gets it back at the
// end.
#include "serial_posix_low_latency.h"

#include <sys/ioctl.h>

namespace {

// IOSSDATALAT from IOKit/serial/ioss.h, which the cross toolchain lacks:
// the documented request number.
constexpr unsigned long DATA_LATENCY_REQUEST = _IOW('T', 0, unsigned long);
// Bytes handed over as they arrive.
constexpr unsigned long LOWEST_LATENCY_US = 1;
constexpr unsigned long DRIVER_DEFAULT_LATENCY = 0;

void set_latency(int fd, unsigned long us) {
    ioctl(fd, DATA_LATENCY_REQUEST, &us);
}

} // namespace

bool com_LowLatencyIsOff(int) {
    return true;
}

void com_RequestLowLatency(int fd) {
    set_latency(fd, LOWEST_LATENCY_US);
}

void com_UndoLowLatency(int fd) {
    set_latency(fd, DRIVER_DEFAULT_LATENCY);
}
