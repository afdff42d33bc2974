// Systems without a low-latency setting for serial drivers.
#include "serial_posix_low_latency.h"

bool com_LowLatencyIsOff(int) {
    return false;
}

void com_RequestLowLatency(int) {}

void com_UndoLowLatency(int) {}
