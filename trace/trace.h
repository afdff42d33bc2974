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

namespace trace_detail {
extern bool enabled;
}

// True while a trace is being written.
inline bool trace_On() {
    return trace_detail::enabled;
}

// Reads TARNLOAD_TRACE and TARNLOAD_TRACE_BYTES (="1": frames carry their
// line bytes) and, when a trace is asked for, opens it and writes the first
// line: program version, platform, `port`. A file that cannot be opened is
// reported once on standard error ("tarnload: cannot open trace file %s:
// %s\n") and tracing stays off; the run goes on either way. Call once.
void trace_Start(const char* port);

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

// Opens `path` for appending (created if missing), or standard error for
// "-". Returns a handle >= 0, or -1 with the system's text in `error`.
intptr_t trace_OsOpen(const char* path, char* error, uint32_t error_cap);
// Writes all `length` bytes with one system write (retried only when the
// system wrote part of them or was interrupted).
void trace_OsWrite(intptr_t handle, const char* text, uint32_t length);
// Microseconds from an arbitrary fixed start (monotonic).
uint64_t trace_OsMicros();
// "Linux 6.1.0 x86_64", "Windows 10.0" and the like.
void trace_OsPlatform(char* out, uint32_t cap);
// Writes a one-line message on standard error (the unopenable file).
void trace_OsComplain(const char* text, uint32_t length);
