// Console output: standard output only, through stdio's own buffering.
#include "console.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Line buffering done here rather than by setvbuf: some C runtimes take
// _IOLBF for full buffering. Every message that ends a line ends its format
// with the newline, so the format tells when a line is complete.
bool flush_each_line = false;
// Judged by the format, as the flushing is: every message that ends a line
// ends its format with the newline. Read by the signal handler too.
volatile sig_atomic_t at_line_start = 1;
// The run's listeners: the trace and the report.
constexpr int ECHOES_MAX = 2;
ConEcho echoes[ECHOES_MAX] = {};

} // namespace

void con_Init() {
    flush_each_line = !con_IsTerminal();
}

int con_Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    for (const ConEcho echo : echoes) {
        if (echo != nullptr) {
            va_list copy;
            va_copy(copy, args);
            echo(format, copy);
            va_end(copy);
        }
    }
    const int written = std::vprintf(format, args);
    va_end(args);
    const size_t length = std::strlen(format);
    if (length > 0) {
        at_line_start = format[length - 1] == '\n' ? 1 : 0;
    }
    if (flush_each_line && at_line_start) {
        std::fflush(stdout);
    }
    return written;
}

bool con_AddEcho(ConEcho echo) {
    for (ConEcho& slot : echoes) {
        if (slot == echo) {
            return true;
        }
    }
    for (ConEcho& slot : echoes) {
        if (slot == nullptr) {
            slot = echo;
            return true;
        }
    }
    return false;
}

bool con_AtLineStart() {
    return at_line_start != 0;
}

void con_Flush() {
    std::fflush(stdout);
}

bool con_IsTerminal() {
    return isatty(fileno(stdout)) != 0;
}
