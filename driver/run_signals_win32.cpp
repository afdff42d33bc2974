// Console control events on Windows. The handler runs on a thread of its
// own while the main thread may be inside a port call; it restores the
// port and ends the process at once, so the main thread never resumes.
#include "run_signals.h"

#include "report.h"
#include "run_interrupted.h"
#include "serial_port.h"

#include <windows.h>

namespace {

constexpr UINT EXIT_INTERRUPTED = 1;
volatile LONG phase = RUN_BEFORE_UPDATE;

void Say(const char* text, DWORD length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        run_SayInterrupted(phase, Say);
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    com_PlatformRestore();
    report_EndInterrupted(
        static_cast<int>(event),
        event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? run_InterruptedText(phase) : nullptr);
    TerminateProcess(GetCurrentProcess(), EXIT_INTERRUPTED);
    return TRUE;
}

} // namespace

void run_InstallSignals() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

void run_MarkUpdateInProgress(bool in_progress) {
    InterlockedExchange(&phase, in_progress ? RUN_UPDATING : RUN_AFTER_UPDATE);
}
