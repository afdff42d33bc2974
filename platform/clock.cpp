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
