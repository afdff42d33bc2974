// The POSIX clock: CLOCK_MONOTONIC, so that setting the wall clock during a
// run neither stretches a time-out nor makes the timing report negative.
#include "platform_clock.h"
#include "platform_wait.h"

#include <ctime>

namespace {

void system_sleep_ms(uint32_t ms) {
    plat_SleepUntilNs(plat_MonotonicNs() + int64_t{ms} * 1'000'000);
}

uint32_t system_tick_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Wraps at 2^32 like the Windows tick; every user subtracts modulo 2^32.
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

uint64_t system_now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

const ClockOps system_clock = {system_sleep_ms, system_tick_ms, system_now_us};

} // namespace

const ClockOps* plat_SystemClock() {
    return &system_clock;
}

void plat_SystemSleepUntilUs(uint64_t deadline_us) {
    plat_SleepUntilNs(static_cast<int64_t>(deadline_us) * 1000);
}

// The system already sleeps with sub-millisecond precision.
void plat_BeginRun() {}
