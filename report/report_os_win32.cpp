// The report's wall clock, host name and console event names on Windows.
#include "report.h"

#include <windows.h>

namespace {

// Stands for GetStdHandle(STD_ERROR_HANDLE), as trace_OsOpen gives it.
constexpr intptr_t STDERR_HANDLE = 0x7FFFFFFF;

void Digits(char* out, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

} // namespace

void report_OsUtcNow(char out[32]) {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    Digits(out, utc.wYear, 4);
    out[4] = '-';
    Digits(out + 5, utc.wMonth, 2);
    out[7] = '-';
    Digits(out + 8, utc.wDay, 2);
    out[10] = 'T';
    Digits(out + 11, utc.wHour, 2);
    out[13] = ':';
    Digits(out + 14, utc.wMinute, 2);
    out[16] = ':';
    Digits(out + 17, utc.wSecond, 2);
    out[19] = '.';
    Digits(out + 20, utc.wMilliseconds, 3);
    out[23] = 'Z';
    out[24] = '\0';
}

void report_OsHostName(char* out, uint32_t cap) {
    DWORD size = cap;
    if (!GetComputerNameA(out, &size)) {
        out[0] = '\0';
    }
}

void report_OsClose(intptr_t handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool report_OsIsStandardError(intptr_t handle) {
    return handle == STDERR_HANDLE;
}

const char* report_OsSignalName(int signal_number) {
    switch (signal_number) {
    case CTRL_C_EVENT:
        return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT:
        return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT:
        return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT:
        return "CTRL_LOGOFF_EVENT";
    case CTRL_SHUTDOWN_EVENT:
        return "CTRL_SHUTDOWN_EVENT";
    case REPORT_CRASH:
        return "crash";
    default:
        return nullptr;
    }
}
