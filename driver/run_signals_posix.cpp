// Signals on POSIX: one handler for every signal whose default action ends
// the process, async-signal-safe throughout (write, tcsetattr, ioctl,
// sigaction, sigprocmask, raise, _exit). It restores the port, then ends
// the process with status 1, or, for a signal that dumps core, as that
// signal does.
#include "run_signals.h"

#include "report.h"
#include "run_interrupted.h"
#include "serial_backend.h"

#include <csignal>
#include <cstdint>
#include <unistd.h>

namespace {

constexpr int EXIT_INTERRUPTED = 1;
volatile sig_atomic_t phase = RUN_BEFORE_UPDATE;

// Signals that end the process by default without a core dump: the run
// ends with status 1. SIGPIPE and SIGXFSZ are not here: they are ignored,
// so that a failed write is an error the writer handles.
constexpr int EXIT_SIGNALS[] = {
    SIGINT,    SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#elif defined(SIGIO)
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};

// Signals whose default action dumps core: after the port is restored they
// are raised again with that action, so a crash still leaves its core where
// cores are enabled. SIGQUIT is Ctrl-backslash, asking for exactly that.
constexpr int CORE_SIGNALS[] = {
    SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS,
#ifdef SIGEMT
    SIGEMT,
#endif
};

// The handler's own stack, so that a stack overflow (SIGSEGV with no stack
// left) still reaches it. Static: a crash is no moment to allocate. Room
// for the handler's few frames and the kernel's signal frame with the
// largest vector state.
constexpr size_t HANDLER_STACK_SIZE = 64 * 1024;
alignas(16) char handler_stack[HANDLER_STACK_SIZE];

// Nothing can be done about a failed write here; the exit status still tells.
void Say(const char* text, size_t length) {
    if (write(STDOUT_FILENO, text, length) < 0) {
    }
}

bool DumpsCore(int signal_number) {
    for (const int s : CORE_SIGNALS) {
        if (s == signal_number) {
            return true;
        }
    }
    return false;
}

// The signal's own ending, taken now that the port is back as it was: its
// default action, raised again and let through.
void EndAsTheSignal(int signal_number) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    raise(signal_number);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

// Every ending of a run by a signal passes through here, once: the line
// for where the run stands, the port put back, then the process ends.
[[noreturn]] void EndRun(int signal_number) {
    // A terminal that hung up has nobody to read a line.
    if (signal_number != SIGHUP) {
        run_SayInterrupted(phase, Say);
    }
    com_PlatformRestore();
    const bool dumps_core = DumpsCore(signal_number);
    report_EndInterrupted(
        signal_number, signal_number != SIGHUP ? run_InterruptedText(phase) : nullptr, dumps_core);
    if (dumps_core) {
        EndAsTheSignal(signal_number);
    }
    _exit(EXIT_INTERRUPTED);
}

void OnSignal(int signal_number) {
    EndRun(signal_number);
}

template <typename Each> void ForEachEndingSignal(Each each) {
    for (const int s : EXIT_SIGNALS) {
        each(s);
    }
    for (const int s : CORE_SIGNALS) {
        each(s);
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    // The real-time signals end the process by default too. Those the C
    // library keeps for itself refuse a handler, which is what they should.
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) {
        each(s);
    }
#endif
}

void Ignore(int signal_number) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(signal_number, &ignore, nullptr);
}

} // namespace

void run_InstallSignals() {
    // Output failures are errors the writers handle, never the end of the
    // run: a reader gone (SIGPIPE), a file over the size limit (SIGXFSZ).
    Ignore(SIGPIPE);
    Ignore(SIGXFSZ);

    stack_t alternate{};
    alternate.ss_sp = handler_stack;
    alternate.ss_size = sizeof handler_stack;
    sigaltstack(&alternate, nullptr);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_ONSTACK;
    // One ending at a time: a second signal waits until the first has
    // ended the process.
    sigemptyset(&action.sa_mask);
    ForEachEndingSignal([&](int s) { sigaddset(&action.sa_mask, s); });
    ForEachEndingSignal([&](int s) { sigaction(s, &action, nullptr); });
}

void run_MarkUpdateInProgress(bool in_progress) {
    phase = in_progress ? RUN_UPDATING : RUN_AFTER_UPDATE;
}
