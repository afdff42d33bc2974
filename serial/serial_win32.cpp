// The serial port on Windows: a COM device opened exclusively, 115200 8E1
// without flow control, reads that return at once, writes that complete
// when their bytes have gone out (10 s at most).
#include "serial_device_name.h"
#include "serial_port.h"
#include "serial_win32_settings.h"

#include "platform_error.h"
#include "trace.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr char LINE_SETTINGS[] = "baud=115200 parity=E data=8 stop=1";
// Write time-out for one synchronous write.
constexpr DWORD WRITE_TIMEOUT_MS = 10000;
// Driver queue sizes: a small queue keeps the reads' view of the line current.
constexpr DWORD QUEUE_SIZE = 16;
// Longest port path: the \\.\ prefix plus a generous device name.
constexpr size_t PATH_CAPACITY = 260;

HANDLE port = INVALID_HANDLE_VALUE;

bool win32_open(const char* name) {
    char path[PATH_CAPACITY];
    const char* open_name = com_DevicePath(name, path, sizeof path) ? path : name;
    const HANDLE handle = CreateFileA(open_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (trace_On()) {
            const DWORD code = GetLastError();
            char text[256];
            plat_ErrorText(code, text, sizeof text);
            trace_Event("os", "CreateFileA %s: error %lu: %s", open_name,
                        static_cast<unsigned long>(code), text);
        }
        return false;
    }
    // A regular file (e.g. the two arguments swapped) is not a port: the link
    // would write its frames into it.
    if (GetFileType(handle) != FILE_TYPE_CHAR) {
        CloseHandle(handle);
        plat_RecordError(ERROR_BAD_DEVICE);
        return false;
    }
    DCB config;
    com_MakeLineSettings(&config);
    const BOOL applied = SetCommState(handle, &config);
    if (trace_On()) {
        const DWORD error = applied ? 0 : GetLastError();
        DCB now{};
        now.DCBlength = sizeof now;
        GetCommState(handle, &now);
        trace_Event("port",
                    "%s: SetCommState %s (error %lu); read back %lu baud, %u data bits, parity %u, "
                    "stop bits %u, RTS/CTS %s, XON/XOFF %s",
                    open_name, applied ? "ok" : "failed", static_cast<unsigned long>(error),
                    static_cast<unsigned long>(now.BaudRate), now.ByteSize, now.Parity,
                    now.StopBits, now.fOutxCtsFlow ? "on" : "off", now.fOutX ? "on" : "off");
        SetLastError(error);
    }

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    SetCommTimeouts(handle, &timeouts);

    SetupComm(handle, QUEUE_SIZE, QUEUE_SIZE);

    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    port = handle;
    return true;
}

uint32_t win32_read(uint8_t* buf, uint32_t max) {
    DWORD got = 0;
    if (port == INVALID_HANDLE_VALUE || !ReadFile(port, buf, max, &got, nullptr)) {
        return 0;
    }
    return got;
}

void win32_write(const uint8_t* buf, uint32_t len) {
    DWORD written = 0;
    if (port != INVALID_HANDLE_VALUE) {
        WriteFile(port, buf, len, &written, nullptr);
    }
}

void win32_purge() {
    if (port != INVALID_HANDLE_VALUE) {
        PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
}

void win32_close() {
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
    }
}

const ComPortOps win32_ops = {win32_open, win32_read, win32_write, win32_purge, win32_close};

} // namespace

// The line settings block. A zeroed block lacks its length and binary mode,
// which SetCommState needs; some BuildCommDCBA implementations leave XON/XOFF
// on for this text, and then 0x11/0x13 vanish from the frame stream or stall
// output, so every flow control is switched off explicitly.
void com_MakeLineSettings(DCB* config) {
    std::memset(config, 0, sizeof *config);
    config->DCBlength = sizeof *config;
    BuildCommDCBA(LINE_SETTINGS, config);
    config->DCBlength = sizeof *config;
    config->fBinary = TRUE;
    config->fOutX = FALSE;
    config->fInX = FALSE;
    config->fOutxCtsFlow = FALSE;
    config->fOutxDsrFlow = FALSE;
    config->fDsrSensitivity = FALSE;
    config->fTXContinueOnXoff = TRUE;
    // Modem lines asserted and left alone, as a POSIX open leaves them.
    config->fDtrControl = DTR_CONTROL_ENABLE;
    config->fRtsControl = RTS_CONTROL_ENABLE;
    // Every byte is delivered as it came: no NUL stripping, no error-char
    // substitution, no read stop after a parity error (the CRC rejects it).
    config->fNull = FALSE;
    config->fErrorChar = FALSE;
    config->fAbortOnError = FALSE;
}

const ComPortOps* com_PlatformOps() {
    return &win32_ops;
}
