// Signals on POSIX: one handler, async-signal-safe throughout (write,
// tcsetattr, ioctl, sigaction, sigprocmask, raise, _exit), ends the process
// with status 1, or as SIGQUIT does for SIGQUIT.
#include "run_signals.h"

#include "report.h"
#include "run_interrupted.h"
#include "serial_port.h"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace {

constexpr int EXIT_INTERRUPTED = 1;
volatile sig_atomic_t phase = RUN_BEFORE_UPDATE;

// Nothing can be done about a failed write here; the exit status still tells.
void Say(const char* text, size_t length) {
    if (write(STDOUT_FILENO, text, length) < 0) {
    }
}

// SIGQUIT asks for its own ending (a core dump where enabled): the default
// action, taken now that the port is back as it was.
void EndAsQuit() {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGQUIT, &fallback, nullptr);
    raise(SIGQUIT);
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGQUIT);
    sigprocmask(SIG_UNBLOCK, &quit, nullptr);
}

void OnStop(int signal_number) {
    // A terminal that hung up has nobody to read a line.
    if (signal_number != SIGHUP) {
        run_SayInterrupted(phase, Say);
    }
    com_PlatformRestore();
    report_EndInterrupted(signal_number,
                          signal_number != SIGHUP ? run_InterruptedText(phase) : nullptr);
    if (signal_number == SIGQUIT) {
        EndAsQuit();
    }
    _exit(EXIT_INTERRUPTED);
}

} // namespace

void run_InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    // One stop at a time: a second signal waits until the first has ended
    // the process.
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&action.sa_mask, s);
    }
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(s, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void run_MarkUpdateInProgress(bool in_progress) {
    phase = in_progress ? RUN_UPDATING : RUN_AFTER_UPDATE;
}
