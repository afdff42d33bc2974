// The clock the program's modules use: the system's, or one a test put in
// its place.
#include "platform_clock.h"

namespace {
const ClockOps* current_clock = nullptr; // nullptr: the system clock
} // namespace

void plat_SetClock(const ClockOps* ops) {
    current_clock = ops;
}

void plat_Sleep(uint32_t ms) {
    (current_clock ? current_clock : plat_SystemClock())->sleep_ms(ms);
}

uint32_t plat_TickCount() {
    return (current_clock ? current_clock : plat_SystemClock())->tick_ms();
}

uint64_t plat_NowUs() {
    return (current_clock ? current_clock : plat_SystemClock())->now_us();
}

void plat_SleepUntilUs(uint64_t deadline_us) {
    if (current_clock == nullptr) {
        plat_SystemSleepUntilUs(deadline_us);
        return;
    }
    const uint64_t now = current_clock->now_us();
    if (deadline_us > now) {
        current_clock->sleep_ms(static_cast<uint32_t>((deadline_us - now + 999) / 1000));
    }
}
