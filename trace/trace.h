#pragma once
// tarnload's run trace: one timed line per event, appended to the file
// named by TARNLOAD_TRACE ("-": standard error). Off unless that variable
// is set; then every frame on the line both ways (decoded by trace_wire),
// the link's and the requests' time-outs, peer resets, the device's sleeps,
// the console lines, OS errors and the port's settings.
//
// Line format: seconds since trace_Start with microseconds, a source, the
// event:   "  1.234567 H>D  rel seq 2 ack 3 ch 12 len 8 crc ok: GETSTATUS"
// Sources: H>D and D>H (frames), link, dfu, con (console output), port,
// net (network ports), os, run.
//
// Each line is formatted into a fixed static buffer and written whole with
// one write to a descriptor opened for appending, unbuffered: a line is
// never torn by another writer, and a run killed by a signal leaves every
// line written up to then. Nothing allocates.
//
// A file that can take no more lines at all (it reached the process's
// file-size limit: SIGXFSZ is ignored, so the write fails instead of ending
// the run) stops the trace with one line on standard error: "tarnload:
// trace stopped: %s\n" with the system's text.
//
// The trace never holds up the flash: the file is opened and written
// without blocking (a FIFO or pipe whose reader stops, a flow-controlled
// terminal). A line the file cannot take at once is dropped and counted;
// the count is written as "trace: N lines dropped" (source run) before the
// next line the file takes, and at the end of the run. A regular file or a
// terminal that keeps up takes every line as before.
//
// Off costs one predictable branch per call site (trace_On() reads a
// global flag): call sites guard their arguments' work with it.

#include "trace_wire.h"

#include <cstdarg>
#include <cstdint>

#if defined(__GNUC__)
#define TRACE_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define TRACE_PRINTF_LIKE(f, a)
#endif

// The environment variables (the only ones the tool reads).
inline constexpr const char* TRACE_ENV = "TARNLOAD_TRACE";
inline constexpr const char* TRACE_BYTES_ENV = "TARNLOAD_TRACE_BYTES";

// Longest trace line; a longer event is cut (and still ends its line).
inline constexpr uint32_t TRACE_LINE_MAX = 2048;

// How long a write may wait for the file to take a line: the run's lines
// never wait; a line already begun gets long enough for a terminal or pipe
// reader to take the rest; the end-of-run count and the complaint about an
// unopenable file get as long as a person would not notice at exit.
inline constexpr uint32_t TRACE_WAIT_FOREVER = 0xFFFFFFFF;
inline constexpr uint32_t TRACE_REST_WAIT_MS = 100;
inline constexpr uint32_t TRACE_END_WAIT_MS = 250;

namespace trace_detail {
extern bool enabled;
}

// True while a trace is being written.
inline bool trace_On() {
    return trace_detail::enabled;
}

// Whether the file `path`, open as `handle` (or not yet open: -1), is the
// port named `port`: neither the trace nor the report may write into the
// line.
using TraceIsPort = bool (*)(const char* port, const char* path, intptr_t handle);

// Reads TARNLOAD_TRACE and TARNLOAD_TRACE_BYTES (="1": frames carry their
// line bytes) and, when a trace is asked for, opens it and writes the first
// line: program version, platform, `port`. A file that cannot be opened is
// reported once on standard error ("tarnload: cannot open trace file %s:
// %s\n", the path's control characters as \xNN and a path longer than
// TRACE_SHOWN_PATH_MAX shown cut, with "..."; a FIFO nobody has open for
// reading gives "a FIFO with no reader", a file that `is_port` finds to be
// the port "it is the port itself", a symbolic link another user planted in
// a shared folder its own reason) and tracing stays off; the run goes on
// either way. Call once.
void trace_Start(const char* port, TraceIsPort is_port);

// Longest trace path a complaint shows whole, once escaped.
inline constexpr uint32_t TRACE_SHOWN_PATH_MAX = 512;

// The end of the run's trace: the count of dropped lines, if any, is
// written, waiting at most TRACE_END_WAIT_MS for the file to take it. Does
// nothing when off or when no line was dropped.
void trace_End();

// One event line from `source` (a short word, see above), printf-style. No
// newline in the format: the line gets one. Does nothing when off.
void trace_Event(const char* source, const char* format, ...) TRACE_PRINTF_LIKE(2, 3);
void trace_EventV(const char* source, const char* format, va_list args);

// Line bytes as they were written (WIRE_TO_DEVICE) or read (WIRE_TO_HOST):
// each frame they complete becomes one line. Does nothing when off.
void trace_Wire(WireDirection dir, const uint8_t* bytes, uint32_t length);

// Console output as printed (a console line may come in pieces: the text is
// shown with its line breaks escaped as \n). Does nothing when off.
void trace_ConsoleV(const char* format, va_list args);

// --- The platform's side (trace_os_posix.cpp, trace_os_win32.cpp) ---

// The environment variable `name` as UTF-8 text, as the command line is
// held (POSIX: its bytes; Windows: converted from the wide environment);
// null when unset or when it does not fit.
const char* trace_OsEnvironment(const char* name);
// Opens `path` for appending (created if missing), or standard error for
// "-". Returns a handle >= 0, or -1 with the system's text in `error`.
intptr_t trace_OsOpen(const char* path, char* error, uint32_t error_cap);
// Writes all `length` bytes (at most TRACE_LINE_MAX) with one system write
// (retried only when the system wrote part of them or was interrupted),
// waiting at most `wait_ms` for the file to take them; once part of them
// is written the rest gets TRACE_REST_WAIT_MS more. True when all were
// written; false when the file could not take them in time (nothing, or
// on a rare terminal a cut line, was written) or failed.
bool trace_OsWrite(intptr_t handle, const char* text, uint32_t length,
                   uint32_t wait_ms = TRACE_WAIT_FOREVER);
// After trace_OsWrite returned false: true when the file will take no line
// ever again (over the file-size limit), with the system's text in `error`.
bool trace_OsWriteEnded(char* error, uint32_t error_cap);
// Releases what trace_OsOpen opened (standard error stays open).
void trace_OsClose(intptr_t handle);
// "Linux 6.1.0 x86_64", "Windows 10.0" and the like.
void trace_OsPlatform(char* out, uint32_t cap);
// Writes a one-line message on standard error (the unopenable file).
void trace_OsComplain(const char* text, uint32_t length);
