#pragma once
// Console output: every message of the program goes to standard output
// through con_Print. Nothing is ever written to standard error.

#include <cstdarg>

#if defined(__GNUC__)
#define TARN_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define TARN_PRINTF_LIKE(f, a)
#endif

// Called once by main before the first message. When standard output is
// not a terminal (a log file, a pipe), every complete line is written out
// as soon as it is printed, so a run that is killed leaves a log that
// reaches its last line. A terminal keeps stdio's own behaviour.
void con_Init();

// printf-style formatting to standard output. Returns what vprintf returns;
// no caller uses it. A failed write (a reader that went away) is ignored.
int con_Print(const char* format, ...) TARN_PRINTF_LIKE(1, 2);

// True when the last message printed ended its line (or nothing was
// printed yet): a line that must start on its own line, such as a loss
// noticed between two progress dots, starts with a line break otherwise.
// Async-signal-safe.
bool con_AtLineStart();

// A listener that is handed every message before it is printed.
using ConEcho = void (*)(const char* format, va_list args);
// From now on every message is handed to `echo` as well (the run trace's
// console lines, the report's failure lines), in the order the listeners
// were added; one added twice counts once. False when two are already
// listening. The console knows nothing of who listens.
bool con_AddEcho(ConEcho echo);

// Flush standard output (after the retry line and the progress total).
void con_Flush();

// True when standard output is a terminal: the download then flushes each
// progress dot as its block goes out, so a person watching sees it live.
bool con_IsTerminal();
