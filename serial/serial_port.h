#pragma once
// The serial port for its callers: one port per run, opened with fixed line
// settings (115200 baud, 8 data bits, even parity, 1 stop bit, no flow
// control), with a non-blocking byte read served from a read-ahead buffer
// and a byte write collected in a buffer that goes out when full or on
// com_Flush.
//
// The buffering lives in serial_port.cpp and is the same on every platform
// and every kind of port; what a kind of port implements, and the hooks for
// tests and signal handlers, are in serial_backend.h.

#include <cstdint>

// The line every kind of port runs: 115200 baud, 8E1, which is 11 bits a
// byte on the line (start bit, 8 data bits, parity bit, stop bit).
inline constexpr uint32_t COM_LINE_BAUD = 115200;
inline constexpr uint32_t COM_BITS_PER_BYTE = 11;
// The longest one write may take on any kind of port.
inline constexpr uint32_t COM_WRITE_TIMEOUT_MS = 10000;

// Output is written in one piece when this many bytes are buffered.
inline constexpr uint16_t COM_TX_BUFFER_SIZE = 256;

// Opens and configures the port `name`, exactly as typed (Windows: a bare
// COMn gets the \\.\ device prefix): through the first registered backend
// that claims the name, else as a local port. A `usb:` name is first
// resolved to the one local port it selects (serial_usb_name.h) and that
// port is opened instead (and noted as the run's report's port_opened).
// Returns false only when the port cannot be
// opened, after the backend's reason line: "Serial port: ..." for a local
// port (see com_ReportRefusal and com_ResolveUsbName); a backend prints what
// its own header says (a network port: "Network port: ...").
bool com_Open(const char* name);

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

// True once the port was reported lost in this run: every waiting loop ends
// at once on it, without retrying, and fails.
bool com_PortLost();
