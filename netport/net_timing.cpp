// The network port's line clock and round-trip estimate.
#include "net_timing.h"

#include "platform_clock.h"
#include "serial_port.h"

int64_t nettiming_NowUs() {
    return static_cast<int64_t>(plat_NowUs());
}

void nettiming_SleepUntilUs(int64_t deadline_us) {
    plat_SleepUntilUs(deadline_us > 0 ? static_cast<uint64_t>(deadline_us) : 0);
}

void nettiming_Reset(NetTiming* t) {
    *t = NetTiming{0, 0, 0, false, -1};
}

void nettiming_Sample(NetTiming* t, int64_t us) {
    if (us < 0) {
        return;
    }
    if (!t->has_sample) {
        t->srtt_us = us;
        t->rttvar_us = us / 2;
        t->has_sample = true;
        return;
    }
    const int64_t error = us > t->srtt_us ? us - t->srtt_us : t->srtt_us - us;
    t->rttvar_us += (error - t->rttvar_us) / 4;
    t->srtt_us += (us - t->srtt_us) / 8;
}

int64_t nettiming_Write(NetTiming* t, int64_t now_us, uint32_t bytes) {
    const int64_t start = t->line_free_us > now_us ? t->line_free_us : now_us;
    t->line_free_us =
        start + static_cast<int64_t>(bytes) * COM_BITS_PER_BYTE * 1'000'000 / COM_LINE_BAUD;
    if (t->waiting_since < 0) {
        t->waiting_since = t->line_free_us;
    }
    return t->line_free_us;
}

void nettiming_Arrived(NetTiming* t, int64_t now_us) {
    if (t->waiting_since >= 0) {
        // Earlier than the modelled line: the far side is faster than modelled.
        nettiming_Sample(t, now_us > t->waiting_since ? now_us - t->waiting_since : 0);
        t->waiting_since = -1;
    }
}

uint32_t nettiming_AllowanceMs(const NetTiming* t) {
    if (!t->has_sample) {
        return 0;
    }
    const int64_t us = t->srtt_us + 4 * t->rttvar_us;
    const int64_t ms = (us + 999) / 1000;
    return ms > NET_ALLOWANCE_MAX_MS ? NET_ALLOWANCE_MAX_MS : static_cast<uint32_t>(ms);
}
