#pragma once
// Millisecond sleep, millisecond tick and microsecond clock for the whole
// program.
//
// The waiting loops count 1 ms ticks of the microsecond clock and the
// download report measures elapsed time from a 32-bit wrapping millisecond
// counter. All go through a small table of operations so that tests can run
// the program's modules on virtual time: a 5000-tick time-out then takes
// microseconds, not 5 seconds.

#include <cstdint>

struct ClockOps {
    // Sleep at least `ms` milliseconds.
    void (*sleep_ms)(uint32_t ms);
    // Milliseconds since an arbitrary start, wrapping at 2^32.
    uint32_t (*tick_ms)();
    // Microseconds since an arbitrary start, monotonic, never wrapping in a
    // run. The same clock as tick_ms at a finer grain: the waits count their
    // ticks from it, so that a tick is a whole millisecond whatever the phase
    // of the millisecond counter when a wait begins.
    uint64_t (*now_us)();
};

// The operating system's clock (Sleep/GetTickCount on Windows,
// CLOCK_MONOTONIC elsewhere). Never null.
const ClockOps* plat_SystemClock();

// Sleep until the system clock's now_us reaches `deadline_us` (at once when
// it has passed): to the microsecond where the system can (POSIX), in whole
// milliseconds rounded up where it cannot (Windows).
void plat_SystemSleepUntilUs(uint64_t deadline_us);

// Replace the clock; nullptr restores the system clock. Not thread-safe:
// called by tests before they drive the modules.
void plat_SetClock(const ClockOps* ops);

// Sleep through the current clock.
void plat_Sleep(uint32_t ms);

// Current millisecond tick of the current clock.
uint32_t plat_TickCount();

// Current microsecond reading of the current clock: every time the program
// measures (the waits, the network port's line model and round trips, the
// trace's time column) is read here.
uint64_t plat_NowUs();

// Sleep until plat_NowUs() reaches `deadline_us` (at once when it has
// passed): the system's precise sleep, or a test clock's sleep_ms for the
// whole milliseconds left, rounded up.
void plat_SleepUntilUs(uint64_t deadline_us);

// Called once by main before the first tick: asks for a 1 ms timer
// resolution where the default is coarser (Windows: timeBeginPeriod(1)).
// Does nothing where the platform already sleeps with 1 ms precision.
void plat_BeginRun();
