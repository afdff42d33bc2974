#pragma once
// The driver's low-latency setting: received bytes handed over at once
// instead of batched (USB serial adapters otherwise hold short replies for
// up to 16 ms). A port is given it for the run and gets back what it had.
// Where the system has no such setting these do nothing; a refusal is
// ignored and never changes the OS error the program reports.

// True when the setting exists on `fd` and is off: only then does
// com_RequestLowLatency change anything, and com_UndoLowLatency have
// something to put back. False where it cannot be read or is already on.
bool com_LowLatencyIsOff(int fd);

// Turns the setting on.
void com_RequestLowLatency(int fd);

// Turns the setting off again. Async-signal-safe (ioctl calls only).
void com_UndoLowLatency(int fd);
