// The report's wall clock, host name and console event names on Windows.
#include "report.h"

#include <windows.h>

namespace {

// Stands for GetStdHandle(STD_ERROR_HANDLE), as trace_OsOpen gives it.
constexpr intptr_t STDERR_HANDLE = 0x7FFFFFFF;

} // namespace

ReportUtc report_OsUtcNow() {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    return {utc.wYear,   utc.wMonth,  utc.wDay,         utc.wHour,
            utc.wMinute, utc.wSecond, utc.wMilliseconds};
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
