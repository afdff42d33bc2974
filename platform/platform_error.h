#pragma once
// The last operating-system error made by the program's own platform layer.
//
// On Windows this is the thread's GetLastError(). On POSIX the platform
// layer records errno at the point where one of its own calls fails
// (plat_RecordError), so a stray errno left behind by stdio or by a call
// that was expected to fail never shows up in the report.

#include <cstdint>

// POSIX: remember `code` (an errno value) as the last failure. Windows:
// SetLastError(code). Called by platform code only, right after the failing call.
void plat_RecordError(int code);

// From now on every recorded error is handed to `observer` as well (the run
// trace's OS-error lines, once it is on); nullptr stops that.
void plat_SetErrorObserver(void (*observer)(int code));

// The last recorded error code, 0 when none.
uint32_t plat_LastError();

// The system's text for `code` into `out` (cut to `cap`, no line break at
// the end; "" when the system has none). For the trace's OS-error lines and
// the reason of a lost port.
void plat_ErrorText(uint32_t code, char* out, uint32_t cap);
