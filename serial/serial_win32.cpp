// The serial port on Windows: a COM device opened exclusively, 115200 8E1
// without flow control, reads that return at once, a wait that returns at
// the first byte or after a millisecond, writes that complete when their
// bytes have gone out (10 s at most).
#include "serial_backend.h"
#include "serial_device_name.h"
#include "serial_win32_settings.h"

#include "platform_clock.h"
#include "platform_error.h"
#include "trace.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr char LINE_SETTINGS[] = "baud=115200 parity=E data=8 stop=1";
// Driver queue sizes: a small queue keeps the reads' view of the line current.
constexpr DWORD QUEUE_SIZE = 16;
// Longest port path: the \\.\ prefix plus a generous device name.
constexpr size_t PATH_CAPACITY = 260;
// A read finds what has arrived at once; when nothing has, it waits for the
// first byte at most this long. Only the wait reads with nothing queued.
constexpr DWORD READ_WAIT_MS = 1;

HANDLE port = INVALID_HANDLE_VALUE;
// What the wait's read fetched, handed out by the next reads.
uint8_t waited[COM_RX_READ_MAX];
DWORD waited_count = 0;
DWORD waited_at = 0;

void check_loss();

// Bytes the driver holds for reading, 0 when it cannot tell.
DWORD queued_input() {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port, &errors, &status)) {
        check_loss();
        return 0;
    }
    return status.cbInQue;
}

// What the port was set to before the open, put back on every way out.
DCB original_config{};
COMMTIMEOUTS original_timeouts{};
bool original_saved = false;

// Errors a read or write gives once the device is gone: the USB adapter was
// unplugged (its driver answers with one of these until the handle closes),
// or, under Wine, the terminal behind the port closed (ERROR_NOT_READY). A
// read with nothing to deliver succeeds with 0 bytes, so none of these is
// the ordinary quiet line.
bool is_loss(DWORD error) {
    return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_OPERATION_ABORTED || error == ERROR_ACCESS_DENIED ||
           error == ERROR_GEN_FAILURE || error == ERROR_DEVICE_NOT_CONNECTED ||
           error == ERROR_NOT_READY;
}

// Reports a loss when the failure just seen is one; leaves the thread's last
// error as it was, for the report after a failed download.
void check_loss() {
    const DWORD error = GetLastError();
    if (!is_loss(error)) {
        return;
    }
    char reason[COM_LOST_REASON_SIZE];
    plat_ErrorText(error, reason, sizeof reason);
    com_ReportLost(reason);
    SetLastError(error);
}

void restore(HANDLE handle) {
    if (original_saved) {
        SetCommState(handle, &original_config);
        SetCommTimeouts(handle, &original_timeouts);
    }
}

// The reasons a port is refused with (com_ReportRefusal).
constexpr char NOT_A_PORT[] = "not a serial port";
constexpr char NOT_CONFIGURABLE[] = "cannot be configured";

// Refuses the handle just opened: closed, the reason said, `code` recorded.
bool refuse(HANDLE handle, DWORD code, const char* reason, const char* detail = nullptr) {
    CloseHandle(handle);
    com_ReportRefusal(reason, detail);
    plat_RecordError(code);
    return false;
}

// A settings call the driver refused: the port is put back and released.
bool refuse_settings(HANDLE handle, DCB original, COMMTIMEOUTS original_times) {
    const DWORD code = GetLastError();
    char text[256];
    plat_ErrorText(code, text, sizeof text);
    SetCommState(handle, &original);
    SetCommTimeouts(handle, &original_times);
    return refuse(handle, code, NOT_CONFIGURABLE, text[0] != '\0' ? text : nullptr);
}

bool win32_open(const char* name) {
    // The console and the null and printer devices open like files and some
    // even answer the comm calls; they are refused by name before the open,
    // which for CONIN$ would hand the link the keyboard.
    if (com_IsReservedDeviceName(name)) {
        com_ReportRefusal(NOT_A_PORT);
        plat_RecordError(ERROR_BAD_DEVICE);
        return false;
    }
    char path[PATH_CAPACITY];
    const char* open_name = com_DevicePath(name, path, sizeof path) ? path : name;
    // The name is UTF-8 as the program holds it; the wide call opens it as typed.
    wchar_t wide_name[PATH_CAPACITY];
    const bool named =
        MultiByteToWideChar(CP_UTF8, 0, open_name, -1, wide_name, PATH_CAPACITY) != 0;
    const HANDLE handle = named ? CreateFileW(wide_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                : INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = named ? GetLastError() : ERROR_FILE_NOT_FOUND;
        char text[256];
        plat_ErrorText(code, text, sizeof text);
        if (trace_On()) {
            trace_Event("os", "CreateFileW %s: error %lu: %s", open_name,
                        static_cast<unsigned long>(code), text);
        }
        switch (code) {
        case ERROR_ACCESS_DENIED: // a COM port is opened by one program at a time
            com_ReportRefusal("in use by another program");
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            com_ReportRefusal("no such device");
            break;
        default:
            com_ReportRefusal(text[0] != '\0' ? text : "cannot be opened");
            break;
        }
        SetLastError(code);
        return false;
    }
    // A regular file (e.g. the two arguments swapped) is not a port: the link
    // would write its frames into it.
    // A character device without comm state (a console, a printer under
    // another name) is not one either.
    DCB original{};
    original.DCBlength = sizeof original;
    COMMTIMEOUTS original_times{};
    if (GetFileType(handle) != FILE_TYPE_CHAR || !GetCommState(handle, &original) ||
        !GetCommTimeouts(handle, &original_times)) {
        return refuse(handle, ERROR_BAD_DEVICE, NOT_A_PORT);
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
    if (!applied) {
        return refuse_settings(handle, original, original_times);
    }

    COMMTIMEOUTS timeouts{};
    // MAXDWORD, MAXDWORD, n: a read returns at once with what has arrived,
    // or at the first byte to arrive within n ms.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = READ_WAIT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = COM_WRITE_TIMEOUT_MS;
    if (!SetCommTimeouts(handle, &timeouts)) {
        return refuse_settings(handle, original, original_times);
    }

    SetupComm(handle, QUEUE_SIZE, QUEUE_SIZE);

    if (port != INVALID_HANDLE_VALUE) {
        restore(port);
        CloseHandle(port);
    }
    original_config = original;
    original_timeouts = original_times;
    original_saved = true;
    port = handle;
    waited_count = 0;
    waited_at = 0;
    return true;
}

// Never waits: with nothing queued there is no read at all, since a read
// would wait for the first byte.
uint32_t win32_read(uint8_t* buf, uint32_t max) {
    if (waited_at != waited_count) {
        uint32_t n = 0;
        while (n < max && waited_at != waited_count) {
            buf[n++] = waited[waited_at++];
        }
        return n;
    }
    if (port == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const DWORD queued = queued_input();
    if (queued == 0) {
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(port, buf, queued < max ? queued : max, &got, nullptr)) {
        check_loss();
        return 0;
    }
    return got;
}

// The read itself is the wait: it returns at the first byte or after
// READ_WAIT_MS, and what it fetched is kept for the next reads.
bool win32_wait(uint32_t max_us) {
    if (waited_at != waited_count) {
        return true;
    }
    if (port == INVALID_HANDLE_VALUE) {
        Sleep(READ_WAIT_MS);
        return false;
    }
    waited_count = 0;
    waited_at = 0;
    if (max_us == 0) {
        return queued_input() != 0;
    }
    DWORD got = 0;
    if (!ReadFile(port, waited, sizeof waited, &got, nullptr)) {
        check_loss();
        // A port that fails its reads (gone, or in error) must not turn the
        // caller's wait loop into a spin.
        Sleep(READ_WAIT_MS);
        return false;
    }
    waited_count = got;
    return got != 0;
}

// The system's clock even when a test has put a virtual one in place: the
// air time is the real line's.
uint64_t monotonic_us() {
    return plat_SystemClock()->now_us();
}

// Returns when the bytes have gone out and their air time has passed since
// the write began: a USB adapter's driver, or a port emulated on a
// pseudo-terminal, completes the write while the bytes are still on their
// way, and the link's retransmission rest must start after the frame has
// left, as it does on a port whose write waits for the line.
void win32_write(const uint8_t* buf, uint32_t len) {
    if (port == INVALID_HANDLE_VALUE) {
        return;
    }
    const uint64_t start = monotonic_us();
    DWORD written = 0;
    if (!WriteFile(port, buf, len, &written, nullptr)) {
        check_loss();
        if (com_PortLost()) {
            return;
        }
    }
    uint64_t air_end = start + uint64_t{len} * COM_BITS_PER_BYTE * 1000000u / COM_LINE_BAUD;
    const uint64_t deadline = start + uint64_t{COM_WRITE_TIMEOUT_MS} * 1000u;
    if (air_end > deadline) {
        air_end = deadline;
    }
    // Waiting on input rather than sleeping: an answer that arrives means
    // the frame has left, and it is read at once, not at the next timer tick.
    for (uint64_t now = monotonic_us(); now < air_end; now = monotonic_us()) {
        if (win32_wait(static_cast<uint32_t>(air_end - now))) {
            return;
        }
    }
}

void win32_purge() {
    waited_count = 0;
    waited_at = 0;
    if (port != INVALID_HANDLE_VALUE) {
        PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
}

void win32_close() {
    if (port != INVALID_HANDLE_VALUE) {
        restore(port);
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
        original_saved = false;
    }
}

const ComPortOps win32_ops = {win32_open,  win32_read,  win32_write,
                              win32_purge, win32_close, win32_wait};

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

void com_PlatformRestore() {
    if (port != INVALID_HANDLE_VALUE) {
        restore(port);
    }
}
