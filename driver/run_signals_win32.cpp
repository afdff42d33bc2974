// Console control events on Windows. The handler runs on a thread of its
// own while the main thread may be inside a port call; it restores the
// port and ends the process at once, so the main thread never resumes.
#include "run_signals.h"

#include "console.h"
#include "serial_port.h"

#include <windows.h>

namespace {

constexpr UINT EXIT_INTERRUPTED = 1;
constexpr char INTERRUPTED_LINE[] =
    "\nInterrupted: the device was left in the middle of an update; "
    "running the same command again completes it\n";

constexpr char UNCHANGED_LINE[] = "Interrupted: the device was not changed\n";

// Where the run stands: the device untouched, holding part of a new image,
// or past the download (its outcome already printed).
constexpr LONG BEFORE_UPDATE = 0;
constexpr LONG UPDATING = 1;
constexpr LONG AFTER_UPDATE = 2;
volatile LONG phase = BEFORE_UPDATE;

void Say(const char* text, DWORD length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (phase == UPDATING) {
            Say(INTERRUPTED_LINE, sizeof INTERRUPTED_LINE - 1);
        } else if (phase == BEFORE_UPDATE) {
            if (!con_AtLineStart()) {
                Say("\n", 1);
            }
            Say(UNCHANGED_LINE, sizeof UNCHANGED_LINE - 1);
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
    InterlockedExchange(&phase, in_progress ? UPDATING : AFTER_UPDATE);
}
