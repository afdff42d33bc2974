#pragma once
// The run's report for machines: one JSON object on one line (JSON Lines),
// appended to the file named by TARNLOAD_REPORT when the run ends, however
// it ends: success, failure, a refused argument or file, or a stop by a
// signal (console event on Windows). Off unless that variable is set. The
// keys are documented in tarnload(1), REPORT, and in report.schema.json.
//
// The run's facts are kept in one static record, noted by the layers as the
// run goes (each note costs a store or a branch when off), and formatted at
// the end into a fixed static buffer with the module's own formatter, so
// that a signal handler can write it too: no heap, no stdio, no locale.
// The line goes out with one write to a descriptor opened for appending
// without blocking, so runs sharing one file never tear each other's lines
// and a stalled reader never holds up the flash.

#include "trace.h"

#include <cstdarg>
#include <cstdint>

inline constexpr const char* REPORT_ENV = "TARNLOAD_REPORT";
inline constexpr const char* REPORT_SCHEMA = "tarnload-report/1";

// Where the run stands. Each stage begins when the one before it succeeded;
// a failed run names the stage it failed in.
enum ReportStage : int {
    REPORT_ARGUMENTS = 0,
    REPORT_PORT,
    REPORT_FILE,
    REPORT_LINK,
    REPORT_IDLE,
    REPORT_DOWNLOAD,
    REPORT_MANIFEST,
    REPORT_STAGE_COUNT
};

inline constexpr uint32_t REPORT_DESCRIPTION_SIZE = 64;
inline constexpr uint32_t REPORT_DIGEST_SIZE = 32;

// The firmware file as read for its check.
struct ReportFile {
    uint64_t size; // bytes in the whole file
    uint8_t sha256[REPORT_DIGEST_SIZE];
    uint32_t image_size; // the suffix offset: bytes sent as the image
    uint32_t stored_crc; // the suffix's CRC field as stored
    uint16_t vid;
    uint16_t pid;
    char description[REPORT_DESCRIPTION_SIZE + 1]; // raw, up to its first NUL
};

namespace report_detail {
extern bool enabled;
}

// True while a report is to be written at the end.
inline bool report_On() {
    return report_detail::enabled;
}

// Reads TARNLOAD_REPORT ("-": standard error) and, when set, opens the file
// for appending without blocking and notes the start: the time, the port
// (null when not given) and the firmware path (null when not given). A file
// that cannot be opened is named once on standard error, "tarnload: cannot
// open report file %s: %s\n" (the path's control characters as \xNN), with
// the system's text, "a FIFO with no reader" or "it is the port itself" (the path
// names the same file or device as `port` by `is_port`, which tells whether
// `path`, open as `handle` or not yet open (-1), is the port; checked before
// opening, and again for the device a port name opened); the run goes on
// without a report. Call once, first in the run.
void report_Start(const char* port, const char* file_path, TraceIsPort is_port);

// The stage the run enters now (each stage once, in order).
void report_NoteStage(ReportStage stage);

// The device actually opened for the port: the port as typed, or the device
// a name was resolved to. The first call counts; later ones are ignored.
// When it is the report's own file, the report is closed and named as
// above ("it is the port itself"): nothing is ever written to the port.
void report_NotePortOpened(const char* name);

// The firmware file, once read through to its CRC check.
void report_NoteFile(const ReportFile& file);

// The device's identity from its device descriptor, and its transfer size
// and DFU attributes from its functional descriptor (the latest read).
void report_NoteDeviceIdentity(uint16_t vid, uint16_t pid);
void report_NoteDeviceFunctions(uint16_t transfer_size, uint16_t attributes);

// The state and status of the device's latest status reply.
void report_NoteDfuState(uint8_t state, uint8_t status);

// An image block the device acknowledged: progress, so the console lines
// kept for the report start again after it.
void report_NoteBlockAcknowledged();

// A frame the link sent again; a damaged frame it received.
void report_NoteResent();
void report_NoteFrameError();

// Console output as printed (con_Print). Does nothing when off.
void report_ConsoleV(const char* format, va_list args);

// Writes the report of a run that ends with `exit_status` (0: ok), then
// closes the file. Nothing when off or already written. A line the file
// cannot take within 0.25 s is named on standard error, "tarnload: cannot
// write report file %s: the file did not take it\n".
void report_End(int exit_status);

// The same from a signal handler (POSIX) or console control handler
// (Windows), after the port was restored: result "interrupted", exit status
// 1 (null when `ends_as_signal`: SIGQUIT and the faults that dump core end
// the process as the signal does), `said` (the interruption line the
// handler printed, or null) the last of the lines. Async-signal-safe.
void report_EndInterrupted(int signal_number, const char* said, bool ends_as_signal);
// The signal number of a run that ended by itself.
inline constexpr int REPORT_NO_SIGNAL = -1;
// Windows: the "signal" of a crash (an exception nothing handled, abort()).
inline constexpr int REPORT_CRASH = -2;

// --- The platform's side (report_os_posix.cpp, report_os_win32.cpp) ---

// The current UTC time, broken down.
struct ReportUtc {
    unsigned year, month, day, hour, minute, second, millisecond;
};
ReportUtc report_OsUtcNow();
// The machine's name ("" when the system gives none).
void report_OsHostName(char* out, uint32_t cap);
// Closes a handle of trace_OsOpen (never standard error).
void report_OsClose(intptr_t handle);
// "SIGTERM" and the like; null for a number it does not know.
const char* report_OsSignalName(int signal_number);
// Standard error as trace_OsOpen gives it for "-".
bool report_OsIsStandardError(intptr_t handle);
