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

// Longest reason printed for a lost port, with room for a NUL; a longer
// text is cut.
// Room for a network server's farewell text after the cause.
inline constexpr uint16_t COM_LOST_REASON_SIZE = 160;

// The operating-system side of the port.
//
// Port loss: a read or write that fails because the device is gone for
// good (a USB adapter unplugged, the far side of a pseudo-terminal closed,
// a network connection dropped) calls com_ReportLost with the reason
// before it returns. Every backend does so; the layers above then stop at
// once instead of retrying a port that cannot answer. Transient failures
// (nothing to read, a full queue) are never reported as a loss.
struct ComPortOps {
    // Open and configure the named port. False when it cannot be opened (or,
    // on POSIX, is not a serial device, is in use, or is the process's own
    // controlling terminal or the system console); records the OS error and
    // prints the reason through com_ReportRefusal (a network port: its own
    // "Network port: ..." line). Keeps the port's original settings for
    // `close` to put back.
    bool (*open)(const char* name);
    // Read what has arrived, at most `max` bytes, without waiting.
    // Returns the count, 0 when nothing is there or on error.
    uint32_t (*read)(uint8_t* buf, uint32_t max);
    // Write `len` bytes synchronously: returns when they have gone out (or
    // the 10 s write time-out expired). Errors other than a loss are not
    // reported.
    void (*write)(const uint8_t* buf, uint32_t len);
    // Discard everything queued in the OS input and output queues.
    void (*purge)();
    // Put back the port's original settings, give up exclusive use and
    // release it.
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
// Under com_SetOps, the answer allowance com_AnswerAllowanceMs reports: a
// network port's timing on an in-memory line (tests). com_SetOps sets 0.
void com_SetOpsAnswerAllowanceMs(uint32_t ms);

// A port reached by other means than the platform's local port (a line
// behind a network server, say), chosen by its name at com_Open. The local
// port knows nothing of any backend but this record.
struct ComBackend {
    // True when `name` is this backend's, whether or not the rest of it is
    // well formed: such a name is never opened as a local port.
    bool (*claims)(const char* name);
    const ComPortOps* ops;
    // The link's round-trip samples (com_AnswerArrived) and the answer
    // allowance (com_AnswerAllowanceMs) for a backend that needs them; both
    // null for one that does not, which then pays nothing for them.
    void (*round_trip_sample)(uint64_t us);
    uint32_t (*answer_allowance_ms)();
};

// Most backends a program registers.
inline constexpr uint8_t COM_BACKENDS_MAX = 4;

// Offers `backend` every name com_Open sees from now on, after the ones
// registered before it. A backend registered twice counts once. False when
// COM_BACKENDS_MAX are already registered. Not thread-safe: the program
// registers its backends before the first com_Open. Prints nothing.
bool com_AddBackend(const ComBackend* backend);

// Opens and configures the port `name`, exactly as typed (Windows: a bare
// COMn gets the \\.\ device prefix): through the first registered backend
// that claims the name, else as a local port. A `usb:` name is first
// resolved to the one local port it selects (serial_usb_name.h) and that
// port is opened instead. Returns false only when the port cannot be
// opened, after the backend's reason line: "Serial port: ..." for a local
// port (see com_ReportRefusal and com_ResolveUsbName); a backend prints what
// its own header says (a network port: "Network port: ...").
bool com_Open(const char* name);

// Prints why a local port cannot be used, on a line before the caller's
// summary: "Serial port: %s\n", or "Serial port: %s (%s)\n" when `detail`
// (the system's text) is given. The reasons the backends give:
//   permission denied (on Linux, is the user in the port's group, usually dialout?)
//   in use by another program
//   no such device
//   not a serial port
//   the program's own terminal or the system console, not a device
//   cannot be configured (<system's text>)
//   <the system's text>                   (any other failure of the open)
void com_ReportRefusal(const char* reason, const char* detail = nullptr);

// Round-trip samples from the link, as TCP takes them from its segments:
// com_ExpectAnswer when a frame that will be answered is complete in the
// transmit buffer (`first_copy` false for a copy sent again), and
// com_AnswerArrived when its answer came. The time from the end of the
// write that carried it to the answer is a sample for the answer allowance,
// unless a copy went out meanwhile (which copy was answered is unknown).
// Only a backend with a round_trip_sample uses them. Print nothing.
void com_ExpectAnswer(bool first_copy);
void com_AnswerArrived();

// How long after a write its answer can still be on its way beyond the
// write's own air time, in ms: the backend's answer_allowance_ms (a network
// port's round trip), 0 on a local port (under com_SetOps: what
// com_SetOpsAnswerAllowanceMs set).
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

// Puts back the port's original line settings (POSIX: termios; Windows: the
// device-control block and time-outs), clears exclusive use (TIOCNXCL) and
// releases the port. main calls it on every way out of a run. Prints
// nothing.
void com_Close();

// The platform port's own restore for a signal or console-control handler:
// puts back the original settings and clears exclusive use, without closing
// and without touching the buffers. Async-signal-safe on POSIX. Does
// nothing when the platform's port is not open (also while test ops are in
// place).
void com_PlatformRestore();

// Called by a backend whose read or write found the device gone. The first
// call of a run latches the loss and prints "Serial port lost: %s\n" with
// `reason` (cut to COM_LOST_REASON_SIZE - 1 characters), on a line of its
// own (a line break first when the console is mid-line, e.g. after progress
// dots); later calls do nothing. From then on
// com_GetByte finds nothing and com_Flush discards without writing.
// com_Open and com_SetOps clear the latch.
void com_ReportLost(const char* reason);

// True once the port was reported lost in this run: every waiting loop ends
// at once on it, without retrying, and fails.
bool com_PortLost();
