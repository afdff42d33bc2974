// The run trace: fixed static buffers, one write per line.
#include "trace.h"

#include "console.h"
#include "platform_clock.h"
#include "platform_error.h"
#include "text_escape.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef TARN_VERSION
#define TARN_VERSION "unknown"
#endif

namespace trace_detail {
bool enabled = false;
} // namespace trace_detail

namespace {

constexpr uint32_t ERROR_TEXT_MAX = 256;
constexpr uint32_t PLATFORM_TEXT_MAX = 128;
constexpr uint64_t US_PER_S = 1000000;
// The prefix and "trace: N lines dropped" with a 20-digit N.
constexpr uint32_t DROPPED_LINE_SIZE = 96;
constexpr char IS_THE_PORT[] = "it is the port itself";

intptr_t handle = -1;
uint64_t start_us = 0;
bool with_bytes = false;
char line[TRACE_LINE_MAX];
// Console text before its line breaks are escaped.
char console_text[TRACE_LINE_MAX];
WireSplitter splitters[2];
WireContext context;

const char* const DIRECTION_SOURCE[2] = {"H>D", "D>H"};

// Lines the file could not take since the last count was written.
uint64_t dropped = 0;
char dropped_line[DROPPED_LINE_SIZE];
// Complaints on standard error: the shown path and the reason fit whole.
char shown_path[TRACE_SHOWN_PATH_MAX + 1];
char complaint[TRACE_SHOWN_PATH_MAX + ERROR_TEXT_MAX + 64];

// Writes the count of dropped lines as a line of its own; true (and the
// count restarts) when the file took it.
bool WriteDropped(uint32_t wait_ms) {
    size_t length =
        wire_LinePrefix(dropped_line, sizeof dropped_line, plat_NowUs() - start_us, "run");
    const int n =
        std::snprintf(dropped_line + length, sizeof dropped_line - length,
                      "trace: %llu lines dropped\n", static_cast<unsigned long long>(dropped));
    if (n <= 0 || length + static_cast<size_t>(n) >= sizeof dropped_line) {
        return false;
    }
    length += static_cast<size_t>(n);
    if (!trace_OsWrite(handle, dropped_line, static_cast<uint32_t>(length), wait_ms)) {
        return false;
    }
    dropped = 0;
    return true;
}

// Writes the complaint just formatted (snprintf's `n`) on standard error,
// cut to fit and always ending its line.
void SayComplaint(int n) {
    if (n > 0) {
        const size_t length = static_cast<size_t>(n) < sizeof complaint ? static_cast<size_t>(n)
                                                                        : sizeof complaint - 1;
        complaint[length - 1] = '\n';
        trace_OsComplain(complaint, static_cast<uint32_t>(length));
    }
}

// A file that will never take another line ends the trace here, said once.
void StopIfEnded() {
    char error[ERROR_TEXT_MAX] = "";
    if (!trace_OsWriteEnded(error, sizeof error)) {
        return;
    }
    trace_detail::enabled = false;
    trace_OsClose(handle);
    handle = -1;
    SayComplaint(
        std::snprintf(complaint, sizeof complaint, "tarnload: trace stopped: %s\n", error));
}

// The path as a complaint shows it: control characters as \xNN, and a path
// too long for one line cut, so that the reason after it always prints.
const char* ShownPath(const char* path) {
    return text_ShownCut(path, shown_path, sizeof shown_path);
}

// "  1.234567 src  " into line; returns its length.
size_t Prefix(const char* source) {
    return wire_LinePrefix(line, sizeof line, plat_NowUs() - start_us, source);
}

// Ends the line in `line` at `length` and writes it.
void Emit(size_t length) {
    if (length > sizeof line - 1) {
        length = sizeof line - 1;
    }
    // One event, one line, whatever a port name or a server's text holds.
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(line[i]) < 0x20 && line[i] != '\t') {
            line[i] = '?';
        }
    }
    line[length++] = '\n';
    // The count goes first, so that the lines after it are the ones it did
    // not lose.
    if (dropped > 0 && !WriteDropped(0)) {
        ++dropped;
        StopIfEnded();
        return;
    }
    if (!trace_OsWrite(handle, line, static_cast<uint32_t>(length), 0)) {
        ++dropped;
        StopIfEnded();
    }
}

// An OS error the platform layer recorded, with the system's text.
void os_error(int code) {
    char text[ERROR_TEXT_MAX];
    plat_ErrorText(static_cast<uint32_t>(code), text, sizeof text);
    trace_Event("os", "error %d: %s", code, text);
}

} // namespace

void trace_Start(const char* port, TraceIsPort is_port) {
    const char* path = trace_OsEnvironment(TRACE_ENV);
    if (path == nullptr || path[0] == '\0' || trace_detail::enabled) {
        return;
    }
    const char* bytes = std::getenv(TRACE_BYTES_ENV);
    with_bytes = bytes != nullptr && std::strcmp(bytes, "1") == 0;
    char error[ERROR_TEXT_MAX] = "";
    // Asked before the open too: opening a serial device raises its modem
    // lines, which some devices take as a reset.
    if (is_port(port, path, -1)) {
        std::snprintf(error, sizeof error, "%s", IS_THE_PORT);
    } else {
        handle = trace_OsOpen(path, error, sizeof error);
        if (handle >= 0 && is_port(port, path, handle)) {
            trace_OsClose(handle);
            handle = -1;
            std::snprintf(error, sizeof error, "%s", IS_THE_PORT);
        }
    }
    if (handle < 0) {
        SayComplaint(std::snprintf(complaint, sizeof complaint,
                                   "tarnload: cannot open trace file %s: %s\n", ShownPath(path),
                                   error));
        return;
    }
    dropped = 0;
    wire_Reset(&splitters[0]);
    wire_Reset(&splitters[1]);
    context = WireContext{};
    start_us = plat_NowUs();
    trace_detail::enabled = true;
    con_AddEcho(trace_ConsoleV);
    plat_SetErrorObserver(os_error);
    char platform[PLATFORM_TEXT_MAX];
    trace_OsPlatform(platform, sizeof platform);
    trace_Event("run", "tarnload %s, %s, port %s, monotonic start %llu.%06llu s", TARN_VERSION,
                platform, port, static_cast<unsigned long long>(start_us / US_PER_S),
                static_cast<unsigned long long>(start_us % US_PER_S));
}

void trace_End() {
    if (trace_detail::enabled && dropped > 0) {
        WriteDropped(TRACE_END_WAIT_MS);
    }
}

void trace_EventV(const char* source, const char* format, va_list args) {
    if (!trace_detail::enabled) {
        return;
    }
    size_t length = Prefix(source);
    const int n = std::vsnprintf(line + length, sizeof line - length, format, args);
    if (n > 0) {
        length += static_cast<size_t>(n);
    }
    Emit(length);
}

void trace_Event(const char* source, const char* format, ...) {
    if (!trace_detail::enabled) {
        return;
    }
    va_list args;
    va_start(args, format);
    trace_EventV(source, format, args);
    va_end(args);
}

void trace_Wire(WireDirection dir, const uint8_t* bytes, uint32_t length) {
    if (!trace_detail::enabled) {
        return;
    }
    WireSplitter* splitter = &splitters[dir];
    for (uint32_t i = 0; i < length; ++i) {
        if (wire_Feed(splitter, bytes[i])) {
            const size_t prefix = Prefix(DIRECTION_SOURCE[dir]);
            const size_t text = wire_Describe(splitter, &context, dir, with_bytes, line + prefix,
                                              sizeof line - prefix);
            Emit(prefix + text);
        }
    }
}

void trace_ConsoleV(const char* format, va_list args) {
    if (!trace_detail::enabled) {
        return;
    }
    const int n = std::vsnprintf(console_text, sizeof console_text, format, args);
    if (n <= 0) {
        return;
    }
    size_t length = Prefix("con");
    // Line breaks and other control characters stay visible without breaking
    // the trace's one event per line.
    constexpr char HEX[] = "0123456789ABCDEF";
    for (const char* c = console_text; *c != '\0' && length + 4 < sizeof line; ++c) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u == '\n') {
            line[length++] = '\\';
            line[length++] = 'n';
        } else if (u < 0x20 || u == 0x7F) {
            line[length++] = '\\';
            line[length++] = 'x';
            line[length++] = HEX[u >> 4];
            line[length++] = HEX[u & 0x0F];
        } else {
            line[length++] = *c;
        }
    }
    Emit(length);
}
