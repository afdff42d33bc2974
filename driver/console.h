#pragma once
// Console output: every message of the program goes to standard output
// through con_Print. Nothing is ever written to standard error.

#if defined(__GNUC__)
#define TARN_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define TARN_PRINTF_LIKE(f, a)
#endif

// printf-style formatting to standard output. Returns what vprintf returns;
// no caller uses it.
int con_Print(const char* format, ...) TARN_PRINTF_LIKE(1, 2);

// Flush standard output (after the retry line and the progress total).
void con_Flush();

// True when standard output is a terminal: the download then flushes each
// progress dot as its block goes out, so a person watching sees it live.
bool con_IsTerminal();
