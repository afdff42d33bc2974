// The platform layer: the replaceable clock and the last-error report.
#include "platform_clock.h"
#include "platform_error.h"
#include "run_last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace {

uint32_t virtual_now = 0;
void virtual_sleep(uint32_t ms) {
    virtual_now += ms;
}
uint32_t virtual_tick() {
    return virtual_now;
}
uint64_t virtual_us() {
    return uint64_t{virtual_now} * 1000;
}
const ClockOps virtual_clock = {virtual_sleep, virtual_tick, virtual_us};

TEST(PlatformClock, TestsCanReplaceAndRestoreTheClock) {
    virtual_now = 0xFFFFFFF0u;
    plat_SetClock(&virtual_clock);
    plat_Sleep(5000); // takes no real time
    EXPECT_EQ(plat_TickCount(), static_cast<uint32_t>(0xFFFFFFF0u + 5000u));
    plat_SetClock(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const uint32_t before = plat_TickCount();
    plat_Sleep(3);
    const uint32_t elapsed = plat_TickCount() - before;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3));
    EXPECT_GE(elapsed, 2u); // tick granularity
    EXPECT_LT(elapsed, 1000u);
    EXPECT_EQ(virtual_now, 0xFFFFFFF0u + 5000u);
}

TEST(PlatformError, ReportsTheRecordedErrorOnItsOwnLine) {
    struct Case {
        int code;
        std::string expected;
    };
    const Case cases[] = {
        {0, ""},
        {ENOENT, std::string("Last windows error: ") + std::strerror(ENOENT) + "\n"},
        {EIO, std::string("Last windows error: ") + std::strerror(EIO) + "\n"},
    };
    for (const Case& c : cases) {
        plat_RecordError(c.code);
        errno = EBADF; // a stray errno is not what gets reported
        EXPECT_EQ(plat_LastError(), static_cast<uint32_t>(c.code));
        testing::internal::CaptureStdout();
        run_ReportLastError();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
    }
}

} // namespace
