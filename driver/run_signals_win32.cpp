// Console control events and crashes on Windows. A control handler runs on
// a thread of its own while the main thread may be inside a port call; it
// restores the port and ends the process at once, so the main thread never
// resumes. An exception nothing handled (an access violation, say) or an
// abort() restores the port and then takes the system's own course.
#include "run_signals.h"

#include "platform_arguments.h"
#include "report.h"
#include "run_interrupted.h"
#include "serial_backend.h"

#include <windows.h>

#include <csignal>

namespace {

constexpr UINT EXIT_INTERRUPTED = 1;
volatile LONG phase = RUN_BEFORE_UPDATE;
// One ending at a time: a crash on the main thread while a control handler
// restores the port (or the other way round) waits for it.
volatile LONG ending = 0;

void Say(const char* text, DWORD length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

// How a run is being ended from outside, or by its own crash.
enum class Ending { STOPPED, WINDOW_GONE, CRASHED };

// Every ending of a run by a control event or a crash passes through here:
// the line for where the run stands, the port put back, the report
// written (`event`: the console event, or REPORT_CRASH). The caller then
// ends the process its way.
void EndRun(Ending how, int event) {
    if (InterlockedExchange(&ending, 1) != 0) {
        // Another thread is ending the run already; it ends the process.
        Sleep(INFINITE);
    }
    // A closed console window, a logoff or a shutdown has nobody to read a line.
    if (how != Ending::WINDOW_GONE) {
        run_SayInterrupted(phase, Say);
    }
    com_PlatformRestore();
    plat_RestoreConsoleOutput();
    report_EndInterrupted(event, how != Ending::WINDOW_GONE ? run_InterruptedText(phase) : nullptr,
                          how == Ending::CRASHED);
}

BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        EndRun(Ending::STOPPED, static_cast<int>(event));
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        EndRun(Ending::WINDOW_GONE, static_cast<int>(event));
        break;
    default:
        return FALSE;
    }
    TerminateProcess(GetCurrentProcess(), EXIT_INTERRUPTED);
    return TRUE;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS*) {
    EndRun(Ending::CRASHED, REPORT_CRASH);
    return EXCEPTION_CONTINUE_SEARCH;
}

// abort() (a failed check, std::terminate) ends the process through the C
// runtime's SIGABRT, not through an exception: restored here, then ended
// with the status abort() gives.
constexpr UINT EXIT_ABORTED = 3;
void OnAbort(int) {
    EndRun(Ending::CRASHED, REPORT_CRASH);
    TerminateProcess(GetCurrentProcess(), EXIT_ABORTED);
}

} // namespace

void run_InstallSignals() {
    SetConsoleCtrlHandler(OnControl, TRUE);
    SetUnhandledExceptionFilter(OnCrash);
    std::signal(SIGABRT, OnAbort);
}

void run_MarkUpdateInProgress(bool in_progress) {
    InterlockedExchange(&phase, in_progress ? RUN_UPDATING : RUN_AFTER_UPDATE);
}
