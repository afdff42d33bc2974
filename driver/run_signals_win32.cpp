// Console control events on Windows. The handler runs on a thread of its
// own while the main thread may be inside a port call; it restores the
// port and ends the process at once, so the main thread never resumes.
#include "run_signals.h"

#include "serial_port.h"

#include <windows.h>

namespace {

constexpr UINT EXIT_INTERRUPTED = 1;
constexpr char INTERRUPTED_LINE[] =
    "\nInterrupted: the device was left in the middle of an update; "
    "running the same command again completes it\n";

volatile LONG update_in_progress = 0;

BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (update_in_progress != 0) {
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), INTERRUPTED_LINE,
                      sizeof INTERRUPTED_LINE - 1, &written, nullptr);
        }
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    com_PlatformRestore();
    TerminateProcess(GetCurrentProcess(), EXIT_INTERRUPTED);
    return TRUE;
}

} // namespace

void run_InstallSignals() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

void run_MarkUpdateInProgress(bool in_progress) {
    InterlockedExchange(&update_in_progress, in_progress ? 1 : 0);
}
