// Signals on POSIX: one handler, async-signal-safe throughout (write,
// tcsetattr, ioctl, _exit), ends the process with status 1.
#include "run_signals.h"

#include "serial_port.h"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace {

constexpr int EXIT_INTERRUPTED = 1;
constexpr char INTERRUPTED_LINE[] =
    "\nInterrupted: the device was left in the middle of an update; "
    "running the same command again completes it\n";

volatile sig_atomic_t update_in_progress = 0;

void OnStop(int signal_number) {
    if (update_in_progress != 0 && (signal_number == SIGINT || signal_number == SIGTERM)) {
        // Nothing can be done about a failed write here; the exit status
        // still tells.
        if (write(STDOUT_FILENO, INTERRUPTED_LINE, sizeof INTERRUPTED_LINE - 1) < 0) {
        }
    }
    com_PlatformRestore();
    _exit(EXIT_INTERRUPTED);
}

} // namespace

void run_InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    // One stop at a time: a second signal waits until the first has ended
    // the process.
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, s);
    }
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(s, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void run_MarkUpdateInProgress(bool in_progress) {
    update_in_progress = in_progress ? 1 : 0;
}
