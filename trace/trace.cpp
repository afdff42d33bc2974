// The run trace: fixed static buffers, one write per line.
#include "trace.h"

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

intptr_t handle = -1;
uint64_t start_us = 0;
bool with_bytes = false;
char line[TRACE_LINE_MAX];
// Console text before its line breaks are escaped.
char console_text[TRACE_LINE_MAX];
WireSplitter splitters[2];
WireContext context;

const char* const DIRECTION_SOURCE[2] = {"H>D", "D>H"};

// "  1.234567 src  " into line; returns its length.
size_t Prefix(const char* source) {
    return wire_LinePrefix(line, sizeof line, trace_OsMicros() - start_us, source);
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
    trace_OsWrite(handle, line, static_cast<uint32_t>(length));
}

} // namespace

void trace_Start(const char* port) {
    const char* path = std::getenv(TRACE_ENV);
    if (path == nullptr || path[0] == '\0' || trace_detail::enabled) {
        return;
    }
    const char* bytes = std::getenv(TRACE_BYTES_ENV);
    with_bytes = bytes != nullptr && std::strcmp(bytes, "1") == 0;
    char error[ERROR_TEXT_MAX] = "";
    handle = trace_OsOpen(path, error, sizeof error);
    if (handle < 0) {
        const int n = std::snprintf(line, sizeof line, "tarnload: cannot open trace file %s: %s\n",
                                    path, error);
        if (n > 0) {
            trace_OsComplain(line, static_cast<uint32_t>(
                                       static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1));
        }
        return;
    }
    wire_Reset(&splitters[0]);
    wire_Reset(&splitters[1]);
    context = WireContext{};
    start_us = trace_OsMicros();
    trace_detail::enabled = true;
    char platform[PLATFORM_TEXT_MAX];
    trace_OsPlatform(platform, sizeof platform);
    trace_Event("run", "tarnload %s, %s, port %s, monotonic start %llu.%06llu s", TARN_VERSION,
                platform, port, static_cast<unsigned long long>(start_us / US_PER_S),
                static_cast<unsigned long long>(start_us % US_PER_S));
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
