// Systems without a low-latency setting for serial drivers.
#include "serial_posix_low_latency.h"

void com_RequestLowLatency(int) {}
