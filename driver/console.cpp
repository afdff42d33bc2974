// Console output: standard output only, through stdio's own buffering.
#include "console.h"

#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

int con_Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (trace_On()) {
        va_list copy;
        va_copy(copy, args);
        trace_ConsoleV(format, copy);
        va_end(copy);
    }
    const int written = std::vprintf(format, args);
    va_end(args);
    return written;
}

void con_Flush() {
    std::fflush(stdout);
}

bool con_IsTerminal() {
    return isatty(fileno(stdout)) != 0;
}
