// The Windows clock: Sleep and GetTickCount, with the timer resolution
// raised to 1 ms for the run so that a 1 ms sleep is 1 ms, not ~15.6 ms.
#include "platform_clock.h"

#include <windows.h>

#include <mmsystem.h>

namespace {

// One idle tick of the waiting loops.
constexpr UINT TIMER_RESOLUTION_MS = 1;

void system_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

uint32_t system_tick_ms() {
    return GetTickCount();
}

// The performance counter: GetTickCount moves in steps of the system timer
// (~15.6 ms), too coarse to tell one millisecond from the next.
uint64_t system_now_us() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    return c / frequency * 1000000u + c % frequency * 1000000u / frequency;
}

const ClockOps system_clock = {system_sleep_ms, system_tick_ms, system_now_us};

} // namespace

const ClockOps* plat_SystemClock() {
    return &system_clock;
}

// Sleep has no finer grain (1 ms once the run asked for that resolution).
void plat_SystemSleepUntilUs(uint64_t deadline_us) {
    const uint64_t now = system_now_us();
    if (deadline_us > now) {
        Sleep(static_cast<DWORD>((deadline_us - now + 999) / 1000));
    }
}

// The resolution is restored by Windows when the process ends.
void plat_BeginRun() {
    timeBeginPeriod(TIMER_RESOLUTION_MS);
}
