// The trace's file, clock and platform name on Windows.
#include "trace.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

namespace {
constexpr intptr_t STDERR_HANDLE = 0x7FFFFFFF; // stands for GetStdHandle(STD_ERROR_HANDLE)

HANDLE ToHandle(intptr_t handle) {
    return handle == STDERR_HANDLE ? GetStdHandle(STD_ERROR_HANDLE)
                                   : reinterpret_cast<HANDLE>(handle);
}
} // namespace

intptr_t trace_OsOpen(const char* path, char* error, uint32_t error_cap) {
    if (std::strcmp(path, "-") == 0) {
        return STDERR_HANDLE;
    }
    // FILE_APPEND_DATA alone: every write lands whole at the end of file.
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, code, 0x0400, error, error_cap, nullptr);
        if (n == 0) {
            std::snprintf(error, error_cap, "error %lu", static_cast<unsigned long>(code));
        }
        // The system's text ends with a line break; the message adds its own.
        for (size_t len = std::strlen(error);
             len > 0 && (error[len - 1] == '\n' || error[len - 1] == '\r');) {
            error[--len] = '\0';
        }
        // Opening the file must not leave its error for the last-error report.
        SetLastError(0);
        return -1;
    }
    return reinterpret_cast<intptr_t>(file);
}

void trace_OsWrite(intptr_t handle, const char* text, uint32_t length) {
    const DWORD saved = GetLastError();
    const HANDLE h = ToHandle(handle);
    while (length > 0) {
        DWORD put = 0;
        if (!WriteFile(h, text, length, &put, nullptr) || put == 0) {
            break;
        }
        text += put;
        length -= put;
    }
    // Tracing must not change what "Last windows error" reports.
    SetLastError(saved);
}

uint64_t trace_OsMicros() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t hz = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / hz * 1000000u + ticks % hz * 1000000u / hz;
}

void trace_OsPlatform(char* out, uint32_t cap) {
    std::snprintf(out, cap, "Windows");
}

void trace_OsComplain(const char* text, uint32_t length) {
    trace_OsWrite(STDERR_HANDLE, text, length);
}
