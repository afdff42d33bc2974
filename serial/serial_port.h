#pragma once
// The serial port: one port per run, opened with fixed line settings
// (115200 baud, 8 data bits, even parity, 1 stop bit, no flow control),
// with a non-blocking byte read served from a read-ahead buffer and a byte
// write collected in a buffer that goes out when full or on com_Flush.
//
// The buffering lives in serial_port.cpp and is the same on every platform;
// the operating-system calls sit behind ComPortOps, implemented once per
// platform (serial_posix.cpp, serial_win32.cpp) and replaceable in tests.

#include <cstdint>

// Output is written in one piece when this many bytes are buffered.
inline constexpr uint16_t COM_TX_BUFFER_SIZE = 256;
// One read fetches at most this many bytes (the 8-bit read index and fill
// count must never reach 256).
inline constexpr uint16_t COM_RX_READ_MAX = 254;

// The operating-system side of the port.
struct ComPortOps {
    // Open and configure the named port. False when it cannot be opened (or,
    // on POSIX, is not a serial device or is in use); records the OS error.
    bool (*open)(const char* name);
    // Read what has arrived, at most `max` bytes, without waiting.
    // Returns the count, 0 when nothing is there or on error.
    uint32_t (*read)(uint8_t* buf, uint32_t max);
    // Write `len` bytes synchronously: returns when they have gone out (or
    // the 10 s write time-out expired). Errors are not reported.
    void (*write)(const uint8_t* buf, uint32_t len);
    // Discard everything queued in the OS input and output queues.
    void (*purge)();
    // Release the port (tests only: the program never closes its port).
    void (*close)();
    // Wait until input has arrived or `max_us` microseconds have passed,
    // whichever comes first. True when input may be there (the next read may
    // still find none), false when the time ran out. May return sooner than
    // asked (a signal, a platform whose waits are coarser) and may take up to
    // one platform wait step longer (Windows: a whole millisecond), but never
    // blocks indefinitely, also when the port is gone. A port that holds
    // bytes it has read ahead answers true at once. Prints nothing.
    bool (*wait)(uint32_t max_us);
};

// The platform's implementation. Never null.
const ComPortOps* com_PlatformOps();

// Replace the port operations (nullptr restores the platform's) and empty
// both buffers. Tests use it to put an in-memory line behind the module.
void com_SetOps(const ComPortOps* ops);

// Opens and configures the port `name`, exactly as typed (Windows: a bare
// COMn gets the \\.\ device prefix). A name starting rfc2217:// or
// socket:// is a line behind a network server (serial_net.h); any other is a
// local port. Returns false only when the port cannot be opened. Prints
// nothing for a local port; a network port prints its reason line.
bool com_Open(const char* name);

// How long after a write its answer can still be on its way beyond the
// write's own air time, in ms: the round trip of a network port, 0 on a
// local port (and under com_SetOps).
uint32_t com_AnswerAllowanceMs();

// Delivers the next received byte into *b and returns true, or returns
// false (leaving *b alone) when nothing has arrived. Never waits.
bool com_GetByte(uint8_t* b);

// Appends one byte to the transmit buffer; the 256th byte writes the whole
// buffer at once.
void com_PutByte(uint8_t b);

// Returns true at once when received bytes wait in the read-ahead buffer;
// otherwise waits through ComPortOps::wait until input arrives or `max_us`
// have passed and returns its answer. Never consumes a byte.
bool com_Wait(uint32_t max_us);

// Writes whatever the transmit buffer holds in one synchronous write and
// empties it. No write at all when it is empty. True when it wrote.
bool com_Flush();

// Empties both buffers, then discards the OS queues in both directions.
// Nothing pending is written.
void com_Purge();

// Releases the port (tests only).
void com_Close();
