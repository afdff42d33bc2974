// The trace's file, clock and platform name on Windows.
#include "trace.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

namespace {
constexpr intptr_t STDERR_HANDLE = 0x7FFFFFFF; // stands for GetStdHandle(STD_ERROR_HANDLE)

// \\.\pipe\NAME, any case: the local named pipes.
bool is_pipe_name(const char* path) {
    const char prefix[] = "\\\\.\\pipe\\";
    for (size_t i = 0; i < sizeof prefix - 1; ++i) {
        const char c = path[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The longest path the wide calls take, in UTF-16 units.
constexpr int WIDE_PATH_MAX = 32768;
wchar_t wide_path[WIDE_PATH_MAX];
// A variable's value as UTF-8: each UTF-16 unit is at most 3 bytes.
char environment_value[3 * WIDE_PATH_MAX];

HANDLE ToHandle(intptr_t handle) {
    return handle == STDERR_HANDLE ? GetStdHandle(STD_ERROR_HANDLE)
                                   : reinterpret_cast<HANDLE>(handle);
}
} // namespace

const char* trace_OsEnvironment(const char* name) {
    wchar_t wide_name[64];
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name, 64) == 0) {
        return nullptr;
    }
    const DWORD n = GetEnvironmentVariableW(wide_name, wide_path, WIDE_PATH_MAX);
    if (n == 0 || n >= WIDE_PATH_MAX ||
        WideCharToMultiByte(CP_UTF8, 0, wide_path, -1, environment_value, sizeof environment_value,
                            nullptr, nullptr) == 0) {
        return nullptr;
    }
    return environment_value;
}

intptr_t trace_OsOpen(const char* path, char* error, uint32_t error_cap) {
    if (std::strcmp(path, "-") == 0) {
        return STDERR_HANDLE;
    }
    // FILE_APPEND_DATA alone: every write lands whole at the end of file. A
    // named pipe needs the right to write and to change its mode instead:
    // it is switched to PIPE_NOWAIT, so that a server that stops reading
    // cannot hold up the flash. Opening a pipe never waits: no server, or
    // every instance taken, is an error at once.
    const bool pipe = is_pipe_name(path);
    // The name is UTF-8 (the command line and environment as the program
    // holds them); the wide call opens a name in any script.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide_path, WIDE_PATH_MAX) ==
        0) {
        std::snprintf(error, error_cap, "%s", "not a valid UTF-8 name");
        return -1;
    }
    const HANDLE file = CreateFileW(
        wide_path, pipe ? GENERIC_WRITE : FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, pipe ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE && pipe) {
        DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
        SetNamedPipeHandleState(file, &mode, nullptr, nullptr);
    }
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

bool trace_OsWrite(intptr_t handle, const char* text, uint32_t length, uint32_t wait_ms) {
    const DWORD saved = GetLastError();
    const HANDLE h = ToHandle(handle);
    const bool forever = wait_ms == TRACE_WAIT_FOREVER;
    ULONGLONG deadline = GetTickCount64() + (forever ? 0 : wait_ms);
    bool begun = false;
    while (length > 0) {
        DWORD put = 0;
        if (!WriteFile(h, text, length, &put, nullptr)) {
            break;
        }
        if (put == 0) {
            // A PIPE_NOWAIT pipe that is full; other handles block instead.
            if (!forever && GetTickCount64() >= deadline) {
                break;
            }
            Sleep(1);
            continue;
        }
        if (!begun && !forever) {
            const ULONGLONG rest = GetTickCount64() + TRACE_REST_WAIT_MS;
            deadline = rest > deadline ? rest : deadline;
        }
        begun = true;
        text += put;
        length -= put;
    }
    // Tracing must not change what "Last windows error" reports.
    SetLastError(saved);
    return length == 0;
}

void trace_OsPlatform(char* out, uint32_t cap) {
    std::snprintf(out, cap, "Windows");
}

void trace_OsComplain(const char* text, uint32_t length) {
    trace_OsWrite(STDERR_HANDLE, text, length, TRACE_END_WAIT_MS);
}

// No file-size limit ends a write for good here: a full disk loses lines.
bool trace_OsWriteEnded(char*, uint32_t) {
    return false;
}

void trace_OsClose(intptr_t handle) {
    if (handle >= 0 && handle != STDERR_HANDLE) {
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
}
