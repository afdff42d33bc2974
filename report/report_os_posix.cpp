// The report's wall clock, host name and signal names on POSIX systems.
#include "report.h"

#include <csignal>
#include <ctime>
#include <unistd.h>

ReportUtc report_OsUtcNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    return {static_cast<unsigned>(utc.tm_year + 1900),   static_cast<unsigned>(utc.tm_mon + 1),
            static_cast<unsigned>(utc.tm_mday),          static_cast<unsigned>(utc.tm_hour),
            static_cast<unsigned>(utc.tm_min),           static_cast<unsigned>(utc.tm_sec),
            static_cast<unsigned>(now.tv_nsec / 1000000)};
}

void report_OsHostName(char* out, uint32_t cap) {
    if (gethostname(out, cap) != 0) {
        out[0] = '\0';
    }
    out[cap - 1] = '\0';
}

void report_OsClose(intptr_t handle) {
    close(static_cast<int>(handle));
}

bool report_OsIsStandardError(intptr_t handle) {
    return handle == STDERR_FILENO;
}

const char* report_OsSignalName(int signal_number) {
    struct Named {
        int number;
        const char* name;
    };
    // Every signal the run's handler ends a run on.
    static constexpr Named NAMES[] = {
        {SIGINT, "SIGINT"},       {SIGTERM, "SIGTERM"},     {SIGHUP, "SIGHUP"},
        {SIGQUIT, "SIGQUIT"},     {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},
        {SIGALRM, "SIGALRM"},     {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
        {SIGXCPU, "SIGXCPU"},     {SIGABRT, "SIGABRT"},     {SIGSEGV, "SIGSEGV"},
        {SIGBUS, "SIGBUS"},       {SIGFPE, "SIGFPE"},       {SIGILL, "SIGILL"},
        {SIGTRAP, "SIGTRAP"},     {SIGSYS, "SIGSYS"},       {SIGPIPE, "SIGPIPE"},
#ifdef SIGPOLL
        {SIGPOLL, "SIGPOLL"},
#elif defined(SIGIO)
        {SIGIO, "SIGIO"},
#endif
#ifdef SIGPWR
        {SIGPWR, "SIGPWR"},
#endif
#ifdef SIGSTKFLT
        {SIGSTKFLT, "SIGSTKFLT"},
#endif
    };
    for (const Named& n : NAMES) {
        if (n.number == signal_number) {
            return n.name;
        }
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    // "SIGRTMIN+n", built without the C library's formatting (a handler calls this).
    static char realtime[] = "SIGRTMIN+00";
    const int offset = signal_number - SIGRTMIN;
    if (offset >= 0 && signal_number <= SIGRTMAX && offset < 100) {
        constexpr size_t DIGITS_AT = sizeof "SIGRTMIN+" - 1;
        realtime[DIGITS_AT] = static_cast<char>('0' + offset / 10);
        realtime[DIGITS_AT + 1] = static_cast<char>('0' + offset % 10);
        realtime[DIGITS_AT + 2] = '\0';
        if (offset < 10) {
            realtime[DIGITS_AT] = static_cast<char>('0' + offset);
            realtime[DIGITS_AT + 1] = '\0';
        }
        return realtime;
    }
#endif
    return nullptr;
}
